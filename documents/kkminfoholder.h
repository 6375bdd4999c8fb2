#pragma once

#include "documents/kkminfoobject.h"

#include <QVariant>

namespace taxvault {

// The status block that every command and every answer carries as its first key. A document
// derives from this and declares, first among its properties,
//     Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)
// This class is no gadget itself, so the document's meta-object stays the only one.
class KkmInfoHolder
{
public:
    bool operator==(const KkmInfoHolder&) const = default;

    KkmInfoObject kkmInfoObject;

protected:
    QVariant kkmInfoObjectToVariant() const;
    void kkmInfoObjectFromVariant(const QVariant& value);
};

} // namespace taxvault
