#pragma once

#include <QObject>
#include <QString>

namespace taxvault {

// The cashier of a receipt, a cash placement or a shift closing.
class OperatorCashier
{
    Q_GADGET
    Q_PROPERTY(int code MEMBER code)
    Q_PROPERTY(QString name MEMBER name)

public:
    bool operator==(const OperatorCashier&) const = default;

    int code = 0;
    QString name;
};

} // namespace taxvault
