#include "korvannetwork/httpserver.h"

#include "korvannetwork/httpconnection.h"
#include "log4qt/logger.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <http_parser.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace {

// The point-of-sale program is the only client; more connections than this wait
// in the listen backlog.
constexpr int maxConnections = 64;
constexpr int listenBacklog = 64;
constexpr int acceptRetryMsec = 1000;
// How long the server, when it ends, still writes the replies that are going out.
constexpr int finishRepliesMsec = 5000;

Log4Qt::Logger* logger()
{
    return Log4Qt::Logger::logger(QStringLiteral("httpserver"));
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

HttpServer::HttpServer(int port, QObject* parent) : QObject(parent)
{
    http_parser_set_max_header_size(HttpConnection::maxHeaderSize);
    m_acceptRetry.setSingleShot(true);
    m_acceptRetry.setInterval(acceptRetryMsec);
    connect(&m_acceptRetry, &QTimer::timeout, this, &HttpServer::updateAccepting);
    if (port < 0 || port > 65535) {
        logger()->error(QStringLiteral("HTTP server cannot listen on port %1: no such port").arg(port));
        return;
    }
    // Accepted here rather than by QTcpServer, which would accept every waiting
    // client at once, beyond the limit.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<quint16>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    const int reuse = 1;
    // A restarted service must not wait for its old connections' TIME_WAIT.
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, listenBacklog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        logger()->error(
            QStringLiteral("HTTP server cannot listen on 127.0.0.1:%1: %2").arg(port).arg(errorText(error)));
        return;
    }
    m_listener = fd;
    m_port = ntohs(address.sin_port);
    m_acceptNotifier = new QSocketNotifier(m_listener, QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &HttpServer::acceptConnections);
    logger()->info(QStringLiteral("HTTP server listens on 127.0.0.1:%1").arg(m_port));
}

HttpServer::~HttpServer()
{
    if (m_listener >= 0) {
        delete m_acceptNotifier;
        m_acceptNotifier = nullptr;
        ::close(m_listener);
    }
    m_queue.clear();
    for (HttpConnection* connection : std::as_const(m_connections))
        connection->disconnect(this);
    finishReplies();
    qDeleteAll(std::exchange(m_connections, {}));
}

// A client must not lose the answer to a command that was carried out just
// because the service is stopping.
void HttpServer::finishReplies()
{
    const QDeadlineTimer deadline(finishRepliesMsec);
    for (;;) {
        std::vector<pollfd> waiting;
        std::vector<HttpConnection*> sending;
        for (HttpConnection* connection : std::as_const(m_connections)) {
            if (connection->isSending()) {
                waiting.push_back({connection->descriptor(), POLLOUT, 0});
                sending.push_back(connection);
            }
        }
        if (sending.empty())
            return;
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            logger()->warn(QStringLiteral("%1 replies left unfinished at exit").arg(sending.size()));
            return;
        }
        if (::poll(waiting.data(), waiting.size(), static_cast<int>(left)) < 0 && errno != EINTR)
            return;
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            if (waiting[i].revents != 0)
                sending[i]->sendPending();
        }
    }
}

bool HttpServer::isListening() const
{
    return m_listener >= 0;
}

quint16 HttpServer::serverPort() const
{
    return m_port;
}

void HttpServer::setIdleTimeout(int msec)
{
    m_idleTimeoutMsec = msec;
    for (HttpConnection* connection : std::as_const(m_connections))
        connection->setIdleTimeout(msec);
}

void HttpServer::setRequestTimeout(int msec)
{
    m_requestTimeoutMsec = msec;
    for (HttpConnection* connection : std::as_const(m_connections))
        connection->setRequestTimeout(msec);
}

void HttpServer::setWriteTimeout(int msec)
{
    m_writeTimeoutMsec = msec;
    for (HttpConnection* connection : std::as_const(m_connections))
        connection->setWriteTimeout(msec);
}

