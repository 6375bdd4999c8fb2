#pragma once

#include <QObject>

#include <cstdint>

namespace taxvault {

// The totals of one cash placement type in a report.
class MoneyPlacement
{
    Q_GADGET
    Q_PROPERTY(uint32_t operationsTotalCount MEMBER operationsTotalCount)
    Q_PROPERTY(uint32_t operationsCount MEMBER operationsCount)
    Q_PROPERTY(double operationsSum MEMBER operationsSum)
    Q_PROPERTY(uint32_t offlineCount MEMBER offlineCount)

public:
    bool operator==(const MoneyPlacement&) const = default;

    uint32_t operationsTotalCount = 0;
    uint32_t operationsCount = 0;
    double operationsSum = 0;
    uint32_t offlineCount = 0;
};

} // namespace taxvault
