#pragma once

#include <QObject>

#include <cstdint>

namespace taxvault {

// Sum and count of one payment type.
class TicketOperationPayment
{
    Q_GADGET
    Q_PROPERTY(double sum MEMBER sum)
    Q_PROPERTY(uint32_t count MEMBER count)

public:
    bool operator==(const TicketOperationPayment&) const = default;

    double sum = 0;
    uint32_t count = 0;
};

} // namespace taxvault
