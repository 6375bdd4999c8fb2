#pragma once

#include <QString>

struct sqlite3;

namespace Log4Qt {
class Logger;
}

namespace taxvault {

// Creates the encrypted service database and its tables at service start-up.
// Its own SQLCipher connection lives only inside init(); everything later goes
// through Dao. Only the service links this; dbFilePath() is shared with the
// maintenance tool and built into the storage library.
class Database
{
public:
    Database();
    virtual ~Database();

    // Opens (creating when missing), keys and checks the file, logs the
    // SQLCipher version and creates the missing tables. False means the
    // service must not start: also when the file shows that it lost what the
    // last run held (see DatabaseFileWatch), and then no file is changed.
    virtual bool init();

    virtual bool createFiscalMemoryTable(sqlite3* db);
    virtual bool createProtectedCountersTable(sqlite3* db);
    virtual bool createShiftCountersTable(sqlite3* db);
    virtual bool createMessagesTable(sqlite3* db);
    virtual bool createVersionTable(sqlite3* db);
    virtual bool createStatusTable(sqlite3* db);
    virtual bool createServiceDataTable(sqlite3* db);

    // Puts the file into write-ahead-log mode; a failure is only logged.
    void useWriteAheadLog(sqlite3* db);

    // Runs one schema statement; on failure logs it and closes the connection.
    bool execSchemaStatement(const QString& statement, sqlite3* db);

    // "<data directory>/fr_<KKM:deviceId>.db", built afresh on every call.
    static QString dbFilePath();

private:
    // An error line when a new file is made for a till the configuration
    // shows to have worked before.
    void warnIfTillWorkedBefore(const QString& path);
    // Renames the new file made at `made` to `path`, durably.
    bool putInPlace(const QString& made, const QString& path);

    Log4Qt::Logger* m_logger;
};

} // namespace taxvault
