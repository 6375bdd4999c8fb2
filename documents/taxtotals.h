#pragma once

#include "documents/taxoperation.h"

#include <QMap>
#include <QObject>
#include <QVariantMap>

namespace taxvault {

// The totals of one tax rate in a report, operations keyed by operation type.
class TaxTotals
{
    Q_GADGET
    Q_PROPERTY(int type MEMBER type)
    Q_PROPERTY(QVariantMap operations READ operationsToMap WRITE operationsFromMap)

public:
    bool operator==(const TaxTotals&) const = default;

    int type = 100;
    QMap<int, TaxOperation> operations;

private:
    QVariantMap operationsToMap() const;
    void operationsFromMap(const QVariantMap& value);
};

} // namespace taxvault
