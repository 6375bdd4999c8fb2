#include "documents/reportrequest.h"

#include "documents/documentmapping.h"

namespace taxvault {

ReportRequest ReportRequest::fromJson(const QJsonObject& json)
{
    return fromJsonObject<ReportRequest>(json);
}

QString ReportRequest::dateTimeToString() const
{
    return mapping::readValue(dateTime);
}

void ReportRequest::dateTimeFromString(const QString& value)
{
    mapping::writeValue(dateTime, value);
}

QVariant ReportRequest::zxReportToVariant() const
{
    return mapping::readValue(zxReport);
}

void ReportRequest::zxReportFromVariant(const QVariant& value)
{
    mapping::writeValue(zxReport, value);
}

} // namespace taxvault
