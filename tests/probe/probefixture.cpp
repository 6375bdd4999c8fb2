// Prepares and reads back the database that the vaultprobe tests run against.
// It runs as a process of its own so that the database path follows the
// TAXVAULT_ROOT that each test sets, exactly as for the tool.
//
//   probe_fixture schema      the empty schema only
//   probe_fixture realistic   two closed shifts, an open one, three queued messages
//   probe_fixture damaged     the schema with two rows of non-resettable counters
//   probe_fixture foreignrows a fiscal memory whose rows other writers stored, in other forms
//   probe_fixture deeprows    a fiscal memory with records nested deeper than the service nests them
//   probe_fixture surrogates  queued messages whose escapes decode to lone surrogates
//   probe_fixture foreign     a SQLCipher file under another passphrase
//   probe_fixture plain       a plain SQLite file
//   probe_fixture notables    a file under the device's passphrase without the service's tables
//   probe_fixture hold        holds the write lock of the database until its standard input ends
//   probe_fixture state       prints status, transport data and queued ids as JSON

#include "storage/countersrecord.h"
#include "storage/dao.h"
#include "storage/database.h"
#include "storage/databasekey.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "sqlcipher/sqlcipherdriver.h"
#include "utility/paths.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <sqlcipher/sqlite3.h>

#include <cstdio>

using taxvault::CountersRecord;
using taxvault::Dao;

