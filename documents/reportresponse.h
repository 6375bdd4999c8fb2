#pragma once

#include "documents/kkminfoholder.h"
#include "documents/zxreport.h"

#include <QJsonObject>
#include <QObject>
#include <QVariant>

namespace taxvault {

// The answer to a report, a shift closing or a device initialisation.
class ReportResponse : public KkmInfoHolder
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)
    Q_PROPERTY(int report MEMBER report)
    Q_PROPERTY(QVariant zxReport READ zxReportToVariant WRITE zxReportFromVariant)

public:
    QJsonObject toJson() const;

    bool operator==(const ReportResponse&) const = default;

    int report = 0;
    ZXReport zxReport;

private:
    QVariant zxReportToVariant() const;
    void zxReportFromVariant(const QVariant& value);
};

} // namespace taxvault
