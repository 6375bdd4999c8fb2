#pragma once

#include "documents/moduleinformation.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>

namespace taxvault {

// The software and platform of the register.
class SoftwareInformation
{
    Q_GADGET
    Q_PROPERTY(QVariantList moduleInfos READ moduleInfosToList WRITE moduleInfosFromList)
    Q_PROPERTY(QString hardwareArch MEMBER hardwareArch)
    Q_PROPERTY(QString osFamily MEMBER osFamily)
    Q_PROPERTY(QString osVersion MEMBER osVersion)
    Q_PROPERTY(QString osExtendedInfo MEMBER osExtendedInfo)
    Q_PROPERTY(QString runtimeVersion MEMBER runtimeVersion)
    Q_PROPERTY(QVariant partnerId MEMBER partnerId)

public:
    bool operator==(const SoftwareInformation&) const = default;

    QList<ModuleInformation> moduleInfos;
    QString hardwareArch;
    QString osFamily;
    QString osVersion;
    QString osExtendedInfo;
    QString runtimeVersion;
    QVariant partnerId;

private:
    QVariantList moduleInfosToList() const;
    void moduleInfosFromList(const QVariantList& value);
};

} // namespace taxvault
