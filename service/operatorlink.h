#pragma once

#include "message.pb.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>

class QTcpSocket;

namespace Log4Qt {
class Logger;
}

namespace taxvault {

// The link to the operator's server: the frame around each request, one TCP
// connection per attempt, the attempts within the operation's budget and the
// bounded read of the reply. It keeps no service state but the configuration's
// token and package number, which each answered attempt moves on.
class OperatorLink : public QObject
{
    Q_OBJECT

public:
    explicit OperatorLink(QObject* parent = nullptr);

    QByteArray buildPacket(const QByteArray& payload);
    // The answer of the first attempt that brings a usable one; throws
    // ServiceException once the budget is spent.
    ofd::proto::Response exchange(const ofd::proto::Request& request);
    // One attempt: the reply's bytes as they came; throws ServiceException.
    QByteArray sendData(const QByteArray& packet);

private:
    // Held for each attempt of an exchange, from reading the token and package
    // number into the frame to storing the ones of the reply, so that the three
    // Senders never send with the same token at once.
    static QMutex& exchangeMutex();

    [[noreturn]] void failTransfer(const QString& text);

    QTcpSocket* m_socket;
    int m_headerLength;
    Log4Qt::Logger* m_logger;
};

} // namespace taxvault
