#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

// Where the register is and where that knowledge comes from.
class GeoPosition
{
    Q_GADGET
    Q_PROPERTY(uint32_t latitude MEMBER latitude)
    Q_PROPERTY(uint32_t longitude MEMBER longitude)
    Q_PROPERTY(QString source MEMBER source)

public:
    bool operator==(const GeoPosition&) const = default;

    uint32_t latitude = 0;
    uint32_t longitude = 0;
    QString source;
};
