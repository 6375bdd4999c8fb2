// How a command's records reach the disk: what it stores after its exchange
// (or in place of it) is one commit, all of it or none, and the one that waits
// for the disk.

#include "servicetestsupport.h"
#include "syncedfiles.h"

#include "documents/closeshiftrequest.h"
#include "documents/moneyplacementrequest.h"
#include "documents/ticketrequest.h"
#include "protocol/serviceexception.h"
#include "storage/dao.h"

#include "korvan/singleton.h"

#include <QSqlDatabase>
#include <QSqlDriver>

#include <sqlcipher/sqlite3.h>

#include <functional>

namespace taxvault::testing {
namespace {

int onCommit(void* counter)
{
    ++*static_cast<int*>(counter);
    return 0;
}

class CommandCommits : public ServiceDbTest
{
protected:
    void SetUp() override
    {
        // Every file the Dao opens from now on counts the syncs asked of it.
        syncedfiles::install();
        Singleton<Dao>::instance()->close();
        ServiceDbTest::SetUp(); // opens the connection again
        setNow(QDateTime(QDate(2024, 3, 1), QTime(9, 5, 0)));
        sender = std::make_unique<ScriptedSender>();
        sender->script = [](const ofd::proto::Request&) { return answer(0); };
        sqlite3_commit_hook(connection(), &onCommit, &commits);
    }

    void TearDown() override
    {
        sqlite3_commit_hook(connection(), nullptr, nullptr);
        allowCommits();
        ServiceDbTest::TearDown();
    }

public:
    static sqlite3* connection()
    {
        return static_cast<sqlite3*>(QSqlDatabase::database().driver()->handle().value<void*>());
    }

    void noConnection()
    {
        sender->script = [](const ofd::proto::Request&) -> ofd::proto::Response {
            throw ServiceException(QStringLiteral("Нет связи с сервером ОФД"));
        };
    }

    QJsonObject ticket()
    {
        return sender->commandTicket(QSharedPointer<TicketRequest>::create(
            TicketRequest::fromJson(json(R"({"operation": 2, "payments": {"0": {"sum": 10}}})"))));
    }

    std::unique_ptr<ScriptedSender> sender;
    int commits = 0;
};

TEST_F(CommandCommits, BeforeAndAfterTheExchangeOneCommitEachAndOneSync)
{
    struct Case
    {
        const char* name;
        std::function<void(CommandCommits&)> arrange;
        std::function<QJsonObject(CommandCommits&)> command;
        int status;
        // The request-time record, then everything the command stores after its
        // exchange; a command that has none stores it all at once.
        int commits = 2;
    };
    const Case cases[] = {
        {"receipt", {}, [](CommandCommits& t) { return t.ticket(); }, 0},
        {"cash placement",
         {},
         [](CommandCommits& t) {
             return t.sender->commandMoneyPlacement(QSharedPointer<MoneyPlacementRequest>::create(
                 MoneyPlacementRequest::fromJson(json(R"({"operation": 0, "sum": 100})"))));
         },
         0},
        {"shift close",
         {},
         [](CommandCommits& t) {
             return t.sender->commandCloseShift(QSharedPointer<CloseShiftRequest>::create(
                 CloseShiftRequest::fromJson(json(R"({"frShiftNumber": 4})"))));
         },
         0},
        {"report",
         {},
         [](CommandCommits& t) { return t.sender->commandReport(json(R"({"report": 1})")); },
         0},
        {"system information", {}, [](CommandCommits& t) { return t.sender->commandSystem(); }, 0},
        {"device information", {}, [](CommandCommits& t) { return t.sender->commandInfo(); }, 0},
        {"receipt that goes offline", [](CommandCommits& t) { t.noConnection(); },
         [](CommandCommits& t) { return t.ticket(); }, 1},
        {"receipt queued while autonomous",
         [](CommandCommits& t) {
             t.noConnection();
             t.ticket();
         },
         [](CommandCommits& t) { return t.ticket(); }, 1, 1},
        {"receipt past the offline limit",
         [](CommandCommits& t) {
             t.noConnection();
             t.ticket();
             setConfig(QStringLiteral("DataSending:offlineModeLimit"), 0);
         },
         [](CommandCommits& t) { return t.ticket(); }, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (c.arrange)
            c.arrange(*this);
        commits = 0;
        const int syncs = syncedfiles::count();

        const QJsonObject reply = c.command(*this);

        EXPECT_EQ(block(reply).value(QStringLiteral("serviceStatus")).toInt(), c.status);
        EXPECT_EQ(sender->status(), c.status);
        EXPECT_EQ(commits, c.commits);
        // Only one of them waits for the disk: the request time stored before
        // the exchange reaches it with the commit after the exchange.
        EXPECT_EQ(syncedfiles::count() - syncs, 1);
    }
}

TEST_F(CommandCommits, CommitThatFailsLeavesNoneOfTheCommandsRecords)
{
    // The receipt's last write: only the commit fails.
    refuseCommitAfterInsertInto(QStringLiteral("shiftcounters"));

    const QJsonObject reply = ticket();

    EXPECT_EQ(block(reply).value(QStringLiteral("serviceStatus")).toInt(), 2);
    EXPECT_EQ(block(reply).value(QStringLiteral("errorMessage")).toString(),
              QStringLiteral("Ошибка при работе с фискальной памятью"));
    for (const char* name : {"transportdata", "serviceresponse", "servicerequest"})
        EXPECT_TRUE(record(QString::fromLatin1(name)).isEmpty()) << name;
    EXPECT_TRUE(Singleton<Dao>::instance()->getShiftCounters().isNull());
    EXPECT_EQ(storedStatus(), 2);
}

} // namespace
} // namespace taxvault::testing
