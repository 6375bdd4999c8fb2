// Start-up of the main Sender: transport counters and the reconciliation of the
// stored status with the message queue.

#include "servicetestsupport.h"

#include "storage/dao.h"

#include "korvan/config.h"
#include "korvan/singleton.h"

namespace taxvault::testing {
namespace {

class SenderStartup : public ServiceDbTest
{
};

TEST_F(SenderStartup, ReconcilesStoredStatusWithQueue)
{
    struct Case
    {
        int stored;
        bool queued;
        int expected;
        int queueWorkers;
        int lockWorkers;
    };
    const Case cases[] = {
        {0, false, 0, 0, 0},
        {0, true, 1, 1, 0},
        {1, false, 0, 0, 0},
        {1, true, 1, 1, 0},
        {2, false, 2, 0, 0},
        {2, true, 2, 0, 0},
        {3, false, 3, 0, 1},
        {3, true, 3, 0, 1},
        // A value no state has is kept as it is, and nothing starts.
        {7, true, 7, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "stored " << c.stored << (c.queued ? ", queued" : ", empty"));
        SetUp();
        ASSERT_TRUE(Singleton<Dao>::instance()->setServiceStatus(c.stored));
        if (c.queued) {
            ASSERT_TRUE(Singleton<Dao>::instance()->saveMessage(json(R"({"command": 0, "request": null})")));
        }

        ScriptedSender sender;
        sender.init();

        EXPECT_EQ(sender.status(), c.expected);
        EXPECT_EQ(storedStatus(), c.expected);
        EXPECT_EQ(sender.queueWorkerStarts, c.queueWorkers);
        EXPECT_EQ(sender.lockWorkerStarts, c.lockWorkers);
        EXPECT_EQ(queuedMessages().size(), c.queued ? 1 : 0) << "start-up must not touch the queue";
    }
}

TEST_F(SenderStartup, AutonomousStartKeepsTheStoredPeriodOrOpensOne)
{
    // Documents wait: a period stored before the restart gives the lock date
    // again; without one a period opens at start-up, so the limit can trigger.
    const QDateTime startedAt = QDateTime::fromString(QStringLiteral("2024-03-02T08:00:00"), Qt::ISODate);
    setNow(startedAt);
    setConfig(QStringLiteral("DataSending:offlineModeLimit"), 2);
    ASSERT_TRUE(Singleton<Dao>::instance()->setServiceStatus(1));
    ASSERT_TRUE(Singleton<Dao>::instance()->saveMessage(json(R"({"command": 0, "request": null})")));
    {
        ScriptedSender sender;
        sender.init();
        EXPECT_EQ(sender.status(), 1);
        EXPECT_EQ(sender.lockDate(), startedAt.addSecs(2 * 3600));
        EXPECT_EQ(record(QStringLiteral("servicerequest")).value(QStringLiteral("offlinePeriod")).toObject(),
                  json(R"({"beginTime": "2024-03-02T08:00:00", "endTime": ""})"));
    }
    store(QStringLiteral("servicerequest"),
          json(R"({"offlinePeriod": {"beginTime": "2024-03-01T09:05:00", "endTime": ""}})"));
    ScriptedSender sender;
    sender.init();
    EXPECT_EQ(sender.lockDate(), QDateTime::fromString(QStringLiteral("2024-03-01T11:05:00"), Qt::ISODate));
}

TEST_F(SenderStartup, RestoresTransportCountersIntoConfiguration)
{
    struct Case
    {
        const char* name;
        const char* transport; // nullptr: no record
        int token;
        int packageNumber;
    };
    // The configuration holds 42 and 7 before start-up.
    const Case cases[] = {
        {"no record", nullptr, 42, 7},
        {"both keys", R"({"token": -5, "packageNumber": 256})", -5, 256},
        {"token only", R"({"token": 9})", 9, 7},
        {"package number only", R"({"packageNumber": 3})", 42, 3},
        {"not numbers", R"({"token": "abc", "packageNumber": null})", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        setConfig(QStringLiteral("KKM:token"), 42);
        setConfig(QStringLiteral("KKM:packageNumber"), 7);
        if (c.transport)
            store(QStringLiteral("transportdata"), json(c.transport));

        ScriptedSender sender;
        sender.init();

        EXPECT_EQ(Singleton<Config>::instance()->getInt(QStringLiteral("KKM:token"), 0), c.token);
        EXPECT_EQ(Singleton<Config>::instance()->getInt(QStringLiteral("KKM:packageNumber"), 0),
                  c.packageNumber);
    }
}

} // namespace
} // namespace taxvault::testing
