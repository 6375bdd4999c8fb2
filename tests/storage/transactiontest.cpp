#include "daofixture.h"

#include "log4qt/logmanager.h"
#include "waitingthread.h"

#include <QSet>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>

#include <atomic>
#include <chrono>
#include <sqlcipher/sqlite3.h>

#include <functional>
#include <future>
#include <new>
#include <optional>
#include <thread>
#include <vector>

using namespace storagetest;
using taxvault::CountersRecord;
using Transaction = taxvault::Dao::Transaction;

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

    static sqlite3* sqliteHandle()
    {
        return static_cast<sqlite3*>(QSqlDatabase::database().driver()->handle().value<void*>());
    }
    static bool sqliteTransactionOpen() { return !sqlite3_get_autocommit(sqliteHandle()); }

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
    for (const bool explicitly : {true, false}) {
        SCOPED_TRACE(explicitly ? "rolled back" : "scope left");
        Transaction writes(*dao());
        ASSERT_TRUE(writes.isOpen());
        closeShift();
        // Inside the transaction the steps see each other.
        EXPECT_TRUE(dao()->getShiftCounters().isNull());
        EXPECT_EQ(dao()->getProtectedCounters().document(), json(R"({"CHANGE":6})"));
        if (explicitly)
            ASSERT_TRUE(writes.rollback());
    }
    EXPECT_EQ(state(), before);
}

TEST_F(DaoTransactionTest, CommitKeepsEveryStep)
{
    Transaction writes(*dao());
    closeShift();
    ASSERT_TRUE(writes.commit());
    EXPECT_EQ(state(), (QList<QVariantList>{{QVariant(), QStringLiteral(R"({"CHANGE":6})"),
                                             QStringLiteral(R"(2{"CHANGE":5})")}}));
}

TEST_F(DaoTransactionTest, OtherThreadsWaitUntilItEnds)
{
    std::optional<Transaction> writes(std::in_place, *dao());
    ASSERT_TRUE(dao()->saveMessage(json(R"({"command":1})")));

    std::atomic<bool> saved{false};
    taxvault::testing::WaitingThread saving;
    std::thread other([&] {
        saving.arrive();
        EXPECT_TRUE(dao()->saveMessage(json(R"({"command":2})")));
        saved = true;
    });
    EXPECT_TRUE(saving.waitsUnless(saved)) << "a statement of another thread ran inside the transaction";

    writes.reset();
    other.join();
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT data FROM messages")),
              (QList<QVariantList>{{QStringLiteral(R"({"command":2})")}}));
}

TEST_F(DaoTransactionTest, AnExceptionAtAnyLevelLeavesNoTransactionAndNoLock)
{
    const QList<QVariantList> before = state();
    for (const int levels : {1, 2, 3}) {
        SCOPED_TRACE(levels);
        const std::function<void(int)> nest = [&nest](int left) {
            Transaction writes(*dao());
            ASSERT_TRUE(writes.isOpen());
            ASSERT_TRUE(dao()->clearShiftCounters());
            if (left > 1)
                nest(left - 1);
            else
                throw std::bad_alloc();
            writes.commit();
        };
        EXPECT_THROW(nest(levels), std::bad_alloc);

        EXPECT_EQ(state(), before);
        EXPECT_FALSE(sqliteTransactionOpen());
        // Another thread gets through: no lock was left behind.
        auto other = std::async(std::launch::async, [] { return dao()->getShiftCounters().document(); });
        ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(other.get(), json(R"({"CHANGE":5})"));
        // And the next transaction is an outermost one again, visible once committed.
        Transaction next(*dao());
        ASSERT_TRUE(dao()->saveMessage(json(R"({"command":1})")));
        ASSERT_TRUE(next.commit());
        EXPECT_EQ(raw->rows(QStringLiteral("SELECT COUNT(*) FROM messages")), (QList<QVariantList>{{1}}));
        ASSERT_TRUE(raw->exec(QStringLiteral("DELETE FROM messages")));
    }
}

