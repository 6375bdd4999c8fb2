#include "korvannetwork/httpconnection.h"

#include "log4qt/logger.h"

#include <algorithm>
#include <cerrno>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qsizetype readChunk = 64 * 1024;
// How long a closing connection still drains the client's bytes, so that the
// client reads the final reply instead of a reset.
constexpr int lingerMsec = 2000;

// How often a socket with a reply going out is looked at: a client is dropped within a tenth of the
// write deadline, and within a second, after it last took some of its reply.
int queueCheckMsec(int writeMsec)
{
    return std::clamp(writeMsec / 10, 1, 1000);
}

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

bool allDigits(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Any 127.x.x.x, "localhost" or "[::1]", each with or without a port.
bool isLoopbackHost(QStringView hostAndPort)
{
    QStringView host = hostAndPort;
    QStringView port;
    const qsizetype portColon = host.startsWith(u'[') ? host.indexOf(u"]:") + 1 : host.indexOf(u':');
    if (portColon > 0) {
        port = host.mid(portColon + 1);
        host = host.left(portColon);
        if (!allDigits(port))
            return false;
    }
    if (host.compare(u"localhost", Qt::CaseInsensitive) == 0 || host == u"[::1]")
        return true;
    const QList<QStringView> parts = host.split(u'.');
    if (parts.size() != 4)
        return false;
    for (QStringView part : parts) {
        if (part.isEmpty() || part.size() > 3 || !allDigits(part) || part.toInt() > 255)
            return false;
    }
    return parts.first().toInt() == 127;
}

// An origin is "scheme://host[:port]"; the literal "null" of a sandboxed or
// local page is nobody's.
bool isLoopbackOrigin(QStringView origin)
{
    const qsizetype separator = origin.indexOf(u"://");
    return separator > 0 && isLoopbackHost(origin.mid(separator + 3));
}

} // namespace

HttpConnection::HttpConnection(int descriptor, const Timeouts& timeouts, QObject* parent)
    : QObject(parent), m_fd(descriptor), m_readNotifier(descriptor, QSocketNotifier::Read),
      m_writeNotifier(descriptor, QSocketNotifier::Write), m_writeMsec(timeouts.writeMsec)
{
    http_parser_init(&m_parser, HTTP_REQUEST);
    m_parser.data = this;

    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    connect(&m_readNotifier, &QSocketNotifier::activated, this, [this] {
        if (m_state == State::Closing)
            drain();
        else
            processInput();
    });
    connect(&m_writeNotifier, &QSocketNotifier::activated, this, &HttpConnection::onWritable);

    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(timeouts.idleMsec);
    m_requestTimer.setSingleShot(true);
    // A coarse timer may fire 5 % early, cutting off a client that keeps to the deadline.
    m_requestTimer.setTimerType(Qt::PreciseTimer);
    m_requestTimer.setInterval(timeouts.requestMsec);
    m_writeTimer.setSingleShot(true);
    m_writeTimer.setTimerType(Qt::PreciseTimer);
    m_lingerTimer.setSingleShot(true);
    m_lingerTimer.setInterval(lingerMsec);
    connect(&m_idleTimer, &QTimer::timeout, this, &HttpConnection::onIdleTimeout);
    connect(&m_requestTimer, &QTimer::timeout, this, &HttpConnection::onRequestTimeout);
    connect(&m_writeTimer, &QTimer::timeout, this, &HttpConnection::onWriteTimeout);
    connect(&m_lingerTimer, &QTimer::timeout, this, &HttpConnection::finish);
    m_idleTimer.start();
}

HttpConnection::~HttpConnection()
{
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    if (m_fd < 0)
        return;
    // Closing with unread input resets the connection, and the system would
    // drop the part of the last reply still in its send buffer.
    ::shutdown(m_fd, SHUT_WR);
    QByteArray discarded;
    for (int i = 0; i < 16 && receive(discarded) == Input::Data; ++i) {
    }
    ::close(m_fd);
}

void HttpConnection::setIdleTimeout(int msec)
{
    m_idleTimer.setInterval(msec);
}

void HttpConnection::setRequestTimeout(int msec)
{
    m_requestTimer.setInterval(msec);
}

