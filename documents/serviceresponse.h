#pragma once

#include "documents/bindedtaxation.h"
#include "documents/kkminfoholder.h"
#include "documents/lastdocumentinfo.h"
#include "documents/reginfo.h"
#include "documents/ticketad.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

namespace taxvault {

// The service part of the server's answer.
class ServiceResponse : public KkmInfoHolder
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)
    Q_PROPERTY(QVariantList ticketAds READ ticketAdsToList WRITE ticketAdsFromList)
    Q_PROPERTY(QVariant regInfo READ regInfoToVariant WRITE regInfoFromVariant)
    Q_PROPERTY(QVariant lastDocumentInfo READ lastDocumentInfoToVariant WRITE lastDocumentInfoFromVariant)
    Q_PROPERTY(QVariant bindedTaxation READ bindedTaxationToVariant WRITE bindedTaxationFromVariant)
    Q_PROPERTY(QVariantMap auxiliary MEMBER auxiliary)

public:
    QJsonObject toJson() const;

    bool operator==(const ServiceResponse&) const = default;

    QList<TicketAd> ticketAds;
    RegInfo regInfo;
    std::optional<LastDocumentInfo> lastDocumentInfo;
    std::optional<BindedTaxation> bindedTaxation;
    QVariantMap auxiliary;

private:
    QVariantList ticketAdsToList() const;
    void ticketAdsFromList(const QVariantList& value);
    QVariant regInfoToVariant() const;
    void regInfoFromVariant(const QVariant& value);
    QVariant lastDocumentInfoToVariant() const;
    void lastDocumentInfoFromVariant(const QVariant& value);
    QVariant bindedTaxationToVariant() const;
    void bindedTaxationFromVariant(const QVariant& value);
};

} // namespace taxvault
