#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

namespace taxvault {

// The current autonomous period; both times unset when there is none.
class OfflinePeriod
{
    Q_GADGET
    Q_PROPERTY(QString beginTime READ beginTimeToString WRITE beginTimeFromString)
    Q_PROPERTY(QString endTime READ endTimeToString WRITE endTimeFromString)

public:
    bool operator==(const OfflinePeriod&) const = default;

    QDateTime beginTime;
    QDateTime endTime;

private:
    QString beginTimeToString() const;
    void beginTimeFromString(const QString& value);
    QString endTimeToString() const;
    void endTimeFromString(const QString& value);
};

} // namespace taxvault
