#pragma once

#include "documents/commquality.h"
#include "documents/kkminfoholder.h"
#include "documents/offlineperiod.h"
#include "documents/reginfo.h"
#include "documents/securitystats.h"
#include "documents/softwareinformation.h"
#include "documents/ticketadinfo.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

namespace taxvault {

// What the service reports about itself with every exchange; stored as "servicerequest".
class ServiceRequest : public KkmInfoHolder
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)
    Q_PROPERTY(QVariant commQuality READ commQualityToVariant WRITE commQualityFromVariant)
    Q_PROPERTY(
        QVariant softwareInformation READ softwareInformationToVariant WRITE softwareInformationFromVariant)
    Q_PROPERTY(QVariant offlinePeriod READ offlinePeriodToVariant WRITE offlinePeriodFromVariant)
    Q_PROPERTY(QVariant nomenclatureVersion MEMBER nomenclatureVersion)
    Q_PROPERTY(QVariantList ticketAdInfos READ ticketAdInfosToList WRITE ticketAdInfosFromList)
    Q_PROPERTY(bool getRegInfoFlag MEMBER getRegInfoFlag)
    Q_PROPERTY(bool getBindedTaxation MEMBER getBindedTaxation)
    Q_PROPERTY(QVariantMap auxiliary MEMBER auxiliary)
    Q_PROPERTY(QVariant regInfo READ regInfoToVariant WRITE regInfoFromVariant)
    Q_PROPERTY(QVariant securityStats READ securityStatsToVariant WRITE securityStatsFromVariant)

public:
    static ServiceRequest fromJson(const QJsonObject& json);
    QJsonObject toJson() const;
    void resetOfflinePeriod();

    bool operator==(const ServiceRequest&) const = default;

    std::optional<CommQuality> commQuality;
    std::optional<SoftwareInformation> softwareInformation;
    OfflinePeriod offlinePeriod;
    QVariant nomenclatureVersion;
    QList<TicketAdInfo> ticketAdInfos;
    bool getRegInfoFlag = true;
    bool getBindedTaxation = true;
    QVariantMap auxiliary;
    RegInfo regInfo;
    ::SecurityStats securityStats;

private:
    QVariant commQualityToVariant() const;
    void commQualityFromVariant(const QVariant& value);
    QVariant softwareInformationToVariant() const;
    void softwareInformationFromVariant(const QVariant& value);
    QVariant offlinePeriodToVariant() const;
    void offlinePeriodFromVariant(const QVariant& value);
    QVariantList ticketAdInfosToList() const;
    void ticketAdInfosFromList(const QVariantList& value);
    QVariant regInfoToVariant() const;
    void regInfoFromVariant(const QVariant& value);
    QVariant securityStatsToVariant() const;
    void securityStatsFromVariant(const QVariant& value);
};

} // namespace taxvault
