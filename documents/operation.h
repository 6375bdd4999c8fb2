#pragma once

#include <QObject>

#include <cstdint>

namespace taxvault {

// Count and sum of one operation type in a report.
class Operation
{
    Q_GADGET
    Q_PROPERTY(uint32_t count MEMBER count)
    Q_PROPERTY(double sum MEMBER sum)

public:
    bool operator==(const Operation&) const = default;

    uint32_t count = 0;
    double sum = 0;
};

} // namespace taxvault
