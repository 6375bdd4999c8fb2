#include "documents/ticketad.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariant TicketAd::infoToVariant() const
{
    return mapping::readValue(info);
}

void TicketAd::infoFromVariant(const QVariant& value)
{
    mapping::writeValue(info, value);
}

} // namespace taxvault
