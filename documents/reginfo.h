#pragma once

#include "documents/kkmreginfo.h"
#include "documents/orgreginfo.h"
#include "documents/posreginfo.h"

#include <QObject>
#include <QVariant>

#include <optional>

namespace taxvault {

// Registration data of the register, the point of sale and the organisation.
class RegInfo
{
    Q_GADGET
    Q_PROPERTY(QVariant kkm READ kkmToVariant WRITE kkmFromVariant)
    Q_PROPERTY(QVariant pos READ posToVariant WRITE posFromVariant)
    Q_PROPERTY(QVariant org READ orgToVariant WRITE orgFromVariant)

public:
    bool operator==(const RegInfo&) const = default;

    KkmRegInfo kkm;
    std::optional<PosRegInfo> pos; // only answers fill it; a null write leaves it as it is
    OrgRegInfo org;

private:
    QVariant kkmToVariant() const;
    void kkmFromVariant(const QVariant& value);
    QVariant posToVariant() const;
    void posFromVariant(const QVariant& value);
    QVariant orgToVariant() const;
    void orgFromVariant(const QVariant& value);
};

} // namespace taxvault
