#include "service/lockhandler.h"

#include "documents/servicerequest.h"
#include "protocol/protoobjectfactory.h"
#include "protocol/serviceexception.h"
#include "service/sender.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"
#include "utility/mockfactory.h"

#include <QTimer>

#include <exception>

namespace taxvault {

LockHandler::LockHandler() : QObject(nullptr), m_logger(Log4Qt::Logger::logger(QStringLiteral("lockhandler")))
{
}

Sender* LockHandler::sender()
{
    if (!m_sender) {
        m_sender = new Sender();
        m_sender->setParent(this);
    }
    return m_sender;
}

void LockHandler::onStart()
{
    m_logger->info(QStringLiteral("Старт обработчика"));
    m_interval =
        Singleton<Config>::instance()->getInt(QStringLiteral("DataSending:reconnectionTimeout"), 60000);
    scheduleNextPoll();
}

void LockHandler::scheduleNextPoll()
{
    QTimer::singleShot(m_interval, this, &LockHandler::tryUnlock);
}

void LockHandler::tryUnlock()
{
    try {
        m_logger->info(QStringLiteral("Отправка служебного запроса в режиме серверной блокировки"));

        ofd::proto::Request request;
        request.set_command(ofd::proto::COMMAND_SYSTEM);
        *request.mutable_service() = MockFactory<ProtoObjectFactory>::create()->createServiceRequest(
            sender()->lastServiceRequestDocument());

        try {
            const ofd::proto::Response response = sender()->exchange(request);
            sender()->saveTransportData();
            const int resultCode = static_cast<int>(response.result().result_code());
            m_logger->info(QStringLiteral("Команда выполнена. Код результата: %1, сообщение об ошибке: '%2'")
                               .arg(resultCode)
                               .arg(QString::fromStdString(response.result().result_text())));

            if (sender()->resultCodeToStatus(resultCode) == 0) {
                m_logger->info(QStringLiteral("Выход из режима серверной блокировкии"));
                emit stop();
                return;
            }
        } catch (const ServiceException&) {
            // No connection: polled again one interval later.
        }
    } catch (const std::exception& e) {
        // An exception leaving a slot would end the process; keep polling.
        m_logger->error(QStringLiteral("Ошибка служебного запроса: %1").arg(QString::fromUtf8(e.what())));
    }
    scheduleNextPoll();
}

} // namespace taxvault
