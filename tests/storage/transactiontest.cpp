#include "daofixture.h"

#include "log4qt/logmanager.h"
#include "waitingthread.h"

#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

using namespace storagetest;
using taxvault::CountersRecord;

namespace {

class DaoTransactionTest : public DaoFixture
{
protected:
    void SetUp() override
    {
        DaoFixture::SetUp();
        insert(QStringLiteral(R"(INSERT INTO shiftcounters(data) VALUES('{"CHANGE":5}');)"
                              R"(INSERT INTO protectedcounters(data) VALUES('{"CHANGE":1}');)"
                              R"(INSERT INTO fiscalmemory(shiftnum, data) VALUES(1, '{"CHANGE":1}');)"));
    }

    // The steps of closing a shift, as the fiscal logic runs them.
    static void closeShift()
    {
        EXPECT_TRUE(dao()->updateProtectedCounters());
        EXPECT_TRUE(dao()->saveShiftCountersToFiscalMemory(2));
        EXPECT_TRUE(dao()->clearShiftCounters());
        EXPECT_TRUE(dao()->trimFiscalMemory(1));
    }

    QList<QVariantList> state()
    {
        return raw->rows(QStringLiteral("SELECT (SELECT group_concat(data) FROM shiftcounters), "
                                        "(SELECT group_concat(data) FROM protectedcounters), "
                                        "(SELECT group_concat(shiftnum || data) FROM fiscalmemory)"));
    }
};

TEST_F(DaoTransactionTest, RollbackLeavesNothing)
{
    const QList<QVariantList> before = state();
    ASSERT_TRUE(dao()->beginTransaction());
    closeShift();
    // Inside the transaction the steps see each other.
    EXPECT_TRUE(dao()->getShiftCounters().isNull());
    EXPECT_EQ(dao()->getProtectedCounters().document(), json(R"({"CHANGE":6})"));
    ASSERT_TRUE(dao()->rollbackTransaction());
    EXPECT_EQ(state(), before);
}

TEST_F(DaoTransactionTest, CommitKeepsEveryStep)
{
    ASSERT_TRUE(dao()->beginTransaction());
    closeShift();
    ASSERT_TRUE(dao()->commitTransaction());
    EXPECT_EQ(state(), (QList<QVariantList>{{QVariant(), QStringLiteral(R"({"CHANGE":6})"),
                                             QStringLiteral(R"(2{"CHANGE":5})")}}));
}

TEST_F(DaoTransactionTest, OtherThreadsWaitUntilItEnds)
{
    ASSERT_TRUE(dao()->beginTransaction());
    ASSERT_TRUE(dao()->saveMessage(json(R"({"command":1})")));

    std::atomic<bool> saved{false};
    taxvault::testing::WaitingThread saving;
    std::thread other([&] {
        saving.arrive();
        EXPECT_TRUE(dao()->saveMessage(json(R"({"command":2})")));
        saved = true;
    });
    EXPECT_TRUE(saving.waitsUnless(saved)) << "a statement of another thread ran inside the transaction";

    ASSERT_TRUE(dao()->rollbackTransaction());
    other.join();
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT data FROM messages")),
              (QList<QVariantList>{{QStringLiteral(R"({"command":2})")}}));
}