TEST_F(DaoTransactionTest, EndedOnceOnly)
{
    Transaction writes(*dao());
    ASSERT_TRUE(writes.commit());
    EXPECT_FALSE(writes.commit());
    EXPECT_FALSE(writes.rollback());
    EXPECT_FALSE(sqliteTransactionOpen());
}

TEST_F(DaoTransactionTest, TransactionEndedBySqliteKeepsNoneOfTheCommand)
{
    // SQLite ends a transaction itself on a full disk or an I/O error; a ROLLBACK
    // run behind the Dao's back stands in for that here. Rolling back then is no
    // failure; going on is, or the rest would commit statement by statement.
    const QList<QVariantList> before = state();
    for (const bool goOn : {false, true}) {
        for (const int levels : {1, 2}) {
            SCOPED_TRACE(testing::Message() << "levels " << levels << (goOn ? ", going on" : ", rolled back"));
            LogCapture capture;
            {
                Transaction outer(*dao());
                std::optional<Transaction> inner;
                if (levels == 2)
                    inner.emplace(*dao());
                ASSERT_TRUE(dao()->updateProtectedCounters());
                ASSERT_EQ(sqlite3_exec(sqliteHandle(), "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
                if (goOn) {
                    EXPECT_FALSE(dao()->saveShiftCountersToFiscalMemory(2));
                    EXPECT_FALSE(dao()->clearShiftCounters());
                    if (inner)
                        inner->commit();
                    EXPECT_FALSE(outer.commit());
                } else {
                    if (inner)
                        EXPECT_TRUE(inner->rollback());
                    EXPECT_TRUE(outer.rollback());
                }
            }
            if (goOn)
                EXPECT_TRUE(capture.text().contains(QStringLiteral("транзакция прервана SQLite")))
                    << capture.text().toStdString();
            else
                EXPECT_FALSE(capture.text().contains(QStringLiteral("ERROR"))) << capture.text().toStdString();
            EXPECT_FALSE(sqliteTransactionOpen());
            EXPECT_EQ(state(), before);
        }
    }
}

TEST_F(DaoTransactionTest, InnerTransactionIsAPartOfTheOuterOne)
{
    Transaction outer(*dao());
    ASSERT_TRUE(dao()->clearShiftCounters());

    // Undone alone: the outer transaction keeps what it did before.
    {
        Transaction inner(*dao());
        ASSERT_TRUE(dao()->saveMessage(json(R"({"command":1})")));
    }
    EXPECT_EQ(dao()->getFirstMessage(), QJsonObject());
    EXPECT_TRUE(dao()->getShiftCounters().isNull());

    {
        Transaction inner(*dao());
        ASSERT_TRUE(dao()->saveMessage(json(R"({"command":2})")));
        ASSERT_TRUE(inner.commit());
    }

    // Committed inside, yet another connection sees it only after the outer commit.
    const QString count = QStringLiteral("SELECT COUNT(*) FROM messages");
    EXPECT_EQ(raw->rows(count), (QList<QVariantList>{{0}}));
    ASSERT_TRUE(outer.commit());
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
             Transaction writes(*dao(), Sync::Deferred);
             EXPECT_EQ(level(), 1);
             ASSERT_TRUE(dao()->saveMessage(json(R"({"command":1})")));
             ASSERT_TRUE(writes.commit());
         }},
        {"rolled back",
         [&] {
             Transaction writes(*dao(), Sync::Deferred);
             ASSERT_TRUE(dao()->saveMessage(json(R"({"command":2})")));
             ASSERT_TRUE(writes.rollback());
         }},
        {"left by an exception",
         [&] {
             try {
                 Transaction writes(*dao(), Sync::Deferred);
                 ASSERT_TRUE(dao()->saveMessage(json(R"({"command":3})")));
                 throw std::bad_alloc();
             } catch (const std::bad_alloc&) {
             }
         }},
        {"inside a synced one",
         [&] {
             Transaction outer(*dao());
             Transaction inner(*dao(), Sync::Deferred);
             EXPECT_EQ(level(), 2);
             ASSERT_TRUE(inner.commit());
             ASSERT_TRUE(outer.commit());
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
