#include "documents/moneyplacementrequest.h"

#include "documents/documentmapping.h"

namespace taxvault {

MoneyPlacementRequest MoneyPlacementRequest::fromJson(const QJsonObject& json)
{
    return fromJsonObject<MoneyPlacementRequest>(json);
}

QJsonObject MoneyPlacementRequest::toJson() const
{
    return toJsonObject(*this);
}

QString MoneyPlacementRequest::dateTimeToString() const
{
    return mapping::readValue(dateTime);
}

void MoneyPlacementRequest::dateTimeFromString(const QString& value)
{
    mapping::writeValue(dateTime, value);
}

QVariant MoneyPlacementRequest::operatorCashierToVariant() const
{
    return mapping::readValue(operatorCashier);
}

void MoneyPlacementRequest::operatorCashierFromVariant(const QVariant& value)
{
    mapping::writeValue(operatorCashier, value);
}

} // namespace taxvault
