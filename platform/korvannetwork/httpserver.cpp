#include "korvannetwork/httpserver.h"

#include "korvannetwork/httpconnection.h"
#include "log4qt/logger.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <http_parser.h>

namespace {

// The point-of-sale program is the only client; more connections than this wait
// in the listen backlog.
constexpr int maxConnections = 64;

Log4Qt::Logger* logger()
{
    return Log4Qt::Logger::logger(QStringLiteral("httpserver"));
}

} // namespace

HttpServer::HttpServer(int port, QObject* parent) : QObject(parent), m_server(new QTcpServer(this))
{
    http_parser_set_max_header_size(HttpConnection::maxHeaderSize);
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
    if (port < 0 || port > 65535) {
        logger()->error(QStringLiteral("HTTP server cannot listen on port %1: no such port").arg(port));
        return;
    }
    if (!m_server->listen(QHostAddress::LocalHost, static_cast<quint16>(port))) {
        logger()->error(QStringLiteral("HTTP server cannot listen on 127.0.0.1:%1: %2")
                            .arg(port)
                            .arg(m_server->errorString()));
        return;
    }
    logger()->info(QStringLiteral("HTTP server listens on 127.0.0.1:%1").arg(m_server->serverPort()));
}

HttpServer::~HttpServer()
{
    m_server->close();
    m_queue.clear();
    const QList<HttpConnection*> connections = m_connections;
    m_connections.clear();
    for (HttpConnection* connection : connections) {
        connection->disconnect(this);
        delete connection;
    }
}

bool HttpServer::isListening() const
{
    return m_server->isListening();
}

quint16 HttpServer::serverPort() const
{
    return m_server->serverPort();
}

void HttpServer::setIdleTimeout(int msec)
{
    m_idleTimeoutMsec = msec;
    for (HttpConnection* connection : std::as_const(m_connections))
        connection->setIdleTimeout(msec);
}

void HttpServer::onNewConnection()
{
    while (m_connections.size() < maxConnections && m_server->hasPendingConnections()) {
        QTcpSocket* socket = m_server->nextPendingConnection();
        auto* connection = new HttpConnection(socket, m_idleTimeoutMsec, this);
        connect(connection, &HttpConnection::requestReady, this, &HttpServer::onRequestReady);
        connect(connection, &HttpConnection::closed, this, &HttpServer::onConnectionClosed);
        m_connections.append(connection);
        // Bytes may have arrived with the connection.
        connection->resume();
    }
    if (m_connections.size() >= maxConnections)
        m_server->pauseAccepting();
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
    if (m_connections.size() < maxConnections) {
        m_server->resumeAccepting();
        if (m_server->hasPendingConnections())
            QMetaObject::invokeMethod(this, &HttpServer::onNewConnection, Qt::QueuedConnection);
    }
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
