// A command that fails part-way, at whatever allocation of its path runs out
// of memory, leaves no transaction and no lock behind: the next command is
// stored and counted, and the queue worker delivers.

#include "failingallocation.h"
#include "servicetestsupport.h"

#include "documents/closeshiftrequest.h"
#include "documents/ticketrequest.h"
#include "protocol/serviceexception.h"
#include "service/queuehandler.h"
#include "storage/dao.h"

#include "korvan/singleton.h"
#include "log4qt/logmanager.h"

#include <functional>
#include <new>

namespace taxvault::testing {
namespace {

using failingallocation::failAt;
using failingallocation::failed;

Dao* dao()
{
    return Singleton<Dao>::instance();
}

const char* const kTicket = R"({"operation": 2, "payments": {"0": 10}})";

class FailedCommand : public ServiceDbTest
{
protected:
    void SetUp() override
    {
        ServiceDbTest::SetUp();
        setNow(QDateTime(QDate(2024, 3, 1), QTime(9, 5, 0)));
        m_threshold = Log4Qt::LogManager::threshold();
        Log4Qt::LogManager::setThreshold(Log4Qt::Level::Warn);
        sender = std::make_unique<ScriptedSender>();
        online();
    }

    void TearDown() override
    {
        failAt(0);
        Log4Qt::LogManager::setThreshold(m_threshold);
        ServiceDbTest::TearDown();
    }

    void online()
    {
        sender->script = [](const ofd::proto::Request&) { return answer(0); };
    }

    void offline()
    {
        sender->script = [](const ofd::proto::Request&) -> ofd::proto::Response {
            throw ServiceException(QStringLiteral("Нет связи с сервером ОФД"));
        };
    }

    // What the service does with a command: one that runs out of memory before
    // the sender catches it is answered by the command processor. The request
    // is shared as the command processor shares it.
    template <typename Command> static QJsonObject served(Command command)
    {
        try {
            return command();
        } catch (const std::bad_alloc&) {
            return QJsonObject{{QStringLiteral("outOfMemory"), true}};
        }
    }

    QJsonObject ticket()
    {
        return served([&] {
            return sender->commandTicket(
                QSharedPointer<TicketRequest>(new TicketRequest(TicketRequest::fromJson(json(kTicket)))));
        });
    }

    QJsonObject closeShift()
    {
        return served([&] {
            return sender->commandCloseShift(QSharedPointer<CloseShiftRequest>(
                new CloseShiftRequest(CloseShiftRequest::fromJson(json(R"({"frShiftNumber": 4})")))));
        });
    }

    // Runs the action once for each allocation it makes, that allocation
    // failing, after `arrange` and with `check` after each run.
    static void failEachAllocation(const std::function<void()>& arrange, const std::function<void()>& action,
                                   const std::function<void()>& check)
    {
        for (long n = 1;; ++n) {
            SCOPED_TRACE(::testing::Message() << "allocation " << n);
            arrange();
            if (::testing::Test::HasFatalFailure())
                return;
            failAt(n);
            action();
            const bool hit = failed();
            failAt(0);
            check();
            if (!hit || ::testing::Test::HasFatalFailure())
                return;
        }
    }

    // The cash of the receipts counted in the shift, 10 each.
    static double countedCash()
    {
        return dao()
            ->getShiftCounters()
            .document()
            .value(QStringLiteral("OPERATION_SELL"))
            .toObject()
            .value(QStringLiteral("PAYMENT_CASH"))
            .toDouble();
    }

    static qsizetype queued() { return queuedMessages().size(); }

    // A small receipt after the failure: stored and counted as any other.
    void nextReceiptIsStoredAndCounted(EServiceStatus resumed)
    {
        ASSERT_TRUE(nothingLeftHeld());
        // A failure after the server's answer, or of the counters, blocks by
        // design; the engineer clears it.
        if (sender->status() >= static_cast<int>(EServiceStatus::BLOCKED))
            sender->onChangeStatus(resumed);
        const bool autonomous = sender->status() == static_cast<int>(EServiceStatus::AUTONOMOUS);
        const qsizetype queuedBefore = queued();
        const double cashBefore = countedCash();

        const QJsonObject reply = ticket();

        EXPECT_EQ(block(reply).value(QStringLiteral("errorMessage")).toString(),
                  autonomous ? QStringLiteral("Сервис в автономном режиме") : QString())
            << QJsonDocument(reply).toJson(QJsonDocument::Compact).toStdString();
        EXPECT_EQ(queued(), queuedBefore + (autonomous ? 1 : 0));
        EXPECT_EQ(countedCash(), cashBefore + 10);
        EXPECT_TRUE(nothingLeftHeld());
    }

