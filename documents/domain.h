#pragma once

#include <QObject>

namespace taxvault {

// The business domain of a receipt.
class Domain
{
    Q_GADGET
    Q_PROPERTY(int type MEMBER type)

public:
    bool operator==(const Domain&) const = default;

    int type = 0;
};

} // namespace taxvault
