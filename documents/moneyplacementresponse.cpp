#include "documents/moneyplacementresponse.h"

#include "documents/documentmapping.h"

namespace taxvault {

QJsonObject MoneyPlacementResponse::toJson() const
{
    return toJsonObject(*this);
}

QVariant MoneyPlacementResponse::kkmInfoObjectToVariant() const
{
    return mapping::readValue(kkmInfoObject);
}

void MoneyPlacementResponse::kkmInfoObjectFromVariant(const QVariant& value)
{
    mapping::writeValue(kkmInfoObject, value);
}

} // namespace taxvault
