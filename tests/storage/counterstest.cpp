#include "daofixture.h"

#include <QDateTime>

#include <functional>
#include <optional>

using namespace storagetest;
using taxvault::CountersRecord;

namespace {

class DaoCountersTest : public DaoFixture
{
protected:
    QList<QVariantList> rowsOf(const char* table)
    {
        return raw->rows(QStringLiteral("SELECT rowid, creationtime, data FROM %1 ORDER BY rowid")
                             .arg(QLatin1String(table)));
    }
};

TEST_F(DaoCountersTest, FirstDeltaIsStoredAsItIsLaterOnesAreMerged)
{
    // The text value would read as 0 through the merge.
    ASSERT_TRUE(dao()->updateShiftCounters(
        CountersRecord(json(R"({"OPERATION_SELL":{"PAYMENT_CASH":100},"CHANGE":5,"NOTE":"x"})"))));
    const QList<QVariantList> first = rowsOf("shiftcounters");
    ASSERT_EQ(first.size(), 1);
    EXPECT_EQ(first[0][2],
              QStringLiteral(R"({"CHANGE":5,"NOTE":"x","OPERATION_SELL":{"PAYMENT_CASH":100}})"));

    ASSERT_TRUE(dao()->updateShiftCounters(CountersRecord(
        json(R"({"OPERATION_SELL":{"PAYMENT_CARD":50},"CHANGE":0,"MONEY_PLACEMENT_DEPOSIT":20})"))));
    const QList<QVariantList> second = rowsOf("shiftcounters");
    ASSERT_EQ(second.size(), 1);
    EXPECT_EQ(second[0][0], first[0][0]);
    EXPECT_EQ(second[0][1], first[0][1]); // the time of the first insertion stays
    EXPECT_EQ(
        second[0][2],
        QStringLiteral(
            R"({"CHANGE":5,"MONEY_PLACEMENT_DEPOSIT":20,"NOTE":0,"OPERATION_SELL":{"PAYMENT_CARD":50,"PAYMENT_CASH":100}})"));
}

// What a counters table holds before an update, and what the update makes of it.
struct StoredCase
{
    const char* name;
    QStringList rows; // data texts; "NULL" stores SQL NULL
    bool null;
    bool damaged;
    std::optional<QString> afterAdding2; // the single stored text afterwards; nullopt: refused, unchanged
};

const StoredCase storedCases[] = {
    {"no row", {}, true, false, QStringLiteral(R"({"CHANGE":2})")},
    {"empty document counts as zero",
     {QStringLiteral("{}")},
     false,
     false,
     QStringLiteral(R"({"CHANGE":2})")},
    {"document",
     {QStringLiteral(R"({"CHANGE":1,"OPERATION_BUY":{"PAYMENT_CARD":4}})")},
     false,
     false,
     QStringLiteral(R"({"CHANGE":3,"OPERATION_BUY":{"PAYMENT_CARD":4}})")},
    {"two rows",
     {QStringLiteral(R"({"CHANGE":1})"), QStringLiteral(R"({"CHANGE":1})")},
     false,
     true,
     std::nullopt},
    {"no JSON", {QStringLiteral("garbage")}, false, true, std::nullopt},
    {"array", {QStringLiteral("[1,2]")}, false, true, std::nullopt},
    {"SQL NULL", {QStringLiteral("NULL")}, false, true, std::nullopt},
};

struct TableCase
{
    const char* table;
    std::function<CountersRecord()> read;
    std::function<bool(DaoCountersTest*)> add2; // adds {"CHANGE":2}
    QString refusal;
};

TEST_F(DaoCountersTest, ReadingAndUpdatingEachKindOfStoredRow)
{
    const TableCase tables[] = {
        {"shiftcounters", [] { return dao()->getShiftCounters(); },
         [](DaoCountersTest*) {
             return dao()->updateShiftCounters(CountersRecord(QJsonObject{{QStringLiteral("CHANGE"), 2}}));
         },
         QStringLiteral("dao - Некорректное содержимое таблицы счетчиков смены\n")},
        {"protectedcounters", [] { return dao()->getProtectedCounters(); },
         [](DaoCountersTest* test) {
             test->insert(QStringLiteral(
                 R"(DELETE FROM shiftcounters; INSERT INTO shiftcounters(data) VALUES('{"CHANGE":2}'))"));
             return dao()->updateProtectedCounters();
         },
         QStringLiteral("dao - Некорректное содержимое таблицы необнуляемых счетчиков\n")},
    };
    for (const TableCase& table : tables) {
        for (const StoredCase& stored : storedCases) {
            SCOPED_TRACE(std::string(table.table) + ": " + stored.name);
            SetUp();
            for (const QString& text : stored.rows) {
                insert(
                    QStringLiteral("INSERT INTO %1(data) VALUES(%2)")
                        .arg(QLatin1String(table.table), text == QLatin1String("NULL")
                                                             ? text
                                                             : QLatin1Char('\'') + text + QLatin1Char('\'')));
            }
            const QList<QVariantList> before = rowsOf(table.table);

            const CountersRecord record = table.read();
            EXPECT_EQ(record.isNull(), stored.null);
            EXPECT_EQ(record.isDamaged(), stored.damaged);
            EXPECT_EQ(record.rowid(), before.isEmpty() ? -1 : before.first().first().toInt());
            EXPECT_EQ(record.shiftNumber(), -1);
            EXPECT_FALSE(record.creationTime().isValid());
            if (stored.damaged) {
                EXPECT_EQ(record.document(), QJsonObject());
            }

            LogCapture capture;
            const bool added = table.add2(this);
            const QString log = capture.text();
            const QList<QVariantList> after = rowsOf(table.table);
            if (stored.afterAdding2) {
                EXPECT_TRUE(added);
                ASSERT_EQ(after.size(), 1);
                EXPECT_EQ(after[0][2], *stored.afterAdding2);
                EXPECT_FALSE(log.contains(QStringLiteral("ERROR"))) << log.toStdString();
            } else {
                EXPECT_FALSE(added);
                EXPECT_EQ(after, before);
                EXPECT_TRUE(log.contains(QStringLiteral("ERROR"))) << log.toStdString();
                EXPECT_TRUE(log.contains(table.refusal)) << log.toStdString();
            }
        }
    }
}

TEST_F(DaoCountersTest, ProtectedCountersTakeWhatTheShiftHolds)
{
    // A damaged shift adds nothing.
    insert(QStringLiteral(
        R"(INSERT INTO protectedcounters(data) VALUES('{"CHANGE":1}'); )"
        R"(INSERT INTO shiftcounters(data) VALUES('{"CHANGE":1}'); INSERT INTO shiftcounters(data) VALUES('{"CHANGE":1}'))"));
    EXPECT_TRUE(dao()->updateProtectedCounters());
    EXPECT_EQ(value(QStringLiteral("SELECT data FROM protectedcounters")), QStringLiteral(R"({"CHANGE":1})"));

    // A shift that counted nothing gives {}, which later shifts add to.
    insert(QStringLiteral("DELETE FROM protectedcounters; DELETE FROM shiftcounters"));
    EXPECT_TRUE(dao()->updateProtectedCounters());
    EXPECT_EQ(value(QStringLiteral("SELECT data FROM protectedcounters")), QStringLiteral("{}"));
    ASSERT_TRUE(dao()->updateShiftCounters(CountersRecord(json(R"({"MONEY_PLACEMENT_WITHDRAWAL":7.5})"))));
    EXPECT_TRUE(dao()->updateProtectedCounters());
    EXPECT_EQ(value(QStringLiteral("SELECT data FROM protectedcounters")),
              QStringLiteral(R"({"MONEY_PLACEMENT_WITHDRAWAL":7.5})"));
}

TEST_F(DaoCountersTest, SumBeyondTheRangeOfADoubleIsRefusedAndTheCountersStay)
{
    // Written out, the infinite sum would become null and the next update would
    // count from 0: everything the counters held would be gone.
    const QString huge = QStringLiteral(R"({"CHANGE":1,"OPERATION_SELL":{"PAYMENT_CASH":1.5e308}})");
    const struct
    {
        const char* table;
        std::function<bool()> add;
    } cases[] = {
        {"shiftcounters",
         [] {
             return dao()->updateShiftCounters(
                 CountersRecord(json(R"({"OPERATION_SELL":{"PAYMENT_CASH":1.5e308}})")));
         }},
        {"protectedcounters",
         [&] {
             insert(QStringLiteral("INSERT INTO shiftcounters(data) VALUES('%1')").arg(huge));
             return dao()->updateProtectedCounters();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        SetUp();
        insert(QStringLiteral("INSERT INTO %1(data) VALUES('%2')").arg(QLatin1String(c.table), huge));
        const QList<QVariantList> before = rowsOf(c.table);

        LogCapture capture;
        EXPECT_FALSE(c.add());
        EXPECT_EQ(rowsOf(c.table), before);
        EXPECT_TRUE(capture.text().contains(QStringLiteral("ERROR"))) << capture.text().toStdString();
    }
}

TEST_F(DaoCountersTest, ShiftCountersGoToFiscalMemory)
{
    insert(QStringLiteral(R"(INSERT INTO shiftcounters(data) VALUES('{"CHANGE":2}'))"));
    LogCapture capture;
    ASSERT_TRUE(dao()->saveShiftCountersToFiscalMemory(7));
    EXPECT_TRUE(capture.text().contains(QStringLiteral("TRACE")));
    EXPECT_TRUE(capture.text().contains(QStringLiteral("dao - Запись счетчиков смены 7 в ФП\n")));
    EXPECT_TRUE(capture.text().contains(QStringLiteral("dao - Операция выполнена\n")));

    ASSERT_TRUE(dao()->clearShiftCounters());
    EXPECT_TRUE(raw->rows(QStringLiteral("SELECT * FROM shiftcounters")).isEmpty());
    // No shift counters: an empty document; the number is stored unsigned.
    ASSERT_TRUE(dao()->saveShiftCountersToFiscalMemory(4294967295u));

    EXPECT_EQ(
        raw->rows(QStringLiteral("SELECT shiftnum, data FROM fiscalmemory ORDER BY rowid")),
        (QList<QVariantList>{{7, QStringLiteral(R"({"CHANGE":2})")}, {4294967295LL, QStringLiteral("{}")}}));
}

TEST_F(DaoCountersTest, ClearingRepairsADamagedShift)
{
    insert(QStringLiteral(
        "INSERT INTO shiftcounters(data) VALUES('{}'); INSERT INTO shiftcounters(data) VALUES('{}')"));
    ASSERT_FALSE(dao()->updateShiftCounters(CountersRecord(json(R"({"CHANGE":1})"))));
    ASSERT_TRUE(dao()->clearShiftCounters());
    ASSERT_TRUE(dao()->updateShiftCounters(CountersRecord(json(R"({"CHANGE":1})"))));
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT data FROM shiftcounters")),
              (QList<QVariantList>{{QStringLiteral(R"({"CHANGE":1})")}}));
}

TEST_F(DaoCountersTest, TrimmingKeepsTheNewestRecords)
{
    const struct
    {
        int rows;
        int limit;
        int firstKept; // shift numbers are 1..rows
    } cases[] = {
        {12, 10, 3},
        {10, 10, 1},
        {3, 0, 4},
        {0, 5, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rows << " rows, limit " << c.limit);
        insert(QStringLiteral("DELETE FROM fiscalmemory"));
        for (int i = 1; i <= c.rows; ++i)
            insert(QStringLiteral("INSERT INTO fiscalmemory(shiftnum, data) VALUES(%1, '{}')").arg(i));
        LogCapture capture;
        EXPECT_TRUE(dao()->trimFiscalMemory(c.limit));
        EXPECT_EQ(capture.text().contains(QStringLiteral("dao - Требуется подрезка фискальной памяти")),
                  c.rows > c.limit);
        QList<QVariantList> expected;
        for (int i = c.firstKept; i <= c.rows; ++i)
            expected << QVariantList{i};
        EXPECT_EQ(raw->rows(QStringLiteral("SELECT shiftnum FROM fiscalmemory ORDER BY rowid")), expected);
    }
}

TEST_F(DaoCountersTest, TrimmingAtEveryCloseKeepsTheNewestRecords)
{
    // Closing shift after shift: the oldest records go, one per close, once the limit is reached.
    const int limit = 5;
    for (int shift = 1; shift <= 12; ++shift) {
        SCOPED_TRACE(testing::Message() << "shift " << shift);
        ASSERT_TRUE(dao()->saveShiftCountersToFiscalMemory(uint(shift)));
        ASSERT_TRUE(dao()->trimFiscalMemory(limit));
        QList<QVariantList> expected;
        for (int kept = qMax(1, shift - limit + 1); kept <= shift; ++kept)
            expected << QVariantList{kept};
        EXPECT_EQ(raw->rows(QStringLiteral("SELECT shiftnum FROM fiscalmemory ORDER BY rowid")), expected);
    }
    // A smaller limit trims to it at once, a larger one keeps everything.
    ASSERT_TRUE(dao()->trimFiscalMemory(2));
    EXPECT_EQ(raw->rows(QStringLiteral("SELECT shiftnum FROM fiscalmemory ORDER BY rowid")),
              (QList<QVariantList>{{11}, {12}}));
    ASSERT_TRUE(dao()->trimFiscalMemory(10000));
    EXPECT_EQ(value(QStringLiteral("SELECT count(*) FROM fiscalmemory")).toInt(), 2);
}

class DaoFiscalMemoryTest : public DaoCountersTest
{
protected:
    void SetUp() override
    {
        DaoCountersTest::SetUp();
        insert(QStringLiteral(
            R"(INSERT INTO fiscalmemory(creationtime, shiftnum, data) VALUES('2024-02-29 23:59:59', 1, '{"CHANGE":1}');)"
            R"(INSERT INTO fiscalmemory(creationtime, shiftnum, data) VALUES('2024-03-01 00:00:00', 2, '{"CHANGE":2}');)"
            R"(INSERT INTO fiscalmemory(creationtime, shiftnum, data) VALUES('2024-03-01 23:59:59', 3, 'garbage');)"
            R"(INSERT INTO fiscalmemory(creationtime, shiftnum, data) VALUES('2024-03-02 00:00:00', 2, '{"CHANGE":22}');)"));
    }

    static QList<int> shifts(const QList<CountersRecord>& records)
    {
        QList<int> numbers;
        for (const CountersRecord& record : records)
            numbers << record.shiftNumber();
        return numbers;
    }
};

TEST_F(DaoFiscalMemoryTest, AllRecordsInTableOrder)
{
    const QList<CountersRecord> records = dao()->getFiscalMemory();
    ASSERT_EQ(shifts(records), (QList<int>{1, 2, 3, 2}));
    EXPECT_EQ(records[0].creationTime(), QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59)));
    EXPECT_EQ(records[1].document(), json(R"({"CHANGE":2})"));
    EXPECT_EQ(records[2].document(), QJsonObject());
    for (const CountersRecord& record : records) {
        EXPECT_FALSE(record.isNull());
        EXPECT_EQ(record.rowid(), -1);
    }
}

