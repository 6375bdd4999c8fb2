// The shift counters that receipts and cash placements add to, and the close
// of a shift into the non-resettable counters and the fiscal memory, on the
// real database file.

#include "servicetestsupport.h"

#include "documents/moneyplacementrequest.h"
#include "documents/ticketrequest.h"
#include "service/fiscallogic.h"
#include "storage/dao.h"

#include "korvan/singleton.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <functional>

namespace taxvault::testing {
namespace {

Dao* dao()
{
    return Singleton<Dao>::instance();
}

QString text(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

bool addTicket(FiscalLogic& logic, const char* receipt)
{
    return logic.addTicket(QSharedPointer<TicketRequest>::create(TicketRequest::fromJson(json(receipt))));
}

bool addPlacement(FiscalLogic& logic, const char* placement)
{
    return logic.addMoneyPlacement(
        QSharedPointer<MoneyPlacementRequest>::create(MoneyPlacementRequest::fromJson(json(placement))));
}

// Shift number and counters of every fiscal-memory record, oldest first.
QStringList fiscalMemory()
{
    QStringList records;
    for (const CountersRecord& record : dao()->getFiscalMemory())
        records << QStringLiteral("%1 %2").arg(record.shiftNumber()).arg(text(record.document()));
    return records;
}

bool hasLine(const QString& log, const char* level, const QString& text)
{
    const QRegularExpression line(
        QStringLiteral("^.* %1 +\\[[^\\]]*\\] fiscallogic - %2$")
            .arg(QLatin1String(level), QRegularExpression::escape(text)),
        QRegularExpression::MultilineOption);
    return line.match(log).hasMatch();
}

class FiscalLogicTest : public ServiceDbTest
{
protected:
    void TearDown() override
    {
        sql(QStringLiteral("DROP TRIGGER IF EXISTS refuse_step"));
        ServiceDbTest::TearDown();
    }

    FiscalLogic logic;
};

TEST_F(FiscalLogicTest, ReceiptDeltaStartsTheShift)
{
    struct Case
    {
        const char* name;
        const char* receipt;
        const char* counters;
    };
    const Case cases[] = {
        {"sale without change", R"({"operation": 2, "payments": {"0": 100.0, "4": 50.0}})",
         R"({"CHANGE": 0, "OPERATION_SELL": {"PAYMENT_CASH": 100, "PAYMENT_MOBILE": 50}})"},
        {"operation defaults to sale", R"({"payments": {"1": 12.5}, "amounts": {"change": 2.5}})",
         R"({"CHANGE": 2.5, "OPERATION_SELL": {"PAYMENT_CARD": 12.5}})"},
        {"purchase return counts positive", R"({"operation": 1, "payments": {"0": 30}})",
         R"({"CHANGE": 0, "OPERATION_BUY_RETURN": {"PAYMENT_CASH": 30}})"},
        {"purchase", R"({"operation": 0, "payments": {"4": 7}})",
         R"({"CHANGE": 0, "OPERATION_BUY": {"PAYMENT_MOBILE": 7}})"},
        {"sale return", R"({"operation": 3, "payments": {"1": 8}, "amounts": {"change": 0.5}})",
         R"({"CHANGE": 0.5, "OPERATION_SELL_RETURN": {"PAYMENT_CARD": 8}})"},
        {"uncounted payment types", R"({"operation": 2, "payments": {"2": 10, "3": 20}})",
         R"({"CHANGE": 0, "OPERATION_SELL": {}})"},
        {"unknown operation counts change only",
         R"({"operation": 9, "payments": {"0": 10}, "amounts": {"change": 1}})", R"({"CHANGE": 1})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ASSERT_TRUE(addTicket(logic, c.receipt));
        EXPECT_EQ(text(dao()->getShiftCounters().document()), text(json(c.counters)));
    }
}

TEST_F(FiscalLogicTest, PlacementDeltaStartsTheShift)
{
    struct Case
    {
        const char* placement;
        const char* counters;
    };
    const Case cases[] = {
        {R"({"operation": 0, "sum": 150.25})", R"({"MONEY_PLACEMENT_DEPOSIT": 150.25})"},
        {R"({"operation": 1, "sum": 40})", R"({"MONEY_PLACEMENT_WITHDRAWAL": 40})"},
        {R"({"sum": 5})", R"({"MONEY_PLACEMENT_DEPOSIT": 5})"},
        {R"({"operation": 5, "sum": 40})", "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.placement);
        SetUp();
        ASSERT_TRUE(addPlacement(logic, c.placement));
        const CountersRecord counters = dao()->getShiftCounters();
        EXPECT_FALSE(counters.isNull()) << "even an empty delta is stored";
        EXPECT_EQ(text(counters.document()), text(json(c.counters)));
    }
}

TEST_F(FiscalLogicTest, DocumentsOfOneShiftAddUp)
{
    // The shift opens with a placement that counts nothing: that row must
    // count as zero, not block every later receipt.
    ASSERT_TRUE(addPlacement(logic, R"({"operation": 7, "sum": 1})"));
    ASSERT_TRUE(
        addTicket(logic, R"({"operation": 2, "payments": {"0": 100, "1": 20}, "amounts": {"change": 5}})"));
    ASSERT_TRUE(addTicket(logic, R"({"operation": 2, "payments": {"0": 50}})"));
    ASSERT_TRUE(addTicket(logic, R"({"operation": 3, "payments": {"0": 30}, "amounts": {"change": 1}})"));
    ASSERT_TRUE(addPlacement(logic, R"({"operation": 0, "sum": 200})"));
    ASSERT_TRUE(addPlacement(logic, R"({"operation": 1, "sum": 80})"));
    ASSERT_TRUE(addPlacement(logic, R"({"operation": 0, "sum": 10})"));

    EXPECT_EQ(text(dao()->getShiftCounters().document()),
              text(json(R"({"CHANGE": 6, "MONEY_PLACEMENT_DEPOSIT": 210, "MONEY_PLACEMENT_WITHDRAWAL": 80,
                            "OPERATION_SELL": {"PAYMENT_CARD": 20, "PAYMENT_CASH": 150},
                            "OPERATION_SELL_RETURN": {"PAYMENT_CASH": 30}})")));
}

TEST_F(FiscalLogicTest, DamagedShiftCountersRefuseTheDelta)
{
    sql(QStringLiteral(R"(INSERT INTO shiftcounters(data) VALUES('{"CHANGE": 1}'), ('{"CHANGE": 2}'))"));
    const QString refused = QStringLiteral("Не удалось изменить счетчики смены");

    const QString ticketLog = logOf([&] { EXPECT_FALSE(addTicket(logic, R"({"payments": {"0": 10}})")); });
    EXPECT_TRUE(hasLine(ticketLog, "DEBUG",
                        QStringLiteral("Изменение счетчиков смены документом продажи/возврата")))
        << ticketLog.toStdString();
    EXPECT_TRUE(hasLine(ticketLog, "ERROR", refused)) << ticketLog.toStdString();

    const QString placementLog =
        logOf([&] { EXPECT_FALSE(addPlacement(logic, R"({"operation": 0, "sum": 10})")); });
    EXPECT_TRUE(hasLine(placementLog, "DEBUG",
                        QStringLiteral("Изменение счетчиков смены документом внесения/выема")))
        << placementLog.toStdString();
    EXPECT_TRUE(hasLine(placementLog, "ERROR", refused)) << placementLog.toStdString();
}

TEST_F(FiscalLogicTest, CloseMovesShiftIntoProtectedCountersAndFiscalMemory)
{
    sql(QStringLiteral(
        R"(INSERT INTO protectedcounters(data) VALUES('{"CHANGE": 1, "OPERATION_SELL": {"PAYMENT_CASH": 1000}}'))"));
    sql(QStringLiteral(
        R"(INSERT INTO fiscalmemory(shiftnum, data) VALUES(5, '{"CHANGE": 1}'), (6, '{"CHANGE": 2}'))"));
    ASSERT_TRUE(addTicket(logic, R"({"payments": {"0": 100, "4": 50}, "amounts": {"change": 3}})"));
    setConfig(QStringLiteral("FiscalMemory:fiscalMemoryRecordsLimit"), 2);

    ASSERT_TRUE(logic.closeShift(7));

    EXPECT_EQ(text(dao()->getProtectedCounters().document()),
              text(json(R"({"CHANGE": 4, "OPERATION_SELL": {"PAYMENT_CASH": 1100, "PAYMENT_MOBILE": 50}})")));
    EXPECT_TRUE(dao()->getShiftCounters().isNull());
    // The oldest record goes; the new one is the shift as it was counted.
    EXPECT_EQ(
        fiscalMemory(),
        QStringList(
            {QStringLiteral(R"(6 {"CHANGE":2})"),
             QStringLiteral(R"(7 {"CHANGE":3,"OPERATION_SELL":{"PAYMENT_CASH":100,"PAYMENT_MOBILE":50}})")}));
    EXPECT_TRUE(nothingLeftHeld());

    // The next shift adds to what the first close left.
    ASSERT_TRUE(addPlacement(logic, R"({"operation": 0, "sum": 10})"));
    ASSERT_TRUE(logic.closeShift(8));
    EXPECT_EQ(text(dao()->getProtectedCounters().document()),
              text(json(R"({"CHANGE": 4, "MONEY_PLACEMENT_DEPOSIT": 10,
                            "OPERATION_SELL": {"PAYMENT_CASH": 1100, "PAYMENT_MOBILE": 50}})")));
    EXPECT_EQ(fiscalMemory().size(), 2);
    EXPECT_TRUE(fiscalMemory().last().startsWith(QStringLiteral("8 ")));
}

TEST_F(FiscalLogicTest, ShiftsThatCountedNothingStillClose)
{
    // The first close of an empty shift stores {} as the non-resettable
    // counters; later closes must add to it instead of failing.
    ASSERT_TRUE(logic.closeShift(1));
    EXPECT_EQ(text(dao()->getProtectedCounters().document()), QStringLiteral("{}"));
    ASSERT_TRUE(logic.closeShift(2));
    ASSERT_TRUE(addTicket(logic, R"({"payments": {"1": 9}})"));
    ASSERT_TRUE(logic.closeShift(3));
    EXPECT_EQ(text(dao()->getProtectedCounters().document()),
              text(json(R"({"CHANGE": 0, "OPERATION_SELL": {"PAYMENT_CARD": 9}})")));
    EXPECT_EQ(fiscalMemory(),
              QStringList({QStringLiteral("1 {}"), QStringLiteral("2 {}"),
                           QStringLiteral(R"(3 {"CHANGE":0,"OPERATION_SELL":{"PAYMENT_CARD":9}})")}));
}

TEST_F(FiscalLogicTest, CloseLimitZeroKeepsNoRecord)
{
    sql(QStringLiteral(R"(INSERT INTO fiscalmemory(shiftnum, data) VALUES(1, '{}'))"));
    setConfig(QStringLiteral("FiscalMemory:fiscalMemoryRecordsLimit"), 0);
    ASSERT_TRUE(addTicket(logic, R"({"payments": {"0": 1}})"));
    ASSERT_TRUE(logic.closeShift(2));
    EXPECT_TRUE(fiscalMemory().isEmpty());
    EXPECT_EQ(text(dao()->getProtectedCounters().document()),
              text(json(R"({"CHANGE": 0, "OPERATION_SELL": {"PAYMENT_CASH": 1}})")));
}

TEST_F(FiscalLogicTest, FailedCloseLeavesEverythingAsItWas)
{
    // Each case makes one step of the close fail inside the database itself.
    struct Case
    {
        const char* step;
        const char* trigger;
        const char* error;
    };
    const Case cases[] = {
        {"non-resettable counters", "BEFORE UPDATE ON protectedcounters",
         "Не удалось изменить необнуляемые счетчики"},
        {"fiscal-memory record", "BEFORE INSERT ON fiscalmemory",
         "Не удалось сохранить счетчики смены в фискальной памяти"},
        {"clearing", "BEFORE DELETE ON shiftcounters", "Не удалось очистить счетчики смены"},
        {"trimming", "BEFORE DELETE ON fiscalmemory", "Не удалось выполнить подрезку фискальной памяти"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        SetUp();
        sql(QStringLiteral("DROP TRIGGER IF EXISTS refuse_step"));
        sql(QStringLiteral(R"(INSERT INTO protectedcounters(data) VALUES('{"CHANGE": 1}'))"));
        sql(QStringLiteral(R"(INSERT INTO fiscalmemory(shiftnum, data) VALUES(1, '{"CHANGE": 1}'))"));
        ASSERT_TRUE(addTicket(logic, R"({"payments": {"0": 100}, "amounts": {"change": 2}})"));
        setConfig(QStringLiteral("FiscalMemory:fiscalMemoryRecordsLimit"), 1);
        const QString shift = text(dao()->getShiftCounters().document());
        sql(QStringLiteral("CREATE TRIGGER refuse_step %1 BEGIN SELECT RAISE(ABORT, 'refused'); END")
                .arg(QLatin1String(c.trigger)));

        const QString log = logOf([&] { EXPECT_FALSE(logic.closeShift(2)); });
        EXPECT_TRUE(hasLine(log, "DEBUG", QStringLiteral("Перемещение счетчиков смены в фискальную память")))
            << log.toStdString();
        EXPECT_TRUE(hasLine(log, "ERROR", QString::fromUtf8(c.error))) << log.toStdString();
        // The first failure ends the close: no later step reports an error of its own.
        EXPECT_EQ(log.count(QStringLiteral("] fiscallogic - Не удалось")), 1) << log.toStdString();

        EXPECT_TRUE(nothingLeftHeld());
        EXPECT_EQ(text(dao()->getProtectedCounters().document()), QStringLiteral(R"({"CHANGE":1})"));
        EXPECT_EQ(text(dao()->getShiftCounters().document()), shift);
        EXPECT_EQ(fiscalMemory(), QStringList({QStringLiteral(R"(1 {"CHANGE":1})")}));

        // Repeated once the cause is gone, the close counts the shift once.
        sql(QStringLiteral("DROP TRIGGER refuse_step"));
        ASSERT_TRUE(logic.closeShift(2));
        EXPECT_EQ(text(dao()->getProtectedCounters().document()),
                  text(json(R"({"CHANGE": 3, "OPERATION_SELL": {"PAYMENT_CASH": 100}})")));
        EXPECT_TRUE(dao()->getShiftCounters().isNull());
        EXPECT_EQ(fiscalMemory(),
                  QStringList({QStringLiteral(R"(2 {"CHANGE":2,"OPERATION_SELL":{"PAYMENT_CASH":100}})")}));
    }
}

TEST_F(FiscalLogicTest, TransactionThatCannotBeginOrCommitLogsOneTrueError)
{
    struct Case
    {
        const char* name;
        std::function<void()> arrange;
        std::function<void()> release;
        const char* error;
    };
    const Case cases[] = {
        // A transaction already open on the connection refuses a second begin.
        {"begin", [] { sql(QStringLiteral("BEGIN")); }, [] { sql(QStringLiteral("ROLLBACK")); },
         "Не удалось начать транзакцию закрытия смены"},
        // A deferred foreign key the new fiscal-memory record breaks fails only the commit.
        {"commit",
         [] { refuseCommitAfterInsertInto(QStringLiteral("fiscalmemory")); },
         [] { allowCommits(); },
         "Не удалось подтвердить транзакцию закрытия смены"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ASSERT_TRUE(addTicket(logic, R"({"payments": {"0": 100}})"));
        const QString shift = text(dao()->getShiftCounters().document());
        c.arrange();

        const QString log = logOf([&] { EXPECT_FALSE(logic.closeShift(2)); });
        c.release();

        EXPECT_TRUE(hasLine(log, "ERROR", QString::fromUtf8(c.error))) << log.toStdString();
        EXPECT_EQ(log.count(QStringLiteral("] fiscallogic - Не удалось")), 1) << log.toStdString();
        EXPECT_FALSE(log.contains(QStringLiteral("Нет начатой транзакции"))) << log.toStdString();
        EXPECT_TRUE(dao()->getProtectedCounters().isNull());
        EXPECT_EQ(text(dao()->getShiftCounters().document()), shift);
        EXPECT_TRUE(fiscalMemory().isEmpty());
        EXPECT_TRUE(logic.closeShift(2)) << "the Dao is free for the next close";
    }
}

} // namespace
} // namespace taxvault::testing
