#include "scriptedoperator.h"

#include "utility/numeric.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <future>

namespace taxvault::testing {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray replyFrame(const ofd::proto::Response& response, quint32 token, int announcedExtra)
{
    std::string payload;
    response.SerializePartialToString(&payload);
    QByteArray frame = hex("A2 81 CB 00");
    frame += numeric::longToLe(18 + payload.size() + announcedExtra, 4);
    frame += numeric::longToLe(0, 4);
    frame += numeric::longToLe(token, 4);
    frame += numeric::longToLe(0, 2);
    frame += QByteArray::fromStdString(payload);
    return frame;
}

QByteArray readFrame(QTcpSocket* socket)
{
    QByteArray frame;
    while (frame.size() < 18 || frame.size() < qint64(numeric::leToLong(frame.mid(4, 4)))) {
        if (!socket->waitForReadyRead(2000))
            break;
        frame += socket->readAll();
    }
    return frame;
}

ScriptedOperator::ScriptedOperator(QList<Step> steps) : m_steps(std::move(steps))
{
    std::promise<quint16> port;
    auto ready = port.get_future();
    m_thread = std::thread([this, &port] { run(port); });
    m_port = ready.get();
}

ScriptedOperator::~ScriptedOperator()
{
    m_stop = true;
    m_thread.join();
}

QList<QByteArray> ScriptedOperator::frames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

void ScriptedOperator::run(std::promise<quint16>& port)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    port.set_value(server.serverPort());
    for (const Step& step : m_steps) {
        while (!m_stop && !server.waitForNewConnection(50)) {
        }
        if (m_stop)
            return;
        QTcpSocket* socket = server.nextPendingConnection();
        QByteArray frame = readFrame(socket);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_frames.append(frame);
        }
        for (const QByteArray& piece : step.pieces) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
            socket->write(piece);
            socket->waitForBytesWritten(1000);
        }
        if (step.close) {
            socket->disconnectFromHost();
            if (socket->state() != QAbstractSocket::UnconnectedState)
                socket->waitForDisconnected(1000);
        } else {
            while (!m_stop && socket->state() == QAbstractSocket::ConnectedState)
                socket->waitForDisconnected(50);
        }
        delete socket;
    }
}

} // namespace taxvault::testing
