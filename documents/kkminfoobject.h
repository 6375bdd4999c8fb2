#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>

namespace taxvault {

// The status block: the state of the service as the point-of-sale program sees it after a command.
class KkmInfoObject
{
    Q_GADGET
    Q_PROPERTY(int serviceStatus READ getServiceStatus WRITE setServiceStatus)
    Q_PROPERTY(QString lockDate READ lockDateToString WRITE lockDateFromString)
    Q_PROPERTY(QString errorMessage MEMBER errorMessage)
    Q_PROPERTY(QString data MEMBER data)
    Q_PROPERTY(int offlineModeReason READ getOfflineModeReason WRITE setOfflineModeReason)
    Q_PROPERTY(int serviceStatusByDbState READ getServiceStatusByDbState WRITE setServiceStatusByDbState)

public:
    // {"kkmInfoObject": {...}} with all six keys
    QJsonObject toJson() const;

    bool operator==(const KkmInfoObject&) const = default;

    int serviceStatus = 0;
    QDateTime lockDate;
    QString errorMessage;
    QString data;
    int offlineModeReason = 0;
    int serviceStatusByDbState = 0;

private:
    int getServiceStatus() const;
    void setServiceStatus(int value);
    QString lockDateToString() const;
    void lockDateFromString(const QString& value);
    int getOfflineModeReason() const;
    void setOfflineModeReason(int value);
    int getServiceStatusByDbState() const;
    void setServiceStatusByDbState(int value);
};

} // namespace taxvault
