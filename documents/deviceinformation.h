#pragma once

#include <QObject>
#include <QString>

namespace taxvault {

// The device a module drives.
class DeviceInformation
{
    Q_GADGET
    Q_PROPERTY(QString manufacturer MEMBER manufacturer)
    Q_PROPERTY(QString model MEMBER model)
    Q_PROPERTY(QString firmwareVersion MEMBER firmwareVersion)

public:
    bool operator==(const DeviceInformation&) const = default;

    QString manufacturer;
    QString model;
    QString firmwareVersion;
};

} // namespace taxvault
