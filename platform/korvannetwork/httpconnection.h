#pragma once

#include "korvannetwork/requestheader.h"
#include "korvannetwork/responseheader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <http_parser.h>

// One client connection of HttpServer: reads requests with http_parser, one at
// a time, and writes the reply of each before it reads on. Bytes that arrive
// while a request waits for its reply stay unread, so a pipelining client gets
// its replies in order and cannot make the server hold more than one request.
//
// Works on the plain descriptor: a client may end its sending side once its
// request is out and still read the reply, which QTcpSocket cannot do (it
// closes the whole socket when the stream ends).
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maxBodySize = 8 * 1024 * 1024;
    static constexpr quint32 maxHeaderSize = 64 * 1024;

    struct Timeouts
    {
        int idleMsec;
        int requestMsec;
        int writeMsec;
    };

    // Takes over the connected, non-blocking descriptor.
    HttpConnection(int descriptor, const Timeouts& timeouts, QObject* parent);
    ~HttpConnection() override;

    void setIdleTimeout(int msec);
    void setRequestTimeout(int msec);
    void setWriteTimeout(int msec);

    // The request announced by requestReady; valid until resume().
    const RequestHeader& request() const { return m_request; }
    const QByteArray& body() const { return m_body; }

    bool isClosed() const { return m_state == State::Closed; }
    bool hasReplied() const { return m_replied; }
    // Writes the reply of the waiting request; false when there is none or the
    // client is gone.
    bool reply(const ResponseHeader& header, const QByteArray& body);
    // Reads on: at the start, or after the reply of the waiting request, unless
    // the exchange ends there and the connection closes.
    void resume();

    // For the server's last moments, without an event loop: the descriptor to
    // wait on while a reply is still going out, and one write of what the socket
    // takes (a client that is gone has its connection closed).
    int descriptor() const { return m_fd; }
    bool isSending() const { return !m_outgoing.isEmpty(); }
    void sendPending();

signals:
    void requestReady(HttpConnection* connection);
    void closed(HttpConnection* connection);

private:
    enum class State { Reading, Waiting, Closing, Closed };

    static int onMessageBegin(http_parser* parser);
    static int onUrl(http_parser* parser, const char* at, size_t length);
    static int onHeaderField(http_parser* parser, const char* at, size_t length);
    static int onHeaderValue(http_parser* parser, const char* at, size_t length);
    static int onHeadersComplete(http_parser* parser);
    static int onBody(http_parser* parser, const char* at, size_t length);
    static int onMessageComplete(http_parser* parser);
    static const http_parser_settings& parserSettings();

    enum class Input { Data, Again, End, Failed };

    int headersComplete();
    void processInput();
    Input receive(QByteArray& into);
    void drain();
    bool isFromThisMachine() const;
    void rejectRequest(int code, const QString& reason);
    bool write(const QByteArray& bytes);
    bool flush();
    int unacknowledgedBytes() const;
    void replyTaken();
    void updateNotifiers();
    void closeGracefully();
    void shutdownWrite();
    void finish();
    void onWritable();
    void onIdleTimeout();
    void onRequestTimeout();
    void onWriteTimeout();

    int m_fd;
    QSocketNotifier m_readNotifier;
    QSocketNotifier m_writeNotifier;
    http_parser m_parser;
    State m_state = State::Reading;
    QByteArray m_unparsed;
    QByteArray m_outgoing;
    qsizetype m_sent = 0; // of m_outgoing
    // The client sends nothing more; what it has sent is still answered.
    bool m_inputEnded = false;
    // Request being read or waiting for its reply.
    RequestHeader m_request;
    QByteArray m_url;
    QByteArray m_fieldName;
    QByteArray m_fieldValue;
    bool m_inValue = false;
    QByteArray m_body;
    int m_errorStatus = 0;
    bool m_keepAlive = true;
    bool m_replied = false;
    bool m_writeShut = false;
    // From the last byte of a reply (or the start) to the first byte of the next
    // request.
    QTimer m_idleTimer;
    // From the first byte of a request to its end; more bytes do not extend it.
    QTimer m_requestTimer;
    // While a reply is going out: since when the client has taken none of it, and what the socket
    // held that the client had not taken when last looked at. A slow reader may leave the socket
    // unwritable for longer than the deadline while its queue still shrinks.
    int m_writeMsec;
    QElapsedTimer m_lastTaken;
    int m_unacknowledged = -1;
    // Looks at the socket's queue while a reply is going out, and drops the client at the deadline.
    QTimer m_writeTimer;
    // From the end of the last reply, while the client's last bytes are drained.
    QTimer m_lingerTimer;
};