void HttpConnection::setWriteTimeout(int msec)
{
    m_writeMsec = msec;
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
    // The first byte of a request: from here it has a fixed time to arrive whole.
    self->m_idleTimer.stop();
    self->m_requestTimer.start();
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
    if (!isFromThisMachine()) {
        m_errorStatus = HTTP_STATUS_FORBIDDEN;
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
        if (m_parser.http_minor >= 1 && bodyFollows &&
            !write(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n")))
            return -1;
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
    self->m_requestTimer.stop();
    self->m_state = State::Waiting;
    http_parser_pause(parser, 1);
    return 0;
}

void HttpConnection::processInput()
{
    // Nothing more is read while a reply is still going out: a client that does
    // not read its replies is held by TCP flow control, not by our memory.
    while (m_state == State::Reading && m_outgoing.isEmpty()) {
        if (m_unparsed.isEmpty()) {
            switch (receive(m_unparsed)) {
            case Input::Data:
                break;
            case Input::Again:
                updateNotifiers();
                return;
            case Input::End:
                // No further request comes: the complete ones are answered by now,
                // and one cut off would never be.
                m_inputEnded = true;
                closeGracefully();
                return;
            case Input::Failed:
                finish();
                return;
            }
        }
        const size_t parsed = http_parser_execute(&m_parser, &parserSettings(), m_unparsed.constData(),
                                                  static_cast<size_t>(m_unparsed.size()));
        if (m_state == State::Closed)
            return;
        const http_errno error = HTTP_PARSER_ERRNO(&m_parser);
        if (error == HPE_PAUSED) {
            // The bytes after the request belong to the next one.
            m_unparsed.remove(0, static_cast<qsizetype>(parsed));
            updateNotifiers();
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
    updateNotifiers();
}

HttpConnection::Input HttpConnection::receive(QByteArray& into)
{
    into.resize(readChunk);
    ssize_t n;
    do {
        n = ::recv(m_fd, into.data(), static_cast<size_t>(readChunk), 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        into.resize(n);
        return Input::Data;
    }
    into.clear();
    if (n == 0)
        return Input::End;
    return errno == EAGAIN || errno == EWOULDBLOCK ? Input::Again : Input::Failed;
}

void HttpConnection::drain()
{
    QByteArray discarded;
    switch (receive(discarded)) {
    case Input::Data:
    case Input::Again:
        break;
    case Input::End:
        m_inputEnded = true;
        if (m_writeShut) {
            finish();
            return;
        }
        break;
    case Input::Failed:
        finish();
        return;
    }
    updateNotifiers();
}

// A web page open in a browser on this machine may post to the service
// (a cross-site form or fetch needs no permission for that), or reach it under
// a host name of its own that it points at 127.0.0.1. The browser names the
// page in Origin and the name it used in Host; the point-of-sale program sends
// no Origin and addresses this machine.
bool HttpConnection::isFromThisMachine() const
{
    const QList<QPair<QString, QString>> fields = m_request.values();
    for (const auto& [name, value] : fields) {
        if (name.compare(QLatin1String("Origin"), Qt::CaseInsensitive) == 0 && !isLoopbackOrigin(value))
            return false;
        if (name.compare(QLatin1String("Host"), Qt::CaseInsensitive) == 0 && !isLoopbackHost(value))
            return false;
    }
    return true;
}

void HttpConnection::rejectRequest(int code, const QString& reason)
{
    logger()->warn(QStringLiteral("Request rejected with %1: %2").arg(code).arg(reason));
    ResponseHeader header(code, statusText(code));
    // A foreign page learns nothing beyond the refusal.
    const QByteArray body = code == HTTP_STATUS_FORBIDDEN ? QByteArray() : statusText(code).toLatin1() + '\n';
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
    return write(headOnly ? out.toByteArray() : out.toByteArray() + body);
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
    // A reply still going out is bounded by the write deadline instead.
    if (m_outgoing.isEmpty())
        m_idleTimer.start();
    processInput();
}

void HttpConnection::sendPending()
{
    if (!flush())
        finish();
}

bool HttpConnection::write(const QByteArray& bytes)
{
    if (m_state == State::Closed)
        return false;
    m_outgoing.append(bytes);
    if (!flush()) {
        // Reset or closed by the client: whatever it was sent is lost.
        finish();
        return false;
    }
    updateNotifiers();
    return true;
}

bool HttpConnection::flush()
{
    bool progress = false;
    while (m_sent < m_outgoing.size()) {
        const ssize_t n = ::send(m_fd, m_outgoing.constData() + m_sent,
                                 static_cast<size_t>(m_outgoing.size() - m_sent), MSG_NOSIGNAL);
        if (n > 0) {
            m_sent += n;
            progress = true;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    if (m_sent < m_outgoing.size()) {
        // A client that takes nothing for the whole deadline is dropped; one that
        // reads slowly is not. Room in the socket means it took some.
        if (progress || !m_writeTimer.isActive())
            replyTaken();
        return true;
    }
    m_writeTimer.stop();
    m_outgoing.clear();
    m_sent = 0;
    return true;
}

// What the socket holds that the client has not acknowledged, sent or not; -1 when unknown.
int HttpConnection::unacknowledgedBytes() const
{
    int bytes = 0;
    return ::ioctl(m_fd, SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

void HttpConnection::replyTaken()
{
    m_lastTaken.start();
    m_unacknowledged = unacknowledgedBytes();
    m_writeTimer.start(queueCheckMsec(m_writeMsec));
}

void HttpConnection::updateNotifiers()
{
    if (m_state == State::Closed)
        return;
    // Reading stops while a request waits for its reply or a reply is going out;
    // a closing connection reads on only to drop what the client still sends.
    const bool reading = (m_state == State::Reading && m_outgoing.isEmpty()) || m_state == State::Closing;
    m_readNotifier.setEnabled(reading && !m_inputEnded);
    m_writeNotifier.setEnabled(!m_outgoing.isEmpty());
}

void HttpConnection::closeGracefully()
{
    if (m_state == State::Closing || m_state == State::Closed)
        return;
    m_state = State::Closing;
    m_idleTimer.stop();
    m_requestTimer.stop();
    m_unparsed.clear();
    // Otherwise once the last reply is out.
    if (m_outgoing.isEmpty())
        shutdownWrite();
    if (m_state == State::Closing && m_inputEnded && m_writeShut)
        finish();
    updateNotifiers();
}

void HttpConnection::shutdownWrite()
{
    if (m_writeShut)
        return;
    m_writeShut = true;
    // Half-close: the client sees the end of the stream after the last reply,
    // while the bytes it is still sending are drained for a while.
    if (::shutdown(m_fd, SHUT_WR) != 0) {
        finish();
        return;
    }
    m_lingerTimer.start();
}

void HttpConnection::finish()
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_idleTimer.stop();
    m_requestTimer.stop();
    m_writeTimer.stop();
    m_lingerTimer.stop();
    m_readNotifier.setEnabled(false);
    m_writeNotifier.setEnabled(false);
    ::close(m_fd);
    m_fd = -1;
    m_unparsed.clear();
    m_outgoing.clear();
    m_sent = 0;
    emit closed(this);
}

void HttpConnection::onWritable()
{
    if (!flush()) {
        finish();
        return;
    }
    if (m_outgoing.isEmpty()) {
        if (m_state == State::Closing) {
            shutdownWrite();
            if (m_state == State::Closing && m_inputEnded)
                finish();
        } else if (m_state == State::Reading) {
            // Unless it was an interim reply in the middle of a request.
            if (!m_requestTimer.isActive())
                m_idleTimer.start();
            // Reading was held back until the reply was out.
            processInput();
            return;
        }
    }
    updateNotifiers();
}

void HttpConnection::onIdleTimeout()
{
    if (m_state != State::Reading)
        return;
    logger()->debug(QStringLiteral("Idle connection closed"));
    closeGracefully();
}

void HttpConnection::onWriteTimeout()
{
    if (m_outgoing.isEmpty())
        return;
    const int unacknowledged = unacknowledgedBytes();
    if (unacknowledged >= 0 && unacknowledged < m_unacknowledged) {
        replyTaken();
        return;
    }
    m_unacknowledged = unacknowledged;
    const qint64 left = m_writeMsec - m_lastTaken.elapsed();
    if (left > 0) {
        m_writeTimer.start(int(std::min<qint64>(left, queueCheckMsec(m_writeMsec))));
        return;
    }
    logger()->warn(
        QStringLiteral("Client took no bytes of its reply for %1 ms; connection dropped").arg(m_writeMsec));
    finish();
}

void HttpConnection::onRequestTimeout()
{
    if (m_state != State::Reading)
        return;
    logger()->debug(QStringLiteral("Request not complete within %1 ms; connection closed")
                        .arg(m_requestTimer.interval()));
    closeGracefully();
}
