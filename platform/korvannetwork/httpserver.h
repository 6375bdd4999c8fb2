#pragma once

#include "korvannetwork/requestheader.h"
#include "korvannetwork/responseheader.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class HttpConnection;
class QSocketNotifier;

// HTTP on the loopback address, for programs on this machine only: a request
// that a web page sends through a browser gets 403. Each request is delivered
// through requestReceived on the thread that owns the server, one at a time;
// the connected slot answers it with sendResponse before it returns. A
// connection's requests come in the order it sent them, but requests of
// different connections come in the order the event loop finds their
// connections ready, which need not be the order in which they arrived.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    // Listens from here on; when the port cannot be bound the failure is logged
    // and isListening() is false.
    explicit HttpServer(int port, QObject* parent = nullptr);
    ~HttpServer() override;

    // The reply to the request whose requestReceived is being handled.
    virtual void sendResponse(const ResponseHeader& header, const QByteArray& body);

    bool isListening() const;
    quint16 serverPort() const;
    // A connection that waits this long for a request is closed (default 60 s).
    void setIdleTimeout(int msec);
    // So is one whose request has not arrived whole this long after its first
    // byte (default 30 s), however steadily its bytes come.
    void setRequestTimeout(int msec);
    // And one whose client takes no byte of its reply for this long (default
    // 30 s); a reply is never cut for being read slowly.
    void setWriteTimeout(int msec);

signals:
    void requestReceived(const RequestHeader& header, const QByteArray& content);

private:
    void acceptConnections();
    void updateAccepting();
    void onRequestReady(HttpConnection* connection);
    void onConnectionClosed(HttpConnection* connection);
    void scheduleDispatch();
    void dispatch();
    void finishReplies();

    int m_listener = -1;
    quint16 m_port = 0;
    QSocketNotifier* m_acceptNotifier = nullptr;
    // Accepting rests for a while after the system ran out of descriptors.
    QTimer m_acceptRetry;
    int m_idleTimeoutMsec = 60000;
    int m_requestTimeoutMsec = 30000;
    int m_writeTimeoutMsec = 30000;
    QList<HttpConnection*> m_connections;
    QList<QPointer<HttpConnection>> m_queue;
    QPointer<HttpConnection> m_current;
    bool m_dispatching = false;
    bool m_dispatchScheduled = false;
};
