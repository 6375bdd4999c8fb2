#pragma once

#include "documents/kkminfoobject.h"
#include "documents/servicerequest.h"
#include "service/eservicestatus.h"
#include "service/servicerecords.h"

#include "message.pb.h"
#include "utility/memo.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>

#include <functional>
#include <optional>
#include <variant>

class QThread;

namespace Log4Qt {
class Logger;
}

namespace taxvault {

class CloseShiftRequest;
class CommandTransaction;
class FiscalLogic;
class MoneyPlacementRequest;
class OperatorLink;
class ServiceResponse;
class TicketRequest;

// The owner of the service state: the commands of the point-of-sale program,
// the service states and the workers, over the link to the operator's server
// and the stored service records. The main Sender serves the HTTP commands on
// the main thread; each worker has a Sender of its own, used only on the
// worker's thread, whose state decides nothing.
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
    virtual int offlineModeReason();
    virtual int dbDamagedStatus();
    virtual QJsonObject processCommand(int command, const QJsonObject& request);
    virtual QByteArray sendData(const QByteArray& packet);

    // The token and package number in force, as the next start restores them;
    // stored after each exchange that was answered.
    void saveTransportData();
    // The reply to a command that ran out of memory before the operator's
    // server answered it; what it had begun to store has been rolled back.
    QJsonObject outOfMemory();

    int status() const { return m_status; }
    // The lock date in force: in status 1 that of the offline period open now.
    QDateTime lockDate();
    // The stored service records as this Sender reads and writes them.
    ServiceRecords& records() { return m_records; }

protected:
    // A worker's report: a worker ending with status 0 while messages are still
    // queued sends the service into autonomous mode with a new queue worker.
    void takeWorkerStatus(EServiceStatus status);

private:
    // The count of a command's document into the shift counters, made once:
    // with its queue message when it is queued, otherwise once the server has
    // accepted it.
    struct DocumentCount
    {
        enum class Outcome { Pending, Counted, Failed };
        std::function<bool()> add;
        Outcome outcome = Outcome::Pending;
    };
    // What a command handler does with the reply, within the command's writes.
    using Finish = std::function<QJsonObject(const QJsonObject&)>;

    // processCommand with the document's count and the handler's own part;
    // a command that runs out of memory ends here.
    QJsonObject runCommand(int command, const QJsonObject& request, DocumentCount* count,
                           const Finish& finish);
    // A command's steps, each of its transaction scopes a step of its own.
    QJsonObject serveCommand(int command, const QJsonObject& request, DocumentCount* count,
                             const Finish& finish, bool& answered);
    // A refusal of a database lost or a service blocked; no transaction.
    std::optional<QJsonObject> refuseCommand(DocumentCount* count, const Finish& finish);
    // The first transaction: everything up to the exchange. Autonomous, that is
    // the whole command and its reply comes back; online, the request to send.
    struct Prepared
    {
        ofd::proto::Request request;
        int dbState = 0;
    };
    std::variant<QJsonObject, Prepared> prepareCommand(int command, const QJsonObject& request,
                                                       DocumentCount* count, const Finish& finish);
    // The exchange, then the second transaction: what the answer brings.
    QJsonObject exchangeAndStore(int command, const QJsonObject& request, DocumentCount* count,
                                 const Finish& finish, const Prepared& prepared, bool& answered);
    // The reply to every command once the database file was lost, or nothing.
    std::optional<QJsonObject> refusalOfLostDatabase();
    // The reply's last steps: the count, the handler's part, the commit.
    QJsonObject endCommand(CommandTransaction* writes, QJsonObject reply, DocumentCount* count,
                           const Finish& finish);
    QJsonObject queueWhileAutonomous(int command, const QJsonObject& request, DocumentCount* count);
    QJsonObject answerReply(int command, const ofd::proto::Response& answer, int dbState);
    QJsonObject takeOffline(int command, const QJsonObject& request, int reason, const QString& errorText,
                            DocumentCount* count);
    bool queueMessage(int command, const QJsonObject& request, QString& data, DocumentCount* count);
    // Stores a queue message and the counts of its document together, or neither.
    bool storeCounted(const QJsonObject& message, DocumentCount& count);
    // The operator has answered a command that then ran out of memory.
    QJsonObject outOfMemoryAfterAnswer();

    // The warning line of a change out of normal mode, before the change.
    void warnOfStatusChange(int status, const QString& cause);
    // Status 2, its cause warned of.
    void blockFor(const QString& cause);
    // Opens an offline period that begins now and stores it; with keepOpenPeriod
    // a period already open stays as it is.
    void openOfflinePeriod(bool keepOpenPeriod);
    QJsonObject readBack(const QString& record, const QString& infoText, const QString& missingText);
    // A new thread for a worker, wired to release both when it ends.
    QThread* workerThread(QObject* handler);

    int m_status;
    QSharedPointer<FiscalLogic> m_fiscalLogic;
    QDateTime m_lockDate;
    OperatorLink* m_link;
    ServiceRecords m_records;
    // The document of the running command that the operator's server accepted.
    std::optional<QString> m_accepted;
    Log4Qt::Logger* m_logger;
    // The status block last built and its JSON: it mostly repeats from one
    // command to the next. Its lock date also as text: one instant given in
    // another zone reads differently.
    Memo<std::pair<KkmInfoObject, QString>, QJsonObject> m_lastStatusBlock;
    // The worker threads this Sender started and that still exist.
    QList<QPointer<QThread>> m_workerThreads;
};

} // namespace taxvault
