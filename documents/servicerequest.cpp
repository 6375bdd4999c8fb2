#include "documents/servicerequest.h"

#include "documents/documentmapping.h"

namespace taxvault {

ServiceRequest ServiceRequest::fromJson(const QJsonObject& json)
{
    return fromJsonObject<ServiceRequest>(json);
}

QJsonObject ServiceRequest::toJson() const
{
    return toJsonObject(*this);
}

void ServiceRequest::resetOfflinePeriod()
{
    offlinePeriod = OfflinePeriod();
}

QVariant ServiceRequest::commQualityToVariant() const
{
    return mapping::readValue(commQuality);
}

void ServiceRequest::commQualityFromVariant(const QVariant& value)
{
    mapping::writeValue(commQuality, value);
}

QVariant ServiceRequest::softwareInformationToVariant() const
{
    return mapping::readValue(softwareInformation);
}

void ServiceRequest::softwareInformationFromVariant(const QVariant& value)
{
    mapping::writeValue(softwareInformation, value);
}

QVariant ServiceRequest::offlinePeriodToVariant() const
{
    return mapping::readValue(offlinePeriod);
}

void ServiceRequest::offlinePeriodFromVariant(const QVariant& value)
{
    mapping::writeValue(offlinePeriod, value);
}

QVariantList ServiceRequest::ticketAdInfosToList() const
{
    return mapping::readValue(ticketAdInfos);
}

void ServiceRequest::ticketAdInfosFromList(const QVariantList& value)
{
    mapping::writeValue(ticketAdInfos, value);
}

QVariant ServiceRequest::regInfoToVariant() const
{
    return mapping::readValue(regInfo);
}

void ServiceRequest::regInfoFromVariant(const QVariant& value)
{
    mapping::writeValue(regInfo, value);
}

QVariant ServiceRequest::securityStatsToVariant() const
{
    return mapping::readValue(securityStats);
}

void ServiceRequest::securityStatsFromVariant(const QVariant& value)
{
    mapping::writeValue(securityStats, value);
}

} // namespace taxvault
