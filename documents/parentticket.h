#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

namespace taxvault {

// The receipt that a return refers to.
class ParentTicket
{
    Q_GADGET
    Q_PROPERTY(QString number MEMBER number)
    Q_PROPERTY(QString dateTime READ dateTimeToString WRITE dateTimeFromString)
    Q_PROPERTY(QString kkmId MEMBER kkmId)
    Q_PROPERTY(double sum MEMBER sum)
    Q_PROPERTY(bool isOffline MEMBER isOffline)

public:
    bool operator==(const ParentTicket&) const = default;

    QString number;
    QDateTime dateTime;
    QString kkmId;
    double sum = 0;
    bool isOffline = false;

private:
    QString dateTimeToString() const;
    void dateTimeFromString(const QString& value);
};

} // namespace taxvault