TEST_F(DaoFiscalMemoryTest, RecordsOfOneDay)
{
    const struct
    {
        QDate day;
        QList<int> shifts;
    } cases[] = {
        {QDate(2024, 3, 1), {2, 3}},
        {QDate(2024, 2, 29), {1}},
        {QDate(2024, 3, 3), {}},
        {QDate(), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.day.toString(Qt::ISODate).toStdString());
        LogCapture capture;
        EXPECT_EQ(shifts(dao()->getFiscalMemory(c.day)), c.shifts);
        EXPECT_FALSE(capture.text().contains(QStringLiteral("ERROR")));
    }
}

TEST_F(DaoFiscalMemoryTest, RecordOfOneShift)
{
    const CountersRecord twice = dao()->getFiscalMemory(2);
    EXPECT_EQ(twice.document(), json(R"({"CHANGE":2})")); // the older one
    EXPECT_EQ(twice.creationTime(), QDateTime(QDate(2024, 3, 1), QTime(0, 0)));
    EXPECT_EQ(twice.shiftNumber(), 2);
    EXPECT_FALSE(twice.isNull());

    const CountersRecord damaged = dao()->getFiscalMemory(3);
    EXPECT_FALSE(damaged.isNull());
    EXPECT_EQ(damaged.document(), QJsonObject());

    EXPECT_TRUE(dao()->getFiscalMemory(99).isNull());
}