TEST_F(DaoTransactionTest, MisuseIsRefusedAndReleasesTheLock)
{
    EXPECT_FALSE(dao()->commitTransaction());
    EXPECT_FALSE(dao()->rollbackTransaction());

    ASSERT_TRUE(dao()->beginTransaction());
    ASSERT_TRUE(dao()->clearShiftCounters());
    EXPECT_TRUE(dao()->rollbackTransaction());
    EXPECT_FALSE(dao()->rollbackTransaction());

    // Another thread gets through: no lock was left behind.
    auto other = std::async(std::launch::async, [] { return dao()->getShiftCounters().document(); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(other.get(), json(R"({"CHANGE":5})"));
}

TEST_F(DaoTransactionTest, InnerTransactionIsAPartOfTheOuterOne)
{
    ASSERT_TRUE(dao()->beginTransaction());
    ASSERT_TRUE(dao()->clearShiftCounters());

    // Undone alone: the outer transaction keeps what it did before.
    ASSERT_TRUE(dao()->beginTransaction());
    ASSERT_TRUE(dao()->saveMessage(json(R"({"command":1})")));
    ASSERT_TRUE(dao()->rollbackTransaction());
    EXPECT_EQ(dao()->getFirstMessage(), QJsonObject());
    EXPECT_TRUE(dao()->getShiftCounters().isNull());

    ASSERT_TRUE(dao()->beginTransaction());
    ASSERT_TRUE(dao()->saveMessage(json(R"({"command":2})")));
    ASSERT_TRUE(dao()->commitTransaction());

    // Committed inside, yet another connection sees it only after the outer commit.
    const QString count = QStringLiteral("SELECT COUNT(*) FROM messages");
    EXPECT_EQ(raw->rows(count), (QList<QVariantList>{{0}}));
    ASSERT_TRUE(dao()->commitTransaction());
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT data FROM messages")),
              (QList<QVariantList>{{QStringLiteral(R"({"command":2})")}}));
    EXPECT_EQ(state().first().first(), QVariant());
}

TEST_F(DaoTransactionTest, DeferredTransactionAloneSkipsTheWaitForTheDisk)
{
    // The connection's level: 1 commits without waiting for the disk, 2 waits.
    const auto level = [] {
        QSqlQuery query(QSqlDatabase::database());
        return query.exec(QStringLiteral("PRAGMA synchronous")) && query.next() ? query.value(0).toInt() : -1;
    };
    using Sync = taxvault::Dao::Sync;
    struct Case
    {
        const char* name;
        std::function<void()> run;
    };
    const Case cases[] = {
        {"committed",
         [&] {
             ASSERT_TRUE(dao()->beginTransaction(Sync::Deferred));
             EXPECT_EQ(level(), 1);
             ASSERT_TRUE(dao()->saveMessage(json(R"({"command":1})")));
             ASSERT_TRUE(dao()->commitTransaction());
         }},
        {"rolled back",
         [&] {
             ASSERT_TRUE(dao()->beginTransaction(Sync::Deferred));
             ASSERT_TRUE(dao()->saveMessage(json(R"({"command":2})")));
             ASSERT_TRUE(dao()->rollbackTransaction());
         }},
        {"inside a synced one",
         [&] {
             ASSERT_TRUE(dao()->beginTransaction());
             ASSERT_TRUE(dao()->beginTransaction(Sync::Deferred));
             EXPECT_EQ(level(), 2);
             ASSERT_TRUE(dao()->commitTransaction());
             ASSERT_TRUE(dao()->commitTransaction());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.run();
        EXPECT_EQ(level(), 2);
    }
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT data FROM messages")),
              (QList<QVariantList>{{QStringLiteral(R"({"command":1})")}}));
}

TEST_F(DaoFixture, ThreadsShareTheConnectionWithoutLosingRows)
{
    constexpr int threads = 6;
    constexpr int rounds = 20;
    const Log4Qt::Level threshold = Log4Qt::LogManager::threshold();
    Log4Qt::LogManager::setThreshold(Log4Qt::Level::Warn);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            const QString name = QStringLiteral("thread%1").arg(t);
            for (int n = 0; n < rounds; ++n) {
                EXPECT_TRUE(
                    dao()->saveMessage(QJsonObject{{QStringLiteral("thread"), t}, {QStringLiteral("n"), n}}));
                EXPECT_TRUE(
                    dao()->updateShiftCounters(CountersRecord(QJsonObject{{QStringLiteral("CHANGE"), 1}})));
                EXPECT_TRUE(dao()->saveServiceData(name, QJsonObject{{QStringLiteral("n"), n}}));
                EXPECT_EQ(dao()->getServiceData(name).value(QStringLiteral("n")).toInt(), n);
                EXPECT_FALSE(dao()->getFirstMessage().isEmpty());
                EXPECT_TRUE(dao()->isMessageQueueAccessible());
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    Log4Qt::LogManager::setThreshold(threshold);

    EXPECT_EQ(dao()->getMessagesCount(), threads * rounds);
    QSet<QString> seen;
    for (const QVariantList& row : raw->rows(QStringLiteral("SELECT data FROM messages")))
        seen.insert(row.first().toString());
    EXPECT_EQ(seen.size(), threads * rounds);
    // Each read-merge-write ran whole: no update was lost.
    EXPECT_EQ(dao()->getShiftCounters().document(),
              (QJsonObject{{QStringLiteral("CHANGE"), threads * rounds}}));
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(dao()->getServiceData(QStringLiteral("thread%1").arg(t)),
                  (QJsonObject{{QStringLiteral("n"), rounds - 1}}));
}

} // namespace
