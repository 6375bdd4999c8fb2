#pragma once

#include "message.pb.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

class QTcpSocket;

namespace taxvault::testing {

QByteArray hex(const char* text);

// A reply frame: the 18-byte header (length, token) and the encoded answer.
// `announcedExtra` makes the header announce more bytes than follow.
QByteArray replyFrame(const ofd::proto::Response& response, quint32 token, int announcedExtra = 0);

// One frame as a test server reads it: until the length in its header has
// arrived, or nothing comes for 2 s.
QByteArray readFrame(QTcpSocket* socket);

// What the server does on one connection: write the pieces with a pause
// before each, then close (or wait for the client to close).
struct Step
{
    QList<QByteArray> pieces;
    int pauseMs = 0;
    bool close = true;
};

// An operator's server on the loopback address, on a thread of its own, that
// takes one connection per step and records the frame it receives on each.
class ScriptedOperator
{
public:
    explicit ScriptedOperator(QList<Step> steps);
    ~ScriptedOperator();

    quint16 port() const { return m_port; }
    QList<QByteArray> frames() const;

private:
    void run(std::promise<quint16>& port);

    QList<Step> m_steps;
    std::thread m_thread;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QList<QByteArray> m_frames;
};

} // namespace taxvault::testing
