#include "documents/closeshiftrequest.h"

#include "documents/documentmapping.h"

namespace taxvault {

CloseShiftRequest CloseShiftRequest::fromJson(const QJsonObject& json)
{
    return fromJsonObject<CloseShiftRequest>(json);
}

QJsonObject CloseShiftRequest::toJson() const
{
    return toJsonObject(*this);
}

QString CloseShiftRequest::closeTimeToString() const
{
    return mapping::readValue(closeTime);
}

void CloseShiftRequest::closeTimeFromString(const QString& value)
{
    mapping::writeValue(closeTime, value);
}

QVariant CloseShiftRequest::zxReportToVariant() const
{
    return mapping::readValue(zReport);
}

void CloseShiftRequest::zxReportFromVariant(const QVariant& value)
{
    mapping::writeValue(zReport, value);
}

QVariant CloseShiftRequest::operatorCashierToVariant() const
{
    return mapping::readValue(operatorCashier);
}

void CloseShiftRequest::operatorCashierFromVariant(const QVariant& value)
{
    mapping::writeValue(operatorCashier, value);
}

} // namespace taxvault
