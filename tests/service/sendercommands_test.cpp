// Command processing of the main Sender: the states, the status-block texts,
// autonomous mode and the local commands, with a scripted operator exchange.

#include "servicetestsupport.h"
#include "waitingthread.h"

#include "documents/closeshiftrequest.h"
#include "documents/moneyplacementrequest.h"
#include "documents/serviceresponse.h"
#include "documents/ticketrequest.h"
#include "protocol/serviceexception.h"
#include "storage/dao.h"

#include "korvan/singleton.h"

#include <QJsonArray>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSqlQuery>

#include <atomic>
#include <chrono>
#include <future>
#include <new>
#include <thread>

namespace taxvault::testing {
namespace {

const QDateTime kNow(QDate(2024, 3, 1), QTime(9, 5, 0));

const char* const kPlacement = R"({"operation": 0, "sum": 100})";

QString iso(const QDateTime& dateTime)
{
    return dateTime.toString(Qt::ISODate);
}

// The status block as a reply carries it, all six keys.
QJsonObject expectedBlock(int status, const QString& errorMessage, const QString& data = QString(),
                          int dbState = 0, int reason = 0, const QString& lockDate = QString())
{
    return QJsonObject{
        {QStringLiteral("serviceStatus"), status},      {QStringLiteral("lockDate"), lockDate},
        {QStringLiteral("errorMessage"), errorMessage}, {QStringLiteral("data"), data},
        {QStringLiteral("offlineModeReason"), reason},  {QStringLiteral("serviceStatusByDbState"), dbState}};
}

int rowCount(const char* table)
{
    QSqlQuery query(QSqlDatabase::database());
    query.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(QLatin1String(table)));
    return query.next() ? query.value(0).toInt() : -1;
}

class SenderCommands : public ServiceDbTest
{
protected:
    void SetUp() override
    {
        ServiceDbTest::SetUp();
        setNow(kNow);
        sender = std::make_unique<ScriptedSender>();
    }

    void TearDown() override
    {
        removeRefusals();
        ServiceDbTest::TearDown();
    }

    static void removeRefusals()
    {
        for (const char* trigger :
             {"refuse_shift_insert", "refuse_shift_update", "refuse_message", "refuse_servicedata"})
            sql(QStringLiteral("DROP TRIGGER IF EXISTS %1").arg(QLatin1String(trigger)));
        allowCommits();
    }

    void answerWith(int code)
    {
        sender->script = [code](const ofd::proto::Request&) { return answer(code); };
    }

    void noConnection()
    {
        sender->script = [](const ofd::proto::Request&) -> ofd::proto::Response {
            throw ServiceException(QStringLiteral("Нет связи с сервером ОФД"));
        };
    }

    // Makes the service autonomous the way a failed exchange does.
    void goAutonomous()
    {
        noConnection();
        sender->processCommand(0, QJsonObject());
        ASSERT_EQ(sender->status(), 1);
        sql(QStringLiteral("DELETE FROM messages"));
    }

    static void refuseWrites(const char* trigger, const char* table, const char* operation = "INSERT")
    {
        sql(QStringLiteral(
                "CREATE TEMP TRIGGER %1 BEFORE %3 ON main.%2 BEGIN SELECT RAISE(ABORT, 'refused'); END")
                .arg(QLatin1String(trigger), QLatin1String(table), QLatin1String(operation)));
    }

    // Reads of the shift counters fail while writes still reach them, as when
    // a lock is held past the busy timeout for the read and gone for the write.
    static void failShiftCountersReads()
    {
        sql(QStringLiteral("ALTER TABLE shiftcounters RENAME TO shiftcounters_kept"));
        sql(QStringLiteral("CREATE VIEW shiftcounters AS SELECT abs(-9223372036854775807 - 1) AS rowid, "
                           "NULL AS data UNION ALL SELECT rowid, data FROM shiftcounters_kept"));
        sql(QStringLiteral("CREATE TRIGGER kept_insert INSTEAD OF INSERT ON shiftcounters "
                           "BEGIN INSERT INTO shiftcounters_kept(data) VALUES(NEW.data); END"));
    }

    static void readShiftCountersAgain()
    {
        sql(QStringLiteral("DROP VIEW shiftcounters"));
        sql(QStringLiteral("ALTER TABLE shiftcounters_kept RENAME TO shiftcounters"));
    }

    QJsonObject ticket() const
    {
        return sender->commandTicket(QSharedPointer<TicketRequest>::create(
            TicketRequest::fromJson(json(R"({"operation": 2, "payments": {"0": {"sum": 10}}})"))));
    }

    QJsonObject placement() const
    {
        return sender->commandMoneyPlacement(
            QSharedPointer<MoneyPlacementRequest>::create(MoneyPlacementRequest::fromJson(json(kPlacement))));
    }

    static QList<QVariantList> shiftRows()
    {
        QList<QVariantList> rows;
        QSqlQuery query(QSqlDatabase::database());
        query.exec(QStringLiteral("SELECT rowid, data FROM main.shiftcounters ORDER BY rowid"));
        while (query.next())
            rows.append({query.value(0), query.value(1)});
        return rows;
    }

