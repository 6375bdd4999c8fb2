#pragma once

#include <QObject>
#include <QVariant>

namespace taxvault {

// Connection quality figures.
class CommQuality
{
    Q_GADGET
    Q_PROPERTY(int avgConnectTime MEMBER avgConnectTime)
    Q_PROPERTY(QVariant avgPing MEMBER avgPing)
    Q_PROPERTY(QVariant lossRatio MEMBER lossRatio)

public:
    bool operator==(const CommQuality&) const = default;

    int avgConnectTime = 0;
    QVariant avgPing;
    QVariant lossRatio;
};

} // namespace taxvault
