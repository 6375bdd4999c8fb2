#include "service/servicerecords.h"

#include "storage/dao.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"
#include "utility/localtimetext.h"

#include <QJsonDocument>

#include <algorithm>
#include <limits>

namespace taxvault {

namespace {

const QString kServiceRequest = QStringLiteral("servicerequest");
const QString kTransportData = QStringLiteral("transportdata");
// How the time of the last request is stored, in local time.
const QString kRequestTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

Config* config()
{
    return Singleton<Config>::instance();
}

Dao* dao()
{
    return Singleton<Dao>::instance();
}

// The latest instant a QDateTime holds.
QDateTime latestDateTime()
{
    return QDateTime::fromMSecsSinceEpoch(std::numeric_limits<qint64>::max());
}

// The stored additional data goes out with every later request: no answer may
// make every frame after it carry megabytes. The bytes are those of the map's
// compact UTF-8 JSON text.
constexpr qsizetype kMaxAuxiliaryKeys = 256;
constexpr qsizetype kMaxAuxiliaryBytes = 64 * 1024;

// The map holds the stored pairs, each with the answer's value when it has one,
// then the answer's new pairs, in key order, as far as both bounds allow; a pair
// that would pass a bound is left out. Returns how many pairs were left out.
qsizetype mergeAuxiliary(QVariantMap& stored, const QVariantMap& answered)
{
    QVariantMap merged;
    qsizetype bytes = 2; // {}
    qsizetype left = 0;
    const auto admit = [&merged, &bytes, &left](const QString& key, const QVariant& value) {
        if (merged.size() < kMaxAuxiliaryKeys) {
            // "key":value, and the comma before every pair but the first.
            const qsizetype pair = QJsonDocument(QJsonObject{{key, QJsonValue::fromVariant(value)}})
                                       .toJson(QJsonDocument::Compact)
                                       .size() -
                                   2 + (merged.isEmpty() ? 0 : 1);
            if (bytes + pair <= kMaxAuxiliaryBytes) {
                merged.insert(key, value);
                bytes += pair;
                return;
            }
        }
        ++left;
    };
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
        admit(it.key(), answered.value(it.key(), it.value()));
    for (auto it = answered.cbegin(); it != answered.cend(); ++it) {
        if (!stored.contains(it.key()))
            admit(it.key(), it.value());
    }
    stored = merged;
    return left;
}

} // namespace

ServiceRecords::ServiceRecords() : m_logger(Log4Qt::Logger::logger(QStringLiteral("sender"))) {}

QRecursiveMutex& ServiceRecords::serviceRequestMutex()
{
    static QRecursiveMutex mutex;
    return mutex;
}

void ServiceRecords::restoreTransportData()
{
    const QJsonObject data = dao()->getServiceData(kTransportData);
    if (data.contains(QStringLiteral("token")))
        config()->setValue(QStringLiteral("KKM:token"), data.value(QStringLiteral("token")).toInt(0));
    if (data.contains(QStringLiteral("packageNumber")))
        config()->setValue(QStringLiteral("KKM:packageNumber"),
                           data.value(QStringLiteral("packageNumber")).toInt(0));
}

void ServiceRecords::saveTransportData()
{
    const QJsonObject transport{
        {QStringLiteral("token"), config()->getInt(QStringLiteral("KKM:token"), 0)},
        {QStringLiteral("packageNumber"), config()->getInt(QStringLiteral("KKM:packageNumber"), 0)}};
    dao()->saveServiceData(kTransportData, transport);
}

QJsonObject ServiceRecords::storedServiceRequest()
{
    return dao()->getServiceData(kServiceRequest);
}

ServiceRequest ServiceRecords::serviceRequestDocument(const QJsonObject& json)
{
    return m_lastServiceRequest(
        json, [](const QJsonObject& kept, const QJsonObject& read) { return mapping::identical(kept, read); },
        &ServiceRequest::fromJson,
        [](const QJsonObject& read, const ServiceRequest&) {
            return mapping::weight(read, Memo<QJsonObject, ServiceRequest>::kMaxBytes);
        });
}

bool ServiceRecords::saveServiceResponse(const ServiceResponse& response)
{
    return dao()->saveServiceData(QStringLiteral("serviceresponse"), m_serviceResponseJson(response));
}

bool ServiceRecords::saveUpdatedServiceRequest(ServiceRequest request, const ServiceResponse& response)
{
    for (const TicketAd& ad : response.ticketAds) {
        auto known = std::find_if(request.ticketAdInfos.begin(), request.ticketAdInfos.end(),
                                  [&ad](const TicketAdInfo& info) { return info.type == ad.info.type; });
        if (known != request.ticketAdInfos.end()) {
            known->version = std::max(known->version, ad.info.version);
        } else {
            TicketAdInfo info;
            info.type = ad.info.type;
            info.version = ad.info.version;
            request.ticketAdInfos.append(info);
        }
    }

    KkmRegInfo& kkm = request.regInfo.kkm;
    const KkmRegInfo& answeredKkm = response.regInfo.kkm;
    kkm.pointOfPaymentNumber = answeredKkm.pointOfPaymentNumber;
    kkm.terminalNumber = answeredKkm.terminalNumber;
    kkm.fnsKkmId = answeredKkm.fnsKkmId;
    kkm.serialNumber = answeredKkm.serialNumber;
    kkm.kkmId = answeredKkm.kkmId;
    request.regInfo.pos = response.regInfo.pos;
    OrgRegInfo& org = request.regInfo.org;
    const OrgRegInfo& answeredOrg = response.regInfo.org;
    org.title = answeredOrg.title;
    org.address = answeredOrg.address;
    org.inn = answeredOrg.inn;
    org.okved = answeredOrg.okved;
    org.addressKz = answeredOrg.addressKz;

    const qsizetype left = mergeAuxiliary(request.auxiliary, response.auxiliary);
    if (left > 0)
        m_logger->warn(
            QStringLiteral("Дополнительные данные ответа сохранены не полностью: не сохранено ключей: "
                           "%1 (допустимо не более %2 ключей и %3 байт)")
                .arg(left)
                .arg(kMaxAuxiliaryKeys)
                .arg(kMaxAuxiliaryBytes));

    const auto fill = [](QString& field, const QString& key) {
        if (field.isEmpty())
            field = config()->getString(key, QString());
    };
    fill(kkm.fnsKkmId, QStringLiteral("KKM:fnsKkmId"));
    fill(kkm.serialNumber, QStringLiteral("KKM:serialNumber"));
    if (kkm.kkmId.isEmpty())
        kkm.kkmId = QString::number(config()->getInt(QStringLiteral("KKM:deviceId"), 0));
    fill(org.title, QStringLiteral("Service:organizationTitle"));
    fill(org.address, QStringLiteral("Service:organizationAddress"));
    fill(org.inn, QStringLiteral("Service:organizationInn"));
    fill(org.okved, QStringLiteral("Service:activityType"));

    const bool requestStored = dao()->saveServiceData(kServiceRequest, m_serviceRequestJson(request));
    m_logger->info(QStringLiteral("Служебная информация обновлена"));
    return requestStored;
}

bool ServiceRecords::openOfflinePeriod(ServiceRequest& serviceRequest, bool keepOpenPeriod,
                                       const QDateTime& now)
{
    if (keepOpenPeriod && serviceRequest.offlinePeriod.beginTime.isValid())
        return false;
    serviceRequest.offlinePeriod.beginTime = now;
    serviceRequest.offlinePeriod.endTime = QDateTime();
    dao()->saveServiceData(kServiceRequest, serviceRequest.toJson());
    return true;
}

void ServiceRecords::closeOfflinePeriod(ServiceRequest serviceRequest)
{
    serviceRequest.resetOfflinePeriod();
    dao()->saveServiceData(kServiceRequest, serviceRequest.toJson());
}

std::optional<QDateTime> ServiceRecords::storedLockDate()
{
    // The stored record itself: the Sender's read of it adds a status block, which
    // is built with the lock date.
    const std::optional<QJsonObject> stored = dao()->readServiceData(kServiceRequest);
    if (!stored)
        return std::nullopt;
    const QDateTime begin = ServiceRequest::fromJson(*stored).offlinePeriod.beginTime;
    if (!begin.isValid())
        return QDateTime();
    // In 64 bits: a large limit must not wrap into a lock date long past.
    const qint64 hours = std::max(config()->getInt(QStringLiteral("DataSending:offlineModeLimit"), 72), 0);
    const QDateTime lock = begin.addSecs(hours * 3600);
    // Beyond what QDateTime can hold there is no limit in practice.
    return lock.isValid() ? lock : latestDateTime();
}

bool ServiceRecords::isRequestTimeInvalid(const QDateTime& current)
{
    QJsonObject record = dao()->getServiceData(QStringLiteral("lastrequesttime"));
    if (!record.isEmpty()) {
        const QDateTime previous = localtimetext::read(record.value(QStringLiteral("datetime")).toString());
        bool invalid = false;
        if (previous.isValid()) {
            if (config()->getBool(QStringLiteral("Checks:checkOnlyRequestDate"), false))
                invalid = previous.date() > current.date();
            else
                invalid = current < previous;
        }
        if (invalid) {
            m_logger->error(QStringLiteral("Недопустимое время выполнения запроса. Текущее время: %1, время "
                                           "предыдущего запроса: %2")
                                .arg(current.toString(Qt::TextDate), previous.toString(Qt::TextDate)));
            return true;
        }
    }
    record.insert(QStringLiteral("datetime"), current.toString(kRequestTimeFormat));
    dao()->saveServiceData(QStringLiteral("lastrequesttime"), record);
    return false;
}

int ServiceRecords::offlineModeReason()
{
    const QJsonObject record = dao()->getServiceData(QStringLiteral("offlinemodereason"));
    if (record.isEmpty())
        return 0;
    return record.value(QStringLiteral("reason")).toInt(0);
}

void ServiceRecords::setOfflineModeReason(int reason)
{
    dao()->saveServiceData(QStringLiteral("offlinemodereason"),
                           QJsonObject{{QStringLiteral("reason"), reason}});
}

} // namespace taxvault
