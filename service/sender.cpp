#include "service/sender.h"

#include "documents/closeshiftrequest.h"
#include "documents/documentmapping.h"
#include "documents/kkminfoobject.h"
#include "documents/moneyplacementrequest.h"
#include "documents/servicerequest.h"
#include "documents/serviceresponse.h"
#include "documents/ticketrequest.h"
#include "protocol/invalidtokenexception.h"
#include "protocol/kkminfoobjectfactory.h"
#include "protocol/protoobjectfactory.h"
#include "protocol/serviceexception.h"
#include "service/fiscallogic.h"
#include "service/lockhandler.h"
#include "service/offlineticketnumber.h"
#include "service/queuehandler.h"
#include "service/servicetables.h"
#include "storage/dao.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"
#include "utility/currenttime.h"
#include "utility/mockfactory.h"
#include "utility/numeric.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <utility>

namespace taxvault {

namespace {

const QString kServiceRequest = QStringLiteral("servicerequest");
const QString kTransportData = QStringLiteral("transportdata");
const QString kReportResponse = QStringLiteral("reportresponse");
// How the time of the last request is stored, in local time.
const QString kRequestTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

// No answer of the operator comes near this; a peer that announces or sends
// more is broken or hostile, and the service must not hold it.
constexpr qsizetype kMaxReplySize = 16 * 1024 * 1024;
// What one read may take from the socket, so that the bound holds to a chunk.
constexpr qint64 kReadChunk = 64 * 1024;

Config* config()
{
    return Singleton<Config>::instance();
}

Dao* dao()
{
    return Singleton<Dao>::instance();
}

// The frame length in bytes 4-7 of a reply that holds at least its header.
qint64 announcedLength(const QByteArray& reply)
{
    return static_cast<qint64>(numeric::leToLong(reply.mid(4, 4)));
}

QDateTime now()
{
    return MockFactory<CurrentTime>::create()->currentDateTime();
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

Sender::Sender()
    : QObject(nullptr), m_status(0), m_fiscalLogic(new FiscalLogic()), m_socket(new QTcpSocket(this)),
      m_headerLength(18), m_logger(Log4Qt::Logger::logger(QStringLiteral("sender")))
{
    registerServiceStatusMetaType();
}

Sender::~Sender()
{
    // A worker still sending when the service ends would run on while the
    // process tears down the database driver and the crypto library under it.
    // Each worker finishes its current send; its exchange is bounded by the
    // configured timeouts.
    for (const QPointer<QThread>& thread : std::as_const(m_workerThreads)) {
        if (thread) {
            thread->quit();
            thread->wait();
        }
    }
}

QThread* Sender::workerThread(QObject* handler)
{
    auto* thread = new QThread();
    handler->moveToThread(thread);
    // The worker and its own Sender go with their thread, so that repeated
    // offline periods and server blocks do not pile up workers.
    connect(thread, &QThread::finished, handler, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    // Kept so that the service can wait for its workers when it ends.
    m_workerThreads.removeAll(QPointer<QThread>());
    m_workerThreads.append(thread);
    return thread;
}

QRecursiveMutex& Sender::serviceRequestMutex()
{
    static QRecursiveMutex mutex;
    return mutex;
}

QMutex& Sender::exchangeMutex()
{
    static QMutex mutex;
    return mutex;
}

// ---- start-up --------------------------------------------------------------

void Sender::init()
{
    m_logger->info(QStringLiteral("Инициализация"));
    restoreTransportData();
    int status = dao()->getServiceStatus();
    if (status == 0 || status == 1)
        status = dao()->getFirstMessage().isEmpty() ? 0 : 1;
    onChangeStatus(static_cast<EServiceStatus>(status));
    if (status == 1)
        startQueueHandler();
}

void Sender::restoreTransportData()
{
    const QJsonObject data = dao()->getServiceData(kTransportData);
    if (data.contains(QStringLiteral("token")))
        config()->setValue(QStringLiteral("KKM:token"), data.value(QStringLiteral("token")).toInt(0));
    if (data.contains(QStringLiteral("packageNumber")))
        config()->setValue(QStringLiteral("KKM:packageNumber"),
                           data.value(QStringLiteral("packageNumber")).toInt(0));
}

// ---- state -----------------------------------------------------------------

void Sender::onChangeStatus(EServiceStatus status)
{
    setStatus(static_cast<int>(status));
    if (status == EServiceStatus::SERVER_BLOCKED)
        startLockHandler();
}

void Sender::takeWorkerStatus(EServiceStatus status)
{
    // The queue worker may have found the queue empty just before a command
    // queued another document, and the lock worker may end with documents still
    // queued; nothing accepted may wait in normal mode. A queue that cannot be
    // read counts as empty, so that new documents still reach the server.
    if (status == EServiceStatus::NORMAL && !dao()->getFirstMessage().isEmpty()) {
        onChangeStatus(EServiceStatus::AUTONOMOUS);
        startQueueHandler();
        return;
    }
    onChangeStatus(status);
}

bool Sender::setStatus(int status)
{
    m_logger->info(QStringLiteral("Переход в %1").arg(serviceModeName(status)));
    m_status = status;
    // Documents wait from now on: without an open period the offline limit
    // could never be reached.
    if (status == static_cast<int>(EServiceStatus::AUTONOMOUS))
        openOfflinePeriod(true);
    m_lockDate = status == static_cast<int>(EServiceStatus::AUTONOMOUS) ? getLockDate() : QDateTime();
    return dao()->setServiceStatus(status);
}

QDateTime Sender::lockDate()
{
    // The queue worker closes the period after a delivered message and opens a
    // new one after a later failure: the lock date is that of the period open now.
    if (m_status == static_cast<int>(EServiceStatus::AUTONOMOUS)) {
        if (const std::optional<QDateTime> stored = storedLockDate())
            m_lockDate = *stored;
    }
    return m_lockDate;
}

std::optional<QDateTime> Sender::storedLockDate()
{
    // The stored record itself: getLastServiceRequest adds a status block, which
    // is built with the lock date.
    const std::optional<QJsonObject> stored = dao()->readServiceData(kServiceRequest);
    if (!stored)
        return std::nullopt;
    const QDateTime begin = ServiceRequest::fromJson(*stored).offlinePeriod.beginTime;
    if (!begin.isValid())
        return QDateTime();
    const qint64 hours = config()->getInt(QStringLiteral("DataSending:offlineModeLimit"), 72);
    // The seconds are a 32-bit number; a huge limit wraps as it always has.
    const qint32 seconds = static_cast<qint32>(static_cast<quint32>(hours * 3600));
    return begin.addSecs(seconds);
}

void Sender::openOfflinePeriod(bool keepOpenPeriod)
{
    QMutexLocker locker(&serviceRequestMutex());
    ServiceRequest serviceRequest = lastServiceRequestDocument();
    if (keepOpenPeriod && serviceRequest.offlinePeriod.beginTime.isValid())
        return;
    serviceRequest.offlinePeriod.beginTime = now();
    serviceRequest.offlinePeriod.endTime = QDateTime();
    dao()->saveServiceData(kServiceRequest, serviceRequest.toJson());
}

QDateTime Sender::getLockDate()
{
    m_logger->info(QStringLiteral("Получение даты блокировки"));
    // A record that cannot be read must not lift the offline limit.
    return storedLockDate().value_or(m_lockDate);
}

int Sender::resultCodeToStatus(int resultCode)
{
    switch (resultCode) {
    case 0:
    case 11:
        return static_cast<int>(EServiceStatus::NORMAL);
    case 2:
    case 254:
    case 255:
        return static_cast<int>(EServiceStatus::AUTONOMOUS);
    case 15:
        return static_cast<int>(EServiceStatus::SERVER_BLOCKED);
    default:
        return static_cast<int>(EServiceStatus::BLOCKED);
    }
}

bool Sender::isOfflineLimitExceeded()
{
    m_logger->info(QStringLiteral("Проверка длительности автономного режима"));
    if (m_status != static_cast<int>(EServiceStatus::AUTONOMOUS))
        return false;
    const QDateTime lock = lockDate();
    if (lock.isValid() && now().secsTo(lock) < 1)
        return true;
    m_logger->info(QStringLiteral("Допустимая длительность автономного режима не превышена"));
    return false;
}

QDateTime Sender::readRequestTime(const QString& text)
{
    // Qt's format parser is the costliest step of each command's time check:
    // the form this service writes is read directly, anything else by Qt.
    const auto number = [&text](qsizetype from, qsizetype count) {
        int value = 0;
        for (qsizetype i = from; i < from + count; ++i) {
            const char16_t c = text.at(i).unicode();
            if (c < u'0' || c > u'9')
                return -1;
            value = value * 10 + (c - u'0');
        }
        return value;
    };
    if (text.size() == 19 && text.at(4) == u'-' && text.at(7) == u'-' && text.at(10) == u' ' &&
        text.at(13) == u':' && text.at(16) == u':') {
        const int fields[] = {number(0, 4),  number(5, 2),  number(8, 2),
                              number(11, 2), number(14, 2), number(17, 2)};
        const QDate date(fields[0], fields[1], fields[2]);
        const QTime time(fields[3], fields[4], fields[5]);
        if (std::ranges::none_of(fields, [](int field) { return field < 0; }) && date.isValid() &&
            time.isValid()) {
            const QDateTime read(date, time);
            // A local time the clock skips is Qt's to settle.
            if (read.isValid() && read.date() == date && read.time() == time)
                return read;
        }
    }
    return QDateTime::fromString(text, kRequestTimeFormat);
}

bool Sender::isRequestTimeInvalid()
{
    const QDateTime current = now();
    QJsonObject record = dao()->getServiceData(QStringLiteral("lastrequesttime"));
    if (!record.isEmpty()) {
        const QDateTime previous = readRequestTime(record.value(QStringLiteral("datetime")).toString());
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

int Sender::offlineModeReason()
{
    const QJsonObject record = dao()->getServiceData(QStringLiteral("offlinemodereason"));
    if (record.isEmpty())
        return 0;
    return record.value(QStringLiteral("reason")).toInt(0);
}

int Sender::dbDamagedStatus()
{
    return config()->getBool(QStringLiteral("Blocks:blockOnDbDamaged"), false) ? 2 : 1;
}

QJsonObject Sender::fiscalMemoryError()
{
    m_logger->error(QStringLiteral("Ошибка при работе с фискальной памятью, переход в режим блокировки"));
    setStatus(static_cast<int>(EServiceStatus::BLOCKED));
    return makeKkmInfoResponse(static_cast<int>(EServiceStatus::BLOCKED),
                               QStringLiteral("Ошибка при работе с фискальной памятью"), QString(), 0);
}

// ---- status block ----------------------------------------------------------

QJsonObject Sender::makeKkmInfoResponse(int status, QString errorMessage, QString data, int dbState)
{
    KkmInfoObject info;
    info.serviceStatus = status;
    info.lockDate = lockDate();
    info.errorMessage = errorMessage;
    info.data = data;
    info.offlineModeReason = offlineModeReason();
    info.serviceStatusByDbState = dbState;
    const QString lockDateText = mapping::readValue(info.lockDate);
    if (!m_lastStatusBlock || !(m_lastStatusBlock->info == info) ||
        m_lastStatusBlock->lockDateText != lockDateText)
        m_lastStatusBlock = StatusBlock{info, lockDateText, info.toJson()};
    return m_lastStatusBlock->json;
}

QJsonObject Sender::makeResponse(QString errorMessage)
{
    const int dbState = dao()->isServiceDataAccessible() ? 0 : dbDamagedStatus();
    return makeKkmInfoResponse(m_status, errorMessage, QString(), dbState);
}

QJsonObject Sender::appendKkmInfo(QJsonObject object)
{
    const QJsonObject block = makeResponse(QString());
    for (auto it = block.begin(); it != block.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

void Sender::saveReportResponse(const QJsonObject& reply)
{
    m_logger->info(QStringLiteral("Сохранение ответа с отчетом"));
    if (reply.isEmpty())
        return;
    if (dao()->saveServiceData(kReportResponse, reply))
        m_logger->info(QStringLiteral("Отчет сохранен"));
}

// ---- service information ---------------------------------------------------

QJsonObject Sender::getLastServiceRequest()
{
    m_logger->info(QStringLiteral("Получение последнего служебного запроса"));
    const QJsonObject stored = dao()->getServiceData(kServiceRequest);
    if (stored.isEmpty()) {
        const QString missing = QStringLiteral("В базе данных отсутствует служебный запрос");
        m_logger->info(missing);
        return makeResponse(missing);
    }
    return appendKkmInfo(stored);
}

ServiceRequest Sender::lastServiceRequestDocument()
{
    const QJsonObject json = getLastServiceRequest();
    if (!m_lastServiceRequest || !mapping::identical(m_lastServiceRequest->json, json))
        m_lastServiceRequest = ServiceRequestRead{json, ServiceRequest::fromJson(json)};
    return m_lastServiceRequest->document;
}

bool Sender::updateServiceInfo(const ServiceResponse& response)
{
    QMutexLocker locker(&serviceRequestMutex());
    m_logger->info(QStringLiteral("Обновление служебной информации"));
    const bool responseStored =
        dao()->saveServiceData(QStringLiteral("serviceresponse"), m_serviceResponseJson(response));

    ServiceRequest request = lastServiceRequestDocument();

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
    return responseStored && requestStored;
}

// ---- command processing ----------------------------------------------------

QJsonObject Sender::processCommand(int command, const QJsonObject& request)
{
    const QJsonObject reply = handleCommand(command, request);
    // A handler that stores more after this keeps the command's writes open.
    return m_holdCommandWrites ? reply : commitCommandWrites(reply);
}

void Sender::beginCommandWrites(Dao::Sync sync)
{
    if (m_commandWritesOpen)
        return;
    // The service request's lock before the Dao's, in the order every thread
    // takes them: updateServiceInfo and the offline period need it inside.
    serviceRequestMutex().lock();
    m_commandWritesOpen = dao()->beginTransaction(sync);
    // Without a transaction each write commits on its own, as it can.
    if (!m_commandWritesOpen)
        serviceRequestMutex().unlock();
}

bool Sender::endCommandWrites()
{
    if (!m_commandWritesOpen)
        return true;
    m_commandWritesOpen = false;
    const bool committed = dao()->commitTransaction();
    serviceRequestMutex().unlock();
    return committed;
}

QJsonObject Sender::commitCommandWrites(const QJsonObject& reply)
{
    if (endCommandWrites())
        return reply;
    // Rolled back: none of the command's records stayed.
    return fiscalMemoryError();
}

QJsonObject Sender::runCommand(const std::function<QJsonObject()>& command)
{
    m_holdCommandWrites = true;
    const QJsonObject reply = command();
    m_holdCommandWrites = false;
    return commitCommandWrites(reply);
}

void Sender::saveTransportData()
{
    const QJsonObject transport{
        {QStringLiteral("token"), config()->getInt(QStringLiteral("KKM:token"), 0)},
        {QStringLiteral("packageNumber"), config()->getInt(QStringLiteral("KKM:packageNumber"), 0)}};
    dao()->saveServiceData(kTransportData, transport);
}

QJsonObject Sender::handleCommand(int command, const QJsonObject& request)
{
    m_logger->info(QStringLiteral("Статус сервиса: %1").arg(serviceModeName(m_status)));

    if (m_status == static_cast<int>(EServiceStatus::BLOCKED) ||
        m_status == static_cast<int>(EServiceStatus::SERVER_BLOCKED))
        return makeKkmInfoResponse(m_status, QStringLiteral("Сервис в режиме блокировки"), QString(), 0);

    // Up to the exchange, a command's reads and writes are one transaction.
    // Autonomous, that is the whole command, from the request time to the queued
    // message, synced. Online, it ends before the exchange without waiting for the
    // disk: it holds only the request time, whose loss at a power failure equals a
    // command never begun, and the synced commit after the exchange carries it.
    const bool online = m_status != static_cast<int>(EServiceStatus::AUTONOMOUS);
    beginCommandWrites(online ? Dao::Sync::Deferred : Dao::Sync::Synced);

    if (isRequestTimeInvalid()) {
        // A change of status is waited for on the disk.
        if (online)
            endCommandWrites();
        setStatus(static_cast<int>(EServiceStatus::BLOCKED));
        return makeKkmInfoResponse(static_cast<int>(EServiceStatus::BLOCKED),
                                   QStringLiteral("Время некорректно. Сервис в режиме блокировки"), QString(),
                                   0);
    }

    if (m_status == static_cast<int>(EServiceStatus::AUTONOMOUS)) {
        if (isOfflineLimitExceeded()) {
            setStatus(static_cast<int>(EServiceStatus::BLOCKED));
            return makeKkmInfoResponse(
                static_cast<int>(EServiceStatus::BLOCKED),
                QStringLiteral("Время нахождения в автономном режиме превышено. Сервис в режиме блокировки"),
                QString(), 0);
        }
        QString text = QStringLiteral("Сервис в автономном режиме");
        QString data;
        if (!request.isEmpty() && !enqueueMessage(command, request, data))
            text = QStringLiteral("Не удалось сохранить сообщение в очередь");
        const int dbState =
            dao()->isMessageQueueAccessible() && dao()->isServiceDataAccessible() ? 0 : dbDamagedStatus();
        return makeKkmInfoResponse(m_status, text, data, dbState);
    }

    const QString dbAccessText = QStringLiteral("Нет доступа к БД. Обратитесь в службу техподдержки");
    int dbState = 0;
    if (!dao()->isServiceDataAccessible()) {
        dbState = dbDamagedStatus();
        if (dbState == 2)
            return makeKkmInfoResponse(m_status, dbAccessText, QString(), 2);
    }

    ofd::proto::Request protoRequest;
    if (!request.isEmpty()) {
        const QJsonObject message{{QStringLiteral("command"), command}, {QStringLiteral("request"), request}};
        protoRequest = MockFactory<ProtoObjectFactory>::create()->createRequest(message);
    }
    const ServiceRequest serviceRequest = lastServiceRequestDocument();
    *protoRequest.mutable_service() =
        MockFactory<ProtoObjectFactory>::create()->createServiceRequest(serviceRequest);
    protoRequest.set_command(static_cast<ofd::proto::CommandTypeEnum>(command));

    // No transaction is open while the server is awaited.
    endCommandWrites();
    ofd::proto::Response answer;
    try {
        answer = exchange(protoRequest);
        // What the answer brings is stored in one transaction, begun only now:
        // no other thread waits on the operator's server.
        beginCommandWrites();
        saveTransportData();
        if (answer.result().result_code() == 2)
            throw InvalidTokenException(QStringLiteral("Invalid token"));
    } catch (const InvalidTokenException& e) {
        return goOffline(command, request, 2, e.tr().ru());
    } catch (const ServiceException& e) {
        return goOffline(command, request, 1, e.tr().ru());
    }

    const int code = static_cast<int>(answer.result().result_code());
    onChangeStatus(static_cast<EServiceStatus>(resultCodeToStatus(code)));
    m_logger->info(QStringLiteral("Команда выполнена. Код результата: %1, сообщение об ошибке: '%2'")
                       .arg(code)
                       .arg(QString::fromStdString(answer.result().result_text())));

    const ServiceResponse serviceResponse =
        MockFactory<KkmInfoObjectFactory>::create()->createServiceResponse(answer.service());
    if (!updateServiceInfo(serviceResponse)) {
        dbState = dbDamagedStatus();
        if (dbState == 2)
            return makeKkmInfoResponse(m_status, dbAccessText, QString(), 2);
    }
    if (command == ofd::proto::COMMAND_INFO)
        dao()->saveServiceData(QStringLiteral("infoserviceresponse"), serviceResponse.toJson());

    QJsonObject reply = MockFactory<KkmInfoObjectFactory>::create()->responseToJson(answer, command);
    if (reply.isEmpty())
        m_logger->error(QStringLiteral("Не удалось создать объект"));
    QJsonObject block = reply.value(QStringLiteral("kkmInfoObject")).toObject();
    block.insert(QStringLiteral("serviceStatus"), m_status);
    block.insert(QStringLiteral("errorMessage"), resultCodeMessage(code));
    block.insert(QStringLiteral("serviceStatusByDbState"), dbState);
    reply.insert(QStringLiteral("kkmInfoObject"), block);

    m_logger->info(QStringLiteral("Ответ от сервера: %1")
                       .arg(QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact))));
    return reply;
}

// ---- autonomous mode -------------------------------------------------------

bool Sender::isQueueableCommand(int command)
{
    switch (command) {
    case ofd::proto::COMMAND_TICKET:
    case ofd::proto::COMMAND_CLOSE_SHIFT:
    case ofd::proto::COMMAND_REPORT:
    case ofd::proto::COMMAND_MONEY_PLACEMENT:
    case ofd::proto::COMMAND_RESERVED:
        return true;
    default:
        return false;
    }
}

bool Sender::enqueueMessage(int command, const QJsonObject& request, QString& data)
{
    m_logger->debug(QStringLiteral("Подготовка сообщения для отправки в очередь"));
    const bool normal = m_status == static_cast<int>(EServiceStatus::NORMAL);
    QJsonObject message;
    QString ticketNumber;
    bool numbered = false;
    std::optional<qint64> offlineNumber;
    if (isQueueableCommand(command) && !request.isEmpty()) {
        message.insert(QStringLiteral("command"), command);
        if (m_status == static_cast<int>(EServiceStatus::AUTONOMOUS)) {
            QJsonObject stamped = request;
            if (command == ofd::proto::COMMAND_CLOSE_SHIFT || command == ofd::proto::COMMAND_REPORT ||
                command == ofd::proto::COMMAND_MONEY_PLACEMENT)
                stamped.insert(QStringLiteral("isOfflineFlag"), true);
            if (command == ofd::proto::COMMAND_TICKET) {
                numbered = true;
                offlineNumber = OfflineTicketNumber::next(now());
                stamped.insert(QStringLiteral("offlineTicketNumber"), offlineNumber.value_or(0));
                ticketNumber = QString::number(offlineNumber.value_or(0));
            }
            message.insert(QStringLiteral("request"), stamped);
        } else {
            message.insert(QStringLiteral("request"), request);
        }
    } else {
        if (!normal)
            return true;
        message.insert(QStringLiteral("command"), 0);
        message.insert(QStringLiteral("request"), QJsonValue(QJsonValue::Null));
    }

    if (normal) {
        // A period left open while the service was blocked is not this one.
        openOfflinePeriod(false);
        setStatus(static_cast<int>(EServiceStatus::AUTONOMOUS));
    }

    // The message is stored before the worker starts: a worker with a short
    // interval must not find the queue empty and end the autonomous period.
    m_logger->debug(QStringLiteral("Отправка сообщения в очередь"));
    const auto store = [&] { return m_documentCount ? storeCounted(message) : dao()->saveMessage(message); };
    const bool stored = numbered ? OfflineTicketNumber::storeWith(offlineNumber, store) : store();
    // The counters' failure is answered by the command's handler.
    if (!stored && m_countOutcome != CountOutcome::Failed)
        setStatus(static_cast<int>(EServiceStatus::BLOCKED));
    if (normal)
        startQueueHandler();
    // An offline number only for a receipt that exists.
    if (stored)
        data = ticketNumber;
    return stored;
}

bool Sender::storeCounted(const QJsonObject& message)
{
    // Delivered but never counted, or counted but never delivered, would both
    // put the shift's totals out of step with the server's.
    const std::function<bool()> count = std::exchange(m_documentCount, nullptr);
    if (!dao()->beginTransaction())
        return false;
    if (!dao()->saveMessage(message)) {
        dao()->rollbackTransaction();
        return false;
    }
    if (!count()) {
        dao()->rollbackTransaction();
        m_countOutcome = CountOutcome::Failed;
        return false;
    }
    // A failed commit has rolled back: neither the message nor its counts stay.
    if (!dao()->commitTransaction())
        return false;
    m_countOutcome = CountOutcome::Counted;
    return true;
}

QJsonObject Sender::goOffline(int command, const QJsonObject& request, int reason, QString errorText)
{
    beginCommandWrites();
    setOfflineModeReason(reason);
    m_logger->error(errorText);
    QString text = errorText;
    QString data;
    if (!enqueueMessage(command, request, data))
        text = QStringLiteral("Не удалось сохранить сообщение в очередь");
    const int dbState =
        dao()->isMessageQueueAccessible() && dao()->isServiceDataAccessible() ? 0 : dbDamagedStatus();
    return makeKkmInfoResponse(m_status, text, data, dbState);
}

void Sender::setOfflineModeReason(int reason)
{
    dao()->saveServiceData(QStringLiteral("offlinemodereason"),
                           QJsonObject{{QStringLiteral("reason"), reason}});
}

void Sender::startQueueHandler()
{
    m_logger->info(QStringLiteral("Запускаем обработчик очереди"));
    auto* handler = new QueueHandler();
    QThread* thread = workerThread(handler);
    connect(thread, &QThread::started, handler, &QueueHandler::onStart);
    connect(handler, &QueueHandler::stop, thread, &QThread::quit);
    connect(handler, &QueueHandler::stop, this, [this](EServiceStatus status) { takeWorkerStatus(status); });
    connect(handler, &QueueHandler::changeStatus, this, &Sender::onChangeStatus);
    thread->start(QThread::InheritPriority);
}

void Sender::startLockHandler()
{
    m_logger->info(QStringLiteral("Запускаем обработчик серверной блокировки"));
    auto* handler = new LockHandler();
    QThread* thread = workerThread(handler);
    connect(thread, &QThread::started, handler, &LockHandler::onStart);
    connect(handler, &LockHandler::stop, thread, &QThread::quit);
    connect(handler, &LockHandler::stop, this, [this]() { takeWorkerStatus(EServiceStatus::NORMAL); });
    thread->start(QThread::InheritPriority);
}

// ---- operator link ---------------------------------------------------------

QByteArray Sender::buildPacket(const QByteArray& payload)
{
    const auto bits32 = [](int value) {
        return static_cast<unsigned long long>(static_cast<quint32>(value));
    };
    QByteArray frame;
    frame.append(static_cast<char>(0xA2));
    frame.append(static_cast<char>(0x81));
    frame.append(numeric::longToLe(203, 2));
    frame.append(numeric::longToLe(bits32(m_headerLength + static_cast<int>(payload.size())), 4));
    frame.append(numeric::longToLe(bits32(config()->getInt(QStringLiteral("KKM:deviceId"), 0)), 4));
    frame.append(numeric::longToLe(bits32(config()->getInt(QStringLiteral("KKM:token"), 0)), 4));
    frame.append(
        numeric::longToLe(bits32(config()->getInt(QStringLiteral("KKM:packageNumber"), 0)) & 0xFF, 2));
    frame.append(payload);
    return frame;
}

ofd::proto::Response Sender::exchange(const ofd::proto::Request& request)
{
    QElapsedTimer clock;
    clock.start();
    qint64 attemptStart = -1;
    forever
    {
        // Only a failed attempt comes back here. One that ended quickly, whatever the
        // reason, is followed by the pause: a server that answers at once with
        // something unusable must not be flooded with frames.
        if (attemptStart >= 0 && clock.elapsed() - attemptStart <= 499)
            QThread::msleep(500);
        if (clock.elapsed() >= config()->getInt(QStringLiteral("DataSending:operationTimeout"), 5000))
            throw ServiceException(QStringLiteral("Нет связи с сервером ОФД"));
        attemptStart = clock.elapsed();
        try {
            QMutexLocker locker(&exchangeMutex());
            const QByteArray payload = ProtoObjectFactory::serialize(request);
            const QByteArray reply = sendData(buildPacket(payload));

            // A reply shorter than its header, or shorter than the length its
            // header announces, is no answer.
            // The announced length only tells when the reply is complete; the
            // payload is every byte after the header.
            if (reply.size() < m_headerLength || announcedLength(reply) > reply.size()) {
                m_logger->warn(QStringLiteral("Неполный ответ от сервера"));
                continue;
            }

            const char* data = reply.constData() + m_headerLength;
            const int size = static_cast<int>(reply.size() - m_headerLength);
            ofd::proto::Response answer;
            if (!answer.ParseFromArray(data, size)) {
                m_logger->warn(QStringLiteral("Неполный ответ от сервера"));
                answer.Clear();
                if (!answer.ParsePartialFromArray(data, size))
                    continue;
            }
            // Without a verdict the answer confirms nothing: treating it as
            // success would drop a document the server never accepted.
            if (!answer.has_result() || !answer.result().has_result_code())
                continue;
            const quint32 code = answer.result().result_code();
            if (code == ofd::proto::RESULT_TYPE_SERVICE_TEMPORARILY_UNAVAILABLE ||
                code == ofd::proto::RESULT_TYPE_UNKNOWN_ERROR)
                continue;

            const qulonglong token = numeric::leToLong(reply.mid(12, 4));
            config()->setValue(QStringLiteral("KKM:token"), QVariant::fromValue<qulonglong>(token));
            const int packageNumber = config()->getInt(QStringLiteral("KKM:packageNumber"), 0);
            config()->setValue(QStringLiteral("KKM:packageNumber"), (packageNumber & 0xFF) + 1);
            // Stored by the caller, together with the rest of what the answer brings.
            return answer;
        } catch (const ServiceException&) {
            // The attempt has failed; the next one follows within the budget.
        }
    }
}

void Sender::failTransfer(const QString& text)
{
    m_logger->error(text);
    // A late answer to this frame must never be read as the answer to the next.
    m_socket->abort();
    throw ServiceException(text);
}

QByteArray Sender::sendData(const QByteArray& packet)
{
    m_logger->debug(
        QStringLiteral("Отправка данных на сервер %1:%2")
            .arg(config()->getString(QStringLiteral("Connection:host"), QStringLiteral("127.0.0.1")))
            .arg(config()->getInt(QStringLiteral("Connection:port"), 0)));

    // The lines so far are out before the wait on the server begins.
    Log4Qt::LogBatch::flush();
    m_socket->abort();
    m_socket->connectToHost(
        config()->getString(QStringLiteral("Connection:host"), QStringLiteral("127.0.0.1")),
        static_cast<quint16>(config()->getInt(QStringLiteral("Connection:port"), 0)), QIODevice::ReadWrite,
        QAbstractSocket::AnyIPProtocol);
    if (!m_socket->waitForConnected(config()->getInt(QStringLiteral("Connection:connectionTimeout"), 2000)))
        failTransfer(QStringLiteral("Не удалось подключиться к сокету: '%1'").arg(m_socket->errorString()));

    m_socket->write(packet);
    if (m_logger->isEnabledFor(Log4Qt::Level::Trace))
        m_logger->trace(QStringLiteral("Отправка данных: %1").arg(numeric::byteArrayToString(packet)));
    // A large frame may take several writes; together they get the one timeout.
    const QDeadlineTimer writeDeadline(config()->getInt(QStringLiteral("Connection:writeTimeout"), 3000));
    while (m_socket->bytesToWrite() > 0) {
        if (!m_socket->waitForBytesWritten(static_cast<int>(writeDeadline.remainingTime())))
            failTransfer(
                QStringLiteral("Не удалось записать данные в сокет: '%1'").arg(m_socket->errorString()));
    }
    m_logger->info(QStringLiteral("Данные отправлены"));

    // TCP may deliver the reply in pieces: read until the length announced in
    // the header has arrived, the server closes, or the one read timeout is
    // over, also while bytes keep coming.
    m_socket->setReadBufferSize(kReadChunk);
    QDeadlineTimer deadline(config()->getInt(QStringLiteral("Connection:readTimeout"), 30000));
    QByteArray reply;
    QString readError;
    forever
    {
        const bool arrived =
            !deadline.hasExpired() && m_socket->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        if (!arrived)
            readError = m_socket->errorString();
        // What has arrived, not the whole allowance: read(n) first allocates n bytes.
        reply.append(
            m_socket->read(qMin(m_socket->bytesAvailable(), qint64(kMaxReplySize + 1 - reply.size()))));
        const qint64 announced = reply.size() >= m_headerLength ? announcedLength(reply) : 0;
        if (reply.size() > kMaxReplySize || announced > kMaxReplySize) {
            m_logger->warn(QStringLiteral("Неполный ответ от сервера"));
            m_socket->abort();
            throw ServiceException(QStringLiteral("Неполный ответ от сервера"));
        }
        if (!arrived || (reply.size() >= m_headerLength && reply.size() >= announced))
            break;
    }
    if (reply.isEmpty())
        failTransfer(QStringLiteral("Нет данных для чтения: '%1'").arg(readError));

    if (m_logger->isEnabledFor(Log4Qt::Level::Trace))
        m_logger->trace(QStringLiteral("Ответ получен: %1").arg(numeric::byteArrayToString(reply)));
    m_socket->close();
    return reply;
}

// ---- HTTP command handlers -------------------------------------------------

QJsonObject Sender::commandSystem()
{
    m_logger->info(QStringLiteral("Получение системной информации"));
    QJsonObject reply = processCommand(ofd::proto::COMMAND_SYSTEM, QJsonObject());
    QJsonObject regInfo = reply.value(QStringLiteral("regInfo")).toObject();
    QJsonObject kkm = regInfo.value(QStringLiteral("kkm")).toObject();
    if (!kkm.contains(QStringLiteral("fnsKkmId")) ||
        kkm.value(QStringLiteral("fnsKkmId")).toString().isEmpty()) {
        kkm.insert(QStringLiteral("fnsKkmId"),
                   config()->getString(QStringLiteral("KKM:fnsKkmId"), QString()));
        regInfo.insert(QStringLiteral("kkm"), kkm);
        reply.insert(QStringLiteral("regInfo"), regInfo);
    }
    return reply;
}

QJsonObject Sender::commandInfo()
{
    m_logger->info(QStringLiteral("Инициализация устройства"));
    const QJsonObject reply = runCommand([this] {
        const QJsonObject answered = processCommand(ofd::proto::COMMAND_INFO, QJsonObject());
        if (m_status != static_cast<int>(EServiceStatus::AUTONOMOUS))
            saveReportResponse(answered);
        return answered;
    });
    if (m_status != static_cast<int>(EServiceStatus::AUTONOMOUS))
        return reply;
    const QJsonObject stored = dao()->getServiceData(kReportResponse);
    if (stored.isEmpty()) {
        m_logger->warn(QStringLiteral("Сервис в режиме 'офлайн', при этом в фискальной памяти нет отчета"));
        return makeKkmInfoResponse(static_cast<int>(EServiceStatus::BLOCKED),
                                   QStringLiteral("Инициализация ККМ невозможна"), QString(), 0);
    }
    return appendKkmInfo(stored);
}

QJsonObject Sender::commandCloseShift(const QSharedPointer<CloseShiftRequest>& request)
{
    m_logger->info(QStringLiteral("Закрытие смены в ФН"));
    request->withdrawMoney = config()->getBool(QStringLiteral("KKM:withdrawMoney"), false);
    return runCommand([this, &request] {
        QJsonObject reply = processCommand(ofd::proto::COMMAND_CLOSE_SHIFT, request->toJson());
        if (m_status == static_cast<int>(EServiceStatus::AUTONOMOUS))
            reply = appendKkmInfo(reply);
        saveReportResponse(reply);
        if (m_status < static_cast<int>(EServiceStatus::BLOCKED) &&
            !m_fiscalLogic->closeShift(request->frShiftNumber.toInt()))
            return fiscalMemoryError();
        return reply;
    });
}

QJsonObject Sender::processCounted(int command, const QJsonObject& request,
                                   const std::function<bool()>& count)
{
    return runCommand([&] {
        m_documentCount = count;
        m_countOutcome = CountOutcome::Pending;
        const QJsonObject reply = processCommand(command, request);
        m_documentCount = nullptr;
        const CountOutcome outcome = std::exchange(m_countOutcome, CountOutcome::Pending);
        if (outcome == CountOutcome::Failed)
            return fiscalMemoryError();
        // Not queued: counted once the server has accepted it.
        if (outcome == CountOutcome::Pending && m_status < static_cast<int>(EServiceStatus::BLOCKED) &&
            !count())
            return fiscalMemoryError();
        return reply;
    });
}

QJsonObject Sender::commandTicket(const QSharedPointer<TicketRequest>& request)
{
    m_logger->info(QStringLiteral("Закрытие чека"));
    request->setTaxationType(
        taxationTypeNumber(config()->getString(QStringLiteral("KKM:taxationType"), QString())));
    return processCounted(ofd::proto::COMMAND_TICKET, request->toJson(),
                          [this, request] { return m_fiscalLogic->addTicket(request); });
}

QJsonObject Sender::commandMoneyPlacement(const QSharedPointer<MoneyPlacementRequest>& request)
{
    m_logger->info(QStringLiteral("Внесение/выем денег"));
    return processCounted(ofd::proto::COMMAND_MONEY_PLACEMENT, request->toJson(),
                          [this, request] { return m_fiscalLogic->addMoneyPlacement(request); });
}

QJsonObject Sender::commandReport(const QJsonObject& object)
{
    m_logger->info(QStringLiteral("Отправка X-/Z-отчета"));
    return runCommand([this, &object] {
        const QJsonObject reply = processCommand(ofd::proto::COMMAND_REPORT, object);
        saveReportResponse(reply);
        return reply;
    });
}

QJsonObject Sender::saveTicketRequest(const QJsonObject& object)
{
    m_logger->info(QStringLiteral("Сохранение чека в БД"));
    dao()->saveServiceData(QStringLiteral("ticketrequest"), object);
    return makeResponse(QString());
}

QJsonObject Sender::saveReportRequest(const QJsonObject& object)
{
    m_logger->info(QStringLiteral("Сохранение X-/Z-отчета в БД"));
    if (dao()->saveServiceData(QStringLiteral("reportrequest"), object)) {
        m_logger->info(QStringLiteral("Отчет сохранен"));
        return makeResponse(QString());
    }
    m_logger->warn(QStringLiteral("Не удалось сохранить отчет, переход в режим блокировки"));
    return fiscalMemoryError();
}

QJsonObject Sender::readBack(const QString& record, const QString& infoText, const QString& missingText)
{
    m_logger->info(infoText);
    const QJsonObject stored = dao()->getServiceData(record);
    if (stored.isEmpty())
        return makeResponse(missingText);
    return appendKkmInfo(stored);
}

QJsonObject Sender::getLastTicketRequest()
{
    return readBack(QStringLiteral("ticketrequest"), QStringLiteral("Получение последнего чека"),
                    QStringLiteral("В базе данных отсутствует чек"));
}

QJsonObject Sender::getLastReportRequest()
{
    return readBack(QStringLiteral("reportrequest"), QStringLiteral("Получение последнего X-/Z-отчета"),
                    QStringLiteral("В базе данных отсутствует отчет"));
}

QJsonObject Sender::getLastReportResponse()
{
    return readBack(kReportResponse, QStringLiteral("Получение последнего ответа с отчетом"),
                    QStringLiteral("В базе данных отсутствует ответ с отчетом"));
}

QJsonObject Sender::getLastServiceResponse()
{
    return readBack(QStringLiteral("serviceresponse"),
                    QStringLiteral("Получение последнего служебного ответа"),
                    QStringLiteral("В базе данных отсутствует служебный ответ"));
}

QJsonObject Sender::getLastInfoServiceResponse()
{
    return readBack(QStringLiteral("infoserviceresponse"),
                    QStringLiteral("Получение последнего служебного ответа с информацией для печати"),
                    QStringLiteral("В базе данных отсутствует информация для печати"));
}

} // namespace taxvault
