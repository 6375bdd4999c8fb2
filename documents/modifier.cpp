#include "documents/modifier.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariantList Modifier::taxesToList() const
{
    return mapping::readValue(taxes);
}

void Modifier::taxesFromList(const QVariantList& value)
{
    mapping::writeValue(taxes, value);
}

} // namespace taxvault
