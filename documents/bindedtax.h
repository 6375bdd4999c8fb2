#pragma once

#include <QObject>

#include <cstdint>

namespace taxvault {

// A tax bound with the taxation regime.
class BindedTax
{
    Q_GADGET
    Q_PROPERTY(int type READ getType)
    Q_PROPERTY(uint32_t percent MEMBER percent)

public:
    bool operator==(const BindedTax&) const = default;

    int type = 100; // always 100: writes by property name are ignored
    uint32_t percent = 0;

private:
    int getType() const;
};

} // namespace taxvault
