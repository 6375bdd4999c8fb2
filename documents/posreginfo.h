#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

namespace taxvault {

// The point of sale.
class PosRegInfo
{
    Q_GADGET
    Q_PROPERTY(QString title MEMBER title)
    Q_PROPERTY(QString address MEMBER address)
    Q_PROPERTY(QString addressKz MEMBER addressKz)
    Q_PROPERTY(uint32_t latitude MEMBER latitude)
    Q_PROPERTY(uint32_t longitude MEMBER longitude)

public:
    bool operator==(const PosRegInfo&) const = default;

    QString title;
    QString address;
    QString addressKz;
    uint32_t latitude = 0;
    uint32_t longitude = 0;
};

} // namespace taxvault
