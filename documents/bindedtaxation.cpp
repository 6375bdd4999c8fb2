#include "documents/bindedtaxation.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariantList BindedTaxation::taxesToList() const
{
    return mapping::readValue(taxes);
}

void BindedTaxation::taxesFromList(const QVariantList& value)
{
    mapping::writeValue(taxes, value);
}

} // namespace taxvault
