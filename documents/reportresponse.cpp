#include "documents/reportresponse.h"

#include "documents/documentmapping.h"

namespace taxvault {

QJsonObject ReportResponse::toJson() const
{
    return toJsonObject(*this);
}

QVariant ReportResponse::zxReportToVariant() const
{
    return mapping::readValue(zxReport);
}

void ReportResponse::zxReportFromVariant(const QVariant& value)
{
    mapping::writeValue(zxReport, value);
}

} // namespace taxvault
