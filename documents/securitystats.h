#pragma once

#include "documents/geoposition.h"

#include <QObject>
#include <QVariant>

// Position of the register.
class SecurityStats
{
    Q_GADGET
    Q_PROPERTY(QVariant geoPosition READ geoPositionToVariant WRITE geoPositionFromVariant)

public:
    bool operator==(const SecurityStats&) const = default;

    GeoPosition geoPosition;

private:
    QVariant geoPositionToVariant() const;
    void geoPositionFromVariant(const QVariant& value);
};
