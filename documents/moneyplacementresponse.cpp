#include "documents/moneyplacementresponse.h"

#include "documents/documentmapping.h"

namespace taxvault {

QJsonObject MoneyPlacementResponse::toJson() const
{
    return toJsonObject(*this);
}

} // namespace taxvault
