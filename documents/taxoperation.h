#pragma once

#include <QObject>

namespace taxvault {

// The tax totals of one operation type.
class TaxOperation
{
    Q_GADGET
    Q_PROPERTY(double turnover MEMBER turnover)
    Q_PROPERTY(double turnoverWithoutTax MEMBER turnoverWithoutTax)
    Q_PROPERTY(double sum MEMBER sum)

public:
    bool operator==(const TaxOperation&) const = default;

    double turnover = 0;
    double turnoverWithoutTax = 0;
    double sum = 0;
};

} // namespace taxvault
