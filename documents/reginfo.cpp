#include "documents/reginfo.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariant RegInfo::kkmToVariant() const
{
    return mapping::readValue(kkm);
}

void RegInfo::kkmFromVariant(const QVariant& value)
{
    mapping::writeValue(kkm, value);
}

QVariant RegInfo::posToVariant() const
{
    return mapping::readValue(pos);
}

void RegInfo::posFromVariant(const QVariant& value)
{
    mapping::writeValue(pos, value, mapping::OnNull::Keep);
}

QVariant RegInfo::orgToVariant() const
{
    return mapping::readValue(org);
}

void RegInfo::orgFromVariant(const QVariant& value)
{
    mapping::writeValue(org, value);
}

} // namespace taxvault
