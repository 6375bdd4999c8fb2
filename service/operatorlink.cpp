#include "service/operatorlink.h"

#include "protocol/protoobjectfactory.h"
#include "protocol/serviceexception.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"
#include "utility/numeric.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QThread>

namespace taxvault {

namespace {

// No answer of the operator comes near this; a peer that announces or sends
// more is broken or hostile, and the service must not hold it.
constexpr qsizetype kMaxReplySize = 16 * 1024 * 1024;
// What one read may take from the socket, so that the bound holds to a chunk.
constexpr qint64 kReadChunk = 64 * 1024;

Config* config()
{
    return Singleton<Config>::instance();
}

// The frame length in bytes 4-7 of a reply that holds at least its header.
qint64 announcedLength(const QByteArray& reply)
{
    return static_cast<qint64>(numeric::leToLong(reply.mid(4, 4)));
}

} // namespace

OperatorLink::OperatorLink(QObject* parent)
    : QObject(parent), m_socket(new QTcpSocket(this)), m_headerLength(18),
      m_logger(Log4Qt::Logger::logger(QStringLiteral("sender")))
{
}

QMutex& OperatorLink::exchangeMutex()
{
    static QMutex mutex;
    return mutex;
}

QByteArray OperatorLink::buildPacket(const QByteArray& payload)
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

ofd::proto::Response OperatorLink::exchange(const ofd::proto::Request& request)
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

void OperatorLink::failTransfer(const QString& text)
{
    m_logger->error(text);
    // A late answer to this frame must never be read as the answer to the next.
    m_socket->abort();
    throw ServiceException(text);
}

QByteArray OperatorLink::sendData(const QByteArray& packet)
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

} // namespace taxvault
