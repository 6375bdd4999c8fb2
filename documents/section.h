#pragma once

#include "documents/operation.h"

#include <QMap>
#include <QObject>
#include <QVariantMap>

namespace taxvault {

// The operations of one section of a report, keyed by operation type.
class Section
{
    Q_GADGET
    Q_PROPERTY(QVariantMap operations READ operationsToMap WRITE operationsFromMap)

public:
    bool operator==(const Section&) const = default;

    QMap<int, Operation> operations;

private:
    QVariantMap operationsToMap() const;
    void operationsFromMap(const QVariantMap& value);
};

} // namespace taxvault
