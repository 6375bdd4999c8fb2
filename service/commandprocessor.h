#pragma once

#include "korvannetwork/requestheader.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>

class HttpServer;

namespace Log4Qt {
class Logger;
}

namespace taxvault {

class Sender;

// Takes the point-of-sale program's JSON commands from the HTTP server and hands
// each to one handler of the main Sender, on the main thread.
class CommandProcessor : public QObject
{
    Q_OBJECT

public:
    // The server listens on the port from here on.
    explicit CommandProcessor(int port);
    ~CommandProcessor() override;

    // Start-up of the main Sender, then the connection to the server's requests.
    void start();
    bool isListening() const;

public slots:
    virtual void processReceivedRequest(RequestHeader header, QByteArray content);

private:
    // The reply of the handler the body names.
    QJsonObject dispatch(const QByteArray& content);

    // Released in reverse order: the Sender before the server.
    QSharedPointer<HttpServer> m_server;
    QSharedPointer<Sender> m_sender;
    Log4Qt::Logger* m_logger;
};

} // namespace taxvault
