#include "korvannetwork/httpconnection.h"

#include "log4qt/logger.h"

#include <QTcpSocket>

#include <sys/socket.h>

namespace {

constexpr qint64 readChunk = 64 * 1024;
// How long a closing connection still drains the client's bytes, so that the
// client reads the final reply instead of a reset.
constexpr int lingerMsec = 2000;

Log4Qt::Logger* logger()
{
    return Log4Qt::Logger::logger(QStringLiteral("httpserver"));
}

QString statusText(int code)
{
    return QString::fromLatin1(http_status_str(static_cast<http_status>(code)));
}

bool equalsWord(const QString& value, const char* token)
{
    return value.trimmed().compare(QLatin1String(token), Qt::CaseInsensitive) == 0;
}

HttpConnection* connectionOf(http_parser* parser)
{
    return static_cast<HttpConnection*>(parser->data);
}

} // namespace

HttpConnection::HttpConnection(QTcpSocket* socket, int idleTimeoutMsec, QObject* parent)
    : QObject(parent), m_socket(socket)
{
    m_socket->setParent(this);
    // Qt stops reading from the kernel when this much is buffered; the client then
    // waits in TCP flow control instead of growing our memory.
    m_socket->setReadBufferSize(readChunk);
    http_parser_init(&m_parser, HTTP_REQUEST);
    m_parser.data = this;

    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(idleTimeoutMsec);
    m_lingerTimer.setSingleShot(true);
    m_lingerTimer.setInterval(lingerMsec);
    connect(&m_idleTimer, &QTimer::timeout, this, &HttpConnection::onIdleTimeout);
    connect(&m_lingerTimer, &QTimer::timeout, this, [this] {
        m_socket->abort();
        onDisconnected();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::onDisconnected);
    m_idleTimer.start();
}

HttpConnection::~HttpConnection()
{
    m_socket->disconnect(this);
}

void HttpConnection::setIdleTimeout(int msec)
{
    m_idleTimer.setInterval(msec);
    if (m_idleTimer.isActive())
        m_idleTimer.start();
}

const http_parser_settings& HttpConnection::parserSettings()
{
    static const http_parser_settings settings = [] {
        http_parser_settings s;
        http_parser_settings_init(&s);
        s.on_message_begin = &HttpConnection::onMessageBegin;
        s.on_url = &HttpConnection::onUrl;
        s.on_header_field = &HttpConnection::onHeaderField;
        s.on_header_value = &HttpConnection::onHeaderValue;
        s.on_headers_complete = &HttpConnection::onHeadersComplete;
        s.on_body = &HttpConnection::onBody;
        s.on_message_complete = &HttpConnection::onMessageComplete;
        return s;
    }();
    return settings;
}

int HttpConnection::onMessageBegin(http_parser* parser)
{
    HttpConnection* self = connectionOf(parser);
    self->m_request = RequestHeader();
    self->m_url.clear();
    self->m_fieldName.clear();
    self->m_fieldValue.clear();
    self->m_inValue = false;
    self->m_body.clear();
    self->m_errorStatus = 0;
    self->m_replied = false;
    return 0;
}

int HttpConnection::onUrl(http_parser* parser, const char* at, size_t length)
{
    connectionOf(parser)->m_url.append(at, static_cast<qsizetype>(length));
    return 0;
}

int HttpConnection::onHeaderField(http_parser* parser, const char* at, size_t length)
{
    HttpConnection* self = connectionOf(parser);
    if (self->m_inValue) {
        self->m_request.addValue(QString::fromLatin1(self->m_fieldName),
                                 QString::fromLatin1(self->m_fieldValue.trimmed()));
        self->m_fieldName.clear();
        self->m_fieldValue.clear();
        self->m_inValue = false;
    }
    self->m_fieldName.append(at, static_cast<qsizetype>(length));
    return 0;
}

int HttpConnection::onHeaderValue(http_parser* parser, const char* at, size_t length)
{
    HttpConnection* self = connectionOf(parser);
    self->m_inValue = true;
    self->m_fieldValue.append(at, static_cast<qsizetype>(length));
    return 0;
}

int HttpConnection::onHeadersComplete(http_parser* parser)
{
    return connectionOf(parser)->headersComplete();
}

int HttpConnection::headersComplete()
{
    if (m_inValue || !m_fieldName.isEmpty())
        m_request.addValue(QString::fromLatin1(m_fieldName), QString::fromLatin1(m_fieldValue.trimmed()));
    m_fieldName.clear();
    m_fieldValue.clear();
    m_inValue = false;
    m_request.setRequest(QString::fromLatin1(http_method_str(static_cast<http_method>(m_parser.method))),
                         QString::fromLatin1(m_url), m_parser.http_major, m_parser.http_minor);

    // A non-zero return stops the parser; processInput answers with m_errorStatus.
    if (m_parser.http_major != 1) {
        m_errorStatus = HTTP_STATUS_HTTP_VERSION_NOT_SUPPORTED;
        return -1;
    }
    const bool chunked = (m_parser.flags & F_CHUNKED) != 0;
    const bool hasLength = (m_parser.flags & F_CONTENTLENGTH) != 0;
    if (hasLength && m_parser.content_length > static_cast<quint64>(maxBodySize)) {
        m_errorStatus = HTTP_STATUS_PAYLOAD_TOO_LARGE;
        return -1;
    }
    if (m_request.hasKey(QStringLiteral("Expect"))) {
        if (!equalsWord(m_request.value(QStringLiteral("Expect")), "100-continue")) {
            m_errorStatus = HTTP_STATUS_EXPECTATION_FAILED;
            return -1;
        }
        const bool bodyFollows = chunked || (hasLength && m_parser.content_length > 0);
        if (m_parser.http_minor >= 1 && bodyFollows)
            write(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
    }
    m_keepAlive = http_should_keep_alive(&m_parser) != 0;
    if (hasLength)
        m_body.reserve(static_cast<qsizetype>(m_parser.content_length));
    return 0;
}

int HttpConnection::onBody(http_parser* parser, const char* at, size_t length)
{
    HttpConnection* self = connectionOf(parser);
    if (self->m_body.size() + static_cast<qint64>(length) > maxBodySize) {
        self->m_errorStatus = HTTP_STATUS_PAYLOAD_TOO_LARGE;
        return -1;
    }
    self->m_body.append(at, static_cast<qsizetype>(length));
    return 0;
}

int HttpConnection::onMessageComplete(http_parser* parser)
{
    HttpConnection* self = connectionOf(parser);
    // After an upgrade or CONNECT the client would go on in another protocol.
    if (parser->upgrade)
        self->m_keepAlive = false;
    self->m_state = State::Waiting;
    http_parser_pause(parser, 1);
    return 0;
}

void HttpConnection::processInput()
{
    while (m_state == State::Reading) {
        if (m_unparsed.isEmpty()) {
            if (m_socket->bytesAvailable() <= 0)
                break;
            m_unparsed = m_socket->read(readChunk);
            m_idleTimer.start();
        }
        const size_t parsed = http_parser_execute(&m_parser, &parserSettings(), m_unparsed.constData(),
                                                  static_cast<size_t>(m_unparsed.size()));
        const http_errno error = HTTP_PARSER_ERRNO(&m_parser);
        if (error == HPE_PAUSED) {
            // The bytes after the request belong to the next one.
            m_unparsed.remove(0, static_cast<qsizetype>(parsed));
            m_idleTimer.stop();
            emit requestReady(this);
            return;
        }
        if (error != HPE_OK) {
            if (m_errorStatus != 0) {
                rejectRequest(m_errorStatus, statusText(m_errorStatus));
                return;
            }
            const int code = error == HPE_HEADER_OVERFLOW ? HTTP_STATUS_REQUEST_HEADER_FIELDS_TOO_LARGE
                                                          : HTTP_STATUS_BAD_REQUEST;
            rejectRequest(code, QString::fromLatin1(http_errno_description(error)));
            return;
        }
        m_unparsed.clear();
    }
}

void HttpConnection::rejectRequest(int code, const QString& reason)
{
    logger()->warn(QStringLiteral("Request rejected with %1: %2").arg(code).arg(reason));
    ResponseHeader header(code, statusText(code));
    const QByteArray body = statusText(code).toLatin1() + '\n';
    header.setContentType(QStringLiteral("text/plain"));
    header.setContentLength(static_cast<int>(body.size()));
    header.setValue(QStringLiteral("Connection"), QStringLiteral("close"));
    write(header.toByteArray() + body);
    closeGracefully();
}

bool HttpConnection::reply(const ResponseHeader& header, const QByteArray& body)
{
    if (m_state != State::Waiting || m_replied)
        return false;
    m_replied = true;
    ResponseHeader out = header;
    // The length always matches what is written, or the client would lose track
    // of where the next reply begins.
    out.setValue(QStringLiteral("Content-Length"), QString::number(body.size()));
    if (equalsWord(out.value(QStringLiteral("Connection")), "close"))
        m_keepAlive = false;
    if (!m_keepAlive)
        out.setValue(QStringLiteral("Connection"), QStringLiteral("close"));
    else if (m_request.minorVersion() == 0)
        out.setValue(QStringLiteral("Connection"), QStringLiteral("keep-alive"));
    else
        out.removeValue(QStringLiteral("Connection"));
    const bool headOnly = m_request.method() == QLatin1String("HEAD");
    write(headOnly ? out.toByteArray() : out.toByteArray() + body);
    return true;
}

void HttpConnection::resume()
{
    if (m_state == State::Reading) {
        processInput();
        return;
    }
    if (m_state != State::Waiting)
        return;
    if (!m_keepAlive) {
        closeGracefully();
        return;
    }
    m_request = RequestHeader();
    m_body.clear();
    m_state = State::Reading;
    http_parser_pause(&m_parser, 0);
    m_idleTimer.start();
    processInput();
}

void HttpConnection::write(const QByteArray& bytes)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    m_socket->write(bytes);
    m_socket->flush();
}

void HttpConnection::closeGracefully()
{
    if (m_state == State::Closing || m_state == State::Closed)
        return;
    m_state = State::Closing;
    m_idleTimer.stop();
    m_unparsed.clear();
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        onDisconnected();
        return;
    }
    m_lingerTimer.start();
    if (m_socket->bytesToWrite() == 0)
        shutdownWrite();
    onReadyRead();
}

void HttpConnection::shutdownWrite()
{
    if (m_writeShut)
        return;
    m_writeShut = true;
    // Half-close: the client sees the end of the stream after the last reply,
    // while the bytes it is still sending are drained below.
    const qintptr fd = m_socket->socketDescriptor();
    if (fd < 0 || ::shutdown(static_cast<int>(fd), SHUT_WR) != 0)
        m_socket->disconnectFromHost();
}

void HttpConnection::onReadyRead()
{
    if (m_state == State::Closing) {
        m_socket->readAll();
        return;
    }
    processInput();
}

void HttpConnection::onBytesWritten()
{
    if (m_state == State::Closing && m_socket->bytesToWrite() == 0)
        shutdownWrite();
}

void HttpConnection::onDisconnected()
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_idleTimer.stop();
    m_lingerTimer.stop();
    emit closed(this);
}

void HttpConnection::onIdleTimeout()
{
    if (m_state != State::Reading)
        return;
    logger()->debug(QStringLiteral("Idle connection closed"));
    closeGracefully();
}
