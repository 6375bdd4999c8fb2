#include "documents/amounts.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariant Amounts::takenToVariant() const
{
    return mapping::readValue(taken);
}

void Amounts::takenFromVariant(const QVariant& value)
{
    mapping::writeValue(taken, value);
}

QVariant Amounts::changeToVariant() const
{
    return mapping::readValue(change);
}

void Amounts::changeFromVariant(const QVariant& value)
{
    mapping::writeValue(change, value);
}

QVariant Amounts::markupToVariant() const
{
    return mapping::readValue(markup);
}

void Amounts::markupFromVariant(const QVariant& value)
{
    mapping::writeValue(markup, value);
}

QVariant Amounts::discountToVariant() const
{
    return mapping::readValue(discount);
}

void Amounts::discountFromVariant(const QVariant& value)
{
    mapping::writeValue(discount, value);
}

} // namespace taxvault
