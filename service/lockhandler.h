#pragma once

#include <QObject>

namespace Log4Qt {
class Logger;
}

namespace taxvault {

class Sender;

// Polls the operator's server with service requests while it blocks the
// register, and ends once an answer lifts the block.
class LockHandler : public QObject
{
    Q_OBJECT

public:
    LockHandler();

signals:
    void stop();

public slots:
    void onStart();
    void tryUnlock();

private:
    // The worker's own Sender, made on first use on the worker's thread.
    Sender* sender();
    void scheduleNextPoll();

    Log4Qt::Logger* m_logger;
    int m_interval = 0;
    Sender* m_sender = nullptr;
};

} // namespace taxvault
