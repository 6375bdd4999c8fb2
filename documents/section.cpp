#include "documents/section.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariantMap Section::operationsToMap() const
{
    return mapping::readValue(operations);
}

void Section::operationsFromMap(const QVariantMap& value)
{
    mapping::writeValue(operations, value);
}

} // namespace taxvault