    std::unique_ptr<ScriptedSender> sender;

private:
    Log4Qt::Level m_threshold = Log4Qt::Level::Info;
};

TEST_F(FailedCommand, ReceiptQueuedWhileAutonomous)
{
    offline();
    ASSERT_EQ(block(ticket()).value(QStringLiteral("serviceStatus")).toInt(), 1);

    QJsonObject reply;
    failEachAllocation([] {}, [&] { reply = ticket(); },
                       [&] {
                           // Every receipt queued is counted once, and one acknowledged is queued.
                           EXPECT_EQ(countedCash(), 10.0 * queued());
                           if (block(reply).value(QStringLiteral("errorMessage")).toString() ==
                               QStringLiteral("Сервис в автономном режиме"))
                               EXPECT_FALSE(block(reply).value(QStringLiteral("data")).toString().isEmpty());
                           EXPECT_EQ(sender->status(), 1);
                           nextReceiptIsStoredAndCounted(EServiceStatus::AUTONOMOUS);
                       });
}

TEST_F(FailedCommand, ShiftClose)
{
    for (const bool autonomous : {false, true}) {
        SCOPED_TRACE(autonomous ? "autonomous" : "online");
        SetUp();
        if (autonomous)
            offline();
        ASSERT_TRUE(block(ticket()).value(QStringLiteral("errorMessage")).isString());
        const QJsonObject shift = dao()->getShiftCounters().document();
        failEachAllocation(
            [&] {
                for (const char* table : {"fiscalmemory", "protectedcounters", "shiftcounters"})
                    sql(QStringLiteral("DELETE FROM %1").arg(QLatin1String(table)));
                ASSERT_TRUE(dao()->updateShiftCounters(CountersRecord(shift)));
            },
            [&] { closeShift(); },
            [&] {
                // Closed whole or not at all.
                const bool closed = dao()->getShiftCounters().isNull();
                EXPECT_EQ(dao()->getProtectedCounters().document(), closed ? shift : QJsonObject());
                EXPECT_EQ(dao()->getFiscalMemory().size(), closed ? 1 : 0);
                nextReceiptIsStoredAndCounted(autonomous ? EServiceStatus::AUTONOMOUS
                                                         : EServiceStatus::NORMAL);
            });
    }
}

// One send on the test's thread, through a scripted sender.
class ScriptedSend : public QueueHandler
{
public:
    void scheduleNextSend() override {}
    Sender* sender() override { return &scripted; }
    ScriptedSender scripted;
};

TEST_F(FailedCommand, QueueWorkerDelivery)
{
    ASSERT_TRUE(dao()->setServiceStatus(1));
    ScriptedSend worker;
    long failing = 0;
    const auto queueOne = [] {
        if (queued() == 0)
            ASSERT_TRUE(
                dao()->saveMessage(json(R"({"command": 6, "request": {"operation": 0, "sum": 100}})")));
    };
    // The failures begin once the server has answered, where the transaction is.
    worker.scripted.script = [&failing](const ofd::proto::Request&) {
        ofd::proto::Response response = answer(0);
        failAt(failing);
        return response;
    };
    for (failing = 1;; ++failing) {
        SCOPED_TRACE(::testing::Message() << "allocation " << failing);
        queueOne();
        worker.sendMessage();
        const bool hit = failed();
        failAt(0);
        ASSERT_TRUE(nothingLeftHeld());
        // The next send delivers.
        const long kept = std::exchange(failing, 0);
        queueOne();
        worker.sendMessage();
        failing = kept;
        EXPECT_EQ(queued(), 0);
        EXPECT_TRUE(nothingLeftHeld());
        if (!hit || HasFatalFailure())
            return;
    }
}

} // namespace
} // namespace taxvault::testing