// Reads of a counters table fail while writes still reach it: what a lock held
// past the busy timeout for the read, and gone before the write, looks like.
class UnreadableCountersTest : public DaoCountersTest
{
protected:
    void failReadsOf(const char* table)
    {
        insert(QStringLiteral("ALTER TABLE %1 RENAME TO %1_kept;"
                              "CREATE VIEW %1 AS SELECT abs(-9223372036854775807 - 1) AS rowid, NULL AS data "
                              "UNION ALL SELECT rowid, data FROM %1_kept;"
                              "CREATE TRIGGER %1_insert INSTEAD OF INSERT ON %1 "
                              "BEGIN INSERT INTO %1_kept(data) VALUES(NEW.data); END;")
                   .arg(QLatin1String(table)));
        m_unreadable.append(QLatin1String(table));
    }

    void TearDown() override
    {
        for (const QString& table : std::as_const(m_unreadable))
            insert(QStringLiteral("DROP VIEW %1; ALTER TABLE %1_kept RENAME TO %1;").arg(table));
        m_unreadable.clear();
        DaoFixture::TearDown();
    }

private:
    QStringList m_unreadable;
};

TEST_F(UnreadableCountersTest, FailedReadWritesNothingAndFails)
{
    const struct
    {
        const char* name;
        const char* unreadable;
        std::function<bool()> update;
    } cases[] = {
        {"shift delta", "shiftcounters",
         [] { return dao()->updateShiftCounters(CountersRecord(json(R"({"CHANGE":1})"))); }},
        {"non-resettable counters", "protectedcounters", [] { return dao()->updateProtectedCounters(); }},
        {"shift added to the non-resettable counters", "shiftcounters",
         [] { return dao()->updateProtectedCounters(); }},
        {"shift into the fiscal memory", "shiftcounters",
         [] { return dao()->saveShiftCountersToFiscalMemory(3); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        insert(QStringLiteral(R"(INSERT INTO shiftcounters(data) VALUES('{"CHANGE":5}');)"
                              R"(INSERT INTO protectedcounters(data) VALUES('{"CHANGE":7}');)"));
        const QList<QVariantList> shift = rowsOf("shiftcounters");
        const QList<QVariantList> protectedRows = rowsOf("protectedcounters");
        failReadsOf(c.unreadable);

        EXPECT_FALSE(c.update());

        TearDown();
        EXPECT_EQ(rowsOf("shiftcounters"), shift);
        EXPECT_EQ(rowsOf("protectedcounters"), protectedRows);
        EXPECT_TRUE(rowsOf("fiscalmemory").isEmpty());
    }
}

TEST_F(UnreadableCountersTest, ReadersTellAFailedReadFromAnEmptyTable)
{
    for (const char* table : {"shiftcounters", "protectedcounters"}) {
        SCOPED_TRACE(table);
        SetUp();
        const auto read = [table] {
            return QLatin1String(table) == QLatin1String("shiftcounters") ? dao()->getShiftCounters()
                                                                          : dao()->getProtectedCounters();
        };
        const CountersRecord empty = read();
        EXPECT_TRUE(empty.isNull());
        EXPECT_FALSE(empty.isUnreadable());

        failReadsOf(table);
        const CountersRecord failed = read();
        // Null like an empty table, so the tool prints its failure text for both.
        EXPECT_TRUE(failed.isNull());
        EXPECT_TRUE(failed.isUnreadable());
        TearDown();
    }
}

} // namespace
