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
#include "service/commandtransaction.h"
#include "service/fiscallogic.h"
#include "service/lockhandler.h"
#include "service/offlineticketnumber.h"
#include "service/operatorlink.h"
#include "service/queuehandler.h"
#include "service/servicetables.h"
#include "storage/dao.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"
#include "utility/currenttime.h"
#include "utility/mockfactory.h"
#include "utility/numeric.h"

#include <QJsonDocument>
#include <QThread>

#include <new>
#include <optional>
#include <variant>

namespace taxvault {

namespace {

const QString kReportResponse = QStringLiteral("reportresponse");
const QString kDocumentsQueued = QStringLiteral("в очереди есть неотправленные сообщения");

Config* config()
{
    return Singleton<Config>::instance();
}

Dao* dao()
{
    return Singleton<Dao>::instance();
}

QDateTime now()
{
    return MockFactory<CurrentTime>::create()->currentDateTime();
}

} // namespace

Sender::Sender()
    : QObject(nullptr), m_status(0), m_fiscalLogic(new FiscalLogic()), m_link(new OperatorLink(this)),
      m_logger(Log4Qt::Logger::logger(QStringLiteral("sender")))
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

// ---- start-up --------------------------------------------------------------

void Sender::init()
{
    m_logger->info(QStringLiteral("Инициализация"));
    restoreTransportData();
    int status = dao()->getServiceStatus();
    if (status == 0 || status == 1)
        status = dao()->getFirstMessage().isEmpty() ? 0 : 1;
    warnOfStatusChange(status, status == static_cast<int>(EServiceStatus::AUTONOMOUS)
                                   ? kDocumentsQueued
                                   : QStringLiteral("статус сохранен до перезапуска"));
    onChangeStatus(static_cast<EServiceStatus>(status));
    if (status == 1)
        startQueueHandler();
}

void Sender::restoreTransportData()
{
    m_records.restoreTransportData();
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
        warnOfStatusChange(static_cast<int>(EServiceStatus::AUTONOMOUS), kDocumentsQueued);
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

void Sender::warnOfStatusChange(int status, const QString& cause)
{
    if (status != m_status && status != static_cast<int>(EServiceStatus::NORMAL))
        m_logger->warn(statusChangeWarning(status, cause));
}

void Sender::blockFor(const QString& cause)
{
    warnOfStatusChange(static_cast<int>(EServiceStatus::BLOCKED), cause);
    setStatus(static_cast<int>(EServiceStatus::BLOCKED));
}

QDateTime Sender::lockDate()
{
    // The queue worker closes the period after a delivered message and opens a
    // new one after a later failure: the lock date is that of the period open now.
    if (m_status == static_cast<int>(EServiceStatus::AUTONOMOUS)) {
        if (const std::optional<QDateTime> stored = m_records.storedLockDate())
            m_lockDate = *stored;
    }
    return m_lockDate;
}

void Sender::openOfflinePeriod(bool keepOpenPeriod)
{
    QMutexLocker locker(&ServiceRecords::serviceRequestMutex());
    ServiceRequest serviceRequest = lastServiceRequestDocument();
    m_records.openOfflinePeriod(serviceRequest, keepOpenPeriod, now());
}

QDateTime Sender::getLockDate()
{
    m_logger->info(QStringLiteral("Получение даты блокировки"));
    // A record that cannot be read must not lift the offline limit.
    return m_records.storedLockDate().value_or(m_lockDate);
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

bool Sender::isRequestTimeInvalid()
{
    return m_records.isRequestTimeInvalid(now());
}

int Sender::offlineModeReason()
{
    return m_records.offlineModeReason();
}

int Sender::dbDamagedStatus()
{
    return config()->getBool(QStringLiteral("Blocks:blockOnDbDamaged"), false) ? 2 : 1;
}

QJsonObject Sender::fiscalMemoryError()
{
    m_logger->error(QStringLiteral("Ошибка при работе с фискальной памятью, переход в режим блокировки"));
    // Counted nowhere on the till, the document must be settled with the
    // operator before it is made again.
    if (m_accepted) {
        m_logger->error(QStringLiteral("Документ принят сервером ОФД, но не сохранен: %1").arg(*m_accepted));
        m_accepted.reset();
    }
    blockFor(QStringLiteral("ошибка при работе с фискальной памятью"));
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
    using Block = std::pair<KkmInfoObject, QString>;
    return m_lastStatusBlock(
        Block{info, mapping::readValue(info.lockDate)},
        std::equal_to<Block>(),
        [](const Block& block) { return block.first.toJson(); },
        [](const Block& block, const QJsonObject&) { return block.first.errorMessage.size() + block.first.data.size(); });
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
    if (std::optional<QJsonObject> refusal = refusalOfLostDatabase())
        return *refusal;
    const QJsonObject stored = m_records.storedServiceRequest();
    if (stored.isEmpty()) {
        const QString missing = QStringLiteral("В базе данных отсутствует служебный запрос");
        m_logger->info(missing);
        return makeResponse(missing);
    }
    return appendKkmInfo(stored);
}

ServiceRequest Sender::lastServiceRequestDocument()
{
    return m_records.serviceRequestDocument(getLastServiceRequest());
}

bool Sender::updateServiceInfo(const ServiceResponse& response)
{
    QMutexLocker locker(&ServiceRecords::serviceRequestMutex());
    m_logger->info(QStringLiteral("Обновление служебной информации"));
    const bool responseStored = m_records.saveServiceResponse(response);
    return m_records.saveUpdatedServiceRequest(lastServiceRequestDocument(), response) && responseStored;
}

// ---- command processing ----------------------------------------------------

QJsonObject Sender::processCommand(int command, const QJsonObject& request)
{
    return runCommand(command, request, nullptr, nullptr);
}

void Sender::saveTransportData()
{
    m_records.saveTransportData();
}

QJsonObject Sender::runCommand(int command, const QJsonObject& request, DocumentCount* count,
                               const Finish& finish)
{
    bool answered = false;
    m_accepted.reset();
    QJsonObject reply;
    try {
        reply = serveCommand(command, request, count, finish, answered);
    } catch (const std::bad_alloc&) {
        // Every transaction, savepoint and lock on a command's path is held by a
        // scope object: here they have all been ended, and rolled back.
        reply = answered ? outOfMemoryAfterAnswer() : outOfMemory();
    }
    m_accepted.reset();
    return reply;
}

QJsonObject Sender::serveCommand(int command, const QJsonObject& request, DocumentCount* count,
                                 const Finish& finish, bool& answered)
{
    if (std::optional<QJsonObject> refused = refuseCommand(count, finish))
        return *refused;
    std::variant<QJsonObject, Prepared> prepared = prepareCommand(command, request, count, finish);
    if (const QJsonObject* reply = std::get_if<QJsonObject>(&prepared))
        return *reply;
    return exchangeAndStore(command, request, count, finish, std::get<Prepared>(prepared), answered);
}

std::optional<QJsonObject> Sender::refuseCommand(DocumentCount* count, const Finish& finish)
{
    if (std::optional<QJsonObject> refusal = refusalOfLostDatabase())
        return endCommand(nullptr, std::move(*refusal), count, finish);
    m_logger->info(QStringLiteral("Статус сервиса: %1").arg(serviceModeName(m_status)));

    if (m_status == static_cast<int>(EServiceStatus::BLOCKED) ||
        m_status == static_cast<int>(EServiceStatus::SERVER_BLOCKED))
        return endCommand(
            nullptr,
            makeKkmInfoResponse(m_status, QStringLiteral("Сервис в режиме блокировки"), QString(), 0), count,
            finish);
    return std::nullopt;
}

std::variant<QJsonObject, Sender::Prepared> Sender::prepareCommand(int command, const QJsonObject& request,
                                                                   DocumentCount* count, const Finish& finish)
{
    // Up to the exchange, a command's reads and writes are one transaction.
    // Autonomous, that is the whole command, from the request time to the queued
    // message, synced. Online, it ends with this step, before the exchange,
    // without waiting for the disk: it holds only the request time, whose loss
    // at a power failure equals a command never begun, and the synced commit
    // after the exchange carries it.
    const bool online = m_status != static_cast<int>(EServiceStatus::AUTONOMOUS);
    CommandTransaction writes(online ? Dao::Sync::Deferred : Dao::Sync::Synced);

    if (isRequestTimeInvalid()) {
        // A change of status is waited for on the disk.
        if (online)
            writes.commit();
        blockFor(QStringLiteral("время некорректно: текущее время раньше времени предыдущего запроса"));
        return endCommand(&writes,
                          makeKkmInfoResponse(static_cast<int>(EServiceStatus::BLOCKED),
                                              QStringLiteral("Время некорректно. Сервис в режиме блокировки"),
                                              QString(), 0),
                          count, finish);
    }

    if (!online)
        return endCommand(&writes, queueWhileAutonomous(command, request, count), count, finish);

    const QString dbAccessText = QStringLiteral("Нет доступа к БД. Обратитесь в службу техподдержки");
    Prepared prepared;
    if (!dao()->isServiceDataAccessible()) {
        prepared.dbState = dbDamagedStatus();
        if (prepared.dbState == 2)
            return endCommand(&writes, makeKkmInfoResponse(m_status, dbAccessText, QString(), 2), count,
                              finish);
    }

    if (!request.isEmpty()) {
        const QJsonObject message{{QStringLiteral("command"), command}, {QStringLiteral("request"), request}};
        prepared.request = MockFactory<ProtoObjectFactory>::create()->createRequest(message);
    }
    const ServiceRequest serviceRequest = lastServiceRequestDocument();
    *prepared.request.mutable_service() =
        MockFactory<ProtoObjectFactory>::create()->createServiceRequest(serviceRequest);
    prepared.request.set_command(static_cast<ofd::proto::CommandTypeEnum>(command));
    writes.commit();
    return prepared;
}

QJsonObject Sender::exchangeAndStore(int command, const QJsonObject& request, DocumentCount* count,
                                     const Finish& finish, const Prepared& prepared, bool& answered)
{
    // What the answer brings is stored in one transaction, begun only once the
    // exchange is over: no other thread waits on the operator's server.
    std::optional<CommandTransaction> writes;
    ofd::proto::Response answer;
    try {
        answer = exchange(prepared.request);
        answered = true;
        writes.emplace();
        saveTransportData();
        if (answer.result().result_code() == 2)
            throw InvalidTokenException(QStringLiteral("Invalid token"));
    } catch (const InvalidTokenException& e) {
        if (!writes)
            writes.emplace();
        return endCommand(&*writes, takeOffline(command, request, 2, e.tr().ru(), count), count, finish);
    } catch (const ServiceException& e) {
        if (!writes)
            writes.emplace();
        return endCommand(&*writes, takeOffline(command, request, 1, e.tr().ru(), count), count, finish);
    }
    if (resultCodeToStatus(static_cast<int>(answer.result().result_code())) ==
        static_cast<int>(EServiceStatus::NORMAL))
        m_accepted = acceptedDocumentText(request, answer);
    return endCommand(&*writes, answerReply(command, answer, prepared.dbState), count, finish);
}

std::optional<QJsonObject> Sender::refusalOfLostDatabase()
{
    // A file replaced or cut under the service takes nothing more, and no
    // document goes to the operator that could not be stored.
    if (dao()->isFileSound())
        return std::nullopt;
    blockFor(QStringLiteral("файл базы данных изменен вне сервиса"));
    return makeKkmInfoResponse(static_cast<int>(EServiceStatus::BLOCKED),
                               QStringLiteral("Ошибка при работе с фискальной памятью"), QString(),
                               dbDamagedStatus());
}

QJsonObject Sender::endCommand(CommandTransaction* writes, QJsonObject reply, DocumentCount* count,
                               const Finish& finish)
{
    if (count) {
        if (count->outcome == DocumentCount::Outcome::Failed)
            reply = fiscalMemoryError();
        // Not queued: counted once the server has accepted it.
        else if (count->outcome == DocumentCount::Outcome::Pending &&
                 m_status < static_cast<int>(EServiceStatus::BLOCKED) && !count->add())
            reply = fiscalMemoryError();
    }
    if (finish)
        reply = finish(reply);
    // Rolled back: none of the command's records stayed.
    if (writes && !writes->commit())
        return fiscalMemoryError();
    return reply;
}

QJsonObject Sender::queueWhileAutonomous(int command, const QJsonObject& request, DocumentCount* count)
{
    if (isOfflineLimitExceeded()) {
        blockFor(QStringLiteral("время нахождения в автономном режиме превышено, дата блокировки %1")
                     .arg(lockDate().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
        return makeKkmInfoResponse(
            static_cast<int>(EServiceStatus::BLOCKED),
            QStringLiteral("Время нахождения в автономном режиме превышено. Сервис в режиме блокировки"),
            QString(), 0);
    }
    QString text = QStringLiteral("Сервис в автономном режиме");
    QString data;
    if (!request.isEmpty() && !queueMessage(command, request, data, count))
        text = QStringLiteral("Не удалось сохранить сообщение в очередь");
    const int dbState =
        dao()->isMessageQueueAccessible() && dao()->isServiceDataAccessible() ? 0 : dbDamagedStatus();
    return makeKkmInfoResponse(m_status, text, data, dbState);
}

QJsonObject Sender::answerReply(int command, const ofd::proto::Response& answer, int dbState)
{
    const int code = static_cast<int>(answer.result().result_code());
    warnOfStatusChange(resultCodeToStatus(code), resultCodeCause(code));
    onChangeStatus(static_cast<EServiceStatus>(resultCodeToStatus(code)));
    m_logger->info(QStringLiteral("Команда выполнена. Код результата: %1, сообщение об ошибке: '%2'")
                       .arg(code)
                       .arg(QString::fromStdString(answer.result().result_text())));

    const ServiceResponse serviceResponse =
        MockFactory<KkmInfoObjectFactory>::create()->createServiceResponse(answer.service());
    if (!updateServiceInfo(serviceResponse)) {
        dbState = dbDamagedStatus();
        if (dbState == 2)
            return makeKkmInfoResponse(
                m_status, QStringLiteral("Нет доступа к БД. Обратитесь в службу техподдержки"), QString(), 2);
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

QJsonObject Sender::outOfMemory()
{
    m_logger->error(QStringLiteral("Недостаточно памяти для выполнения команды, команда не выполнена"));
    return makeResponse(QStringLiteral("Недостаточно памяти для выполнения команды"));
}

QJsonObject Sender::outOfMemoryAfterAnswer()
{
    m_logger->error(QStringLiteral("Недостаточно памяти для завершения команды, принятой сервером ОФД"));
    // The token and package number the answer brought were rolled back with the
    // rest; the next start must send with them.
    saveTransportData();
    return fiscalMemoryError();
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
    return queueMessage(command, request, data, nullptr);
}

bool Sender::queueMessage(int command, const QJsonObject& request, QString& data, DocumentCount* count)
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
    const bool counted = count && count->outcome == DocumentCount::Outcome::Pending;
    const auto store = [&] { return counted ? storeCounted(message, *count) : dao()->saveMessage(message); };
    const bool stored = numbered ? OfflineTicketNumber::storeWith(offlineNumber, store) : store();
    // The counters' failure is answered at the command's end.
    if (!stored && !(count && count->outcome == DocumentCount::Outcome::Failed))
        blockFor(QStringLiteral("не удалось сохранить сообщение в очередь"));
    if (normal)
        startQueueHandler();
    // An offline number only for a receipt that exists.
    if (stored)
        data = ticketNumber;
    return stored;
}

bool Sender::storeCounted(const QJsonObject& message, DocumentCount& count)
{
    // Delivered but never counted, or counted but never delivered, would both
    // put the shift's totals out of step with the server's.
    Dao::Transaction writes(*dao());
    if (!writes.isOpen() || !dao()->saveMessage(message))
        return false;
    if (!count.add()) {
        count.outcome = DocumentCount::Outcome::Failed;
        return false;
    }
    // A failed commit has rolled back: neither the message nor its counts stay.
    if (!writes.commit())
        return false;
    count.outcome = DocumentCount::Outcome::Counted;
    return true;
}

QJsonObject Sender::goOffline(int command, const QJsonObject& request, int reason, QString errorText)
{
    return takeOffline(command, request, reason, errorText, nullptr);
}

QJsonObject Sender::takeOffline(int command, const QJsonObject& request, int reason, const QString& errorText,
                                DocumentCount* count)
{
    setOfflineModeReason(reason);
    m_logger->error(errorText);
    warnOfStatusChange(static_cast<int>(EServiceStatus::AUTONOMOUS), offlineReasonCause(reason));
    QString text = errorText;
    QString data;
    if (!queueMessage(command, request, data, count))
        text = QStringLiteral("Не удалось сохранить сообщение в очередь");
    const int dbState =
        dao()->isMessageQueueAccessible() && dao()->isServiceDataAccessible() ? 0 : dbDamagedStatus();
    return makeKkmInfoResponse(m_status, text, data, dbState);
}

void Sender::setOfflineModeReason(int reason)
{
    m_records.setOfflineModeReason(reason);
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
    return m_link->buildPacket(payload);
}

ofd::proto::Response Sender::exchange(const ofd::proto::Request& request)
{
    return m_link->exchange(request);
}

QByteArray Sender::sendData(const QByteArray& packet)
{
    return m_link->sendData(packet);
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
    const QJsonObject reply =
        runCommand(ofd::proto::COMMAND_INFO, QJsonObject(), nullptr, [this](const QJsonObject& answered) {
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
    return runCommand(ofd::proto::COMMAND_CLOSE_SHIFT, request->toJson(), nullptr,
                      [this, &request](const QJsonObject& answered) {
                          QJsonObject reply = answered;
                          if (m_status == static_cast<int>(EServiceStatus::AUTONOMOUS))
                              reply = appendKkmInfo(reply);
                          saveReportResponse(reply);
                          if (m_status < static_cast<int>(EServiceStatus::BLOCKED) &&
                              !m_fiscalLogic->closeShift(static_cast<int>(
                                  mapping::integerOf<quint32>(request->frShiftNumber).value_or(0))))
                              return fiscalMemoryError();
                          return reply;
                      });
}

QJsonObject Sender::commandTicket(const QSharedPointer<TicketRequest>& request)
{
    m_logger->info(QStringLiteral("Закрытие чека"));
    request->setTaxationType(
        taxationTypeNumber(config()->getString(QStringLiteral("KKM:taxationType"), QString())));
    DocumentCount count{[this, &request] { return m_fiscalLogic->addTicket(request); }};
    return runCommand(ofd::proto::COMMAND_TICKET, request->toJson(), &count, nullptr);
}

QJsonObject Sender::commandMoneyPlacement(const QSharedPointer<MoneyPlacementRequest>& request)
{
    m_logger->info(QStringLiteral("Внесение/выем денег"));
    DocumentCount count{[this, &request] { return m_fiscalLogic->addMoneyPlacement(request); }};
    return runCommand(ofd::proto::COMMAND_MONEY_PLACEMENT, request->toJson(), &count, nullptr);
}

QJsonObject Sender::commandReport(const QJsonObject& object)
{
    m_logger->info(QStringLiteral("Отправка X-/Z-отчета"));
    return runCommand(ofd::proto::COMMAND_REPORT, object, nullptr, [this](const QJsonObject& reply) {
        saveReportResponse(reply);
        return reply;
    });
}

QJsonObject Sender::saveTicketRequest(const QJsonObject& object)
{
    m_logger->info(QStringLiteral("Сохранение чека в БД"));
    if (std::optional<QJsonObject> refusal = refusalOfLostDatabase())
        return *refusal;
    dao()->saveServiceData(QStringLiteral("ticketrequest"), object);
    return makeResponse(QString());
}

QJsonObject Sender::saveReportRequest(const QJsonObject& object)
{
    m_logger->info(QStringLiteral("Сохранение X-/Z-отчета в БД"));
    if (std::optional<QJsonObject> refusal = refusalOfLostDatabase())
        return *refusal;
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
    if (std::optional<QJsonObject> refusal = refusalOfLostDatabase())
        return *refusal;
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
