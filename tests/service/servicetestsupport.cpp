#include "servicetestsupport.h"

#include "service/servicerecords.h"
#include "storage/dao.h"
#include "storage/database.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logmanager.h"
#include "utility/mockfactory.h"
#include "utility/paths.h"

#include <QDir>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlDriver>
#include <QTemporaryDir>

#include <sqlcipher/sqlite3.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace taxvault::testing {

namespace {

class ServiceDbEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        m_root = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(m_root->isValid());
        qputenv("TAXVAULT_ROOT", m_root->path().toUtf8());
        ASSERT_TRUE(QDir().mkpath(paths::dataDir()));
        ASSERT_TRUE(QDir().mkpath(paths::confDir()));
        Singleton<Config>::instance()->setConfigsPathList({}, {});
        ASSERT_TRUE(Database().init());
    }

private:
    std::unique_ptr<QTemporaryDir> m_root;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new ServiceDbEnvironment);

Dao* dao()
{
    return Singleton<Dao>::instance();
}

} // namespace

::testing::AssertionResult ServiceDbTest::nothingLeftHeld()
{
    auto* connection = static_cast<sqlite3*>(QSqlDatabase::database().driver()->handle().value<void*>());
    if (connection && !sqlite3_get_autocommit(connection))
        return ::testing::AssertionFailure() << "a transaction is left open";
    // Detached: a thread left waiting on a held lock must not hang the test too.
    auto serviceRequestFree = std::make_shared<std::promise<bool>>();
    std::future<bool> other = serviceRequestFree->get_future();
    std::thread([serviceRequestFree] {
        const bool free = ServiceRecords::serviceRequestMutex().tryLock();
        if (free)
            ServiceRecords::serviceRequestMutex().unlock();
        dao()->getServiceStatus();
        serviceRequestFree->set_value(free);
    }).detach();
    if (other.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        return ::testing::AssertionFailure() << "the Dao's lock is left held";
    if (!other.get())
        return ::testing::AssertionFailure() << "the service request's lock is left held";
    return ::testing::AssertionSuccess();
}

void ServiceDbTest::SetUp()
{
    Singleton<Config>::instance()->setConfigsPathList({}, {});
    // Opens the connection before the raw statements below use it.
    dao()->getServiceStatus();
    for (const char* table :
         {"messages", "servicedata", "status", "shiftcounters", "protectedcounters", "fiscalmemory"})
        sql(QStringLiteral("DELETE FROM %1").arg(QLatin1String(table)));
}

void ServiceDbTest::TearDown()
{
    MockFactory<CurrentTime>::mocked.reset();
}

void ServiceDbTest::sql(const QString& statement)
{
    QSqlQuery query(QSqlDatabase::database());
    ASSERT_TRUE(query.exec(statement))
        << statement.toStdString() << ": " << query.lastError().text().toStdString();
}

void ServiceDbTest::refuseCommitAfterInsertInto(const QString& table)
{
    sql(QStringLiteral("PRAGMA foreign_keys = ON"));
    sql(QStringLiteral("CREATE TABLE parent(id INTEGER PRIMARY KEY)"));
    sql(QStringLiteral(
        "CREATE TABLE orphan(id INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)"));
    sql(QStringLiteral("CREATE TEMP TRIGGER refuse_commit AFTER INSERT ON main.%1 "
                       "BEGIN INSERT INTO orphan VALUES(1); END")
            .arg(table));
}

void ServiceDbTest::allowCommits()
{
    for (const char* statement : {"DROP TRIGGER IF EXISTS refuse_commit", "DROP TABLE IF EXISTS orphan",
                                  "DROP TABLE IF EXISTS parent", "PRAGMA foreign_keys = OFF"})
        sql(QString::fromLatin1(statement));
}

QJsonObject ServiceDbTest::record(const QString& name)
{
    return dao()->getServiceData(name);
}

void ServiceDbTest::store(const QString& name, const QJsonObject& document)
{
    ASSERT_TRUE(dao()->saveServiceData(name, document));
}

int ServiceDbTest::storedStatus()
{
    return dao()->getServiceStatus();
}

QList<QJsonObject> ServiceDbTest::queuedMessages()
{
    QList<QJsonObject> messages;
    QSqlQuery query(QSqlDatabase::database());
    if (!query.exec(QStringLiteral("SELECT data FROM messages ORDER BY messageid")))
        return messages;
    while (query.next())
        messages.append(QJsonDocument::fromJson(query.value(0).toString().toUtf8()).object());
    return messages;
}

void ServiceDbTest::setConfig(const QString& key, const QVariant& value)
{
    Singleton<Config>::instance()->setValue(key, value);
}

void ServiceDbTest::setNow(const QDateTime& now)
{
    auto clock = QSharedPointer<FixedClock>::create();
    clock->now = now;
    MockFactory<CurrentTime>::mocked = clock;
}

ofd::proto::Response ScriptedSender::exchange(const ofd::proto::Request& request)
{
    ++exchanges;
    lastRequest = request;
    return script ? script(request) : Sender::exchange(request);
}

void ScriptedSender::startQueueHandler()
{
    ++queueWorkerStarts;
    queueHeldMessageWhenWorkerStarted = !dao()->getFirstMessage().isEmpty();
}

void ScriptedSender::startLockHandler()
{
    ++lockWorkerStarts;
}

ofd::proto::Response answer(int code, const QString& text)
{
    ofd::proto::Response response;
    response.set_command(ofd::proto::COMMAND_SYSTEM);
    response.mutable_result()->set_result_code(static_cast<quint32>(code));
    if (!text.isEmpty())
        response.mutable_result()->set_result_text(text.toStdString());
    return response;
}

QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QJsonObject block(const QJsonObject& reply)
{
    return reply.value(QStringLiteral("kkmInfoObject")).toObject();
}

QString logOf(const std::function<void()>& action)
{
    const Log4Qt::Level threshold = Log4Qt::LogManager::threshold();
    Log4Qt::LogManager::setThreshold(Log4Qt::Level::Trace);
    ::testing::internal::CaptureStderr();
    action();
    const QString log = QString::fromStdString(::testing::internal::GetCapturedStderr());
    Log4Qt::LogManager::setThreshold(threshold);
    return log;
}

} // namespace taxvault::testing
