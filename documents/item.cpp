#include "documents/item.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariant Item::commodityToVariant() const
{
    return mapping::readValue(commodity);
}

void Item::commodityFromVariant(const QVariant& value)
{
    mapping::writeValue(commodity, value);
}

QVariant Item::modifierToVariant() const
{
    return mapping::readValue(modifier);
}

void Item::modifierFromVariant(const QVariant& value)
{
    mapping::writeValue(modifier, value);
}

} // namespace taxvault