namespace {

Dao* dao()
{
    return Singleton<Dao>::instance();
}

QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

// Statements the data-access object has no operation for: fixed creation times and
// rows written by another writer. They go over the connection the object opened.
bool raw(const QString& statement)
{
    QSqlQuery query(QSqlDatabase::database());
    if (query.exec(statement))
        return true;
    std::fprintf(stderr, "fixture statement failed: %s: %s\n", qPrintable(statement),
                 qPrintable(query.lastError().text()));
    return false;
}

bool addToShift(const char* delta)
{
    return dao()->updateShiftCounters(CountersRecord(json(delta)));
}

bool closeShift(uint number)
{
    return dao()->updateProtectedCounters() && dao()->saveShiftCountersToFiscalMemory(number) &&
           dao()->clearShiftCounters();
}

bool fillRealistic()
{
    bool ok = addToShift(R"({"CHANGE":0,"OPERATION_SELL":{"PAYMENT_CASH":1200}})") &&
              addToShift(R"({"CHANGE":50,"OPERATION_SELL":{"PAYMENT_CARD":830.5}})") && closeShift(14) &&
              addToShift(R"({"CHANGE":0,"OPERATION_SELL":{"PAYMENT_CASH":400}})") &&
              addToShift(R"({"MONEY_PLACEMENT_DEPOSIT":5000})") &&
              addToShift(R"({"CHANGE":0,"OPERATION_SELL_RETURN":{"PAYMENT_CASH":150}})") && closeShift(15) &&
              addToShift(R"({"CHANGE":20,"OPERATION_SELL":{"PAYMENT_MOBILE":99.9}})") &&
              addToShift(R"({"CHANGE":0,"OPERATION_BUY":{"PAYMENT_CASH":300}})");

    ok =
        ok &&
        dao()->saveMessage(json(R"({"command":1,"request":{"offlineTicketNumber":1709838603,"total":1200}})"))
        // Written by a JSON writer that escapes everything beyond ASCII.
        &&
        raw(QStringLiteral(
            R"(INSERT INTO messages(data) VALUES('{"command":1,"request":{"items":[{"name":"\u0425\u043b\u0435\u0431 \u0440\u0436\u0430\u043d\u043e\u0439","price":45}],"offlineTicketNumber":1709838930}}'))")) &&
        dao()->saveMessage(json(R"({"command":2,"request":{"isOfflineFlag":true}})"));

    ok = ok &&
         dao()->saveServiceData(QStringLiteral("transportdata"),
                                json(R"({"packageNumber":42,"token":305419896})")) &&
         dao()->setServiceStatus(1);

    return ok &&
           raw(QStringLiteral(
               "UPDATE fiscalmemory SET creationtime = '2024-03-06 21:40:12' WHERE shiftnum = 14")) &&
           raw(QStringLiteral(
               "UPDATE fiscalmemory SET creationtime = '2024-03-07 22:05:47' WHERE shiftnum = 15")) &&
           raw(QStringLiteral(
               "UPDATE messages SET creationtime = '2024-03-07 22:10:03' WHERE messageid = 1")) &&
           raw(QStringLiteral(
               "UPDATE messages SET creationtime = '2024-03-07 22:15:30' WHERE messageid = 2")) &&
           raw(QStringLiteral(
               "UPDATE messages SET creationtime = '2024-03-08 08:01:15' WHERE messageid = 3"));
}

bool fillDamaged()
{
    // Two rows where one belongs: the counters can no longer be told apart.
    return dao()->getProtectedCounters().isNull() &&
           raw(QStringLiteral(R"(INSERT INTO protectedcounters(data) VALUES('{"CHANGE":1}'))")) &&
           raw(QStringLiteral(R"(INSERT INTO protectedcounters(data) VALUES('{"CHANGE":2}'))"));
}

bool fillForeignRows()
{
    // creationtime, shiftnum, data: each row in a form the service does not store.
    const char* const rows[] = {
        R"('2024-03-09 10:00:00', 1, '{"\u0410":1,"B":{"C":2.5}}')",                    // an escape in a key
        R"('2024-03-09 10:00:01', 2, '{"Б":1.5}')",                                     // a key beyond ASCII
        R"('2024-03-09 10:00:02', 3, CAST(x'7b2241223a312c2242223a22ff227d' AS TEXT))", // no UTF-8
        R"('2024-03-09 10:00:03', 4, x'7b2241223a317d')",                               // a blob
        R"('2024-03-09 10:00:04', 5, 42)",
        R"('2024-03-09 10:00:05', 6, NULL)",
        R"('2024-03-09 10:00:06', 7, '{"A":1.0,"B":1e21,"C":-0,"D":0.10}')",
        R"('2024-03-09 10:00:07', 8, '{ "A": 1 }')",
        R"('2024-03-09T10:00:08', '9', '{"A":1}')", // ISO time, a number as text
        R"('вчера', 'x', '{"A":2}')",
        R"(20240309, 2.7, '{"A":3}')",
        R"('0999-01-02 03:04:05', NULL, '{"A":4}')",
        R"('2024-03-09 10:00:09', -5, '{"A":0.1,"B":{"C":{"D":1e-07}},"E":-3}')",
    };
    dao()->getServiceStatus(); // opens and keys the connection
    for (const char* row : rows) {
        if (!raw(QStringLiteral("INSERT INTO fiscalmemory(creationtime, shiftnum, data) VALUES(%1)")
                     .arg(QString::fromUtf8(row))))
            return false;
    }
    return true;
}

// Shifts 1 and 4 as the service stores them, 2 and 3 with 1025 and 100000 nested objects.
bool fillDeepRows()
{
    const auto nested = [](int levels) {
        return QString(QStringLiteral(R"({"A":)")).repeated(levels - 1) + QStringLiteral(R"({"A":1})") +
               QString(QLatin1Char('}')).repeated(levels - 1);
    };
    const QString rows[] = {
        QStringLiteral(R"({"CHANGE":5,"OPERATION_SELL":{"PAYMENT_CASH":100}})"),
        nested(1025),
        nested(100000),
        QStringLiteral(R"({"CHANGE":0})"),
    };
    dao()->getServiceStatus(); // opens and keys the connection
    for (int shift = 1; shift <= 4; ++shift) {
        if (!raw(QStringLiteral("INSERT INTO fiscalmemory(creationtime, shiftnum, data) "
                                "VALUES('2024-03-09 10:00:0%1', %1, '%2')")
                     .arg(shift)
                     .arg(rows[shift - 1])))
            return false;
    }
    return true;
}

// Messages 1 to 3 as the service stores them (the writer escapes what is no UTF-16 character),
// 4 and 5 written by another writer.
bool fillSurrogates()
{
    return dao()->saveMessage(
               json(R"({"command":1,"request":{"operatorCashier":{"code":7,"name":"\ud800"}}})")) &&
           dao()->saveMessage(json(R"({"command":1,"request":{"name":"\udc00x\ud800\ud800"}})")) &&
           dao()->saveMessage(json(R"({"command":1,"request":{"name":"\ud83d\ude00"}})")) &&
           raw(QStringLiteral(R"(INSERT INTO messages(data) VALUES('{"name":"x"}\ud800'))")) &&
           raw(QStringLiteral(R"(INSERT INTO messages(data) VALUES('\uDBFF'))"));
}

// A file the service did not make, written straight through SQLCipher; an empty
// key leaves it unencrypted.
int foreignFile(const QByteArray& key)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(taxvault::Database::dbFilePath().toUtf8().constData(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return 5;
    }
    if (!key.isEmpty())
        sqlite3_key(db, key.constData(), int(key.size()));
    const int rc = sqlite3_exec(db, "CREATE TABLE foreign_data(x); INSERT INTO foreign_data VALUES(42);",
                                nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc == SQLITE_OK ? 0 : 6;
}

int holdWriteLock()
{
    dao()->getServiceStatus(); // opens and keys the connection
    if (!raw(QStringLiteral("BEGIN IMMEDIATE")) || !raw(QStringLiteral("UPDATE status SET status = status")))
        return 7;
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
    return raw(QStringLiteral("ROLLBACK")) ? 0 : 8;
}

int printState()
{
    QJsonArray ids;
    for (const QJsonObject& entry : dao()->getMessagesList())
        ids.append(entry.value(QLatin1String("messageid")));
    const QJsonObject state{
        {QStringLiteral("status"), dao()->getServiceStatus()},
        {QStringLiteral("transportdata"), dao()->getServiceData(QStringLiteral("transportdata"))},
        {QStringLiteral("messages"), ids}};
    std::fputs(QJsonDocument(state).toJson(QJsonDocument::Compact).constData(), stdout);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Singleton<Config>::instance()->setConfigsPathList({}, {paths::configFile()});
    registerSqlCipherDriver();

    const QString mode = argc > 1 ? QString::fromUtf8(argv[1]) : QString();
    if (mode == QLatin1String("state"))
        return printState();
    if (mode == QLatin1String("hold"))
        return holdWriteLock();

    if (mode == QLatin1String("foreign"))
        return foreignFile("another1");
    if (mode == QLatin1String("plain"))
        return foreignFile(QByteArray());
    if (mode == QLatin1String("notables"))
        return foreignFile(taxvault::DatabaseKey::passphrase());

    taxvault::Database database;
    if (!database.init())
        return 2;
    if (mode == QLatin1String("schema"))
        return 0;
    if (mode == QLatin1String("realistic"))
        return fillRealistic() ? 0 : 3;
    if (mode == QLatin1String("damaged"))
        return fillDamaged() ? 0 : 3;
    if (mode == QLatin1String("foreignrows"))
        return fillForeignRows() ? 0 : 3;
    if (mode == QLatin1String("deeprows"))
        return fillDeepRows() ? 0 : 3;
    if (mode == QLatin1String("surrogates"))
        return fillSurrogates() ? 0 : 3;
    std::fprintf(stderr, "unknown mode\n");
    return 4;
}
