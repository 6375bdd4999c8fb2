#include "documents/kkminfoobject.h"

#include "documents/documentmapping.h"

namespace taxvault {

QJsonObject KkmInfoObject::toJson() const
{
    return QJsonObject{{QStringLiteral("kkmInfoObject"), toJsonObject(*this)}};
}

int KkmInfoObject::getServiceStatus() const
{
    return serviceStatus;
}

void KkmInfoObject::setServiceStatus(int value)
{
    serviceStatus = value;
}

QString KkmInfoObject::lockDateToString() const
{
    // Qt writes no year past 9999, and a till reads "" as no lock at all.
    if (lockDate.isValid() && lockDate.date().year() > 9999)
        return QStringLiteral("9999-12-31T23:59:59");
    return mapping::readValue(lockDate);
}

void KkmInfoObject::lockDateFromString(const QString& value)
{
    mapping::writeValue(lockDate, value);
}

int KkmInfoObject::getOfflineModeReason() const
{
    return offlineModeReason;
}

void KkmInfoObject::setOfflineModeReason(int value)
{
    offlineModeReason = value;
}

int KkmInfoObject::getServiceStatusByDbState() const
{
    return serviceStatusByDbState;
}

void KkmInfoObject::setServiceStatusByDbState(int value)
{
    serviceStatusByDbState = value;
}

} // namespace taxvault
