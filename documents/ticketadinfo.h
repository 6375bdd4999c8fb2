#pragma once

#include <QObject>

namespace taxvault {

// Kind and version of a receipt text.
class TicketAdInfo
{
    Q_GADGET
    Q_PROPERTY(int type MEMBER type)
    Q_PROPERTY(qlonglong version MEMBER version)

public:
    bool operator==(const TicketAdInfo&) const = default;

    int type = 0;
    qint64 version = 0;
};

} // namespace taxvault
