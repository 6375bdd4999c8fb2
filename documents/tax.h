#pragma once

#include <QObject>
#include <QVariant>

namespace taxvault {

// A tax of a receipt, a commodity or a modifier.
class Tax
{
    Q_GADGET
    Q_PROPERTY(int taxType MEMBER taxType)
    Q_PROPERTY(QVariant taxationType MEMBER taxationType)
    Q_PROPERTY(int percent MEMBER percent)
    Q_PROPERTY(double sum MEMBER sum)
    Q_PROPERTY(bool isInTotalSumFlag MEMBER isInTotalSumFlag)

public:
    bool operator==(const Tax&) const = default;

    int taxType = 100;
    QVariant taxationType;
    int percent = 0;
    double sum = 0;
    bool isInTotalSumFlag = false;
};

} // namespace taxvault
