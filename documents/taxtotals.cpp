#include "documents/taxtotals.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariantMap TaxTotals::operationsToMap() const
{
    return mapping::readValue(operations);
}

void TaxTotals::operationsFromMap(const QVariantMap& value)
{
    mapping::writeValue(operations, value);
}

} // namespace taxvault
