#include "documents/serviceresponse.h"

#include "documents/documentmapping.h"

namespace taxvault {

QJsonObject ServiceResponse::toJson() const
{
    return toJsonObject(*this);
}

QVariantList ServiceResponse::ticketAdsToList() const
{
    return mapping::readValue(ticketAds);
}

void ServiceResponse::ticketAdsFromList(const QVariantList& value)
{
    mapping::writeValue(ticketAds, value);
}

QVariant ServiceResponse::regInfoToVariant() const
{
    return mapping::readValue(regInfo);
}

void ServiceResponse::regInfoFromVariant(const QVariant& value)
{
    mapping::writeValue(regInfo, value);
}

QVariant ServiceResponse::lastDocumentInfoToVariant() const
{
    return mapping::readValue(lastDocumentInfo);
}

void ServiceResponse::lastDocumentInfoFromVariant(const QVariant& value)
{
    mapping::writeValue(lastDocumentInfo, value);
}

QVariant ServiceResponse::bindedTaxationToVariant() const
{
    return mapping::readValue(bindedTaxation);
}

void ServiceResponse::bindedTaxationFromVariant(const QVariant& value)
{
    mapping::writeValue(bindedTaxation, value);
}

} // namespace taxvault
