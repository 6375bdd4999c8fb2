// The queue worker's delivery of one message: what the answer brings and the
// removal of the delivered message reach the disk in one commit.

#include "scriptedoperator.h"
#include "servicetestsupport.h"

#include "service/queuehandler.h"
#include "storage/dao.h"

#include "korvan/singleton.h"
#include "utility/numeric.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>

#include <sqlcipher/sqlite3.h>

#include <functional>
#include <future>
#include <optional>
#include <thread>

namespace taxvault::testing {
namespace {

int onCommit(void* counter)
{
    ++*static_cast<int*>(counter);
    return 0;
}

// Accepts one connection, reads one frame and answers it with code 0.
class AcceptingOperator
{
public:
    AcceptingOperator()
    {
        std::promise<quint16> port;
        auto ready = port.get_future();
        m_thread = std::thread([&port] {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost, 0);
            port.set_value(server.serverPort());
            if (!server.waitForNewConnection(5000))
                return;
            QTcpSocket* socket = server.nextPendingConnection();
            readFrame(socket);
            std::string payload;
            answer(0).SerializePartialToString(&payload);
            QByteArray reply = QByteArray::fromHex("A281CB00");
            reply += numeric::longToLe(18 + payload.size(), 4);
            reply += numeric::longToLe(0, 4);
            reply += numeric::longToLe(0x51, 4);
            reply += numeric::longToLe(0, 2);
            reply += QByteArray::fromStdString(payload);
            socket->write(reply);
            socket->waitForBytesWritten(1000);
            socket->disconnectFromHost();
            if (socket->state() != QAbstractSocket::UnconnectedState)
                socket->waitForDisconnected(1000);
            delete socket;
        });
        m_port = ready.get();
    }

    ~AcceptingOperator() { m_thread.join(); }

    quint16 port() const { return m_port; }

private:
    std::thread m_thread;
    quint16 m_port = 0;
};

// One send, on the test's thread, without the next one scheduled.
class SingleSend : public QueueHandler
{
public:
    void scheduleNextSend() override {}
};

class QueueDelivery : public ServiceDbTest
{
};

TEST_F(QueueDelivery, DeliveredMessageGoesWithWhatTheAnswerBringsInOneCommit)
{
    AcceptingOperator server;
    setConfig(QStringLiteral("Connection:host"), QStringLiteral("127.0.0.1"));
    setConfig(QStringLiteral("Connection:port"), server.port());
    Dao* dao = Singleton<Dao>::instance();
    ASSERT_TRUE(dao->setServiceStatus(1));
    store(QStringLiteral("servicerequest"),
          json(R"({"offlinePeriod": {"beginTime": "2024-03-01T09:05:00", "endTime": ""}})"));
    ASSERT_TRUE(dao->saveMessage(json(R"({"command": 6, "request": {"operation": 0, "sum": 100}})")));

    sqlite3* connection = static_cast<sqlite3*>(QSqlDatabase::database().driver()->handle().value<void*>());
    int commits = 0;
    sqlite3_commit_hook(connection, &onCommit, &commits);
    SingleSend handler;
    handler.sendMessage();
    sqlite3_commit_hook(connection, nullptr, nullptr);

    EXPECT_EQ(commits, 1);
    EXPECT_TRUE(queuedMessages().isEmpty());
    EXPECT_EQ(record(QStringLiteral("transportdata")).value(QStringLiteral("token")).toInt(), 0x51);
    EXPECT_EQ(record(QStringLiteral("servicerequest"))
                  .value(QStringLiteral("offlinePeriod"))
                  .toObject()
                  .value(QStringLiteral("beginTime"))
                  .toString(),
              QString())
        << "the delivered message closes the offline period";
    EXPECT_FALSE(record(QStringLiteral("serviceresponse")).isEmpty());
}

TEST_F(QueueDelivery, WorkerWarnsOfEveryChangeItReportsWithItsCause)
{
    struct Case
    {
        const char* name;
        int storedStatus;
        const char* message;
        QList<Step> steps; // empty: nothing listens
        std::function<void()> refuse;
        const char* warning; // %1: the message's id
        const char* signal;
    };
    const ofd::proto::Response refusal = answer(6);
    const Case cases[] = {
        {"no connection while blocked",
         2,
         R"({"command": 6, "request": {"sum": 1}})",
         {},
         [] {},
         "Переход в автономный режим. Причина: нет связи с сервером ОФД",
         "changeStatus"},
        {"damaged entry",
         1,
         R"({"request": {"sum": 1}})",
         {},
         [] {},
         "Переход в режим блокировки. Причина: сообщение в очереди с messageid = %1 повреждено",
         "stop"},
        {"refused by the server",
         1,
         R"({"command": 6, "request": {"sum": 1}})",
         {Step{{replyFrame(refusal, 0x51)}}},
         [] {},
         "Переход в режим блокировки. Причина: код результата 6 (Неверные настройки устройства) на сообщение "
         "из "
         "очереди с messageid = %1",
         "stop"},
        {"accepted but kept in the queue",
         1,
         R"({"command": 6, "request": {"sum": 1, "printedDocumentNumber": 2, "frShiftNumber": 3}})",
         {Step{{replyFrame(answer(0), 0x51)}}},
         [] {
             sql(QStringLiteral("CREATE TEMP TRIGGER refuse_delete BEFORE DELETE ON main.messages "
                                "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
         },
         "Переход в режим блокировки. Причина: сообщение из очереди с messageid = %1 принято сервером ОФД, "
         "но не "
         "удалено из очереди: номер документа 2, смена 3, номер чека ОФД -",
         "stop"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        std::optional<ScriptedOperator> server;
        quint16 port = 0;
        if (c.steps.isEmpty()) {
            QTcpServer closed;
            closed.listen(QHostAddress::LocalHost, 0);
            port = closed.serverPort();
        } else {
            server.emplace(c.steps);
            port = server->port();
        }
        setConfig(QStringLiteral("Connection:host"), QStringLiteral("127.0.0.1"));
        setConfig(QStringLiteral("Connection:port"), port);
        setConfig(QStringLiteral("DataSending:operationTimeout"), 1);
        Dao* dao = Singleton<Dao>::instance();
        ASSERT_TRUE(dao->setServiceStatus(c.storedStatus));
        ASSERT_TRUE(dao->saveMessage(json(c.message)));
        QSqlQuery id(QSqlDatabase::database());
        ASSERT_TRUE(id.exec(QStringLiteral("SELECT messageid FROM messages")) && id.next());
        c.refuse();

        SingleSend handler;
        QStringList emitted;
        QObject::connect(&handler, &QueueHandler::stop,
                         [&emitted] { emitted.append(QStringLiteral("stop")); });
        QObject::connect(&handler, &QueueHandler::changeStatus,
                         [&emitted] { emitted.append(QStringLiteral("changeStatus")); });
        const QString log = logOf([&] { handler.sendMessage(); });
        sql(QStringLiteral("DROP TRIGGER IF EXISTS refuse_delete"));

        EXPECT_EQ(emitted, QStringList{QString::fromUtf8(c.signal)});
        const QString warning = QString::fromUtf8(c.warning).arg(id.value(0).toInt());
        const QRegularExpression line(QStringLiteral(" WARN  \\[[0-9a-f]+\\] queuehandler - ") +
                                          QRegularExpression::escape(warning) + QStringLiteral("$"),
                                      QRegularExpression::MultilineOption);
        EXPECT_TRUE(line.match(log).hasMatch()) << log.toStdString();
    }
}

} // namespace
} // namespace taxvault::testing
