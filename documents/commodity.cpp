#include "documents/commodity.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariantList Commodity::taxesToList() const
{
    return mapping::readValue(taxes);
}

void Commodity::taxesFromList(const QVariantList& value)
{
    mapping::writeValue(taxes, value);
}

} // namespace taxvault
