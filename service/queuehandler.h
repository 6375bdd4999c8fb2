#pragma once

#include "service/eservicestatus.h"

#include <QObject>
#include <QString>

namespace Log4Qt {
class Logger;
}

namespace taxvault {

class Sender;
class ServiceRequest;

// Sends the message queue to the operator's server, oldest message first,
// while the service is autonomous. Lives on a thread of its own and reports
// the status the service is to take through its signals.
class QueueHandler : public QObject
{
    Q_OBJECT

public:
    QueueHandler();

signals:
    // The worker has ended; the service takes this status.
    void stop(taxvault::EServiceStatus status);
    // The service takes this status; the worker goes on.
    void changeStatus(taxvault::EServiceStatus status);

public slots:
    void onStart();
    void sendMessage();

public:
    // After a failed send: records the reason and, when no offline period is
    // open, opens one; the same message goes again one interval later.
    virtual void handleSendFailure(int reason, int storedStatus, ServiceRequest& serviceRequest);
    virtual void scheduleNextSend();

protected:
    // The worker's own Sender, made on first use on the worker's thread, so
    // that it and its socket belong to that thread and go with the worker.
    virtual Sender* sender();

private:
    void send();
    // Ends the worker with a block, its cause logged as a warning.
    void stopBlocked(EServiceStatus status, const QString& cause);

    Log4Qt::Logger* m_logger;
    int m_interval = 60000;
    Sender* m_sender = nullptr;
};

} // namespace taxvault
