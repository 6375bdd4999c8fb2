#pragma once

#include "service/sender.h"

#include "utility/currenttime.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <ostream>

// Readable failure messages for the Qt values the tests compare.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QJsonObject& object, std::ostream* os)
{
    *os << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

namespace taxvault::testing {

// Every test binary works on one real database file under a temporary
// TAXVAULT_ROOT; each test starts from empty tables and an empty configuration.
class ServiceDbTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs a statement on the data-access object's connection.
    static void sql(const QString& statement);
    static QJsonObject record(const QString& name);
    static void store(const QString& name, const QJsonObject& document);
    static int storedStatus();
    static QList<QJsonObject> queuedMessages();
    static void setConfig(const QString& key, const QVariant& value);
    // The clock the service sees from now on.
    static void setNow(const QDateTime& now);
    // From now on a row inserted into the table breaks a deferred foreign key:
    // every statement succeeds and only the commit that holds the row fails.
    static void refuseCommitAfterInsertInto(const QString& table);
    // Undoes refuseCommitAfterInsertInto; harmless when nothing was refused.
    static void allowCommits();
    // No transaction is left open on the Dao's connection, and another thread
    // gets through to the Dao and to the stored service request's lock.
    static ::testing::AssertionResult nothingLeftHeld();
};

class FixedClock : public CurrentTime
{
public:
    QDateTime currentDateTime() const override { return now; }
    QDateTime now;
};

// A Sender whose exchange follows a script and whose workers are only counted,
// so that command processing runs without a server and without threads.
class ScriptedSender : public Sender
{
public:
    using Exchange = std::function<ofd::proto::Response(const ofd::proto::Request&)>;

    ofd::proto::Response exchange(const ofd::proto::Request& request) override;
    void startQueueHandler() override;
    void startLockHandler() override;

    using Sender::takeWorkerStatus;

    Exchange script;
    int exchanges = 0;
    ofd::proto::Request lastRequest;
    int queueWorkerStarts = 0;
    int lockWorkerStarts = 0;
    bool queueHeldMessageWhenWorkerStarted = false;
};

// An answer of the operator's server with a result code.
ofd::proto::Response answer(int code, const QString& text = QString());

QJsonObject json(const char* text);
// What the action writes to the log, every level included.
QString logOf(const std::function<void()>& action);
// The status block of a reply.
QJsonObject block(const QJsonObject& reply);

} // namespace taxvault::testing
