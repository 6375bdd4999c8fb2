#include "service/queuehandler.h"

#include "documents/servicerequest.h"
#include "documents/serviceresponse.h"
#include "protocol/kkminfoobjectfactory.h"
#include "protocol/protoobjectfactory.h"
#include "protocol/serviceexception.h"
#include "service/commandtransaction.h"
#include "service/sender.h"
#include "service/servicetables.h"
#include "storage/dao.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"
#include "utility/mockfactory.h"

#include <QDateTime>
#include <QJsonObject>
#include <QMutexLocker>
#include <QTimer>

#include <exception>

namespace taxvault {

namespace {

Dao* dao()
{
    return Singleton<Dao>::instance();
}

int reconnectionTimeout()
{
    return Singleton<Config>::instance()->getInt(QStringLiteral("DataSending:reconnectionTimeout"), 60000);
}

} // namespace

QueueHandler::QueueHandler()
    : QObject(nullptr), m_logger(Log4Qt::Logger::logger(QStringLiteral("queuehandler")))
{
    registerServiceStatusMetaType();
}

Sender* QueueHandler::sender()
{
    if (!m_sender) {
        m_sender = new Sender();
        m_sender->setParent(this);
    }
    return m_sender;
}

void QueueHandler::onStart()
{
    m_logger->info(QStringLiteral("Старт обработчика очереди"));
    m_interval = reconnectionTimeout();
    scheduleNextSend();
}

void QueueHandler::scheduleNextSend()
{
    QTimer::singleShot(m_interval, this, &QueueHandler::sendMessage);
}

void QueueHandler::sendMessage()
{
    // An exception leaving a slot would end the process; the message stays
    // queued and is tried again. The send's transaction and locks are scope
    // objects, ended on the way here.
    try {
        send();
    } catch (const std::exception& e) {
        m_logger->error(
            QStringLiteral("Ошибка отправки сообщения из очереди: %1").arg(QString::fromUtf8(e.what())));
        scheduleNextSend();
    }
}

void QueueHandler::send()
{
    const int storedStatus = dao()->getServiceStatus();

    const QJsonObject entry = dao()->getFirstMessage();
    if (entry.isEmpty()) {
        m_logger->info(QStringLiteral("Очередь сообщений пуста"));
        emit stop(EServiceStatus::NORMAL);
        return;
    }
    const QJsonObject message = entry.value(QStringLiteral("data")).toObject();
    const int messageId = entry.value(QStringLiteral("messageid")).toInt(0);
    // A damaged entry reads as an empty document: sent, it would be accepted as
    // a bare service request and deleted, and the document it held lost.
    if (!message.value(QStringLiteral("command")).isDouble()) {
        m_logger->error(
            QStringLiteral("Сообщение в очереди с messageid = %1 повреждено и не может быть отправлено")
                .arg(messageId));
        stopBlocked(EServiceStatus::BLOCKED,
                    QStringLiteral("сообщение в очереди с messageid = %1 повреждено").arg(messageId));
        return;
    }

    ofd::proto::Request request = MockFactory<ProtoObjectFactory>::create()->createRequest(message);

    ServiceRequest serviceRequest = sender()->lastServiceRequestDocument();
    if (storedStatus == static_cast<int>(EServiceStatus::AUTONOMOUS) &&
        serviceRequest.offlinePeriod.beginTime.isValid())
        serviceRequest.offlinePeriod.endTime = QDateTime::currentDateTime();

    *request.mutable_service() =
        MockFactory<ProtoObjectFactory>::create()->createServiceRequest(serviceRequest);
    request.set_command(
        static_cast<ofd::proto::CommandTypeEnum>(message.value(QStringLiteral("command")).toInt(0)));

    ofd::proto::Response response;
    try {
        m_logger->info(QStringLiteral("Отправка сообщения из очереди"));
        response = sender()->exchange(request);
    } catch (const ServiceException&) {
        handleSendFailure(1, storedStatus, serviceRequest);
        return;
    }

    // What the answer brings, and the delivered message's removal, are one
    // transaction: a crash must not leave a message both delivered and queued.
    // What was stored before a failure on the way stays.
    CommandTransaction writes(Dao::Sync::Synced, CommandTransaction::Unfinished::Commit);
    sender()->saveTransportData();

    const int resultCode = static_cast<int>(response.result().result_code());
    m_logger->info(QStringLiteral("Команда выполнена. Код результата: %1, сообщение об ошибке: '%2'")
                       .arg(resultCode)
                       .arg(QString::fromStdString(response.result().result_text())));

    if (resultCode == 2) {
        handleSendFailure(2, storedStatus, serviceRequest);
        return;
    }

    const int status = sender()->resultCodeToStatus(resultCode);
    if (status == static_cast<int>(EServiceStatus::BLOCKED) ||
        status == static_cast<int>(EServiceStatus::SERVER_BLOCKED)) {
        writes.commit();
        stopBlocked(static_cast<EServiceStatus>(status),
                    QStringLiteral("%1 на сообщение из очереди с messageid = %2")
                        .arg(resultCodeCause(resultCode))
                        .arg(messageId));
        return;
    }

    // Accepted by the server but still queued, it would be delivered twice.
    const auto accepted = [&] {
        return QStringLiteral("сообщение из очереди с messageid = %1 принято сервером ОФД, но не удалено из "
                              "очереди: %2")
            .arg(messageId)
            .arg(acceptedDocumentText(message.value(QStringLiteral("request")).toObject(), response));
    };
    if (!dao()->deleteMessage(messageId)) {
        writes.commit();
        stopBlocked(EServiceStatus::BLOCKED, accepted());
        return;
    }

    if (storedStatus == static_cast<int>(EServiceStatus::AUTONOMOUS)) {
        // Cleared on the stored document as it is now, not on the copy taken
        // before the exchange, so that nothing stored meanwhile is lost.
        QMutexLocker locker(&ServiceRecords::serviceRequestMutex());
        sender()->records().closeOfflinePeriod(sender()->lastServiceRequestDocument());
        m_interval = 100;
    }

    sender()->updateServiceInfo(
        MockFactory<KkmInfoObjectFactory>::create()->createServiceResponse(response.service()));
    // Rolled back, the delivered message would still be queued: as one that
    // cannot be deleted, it blocks the service.
    if (!writes.commit()) {
        stopBlocked(EServiceStatus::BLOCKED, accepted());
        return;
    }
    scheduleNextSend();
}

void QueueHandler::handleSendFailure(int reason, int storedStatus, ServiceRequest& serviceRequest)
{
    sender()->setOfflineModeReason(reason);

    bool opened = false;
    {
        // Whether a period is open is decided on the stored document: another
        // thread may have opened one while this send was under way.
        QMutexLocker locker(&ServiceRecords::serviceRequestMutex());
        ServiceRequest stored = sender()->lastServiceRequestDocument();
        opened = sender()->records().openOfflinePeriod(stored, true, QDateTime::currentDateTime());
        serviceRequest.offlinePeriod = stored.offlinePeriod;
    }

    if (opened) {
        m_interval = reconnectionTimeout();
        if (storedStatus != static_cast<int>(EServiceStatus::AUTONOMOUS)) {
            m_logger->warn(statusChangeWarning(static_cast<int>(EServiceStatus::AUTONOMOUS),
                                               offlineReasonCause(reason)));
            emit changeStatus(EServiceStatus::AUTONOMOUS);
        }
    }
    scheduleNextSend();
}

void QueueHandler::stopBlocked(EServiceStatus status, const QString& cause)
{
    m_logger->warn(statusChangeWarning(static_cast<int>(status), cause));
    emit stop(status);
}

} // namespace taxvault
