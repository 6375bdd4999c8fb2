#pragma once

#include "documents/documentmapping.h"
#include "documents/kkminfoobject.h"
#include "documents/servicerequest.h"
#include "documents/serviceresponse.h"
#include "service/eservicestatus.h"
#include "storage/dao.h"

#include "message.pb.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QRecursiveMutex>
#include <QSharedPointer>
#include <QString>

#include <functional>
#include <optional>

class QTcpSocket;
class QThread;

namespace Log4Qt {
class Logger;
}

namespace taxvault {

class CloseShiftRequest;
class FiscalLogic;
class MoneyPlacementRequest;
class ServiceResponse;
class TicketRequest;

// The service's link to the operator's server and the owner of the service state.
// The main Sender serves the HTTP commands on the main thread; each worker has a
// Sender of its own, used only on the worker's thread, whose state decides nothing.
class Sender : public QObject
{
    Q_OBJECT

public:
    Sender();
    ~Sender() override;

    // Start-up of the Sender that serves the HTTP commands.
    void init();

    QJsonObject commandSystem();
    QJsonObject commandInfo();
    QJsonObject commandCloseShift(const QSharedPointer<CloseShiftRequest>& request);
    QJsonObject commandTicket(const QSharedPointer<TicketRequest>& request);
    QJsonObject commandMoneyPlacement(const QSharedPointer<MoneyPlacementRequest>& request);
    QJsonObject commandReport(const QJsonObject& object);
    QJsonObject saveTicketRequest(const QJsonObject& object);
    QJsonObject saveReportRequest(const QJsonObject& object);
    QJsonObject getLastTicketRequest();
    QJsonObject getLastReportRequest();
    QJsonObject getLastReportResponse();
    QJsonObject getLastServiceResponse();
    QJsonObject getLastInfoServiceResponse();

    virtual QJsonObject getLastServiceRequest();
    // getLastServiceRequest read into a document.
    ServiceRequest lastServiceRequestDocument();
    virtual int resultCodeToStatus(int resultCode);
    virtual ofd::proto::Response exchange(const ofd::proto::Request& request);
    virtual bool updateServiceInfo(const ServiceResponse& response);
    virtual void setOfflineModeReason(int reason);

public slots:
    virtual void onChangeStatus(taxvault::EServiceStatus status);

public:
    virtual void restoreTransportData();
    virtual QJsonObject appendKkmInfo(QJsonObject object);
    virtual void saveReportResponse(const QJsonObject& reply);
    virtual bool setStatus(int status);
    virtual QDateTime getLockDate();
    virtual QByteArray buildPacket(const QByteArray& payload);
    virtual QJsonObject makeKkmInfoResponse(int status, QString errorMessage, QString data, int dbState);
    virtual QJsonObject fiscalMemoryError();
    virtual QJsonObject makeResponse(QString errorMessage);
    virtual bool isQueueableCommand(int command);
    virtual bool enqueueMessage(int command, const QJsonObject& request, QString& data);
    virtual QJsonObject goOffline(int command, const QJsonObject& request, int reason, QString errorText);
    virtual void startQueueHandler();
    virtual void startLockHandler();
    virtual bool isOfflineLimitExceeded();
    virtual bool isRequestTimeInvalid();
    // The stored request time ("yyyy-MM-dd hh:mm:ss", local time) as QDateTime::fromString reads it.
    static QDateTime readRequestTime(const QString& text);
    virtual int offlineModeReason();
    virtual int dbDamagedStatus();
    virtual QJsonObject processCommand(int command, const QJsonObject& request);
    virtual QByteArray sendData(const QByteArray& packet);

    // The token and package number in force, as the next start restores them;
    // stored after each exchange that was answered.
    void saveTransportData();

    // What a command stores before its exchange is one transaction, and what it
    // stores once the exchange is over (or in place of it) another, committed
    // when the command ends. Never open while waiting for the operator's server.
    void beginCommandWrites(Dao::Sync sync = Dao::Sync::Synced);
    // Commits; false when the writes were rolled back. Nothing open: true.
    bool endCommandWrites();
    // Commits at the end of a command; rolled back, the service blocks.
    QJsonObject commitCommandWrites(const QJsonObject& reply);

    int status() const { return m_status; }
    // The lock date in force: in status 1 that of the offline period open now.
    QDateTime lockDate();

    // Held across every read, change and store of the stored "servicerequest",
    // on every thread, so that no thread overwrites another's offline period.
    // Recursive, so that a holder may call updateServiceInfo. Never taken while
    // the exchange lock is held.
    static QRecursiveMutex& serviceRequestMutex();

protected:
    // A worker's report: a worker ending with status 0 while messages are still
    // queued sends the service into autonomous mode with a new queue worker.
    void takeWorkerStatus(EServiceStatus status);

private:
    // Held for each attempt of an exchange, from reading the token and package
    // number into the frame to storing the ones of the reply, so that the three
    // Senders never send with the same token at once.
    static QMutex& exchangeMutex();

    // Opens an offline period that begins now and stores it; with keepOpenPeriod
    // a period already open stays as it is.
    void openOfflinePeriod(bool keepOpenPeriod);
    // The lock date of the stored offline period (null when none is open);
    // nothing when the stored record cannot be read.
    std::optional<QDateTime> storedLockDate();
    QJsonObject handleCommand(int command, const QJsonObject& request);
    // Runs a command handler whose own writes after processCommand belong to
    // the command's transaction.
    QJsonObject runCommand(const std::function<QJsonObject()>& command);
    // processCommand for a document that adds to the counters: queued, it is
    // counted in the transaction that stores it; sent, once the server has
    // accepted it. A failed count blocks the service.
    QJsonObject processCounted(int command, const QJsonObject& request, const std::function<bool()>& count);
    // Stores a queue message and the counts of its document together, or neither.
    bool storeCounted(const QJsonObject& message);
    QJsonObject readBack(const QString& record, const QString& infoText, const QString& missingText);
    [[noreturn]] void failTransfer(const QString& text);
    // A new thread for a worker, wired to release both when it ends.
    QThread* workerThread(QObject* handler);

    int m_status;
    QSharedPointer<FiscalLogic> m_fiscalLogic;
    QDateTime m_lockDate;
    // The status block last built and its JSON: it mostly repeats from one
    // command to the next. Its lock date also as text: one instant given in
    // another zone reads differently.
    struct StatusBlock
    {
        KkmInfoObject info;
        QString lockDateText;
        QJsonObject json;
    };
    std::optional<StatusBlock> m_lastStatusBlock;
    // The service request last read and its document: it is read twice per
    // command and mostly holds what it held the command before.
    struct ServiceRequestRead
    {
        QJsonObject json;
        ServiceRequest document;
    };
    std::optional<ServiceRequestRead> m_lastServiceRequest;
    // The stored service records' JSON, made anew only when they change.
    LastJson<ServiceRequest> m_serviceRequestJson;
    LastJson<ServiceResponse> m_serviceResponseJson;
    QTcpSocket* m_socket;
    int m_headerLength;
    Log4Qt::Logger* m_logger;
    // The worker threads this Sender started and that still exist.
    QList<QPointer<QThread>> m_workerThreads;

    // Counting of the document of the command being processed.
    enum class CountOutcome { Pending, Counted, Failed };
    std::function<bool()> m_documentCount;
    CountOutcome m_countOutcome = CountOutcome::Pending;
    bool m_commandWritesOpen = false;
    bool m_holdCommandWrites = false;
};

} // namespace taxvault