    std::unique_ptr<ScriptedSender> sender;
};

TEST_F(SenderCommands, OperatorAnswerDecidesNextState)
{
    struct Case
    {
        const char* name;
        int code; // -1: no connection
        int status;
        const char* errorMessage;
        int reason;
        int lockWorkers;
        bool queued;
    };
    const Case cases[] = {
        {"accepted", 0, 0, "", 0, 0, false},
        {"open shift expired", 11, 0, "Время открытой смены истекло", 0, 0, false},
        {"code without text", 16, 2, "", 0, 0, false},
        {"unknown device", 1, 2, "Неизвестный ID устройства", 0, 0, false},
        {"register blocked by the server", 15, 3, "Касса заблокирована", 0, 1, false},
        {"invalid token", 2, 1, "Invalid token", 2, 0, true},
        {"no connection", -1, 1, "Нет связи с сервером ОФД", 1, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.code < 0)
            noConnection();
        else
            answerWith(c.code);

        const QJsonObject reply = sender->processCommand(6, json(kPlacement));

        EXPECT_EQ(sender->status(), c.status);
        EXPECT_EQ(storedStatus(), c.status);
        EXPECT_EQ(sender->lockWorkerStarts, c.lockWorkers);
        const QString lockDate = c.queued ? iso(kNow.addSecs(72 * 3600)) : QString();
        EXPECT_EQ(block(reply), expectedBlock(c.status, QString::fromUtf8(c.errorMessage), QString(), 0,
                                              c.reason, lockDate));
        EXPECT_EQ(sender->queueWorkerStarts, c.queued ? 1 : 0);
        if (c.queued) {
            // The failed command goes into the queue unstamped, and is there
            // before the worker that sends it starts.
            EXPECT_EQ(queuedMessages(),
                      (QList<QJsonObject>{QJsonObject{{QStringLiteral("command"), 6},
                                                      {QStringLiteral("request"), json(kPlacement)}}}));
            EXPECT_TRUE(sender->queueHeldMessageWhenWorkerStarted);
            EXPECT_EQ(record(QStringLiteral("servicerequest"))
                          .value(QStringLiteral("offlinePeriod"))
                          .toObject()
                          .value(QStringLiteral("beginTime"))
                          .toString(),
                      iso(kNow));
        } else {
            EXPECT_TRUE(queuedMessages().isEmpty());
        }
    }
}

TEST_F(SenderCommands, CommandWithoutDocumentQueuesPlaceholderWhenGoingOffline)
{
    noConnection();
    sender->processCommand(5, QJsonObject());
    EXPECT_EQ(sender->status(), 1);
    EXPECT_EQ(queuedMessages(), (QList<QJsonObject>{json(R"({"command": 0, "request": null})")}));
}

TEST_F(SenderCommands, BlockedServiceRefusesOperatorCommands)
{
    for (const int status : {2, 3}) {
        SCOPED_TRACE(status);
        SetUp();
        answerWith(0);
        sender->setStatus(status);

        const QJsonObject reply = sender->processCommand(1, json(R"({"operation": 2})"));

        EXPECT_EQ(reply,
                  (QJsonObject{{QStringLiteral("kkmInfoObject"),
                                expectedBlock(status, QStringLiteral("Сервис в режиме блокировки"))}}));
        EXPECT_EQ(sender->exchanges, 0);
        EXPECT_TRUE(record(QStringLiteral("lastrequesttime")).isEmpty()) << "no clock check while blocked";
        EXPECT_TRUE(queuedMessages().isEmpty());
    }
}

TEST_F(SenderCommands, RequestTimeCheck)
{
    struct Case
    {
        const char* name;
        const char* stored; // nullptr: no record
        bool onlyDate;
        QDateTime now;
        bool refused;
    };
    const QDateTime previous(QDate(2024, 3, 1), QTime(10, 0, 0));
    const Case cases[] = {
        {"first command", nullptr, false, previous, false},
        {"same whole second", "2024-03-01 10:00:00", false, previous.addMSecs(900), false},
        {"clock set back a second", "2024-03-01 10:00:00", false, previous.addSecs(-1), true},
        {"unreadable record", R"(garbage)", false, previous.addDays(-5), false},
        {"dates only, earlier the same day", "2024-03-01 10:00:00", true, previous.addSecs(-3600), false},
        {"dates only, the day before", "2024-03-01 10:00:00", true, previous.addSecs(-10 * 3600 - 1), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        answerWith(0);
        setNow(c.now);
        setConfig(QStringLiteral("Checks:checkOnlyRequestDate"), c.onlyDate);
        if (c.stored)
            store(QStringLiteral("lastrequesttime"), QJsonObject{{QStringLiteral("datetime"), c.stored}});

        const QJsonObject reply = sender->processCommand(0, QJsonObject());

        const QString stored =
            record(QStringLiteral("lastrequesttime")).value(QStringLiteral("datetime")).toString();
        if (c.refused) {
            EXPECT_EQ(reply,
                      (QJsonObject{{QStringLiteral("kkmInfoObject"),
                                    expectedBlock(2, QStringLiteral("Время некорректно. Сервис в режиме "
                                                                    "блокировки"))}}));
            EXPECT_EQ(sender->status(), 2);
            EXPECT_EQ(sender->exchanges, 0);
            EXPECT_EQ(stored, QString::fromUtf8(c.stored)) << "a refused time is not stored";
        } else {
            EXPECT_EQ(sender->status(), 0);
            EXPECT_EQ(sender->exchanges, 1);
            EXPECT_EQ(stored, c.now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        }
    }
}

TEST_F(SenderCommands, AutonomousModeStampsQueuedDocuments)
{
    struct Case
    {
        const char* name;
        int command;
        const char* request;
        const char* stored; // nullptr: nothing queued
        QString data;
        const char* errorMessage;
    };
    const QString seconds = QString::number(kNow.toSecsSinceEpoch());
    const QByteArray ticketStored =
        QStringLiteral(R"({"command": 1, "request": {"operation": 2, "offlineTicketNumber": %1}})")
            .arg(seconds)
            .toUtf8();
    const Case cases[] = {
        {"receipt gets its offline number", 1, R"({"operation": 2, "offlineTicketNumber": 5})",
         ticketStored.constData(), seconds, "Сервис в автономном режиме"},
        {"shift closing is flagged", 2, R"({"isOfflineFlag": false})",
         R"({"command": 2, "request": {"isOfflineFlag": true}})", QString(), "Сервис в автономном режиме"},
        {"report is flagged", 3, R"({"type": 1})",
         R"({"command": 3, "request": {"type": 1, "isOfflineFlag": true}})", QString(),
         "Сервис в автономном режиме"},
        {"reserved command unchanged", 127, R"({"x": 1})", R"({"command": 127, "request": {"x": 1}})",
         QString(), "Сервис в автономном режиме"},
        {"system information is not queued", 0, "{}", nullptr, QString(), "Сервис в автономном режиме"},
        {"unknown command with a document is not queued", 4, R"({"x": 1})", nullptr, QString(),
         "Сервис в автономном режиме"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        goAutonomous();
        const int workers = sender->queueWorkerStarts;

        const QJsonObject reply = sender->processCommand(c.command, json(c.request));

        EXPECT_EQ(sender->exchanges, 1) << "nothing is sent while autonomous";
        EXPECT_EQ(sender->queueWorkerStarts, workers) << "the running worker sends it";
        EXPECT_EQ(block(reply), expectedBlock(1, QString::fromUtf8(c.errorMessage), c.data, 0, 1,
                                              iso(kNow.addSecs(72 * 3600))));
        EXPECT_EQ(queuedMessages(), c.stored ? QList<QJsonObject>{json(c.stored)} : QList<QJsonObject>());
    }
}

TEST_F(SenderCommands, LockDateIsTheBeginPlusTheLimitNeverBeforeIt)
{
    struct Case
    {
        qint64 hours;
        qint64 afterBegin;           // hours
        const char* shown = nullptr; // the block's lockDate; null: the lock date's own text
    };
    // The year 10000 has no ISO text: a till must still see a lock, never "".
    const char* const latest = "9999-12-31T23:59:59";
    const qint64 lastHourOf9999 = kNow.secsTo(QDateTime(QDate(9999, 12, 31), QTime(23, 5))) / 3600;
    // 596524 hours and more no longer fit a 32-bit number of seconds.
    const Case cases[] = {
        {72, 72},
        {596523, 596523},
        {596524, 596524},
        {600000, 600000},
        {lastHourOf9999, lastHourOf9999, "9999-12-31T23:05:00"},
        {lastHourOf9999 + 1, lastHourOf9999 + 1, latest},
        {2147483647, 2147483647, latest},
        {-5, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hours);
        SetUp();
        setConfig(QStringLiteral("DataSending:offlineModeLimit"), c.hours);
        goAutonomous();

        EXPECT_EQ(sender->lockDate(), kNow.addSecs(c.afterBegin * 3600));
        const QJsonObject reply = sender->processCommand(6, json(kPlacement));
        const bool reached = c.afterBegin == 0;
        EXPECT_EQ(sender->status(), reached ? 2 : 1);
        EXPECT_EQ(block(reply).value(QStringLiteral("errorMessage")).toString(),
                  reached ? QStringLiteral("Время нахождения в автономном режиме превышено. Сервис в режиме "
                                           "блокировки")
                          : QStringLiteral("Сервис в автономном режиме"));
        EXPECT_EQ(queuedMessages().size(), reached ? 0 : 1);
        EXPECT_EQ(block(reply).value(QStringLiteral("lockDate")).toString(),
                  c.shown ? QString::fromUtf8(c.shown) : iso(kNow.addSecs(c.afterBegin * 3600)));
    }
}

TEST_F(SenderCommands, OfflineLimitBlocksAtLockDate)
{
    struct Case
    {
        const char* name;
        int secondsBeforeLockDate;
        bool blocked;
    };
    const Case cases[] = {
        {"one second left", 1, false},
        {"at the lock date", 0, true},
        {"past the lock date", -3600, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        setConfig(QStringLiteral("DataSending:offlineModeLimit"), 1);
        goAutonomous();
        ASSERT_EQ(sender->lockDate(), kNow.addSecs(3600));
        setNow(kNow.addSecs(3600 - c.secondsBeforeLockDate));

        const QJsonObject reply = sender->processCommand(6, json(kPlacement));

        if (c.blocked) {
            EXPECT_EQ(block(reply),
                      expectedBlock(
                          2,
                          QStringLiteral("Время нахождения в автономном режиме превышено. Сервис в режиме "
                                         "блокировки"),
                          QString(), 0, 1));
            EXPECT_EQ(sender->status(), 2);
            EXPECT_TRUE(queuedMessages().isEmpty());
        } else {
            EXPECT_EQ(sender->status(), 1);
            EXPECT_EQ(queuedMessages().size(), 1);
        }
    }
}

TEST_F(SenderCommands, QueueMessageThatCannotBeStoredBlocks)
{
    struct Case
    {
        const char* name;
        bool autonomousBefore;
    };
    for (const Case& c : {Case{"while going offline", false}, Case{"while autonomous", true}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.autonomousBefore)
            goAutonomous();
        noConnection();
        refuseWrites("refuse_message", "messages");

        const QJsonObject reply = sender->processCommand(6, json(kPlacement));

        EXPECT_EQ(sender->status(), 2);
        EXPECT_EQ(storedStatus(), 2);
        EXPECT_EQ(block(reply).value(QStringLiteral("serviceStatus")).toInt(), 2);
        EXPECT_EQ(block(reply).value(QStringLiteral("errorMessage")).toString(),
                  QStringLiteral("Не удалось сохранить сообщение в очередь"));
        // The worker of the offline period still runs and brings the service
        // back once it finds the queue empty.
        EXPECT_EQ(sender->queueWorkerStarts, 1);
        sql(QStringLiteral("DROP TRIGGER refuse_message"));
    }
}

TEST_F(SenderCommands, WorkerEndingWhileMessagesWaitKeepsServiceAutonomous)
{
    struct Case
    {
        const char* name;
        EServiceStatus reported;
        bool queued;
        int status;
        int queueWorkers;
        int lockWorkers;
    };
    const Case cases[] = {
        {"queue drained", EServiceStatus::NORMAL, false, 0, 0, 0},
        {"a command queued meanwhile", EServiceStatus::NORMAL, true, 1, 1, 0},
        {"server blocks", EServiceStatus::SERVER_BLOCKED, true, 3, 0, 1},
        {"message could not be deleted", EServiceStatus::BLOCKED, true, 2, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sender->setStatus(1);
        if (c.queued) {
            ASSERT_TRUE(
                Singleton<Dao>::instance()->saveMessage(json(R"({"command": 6, "request": {"sum": 1}})")));
        }

        sender->takeWorkerStatus(c.reported);

        EXPECT_EQ(sender->status(), c.status);
        EXPECT_EQ(storedStatus(), c.status);
        EXPECT_EQ(sender->queueWorkerStarts, c.queueWorkers);
        EXPECT_EQ(sender->lockWorkerStarts, c.lockWorkers);
    }
}

TEST_F(SenderCommands, DatabaseStateOfReplies)
{
    struct Case
    {
        const char* name;
        bool blockOnDamage;
        int exchanges;
        const char* errorMessage;
        int dbState;
    };
    const Case cases[] = {
        {"unreadable records are reported", false, 1, "", 1},
        {"unreadable records block sending", true, 0, "Нет доступа к БД. Обратитесь в службу техподдержки",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        answerWith(0);
        setConfig(QStringLiteral("Blocks:blockOnDbDamaged"), c.blockOnDamage);
        sql(QStringLiteral("ALTER TABLE servicedata RENAME TO servicedata_away"));

        const QJsonObject reply = sender->processCommand(0, QJsonObject());
        sql(QStringLiteral("ALTER TABLE servicedata_away RENAME TO servicedata"));

        EXPECT_EQ(sender->exchanges, c.exchanges);
        EXPECT_EQ(sender->status(), 0);
        EXPECT_EQ(block(reply).value(QStringLiteral("errorMessage")).toString(),
                  QString::fromUtf8(c.errorMessage));
        EXPECT_EQ(block(reply).value(QStringLiteral("serviceStatusByDbState")).toInt(), c.dbState);
    }
}

TEST_F(SenderCommands, CounterFailureAfterAcceptedDocumentBlocks)
{
    struct Case
    {
        const char* name;
        int code;
        int status;
        const char* errorMessage;
    };
    const Case cases[] = {
        {"accepted receipt, counters refused", 0, 2, "Ошибка при работе с фискальной памятью"},
        {"receipt refused by the server: counters untouched", 16, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        answerWith(c.code);
        refuseWrites("refuse_shift_insert", "shiftcounters");
        refuseWrites("refuse_shift_update", "shiftcounters", "UPDATE");

        const QJsonObject reply = sender->commandTicket(QSharedPointer<TicketRequest>::create(
            TicketRequest::fromJson(json(R"({"operation": 2, "payments": {"0": {"sum": 10}}})"))));

        EXPECT_EQ(sender->status(), c.status);
        EXPECT_EQ(block(reply).value(QStringLiteral("serviceStatus")).toInt(), c.status);
        EXPECT_EQ(block(reply).value(QStringLiteral("errorMessage")).toString(),
                  QString::fromUtf8(c.errorMessage));
        sql(QStringLiteral("DROP TRIGGER refuse_shift_insert"));
        sql(QStringLiteral("DROP TRIGGER refuse_shift_update"));
    }
}

TEST_F(SenderCommands, ClosingShiftWhileAutonomousStoresFreshReplyAndMovesCounters)
{
    goAutonomous();
    ASSERT_TRUE(Singleton<Dao>::instance()->updateShiftCounters(CountersRecord(json(R"({"CHANGE": 5})"))));

    const QJsonObject reply = sender->commandCloseShift(QSharedPointer<CloseShiftRequest>::create(
        CloseShiftRequest::fromJson(json(R"({"frShiftNumber": 4})"))));

    EXPECT_EQ(block(reply), expectedBlock(1, QString(), QString(), 0, 1, iso(kNow.addSecs(72 * 3600))));
    EXPECT_EQ(record(QStringLiteral("reportresponse")), reply);
    EXPECT_EQ(rowCount("fiscalmemory"), 1);
    ASSERT_EQ(queuedMessages().size(), 1);
    EXPECT_EQ(queuedMessages()
                  .first()
                  .value(QStringLiteral("request"))
                  .toObject()
                  .value(QStringLiteral("isOfflineFlag")),
              QJsonValue(true));
}

TEST_F(SenderCommands, InfoWhileAutonomousAnswersFromStoredReport)
{
    goAutonomous();
    QJsonObject reply = sender->commandInfo();
    EXPECT_EQ(reply, (QJsonObject{{QStringLiteral("kkmInfoObject"),
                                   expectedBlock(2, QStringLiteral("Инициализация ККМ невозможна"), QString(),
                                                 0, 1, iso(kNow.addSecs(72 * 3600)))}}));
    EXPECT_EQ(sender->status(), 1) << "only the reply says blocked";

    store(QStringLiteral("reportresponse"), json(R"({"report": 3, "kkmInfoObject": {"serviceStatus": 0}})"));
    reply = sender->commandInfo();
    EXPECT_EQ(reply.value(QStringLiteral("report")).toInt(), 3);
    EXPECT_EQ(block(reply), expectedBlock(1, QString(), QString(), 0, 1, iso(kNow.addSecs(72 * 3600))));
    EXPECT_TRUE(queuedMessages().isEmpty());
}

TEST_F(SenderCommands, SystemInformationAlwaysCarriesRegistrationNumber)
{
    setConfig(QStringLiteral("KKM:fnsKkmId"), QStringLiteral("CFG-1"));
    struct Case
    {
        const char* name;
        int status;
        const char* answered; // fns_kkm_id of the answer
        const char* expected;
    };
    const Case cases[] = {
        {"blocked", 2, "", "CFG-1"},
        {"answer without number", 0, "", "CFG-1"},
        {"answer with number", 0, "SRV-9", "SRV-9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        setConfig(QStringLiteral("KKM:fnsKkmId"), QStringLiteral("CFG-1"));
        sender->setStatus(c.status);
        const std::string answered = c.answered;
        sender->script = [answered](const ofd::proto::Request&) {
            ofd::proto::Response response = answer(0);
            response.mutable_service()->mutable_reg_info()->mutable_kkm()->set_fns_kkm_id(answered);
            return response;
        };

        const QJsonObject reply = sender->commandSystem();

        EXPECT_EQ(reply.value(QStringLiteral("regInfo"))
                      .toObject()
                      .value(QStringLiteral("kkm"))
                      .toObject()
                      .value(QStringLiteral("fnsKkmId"))
                      .toString(),
                  QString::fromUtf8(c.expected));
    }
}

TEST_F(SenderCommands, LocalReadBackCommands)
{
    using Handler = QJsonObject (Sender::*)();
    struct Case
    {
        const char* record;
        Handler handler;
        const char* missing;
    };
    const Case cases[] = {
        {"ticketrequest", &Sender::getLastTicketRequest, "В базе данных отсутствует чек"},
        {"reportrequest", &Sender::getLastReportRequest, "В базе данных отсутствует отчет"},
        {"reportresponse", &Sender::getLastReportResponse, "В базе данных отсутствует ответ с отчетом"},
        {"serviceresponse", &Sender::getLastServiceResponse, "В базе данных отсутствует служебный ответ"},
        {"servicerequest", &Sender::getLastServiceRequest, "В базе данных отсутствует служебный запрос"},
        {"infoserviceresponse", &Sender::getLastInfoServiceResponse,
         "В базе данных отсутствует информация для печати"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        SetUp();
        sender->setStatus(3);
        EXPECT_EQ(
            (sender.get()->*c.handler)(),
            (QJsonObject{{QStringLiteral("kkmInfoObject"), expectedBlock(3, QString::fromUtf8(c.missing))}}));

        store(QString::fromLatin1(c.record), json(R"({"x": 1, "kkmInfoObject": {"errorMessage": "old"}})"));
        EXPECT_EQ((sender.get()->*c.handler)(),
                  (QJsonObject{{QStringLiteral("x"), 1},
                               {QStringLiteral("kkmInfoObject"), expectedBlock(3, QString())}}));
    }

    SetUp();
    EXPECT_EQ(sender->saveTicketRequest(QJsonObject()),
              (QJsonObject{{QStringLiteral("kkmInfoObject"), expectedBlock(0, QString())}}));
    EXPECT_EQ(block(sender->getLastTicketRequest()).value(QStringLiteral("errorMessage")).toString(),
              QStringLiteral("В базе данных отсутствует чек"));
}

TEST_F(SenderCommands, ReportRequestThatCannotBeStoredBlocks)
{
    refuseWrites("refuse_servicedata", "servicedata");
    const QJsonObject reply = sender->saveReportRequest(json(R"({"type": 1})"));
    EXPECT_EQ(reply,
              (QJsonObject{{QStringLiteral("kkmInfoObject"),
                            expectedBlock(2, QStringLiteral("Ошибка при работе с фискальной памятью"))}}));
    EXPECT_EQ(sender->status(), 2);
}

TEST_F(SenderCommands, AnswerUpdatesStoredServiceRequest)
{
    setConfig(QStringLiteral("KKM:fnsKkmId"), QStringLiteral("CFG-FNS"));
    setConfig(QStringLiteral("Service:organizationTitle"), QStringLiteral("ТОО Ромашка"));
    store(QStringLiteral("servicerequest"), json(R"({
        "offlinePeriod": {"beginTime": "2024-03-01T09:05:00", "endTime": ""},
        "ticketAdInfos": [{"type": 1, "version": 5}, {"type": 3, "version": 2}],
        "auxiliary": {"a": "1", "b": "old"},
        "regInfo": {"kkm": {"pointOfPaymentNumber": "P1", "terminalNumber": "T1", "serialNumber": "S1"},
                    "pos": {"title": "Касса 1"},
                    "org": {"title": "old", "addressKz": "kz"}}})"));

    ServiceResponse response;
    for (const auto& [type, version] : {std::pair{1, 4}, std::pair{1, 9}, std::pair{2, 1}}) {
        TicketAd ad;
        ad.info.type = type;
        ad.info.version = version;
        response.ticketAds.append(ad);
    }
    response.auxiliary.insert(QStringLiteral("b"), QStringLiteral("2"));

    EXPECT_TRUE(sender->updateServiceInfo(response));

    const QJsonObject stored = record(QStringLiteral("servicerequest"));
    EXPECT_EQ(stored.value(QStringLiteral("ticketAdInfos")).toArray(),
              (QJsonArray{json(R"({"type": 1, "version": 9})"), json(R"({"type": 3, "version": 2})"),
                          json(R"({"type": 2, "version": 1})")}));
    EXPECT_EQ(stored.value(QStringLiteral("auxiliary")).toObject(), json(R"({"a": "1", "b": "2"})"));
    const QJsonObject regInfo = stored.value(QStringLiteral("regInfo")).toObject();
    EXPECT_EQ(regInfo.value(QStringLiteral("kkm")).toObject(),
              json(R"({"pointOfPaymentNumber": "", "terminalNumber": "", "fnsKkmId": "CFG-FNS",
                       "serialNumber": "", "kkmId": "0"})"));
    EXPECT_FALSE(regInfo.contains(QStringLiteral("pos")));
    EXPECT_EQ(regInfo.value(QStringLiteral("org")).toObject(),
              json(R"({"title": "ТОО Ромашка", "address": "", "inn": "", "okved": "", "addressKz": ""})"));
    EXPECT_EQ(stored.value(QStringLiteral("offlinePeriod"))
                  .toObject()
                  .value(QStringLiteral("beginTime"))
                  .toString(),
              QStringLiteral("2024-03-01T09:05:00"))
        << "the offline period is carried over";
    EXPECT_EQ(record(QStringLiteral("serviceresponse")), response.toJson());
}

// The stored additional data goes out with every request: whatever the answers
// bring, it holds at most 256 keys and 64 KiB of compact JSON.
TEST_F(SenderCommands, StoredAuxiliaryDataIsBounded)
{
    const auto pairs = [](int from, int count, const QString& value) {
        QVariantMap map;
        for (int i = from; i < from + count; ++i)
            map.insert(QStringLiteral("k%1").arg(i, 4, 10, QLatin1Char('0')), value);
        return map;
    };
    const auto compactSize = [](const QJsonObject& object) {
        return QJsonDocument(object).toJson(QJsonDocument::Compact).size();
    };
    const QString kilobyte(1024, QLatin1Char('x'));
    // "kNNNN":"<1024 x>" with its comma takes 1035 bytes: 63 of them fit.
    const QJsonObject longValues = QJsonObject::fromVariantMap(pairs(0, 63, kilobyte));
    ASSERT_LE(compactSize(longValues), 64 * 1024);
    ASSERT_GT(compactSize(longValues) + 1035, 64 * 1024);

    struct Case
    {
        const char* name;
        QJsonObject stored;
        QVariantMap answered;
        QStringList keys; // stored afterwards
    };
    const Case cases[] = {
        {"within the bounds all is kept",
         json(R"({"a": "1", "b": "old"})"),
         QVariantMap{{"b", "2"}, {"c", "3"}},
         {"a", "b", "c"}},
        {"new keys beyond 256 are left out", QJsonObject(), pairs(0, 300, "v"), pairs(0, 256, "v").keys()},
        {"a full map still takes updates", QJsonObject::fromVariantMap(pairs(0, 256, "v")),
         pairs(250, 10, "w"), pairs(0, 256, "v").keys()},
        {"new keys beyond 64 KiB are left out", QJsonObject(), pairs(0, 70, kilobyte),
         pairs(0, 63, kilobyte).keys()},
        {"a shorter new pair may still fit", longValues, QVariantMap{{"z", "1"}, {"zz", kilobyte}},
         pairs(0, 63, kilobyte).keys() << "z"},
        // Stored keys come first, in key order: the last one no longer fits.
        {"an update that grows the map pushes the last stored key out", longValues,
         QVariantMap{{"k0000", QString(2048, QLatin1Char('y'))}},
         QStringList{"k0000"} + pairs(1, 61, kilobyte).keys()},
        {"a map stored beyond the bounds is cut back", QJsonObject::fromVariantMap(pairs(0, 400, "v")),
         QVariantMap(), pairs(0, 256, "v").keys()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        store(QStringLiteral("servicerequest"), QJsonObject{{QStringLiteral("auxiliary"), c.stored}});
        ServiceResponse response;
        response.auxiliary = c.answered;

        EXPECT_TRUE(sender->updateServiceInfo(response));

        const QJsonObject auxiliary =
            record(QStringLiteral("servicerequest")).value(QStringLiteral("auxiliary")).toObject();
        EXPECT_EQ(auxiliary.keys(), c.keys);
        EXPECT_LE(auxiliary.size(), 256);
        EXPECT_LE(compactSize(auxiliary), 64 * 1024);
        for (const QString& key : auxiliary.keys()) {
            const QVariant expected = c.answered.value(key, c.stored.value(key).toVariant());
            EXPECT_EQ(auxiliary.value(key).toVariant(), expected) << key.toStdString();
        }
        // The answer itself is kept whole.
        EXPECT_EQ(
            record(QStringLiteral("serviceresponse")).value(QStringLiteral("auxiliary")).toObject().size(),
            c.answered.size());
    }
}

TEST_F(SenderCommands, StoredServiceRequestChangesOfTwoThreadsAreNotLost)
{
    // While one thread reads, changes and stores the request (as the offline
    // period does), an update after an answer on another thread waits for it;
    // both changes end up stored.
    store(QStringLiteral("servicerequest"), json(R"({"auxiliary": {"period": "closed"}})"));
    std::atomic<bool> updated{false};
    WaitingThread updating;
    std::thread answers;
    {
        QMutexLocker locker(&ServiceRecords::serviceRequestMutex());
        QJsonObject stored = record(QStringLiteral("servicerequest"));
        answers = std::thread([&] {
            Sender other;
            updating.arrive();
            other.updateServiceInfo(ServiceResponse());
            updated = true;
        });
        EXPECT_TRUE(updating.waitsUnless(updated)) << "the update did not wait for the lock";
        stored.insert(QStringLiteral("auxiliary"),
                      QJsonObject{{QStringLiteral("period"), QStringLiteral("open")}});
        store(QStringLiteral("servicerequest"), stored);
    }
    answers.join();

    const QJsonObject stored = record(QStringLiteral("servicerequest"));
    EXPECT_EQ(stored.value(QStringLiteral("auxiliary")).toObject().value(QStringLiteral("period")).toString(),
              QStringLiteral("open"));
    EXPECT_EQ(stored.value(QStringLiteral("regInfo"))
                  .toObject()
                  .value(QStringLiteral("kkm"))
                  .toObject()
                  .value(QStringLiteral("kkmId"))
                  .toString(),
              QStringLiteral("0"))
        << "the update after the answer was overwritten";
}

TEST_F(SenderCommands, NothingIsHeldWhileTheServerIsAwaited)
{
    // The workers store and read on their own threads while a command waits
    // for the operator's server.
    for (const bool receipt : {true, false}) {
        SCOPED_TRACE(receipt ? "commandTicket" : "commandSystem");
        SetUp();
        std::promise<void> through;
        std::thread other;
        bool free = false;
        sender->script = [&](const ofd::proto::Request&) {
            other = std::thread([&through] {
                QMutexLocker locker(&ServiceRecords::serviceRequestMutex());
                Singleton<Dao>::instance()->getServiceStatus();
                through.set_value();
            });
            free = through.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
            return answer(0);
        };

        const QJsonObject reply = receipt ? ticket() : sender->commandSystem();
        other.join();

        EXPECT_TRUE(free) << "another thread waited for the exchange";
        EXPECT_EQ(block(reply).value(QStringLiteral("serviceStatus")).toInt(), 0);
    }
}

// Runs out of memory at one step of a command.
class StarvedSender : public ScriptedSender
{
public:
    enum class Step { None, BuildingTheRequest, AfterTheAnswer };

    QJsonObject getLastServiceRequest() override
    {
        if (starveAt == Step::BuildingTheRequest)
            throw std::bad_alloc();
        return ScriptedSender::getLastServiceRequest();
    }

    bool updateServiceInfo(const ServiceResponse& response) override
    {
        const bool updated = ScriptedSender::updateServiceInfo(response);
        if (starveAt == Step::AfterTheAnswer)
            throw std::bad_alloc();
        return updated;
    }

    Step starveAt = Step::None;
};

TEST_F(SenderCommands, CommandOutOfMemoryEndsAloneAndStoresNothingOfItself)
{
    using Step = StarvedSender::Step;
    struct Case
    {
        const char* name;
        Step step;
        bool inExchange;
        bool answered;
    };
    const Case cases[] = {
        {"building the request", Step::BuildingTheRequest, false, false},
        {"in the exchange", Step::None, true, false},
        {"after the answer", Step::AfterTheAnswer, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        auto* starved = new StarvedSender();
        sender.reset(starved);
        starved->starveAt = c.step;
        if (c.inExchange)
            sender->script = [](const ofd::proto::Request&) -> ofd::proto::Response {
                throw std::bad_alloc();
            };
        else
            answerWith(0);

        QJsonObject reply;
        const QString log = logOf([&] { reply = ticket(); });

        if (c.answered) {
            EXPECT_EQ(block(reply),
                      expectedBlock(2, QStringLiteral("Ошибка при работе с фискальной памятью")));
            EXPECT_TRUE(log.contains(
                QStringLiteral("Недостаточно памяти для завершения команды, принятой сервером ОФД")));
            // The answer's token stays in force; the rest it brought was rolled back.
            EXPECT_FALSE(record(QStringLiteral("transportdata")).isEmpty());
        } else {
            EXPECT_EQ(block(reply),
                      expectedBlock(0, QStringLiteral("Недостаточно памяти для выполнения команды")));
            EXPECT_TRUE(log.contains(
                QStringLiteral("Недостаточно памяти для выполнения команды, команда не выполнена")));
            EXPECT_TRUE(record(QStringLiteral("transportdata")).isEmpty());
        }
        EXPECT_EQ(sender->status(), c.answered ? 2 : 0);
        EXPECT_EQ(storedStatus(), c.answered ? 2 : 0);
        EXPECT_EQ(record(QStringLiteral("lastrequesttime")).isEmpty(), c.step == Step::BuildingTheRequest)
            << "the request time is committed before the exchange, and only then";
        EXPECT_TRUE(record(QStringLiteral("serviceresponse")).isEmpty());
        EXPECT_TRUE(shiftRows().isEmpty());
        EXPECT_TRUE(queuedMessages().isEmpty());

        // The next command is served as usual.
        starved->starveAt = Step::None;
        answerWith(0);
        const QJsonObject next = ticket();
        EXPECT_EQ(block(next).value(QStringLiteral("errorMessage")).toString(),
                  c.answered ? QStringLiteral("Сервис в режиме блокировки") : QString());
        EXPECT_EQ(shiftRows().size(), c.answered ? 0 : 1);
    }
}

TEST_F(SenderCommands, UnreadableShiftCountersBlockAndKeepTheTotals)
{
    for (const bool autonomous : {false, true}) {
        SCOPED_TRACE(autonomous ? "queued" : "online");
        SetUp();
        answerWith(0);
        if (autonomous)
            goAutonomous();
        sql(QStringLiteral(R"(INSERT INTO shiftcounters(data) VALUES('{"CHANGE":5}'))"));
        const QList<QVariantList> totals = shiftRows();
        failShiftCountersReads();

        const QJsonObject reply = ticket();
        readShiftCountersAgain();

        EXPECT_EQ(block(reply).value(QStringLiteral("serviceStatus")).toInt(), 2);
        EXPECT_EQ(block(reply).value(QStringLiteral("errorMessage")).toString(),
                  QStringLiteral("Ошибка при работе с фискальной памятью"));
        EXPECT_EQ(sender->status(), 2);
        EXPECT_EQ(shiftRows(), totals) << "a second row beside the shift's totals";
        EXPECT_TRUE(queuedMessages().isEmpty());
        TearDown();
    }
}

TEST_F(SenderCommands, QueuedDocumentIsStoredAndCountedTogetherOrNotAtAll)
{
    enum Failure { None, Counters, Message, Commit };
    struct Case
    {
        const char* name;
        bool autonomousBefore;
        bool isTicket;
        Failure failure;
    };
    const Case cases[] = {
        {"receipt queued while autonomous", true, true, None},
        {"receipt sent to the queue by a failed exchange", false, true, None},
        {"placement queued while autonomous", true, false, None},
        {"counters refused while autonomous", true, true, Counters},
        {"counters refused while going offline", false, false, Counters},
        {"message refused while autonomous", true, true, Message},
        {"message refused while going offline", false, true, Message},
        {"commit refused while autonomous", true, true, Commit},
        {"commit refused while going offline", false, false, Commit},
    };
    const QString receiptNumber = QString::number(kNow.toSecsSinceEpoch());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.autonomousBefore)
            goAutonomous();
        noConnection();
        switch (c.failure) {
        case Counters:
            refuseWrites("refuse_shift_insert", "shiftcounters");
            break;
        case Message:
            refuseWrites("refuse_message", "messages");
            break;
        case Commit:
            refuseCommitAfterInsertInto(QStringLiteral("messages"));
            break;
        case None:
            break;
        }

        const QJsonObject reply = c.isTicket ? ticket() : placement();

        const QString errorMessage = block(reply).value(QStringLiteral("errorMessage")).toString();
        if (c.failure == None) {
            EXPECT_EQ(sender->status(), 1);
            EXPECT_EQ(queuedMessages().size(), 1);
            EXPECT_EQ(shiftRows().size(), 1) << "a queued document is counted";
            // Only a receipt stored while autonomous carries its offline number.
            EXPECT_EQ(block(reply).value(QStringLiteral("data")).toString(),
                      c.isTicket && c.autonomousBefore ? receiptNumber : QString());
        } else {
            EXPECT_EQ(sender->status(), 2);
            EXPECT_EQ(storedStatus(), 2);
            EXPECT_EQ(block(reply).value(QStringLiteral("serviceStatus")).toInt(), 2);
            EXPECT_TRUE(queuedMessages().isEmpty()) << "queued but never counted";
            EXPECT_TRUE(shiftRows().isEmpty()) << "counted but never queued";
            EXPECT_EQ(block(reply).value(QStringLiteral("data")).toString(), QString())
                << "an offline number for a receipt stored nowhere";
            const QString countersText = QStringLiteral("Ошибка при работе с фискальной памятью");
            const QString messageText = QStringLiteral("Не удалось сохранить сообщение в очередь");
            if (c.failure == Counters)
                EXPECT_EQ(errorMessage, countersText);
            else if (c.failure == Message)
                EXPECT_EQ(errorMessage, messageText);
            else
                EXPECT_TRUE(errorMessage == countersText || errorMessage == messageText)
                    << errorMessage.toStdString();
        }
        TearDown();
    }
}

TEST_F(SenderCommands, OfflineLimitHoldsWhenTheStoredPeriodCannotBeRead)
{
    struct Case
    {
        const char* name;
        std::function<void()> spoil;
        std::function<void()> repair;
        bool blocked;
    };
    const Case cases[] = {
        {"damaged record",
         [] { sql(QStringLiteral("UPDATE servicedata SET data = 'garbage' WHERE name = 'servicerequest'")); },
         [] {}, true},
        {"unreadable table",
         [] { sql(QStringLiteral("ALTER TABLE servicedata RENAME TO servicedata_away")); },
         [] { sql(QStringLiteral("ALTER TABLE servicedata_away RENAME TO servicedata")); }, true},
        // A record that was read and holds no open period lifts the limit.
        {"record without a period", [] { store(QStringLiteral("servicerequest"), QJsonObject()); }, [] {},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        goAutonomous();
        ASSERT_EQ(sender->lockDate(), kNow.addSecs(72 * 3600));
        c.spoil();
        setNow(kNow.addSecs(73 * 3600));

        QJsonObject reply;
        const QString log = logOf([&] { reply = sender->processCommand(6, json(kPlacement)); });
        c.repair();

        EXPECT_EQ(sender->status(), c.blocked ? 2 : 1);
        EXPECT_EQ(block(reply).value(QStringLiteral("errorMessage")).toString(),
                  c.blocked
                      ? QStringLiteral("Время нахождения в автономном режиме превышено. Сервис в режиме "
                                       "блокировки")
                      : QStringLiteral("Сервис в автономном режиме"));
        EXPECT_EQ(queuedMessages().size(), c.blocked ? 0 : 1);
        EXPECT_FALSE(log.contains(QStringLiteral("Получение даты блокировки")))
            << "asked again while the service stays autonomous";
    }
}

TEST_F(SenderCommands, LockDateIsLoggedOnceWhenTheServiceBecomesAutonomous)
{
    noConnection();
    const QString log = logOf([&] {
        sender->processCommand(6, json(kPlacement));
        sender->processCommand(6, json(kPlacement));
        sender->makeKkmInfoResponse(1, QString(), QString(), 0);
    });
    EXPECT_EQ(sender->status(), 1);
    EXPECT_EQ(log.count(QStringLiteral("Получение даты блокировки")), 1) << log.toStdString();
}

// The text of each warning line in the log, in order.
QStringList warnings(const QString& log)
{
    QStringList texts;
    for (const QString& line : log.split(QLatin1Char('\n'))) {
        if (line.contains(QStringLiteral(" WARN  [")))
            texts.append(line.section(QStringLiteral(" - "), 1));
    }
    return texts;
}

TEST_F(SenderCommands, EveryChangeOutOfNormalModeIsWarnedWithItsCause)
{
    const auto run = [this](int code) {
        return [this, code] {
            answerWith(code);
            sender->processCommand(6, json(kPlacement));
        };
    };
    const auto fresh = [] { ScriptedSender().init(); };
    struct Case
    {
        const char* name;
        std::function<void()> before;
        std::function<void()> act;
        QStringList expected;
    };
    const Case cases[] = {
        {"accepted", [] {}, run(0), {}},
        {"open shift expired", [] {}, run(11), {}},
        {"error answer",
         [] {},
         run(6),
         {QStringLiteral(
             "Переход в режим блокировки. Причина: код результата 6 (Неверные настройки устройства)")}},
        {"code without text",
         [] {},
         run(16),
         {QStringLiteral("Переход в режим блокировки. Причина: код результата 16")}},
        {"server blocks",
         [] {},
         run(15),
         {QStringLiteral(
             "Переход в режим серверной блокировки. Причина: код результата 15 (Касса заблокирована)")}},
        {"invalid token",
         [] {},
         run(2),
         {QStringLiteral("Переход в автономный режим. Причина: код результата 2 (Неверный токен)")}},
        {"no connection",
         [] {},
         [this] {
             noConnection();
             sender->processCommand(6, json(kPlacement));
         },
         {QStringLiteral("Переход в автономный режим. Причина: нет связи с сервером ОФД")}},
        {"queued while autonomous",
         [this] { goAutonomous(); },
         [this] { sender->processCommand(6, json(kPlacement)); },
         {}},
        {"queue refuses the first document of an outage",
         [this] {
             noConnection();
             refuseWrites("refuse_message", "messages");
         },
         [this] { sender->processCommand(6, json(kPlacement)); },
         {QStringLiteral("Переход в автономный режим. Причина: нет связи с сервером ОФД"),
          QStringLiteral("Переход в режим блокировки. Причина: не удалось сохранить сообщение в очередь")}},
        {"clock behind the last request",
         [] { store(QStringLiteral("lastrequesttime"), json(R"({"datetime": "2024-03-01 10:00:00"})")); },
         run(0),
         {QStringLiteral(
             "Переход в режим блокировки. Причина: время некорректно: текущее время раньше времени "
             "предыдущего запроса")}},
        {"offline limit",
         [this] {
             goAutonomous();
             setNow(kNow.addSecs(73 * 3600));
         },
         [this] { sender->processCommand(6, json(kPlacement)); },
         {QStringLiteral(
             "Переход в режим блокировки. Причина: время нахождения в автономном режиме превышено, "
             "дата блокировки 2024-03-04 09:05:00")}},
        {"counters refused after the server accepted",
         [this] {
             answerWith(0);
             refuseWrites("refuse_shift_insert", "shiftcounters");
         },
         [this] { ticket(); },
         {QStringLiteral("Переход в режим блокировки. Причина: ошибка при работе с фискальной памятью")}},
        {"already blocked", [this] { sender->setStatus(2); }, run(0), {}},
        {"lock worker ends with documents queued",
         [this] {
             sender->setStatus(3);
             ASSERT_TRUE(Singleton<Dao>::instance()->saveMessage(json(R"({"command": 0, "request": null})")));
         },
         [this] { sender->takeWorkerStatus(EServiceStatus::NORMAL); },
         {QStringLiteral("Переход в автономный режим. Причина: в очереди есть неотправленные сообщения")}},
        {"start-up blocked",
         [] { ASSERT_TRUE(Singleton<Dao>::instance()->setServiceStatus(2)); },
         fresh,
         {QStringLiteral("Переход в режим блокировки. Причина: статус сохранен до перезапуска")}},
        {"start-up with documents queued",
         [] {
             ASSERT_TRUE(Singleton<Dao>::instance()->saveMessage(json(R"({"command": 0, "request": null})")));
         },
         fresh,
         {QStringLiteral("Переход в автономный режим. Причина: в очереди есть неотправленные сообщения")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.before();
        const QString log = logOf(c.act);
        removeRefusals();
        EXPECT_EQ(warnings(log), c.expected) << log.toStdString();
    }
}

TEST_F(SenderCommands, AcceptedDocumentThatCannotBeKeptIsNamedForSettling)
{
    const auto acceptedWithTicket = [](int code) {
        ofd::proto::Response accepted = answer(code);
        accepted.set_command(ofd::proto::COMMAND_TICKET);
        accepted.mutable_ticket()->set_ticket_number("SIM-TICKET-15");
        return accepted;
    };
    const char* const numbered =
        R"({"operation": 2, "payments": {"0": {"sum": 10}}, "printedDocumentNumber": 15, "frShiftNumber": 3})";
    struct Case
    {
        const char* name;
        int code;
        const char* document;
        std::function<void()> refuse;
        const char* line; // nullptr: no such line
    };
    const Case cases[] = {
        {"counters refused", 0, numbered, [] { refuseWrites("refuse_shift_insert", "shiftcounters"); },
         "номер документа 15, смена 3, номер чека ОФД SIM-TICKET-15"},
        {"commit refused", 11, numbered, [] { refuseCommitAfterInsertInto(QStringLiteral("shiftcounters")); },
         "номер документа 15, смена 3, номер чека ОФД SIM-TICKET-15"},
        {"receipt without its numbers", 0, R"({"operation": 2, "payments": {"0": {"sum": 10}}})",
         [] { refuseWrites("refuse_shift_insert", "shiftcounters"); },
         "номер документа -, смена -, номер чека ОФД SIM-TICKET-15"},
        {"refused by the server", 6, numbered, [] { refuseWrites("refuse_shift_insert", "shiftcounters"); },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const ofd::proto::Response reply = acceptedWithTicket(c.code);
        sender->script = [reply](const ofd::proto::Request&) { return reply; };
        c.refuse();

        const QString log = logOf([&] {
            sender->commandTicket(
                QSharedPointer<TicketRequest>::create(TicketRequest::fromJson(json(c.document))));
        });
        removeRefusals();

        EXPECT_EQ(sender->status(), 2);
        const QString expected =
            QStringLiteral("ERROR \\[[0-9a-f]+\\] sender - Документ принят сервером ОФД, но не сохранен: ") +
            QRegularExpression::escape(QString::fromUtf8(c.line ? c.line : ""));
        EXPECT_EQ(log.count(QRegularExpression(expected)), c.line ? 1 : 0) << log.toStdString();
    }
}

TEST_F(SenderCommands, OfflineModeReasonIsTheLastRecordedOne)
{
    struct Case
    {
        const char* name;
        std::function<void()> act;
        int reason;
    };
    const Case cases[] = {
        // The status block tells why the service last went offline, also once it is back.
        {"queue delivered", [this] { sender->takeWorkerStatus(EServiceStatus::NORMAL); }, 2},
        {"start-up with the queue empty", [] { ScriptedSender().init(); }, 2},
        {"still autonomous", [this] { sender->processCommand(6, json(kPlacement)); }, 2},
        {"blocked at the offline limit",
         [this] {
             setNow(kNow.addSecs(73 * 3600));
             sender->processCommand(6, json(kPlacement));
         },
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        answerWith(2);
        sender->processCommand(6, json(kPlacement));
        ASSERT_EQ(block(sender->makeResponse(QString())).value(QStringLiteral("offlineModeReason")).toInt(),
                  2);
        sql(QStringLiteral("DELETE FROM messages"));

        c.act();

        EXPECT_EQ(block(sender->makeResponse(QString())).value(QStringLiteral("offlineModeReason")).toInt(),
                  c.reason);
        EXPECT_EQ(ScriptedSender().offlineModeReason(), c.reason) << "as the next start reads it";
    }
}

} // namespace
} // namespace taxvault::testing