void HttpServer::acceptConnections()
{
    while (m_connections.size() < maxConnections) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                logger()->warn(
                    QStringLiteral("HTTP server cannot accept a connection: %1").arg(errorText(errno)));
                m_acceptRetry.start();
            }
            break;
        }
        auto* connection =
            new HttpConnection(fd, {m_idleTimeoutMsec, m_requestTimeoutMsec, m_writeTimeoutMsec}, this);
        connect(connection, &HttpConnection::requestReady, this, &HttpServer::onRequestReady);
        connect(connection, &HttpConnection::closed, this, &HttpServer::onConnectionClosed);
        m_connections.append(connection);
        // Bytes may have arrived with the connection.
        connection->resume();
    }
    updateAccepting();
}

void HttpServer::updateAccepting()
{
    if (m_acceptNotifier)
        m_acceptNotifier->setEnabled(m_connections.size() < maxConnections && !m_acceptRetry.isActive());
}

void HttpServer::onRequestReady(HttpConnection* connection)
{
    m_queue.append(connection);
    scheduleDispatch();
}

void HttpServer::onConnectionClosed(HttpConnection* connection)
{
    m_connections.removeOne(connection);
    m_queue.removeAll(connection);
    // The connection whose request is being handled is released when dispatch
    // is done with it.
    if (connection != m_current)
        connection->deleteLater();
    updateAccepting();
}

void HttpServer::scheduleDispatch()
{
    if (m_dispatchScheduled)
        return;
    m_dispatchScheduled = true;
    // Never from inside a connection's own call chain: the slot may run an event
    // loop of its own, during which that connection must stay intact.
    QMetaObject::invokeMethod(this, &HttpServer::dispatch, Qt::QueuedConnection);
}

void HttpServer::dispatch()
{
    m_dispatchScheduled = false;
    // A slot that spins an event loop must not see the next request before it
    // has answered its own.
    if (m_dispatching)
        return;
    while (!m_queue.isEmpty() && !m_queue.first())
        m_queue.removeFirst();
    if (m_queue.isEmpty())
        return;

    m_dispatching = true;
    m_current = m_queue.takeFirst();
    const QPointer<HttpConnection> connection = m_current;
    logger()->debug(QStringLiteral("Request %1 %2, %3 bytes")
                        .arg(connection->request().method(), connection->request().path())
                        .arg(connection->body().size()));
    emit requestReceived(connection->request(), connection->body());

    if (connection && !connection->hasReplied() && !connection->isClosed()) {
        logger()->error(QStringLiteral("Request left without a reply; answering 500"));
        ResponseHeader header(HTTP_STATUS_INTERNAL_SERVER_ERROR, QStringLiteral("Internal Server Error"));
        header.setValue(QStringLiteral("Connection"), QStringLiteral("close"));
        connection->reply(header, QByteArray());
    }
    m_current = nullptr;
    m_dispatching = false;
    if (connection) {
        if (connection->isClosed())
            connection->deleteLater();
        else
            connection->resume();
    }
    if (!m_queue.isEmpty())
        scheduleDispatch();
}

void HttpServer::sendResponse(const ResponseHeader& header, const QByteArray& body)
{
    if (!m_current) {
        logger()->warn(QStringLiteral("Reply without a request being handled; dropped"));
        return;
    }
    if (m_current->hasReplied()) {
        logger()->warn(QStringLiteral("Second reply to one request; dropped"));
        return;
    }
    ResponseHeader out = header;
    if (header.statusCode() < 200 || header.statusCode() > 599) {
        logger()->error(QStringLiteral("Reply with status %1 replaced by 500").arg(header.statusCode()));
        out.setStatusLine(HTTP_STATUS_INTERNAL_SERVER_ERROR, QStringLiteral("Internal Server Error"),
                          header.majorVersion(), header.minorVersion());
    }
    if (!m_current->reply(out, body))
        logger()->warn(QStringLiteral("Client gone before its reply"));
}
