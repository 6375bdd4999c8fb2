#pragma once

#include "documents/deviceinformation.h"

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

namespace taxvault {

// One software module of the register.
class ModuleInformation
{
    Q_GADGET
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString version MEMBER version)
    Q_PROPERTY(QString buildInfo MEMBER buildInfo)
    Q_PROPERTY(QVariant deviceInfo READ deviceInfoToVariant WRITE deviceInfoFromVariant)
    Q_PROPERTY(QVariantMap extendedInfo MEMBER extendedInfo)
    Q_PROPERTY(QString buildArch MEMBER buildArch)

public:
    bool operator==(const ModuleInformation&) const = default;

    QString name;
    QString version;
    QString buildInfo;
    std::optional<DeviceInformation> deviceInfo;
    QVariantMap extendedInfo;
    QString buildArch;

private:
    QVariant deviceInfoToVariant() const;
    void deviceInfoFromVariant(const QVariant& value);
};

} // namespace taxvault
