#pragma once

#include "storage/countersrecord.h"
#include "storage/databaseconnection.h"
#include "storage/queryresult.h"

#include "korvan/singleton.h"
#include "sqlcipher/sqlcipherrow.h"
#include "utility/memo.h"

#include <QByteArrayView>
#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <functional>
#include <optional>

namespace Log4Qt {
class Logger;
}

namespace taxvault {

// The one way into the service database once it exists: one "QSQLCIPHER"
// connection, opened and keyed on first use, shared by every thread. Each
// operation runs entirely under one recursive mutex, from opening the
// connection to releasing the last result, so operations made of several
// statements cannot interleave with another thread's and may call each other.
// Failures are logged here and reported only through the result.
class Dao : public Singleton<Dao>
{
public:
    virtual bool trimFiscalMemory(int limit);
    virtual bool updateProtectedCounters();
    virtual bool updateShiftCounters(const CountersRecord& delta);
    virtual bool saveShiftCountersToFiscalMemory(uint shiftNumber);
    virtual bool clearShiftCounters();
    virtual bool saveMessage(const QJsonObject& message);
    virtual QJsonObject getFirstMessage();
    virtual bool deleteMessage(int messageId);
    virtual bool setServiceStatus(int status);
    virtual int getServiceStatus();
    virtual bool saveServiceData(const QString& name, const QJsonObject& data);
    virtual QJsonObject getServiceData(const QString& name);
    virtual CountersRecord getProtectedCounters();
    virtual CountersRecord getShiftCounters();
    virtual int getMessagesCount();
    virtual QDateTime getFirstMessageTime();
    virtual QList<CountersRecord> getFiscalMemory();
    virtual QList<CountersRecord> getFiscalMemory(QDate day);
    virtual CountersRecord getFiscalMemory(int shiftNumber);
    // The fiscal memory as stored, for printing: each row's creation time,
    // shift number and document text (its UTF-8 bytes, valid during the call),
    // in table order; with a day, the rows of that day. Nothing is parsed or
    // kept. False, logged, when the read failed.
    virtual bool readFiscalMemoryTexts(
        const std::optional<QDate>& day,
        const std::function<void(const QDateTime& created, int shiftNumber, QByteArrayView document)>& visit);
    virtual bool resetToken();
    virtual bool setToken(int token);
    // These three give an empty result both for nothing stored and for a failed
    // read; the read...() operations below tell which.
    virtual QList<QJsonObject> getMessagesList();
    virtual QString getMessageById(int messageId);
    virtual bool hasMessage(int messageId);
    virtual bool isServiceDataAccessible();
    virtual bool isMessageQueueAccessible();
    virtual ~Dao();

    // Closes the connection (a later operation opens it again). The last
    // connection to close checkpoints the write-ahead log into the file and
    // removes it, so a file copied after a clean end holds everything.
    void close();

    // The named document; nothing when it cannot be read (the statement failed,
    // or the stored text is no JSON object). A name without a row gives {}.
    std::optional<QJsonObject> readServiceData(const QString& name);
    // The queue's messages, one message's stored text (empty: no such message),
    // and whether a message is queued; nothing when the read failed.
    std::optional<QList<QJsonObject>> readMessagesList();
    std::optional<QString> readMessageById(int messageId);
    std::optional<bool> readHasMessage(int messageId);

    // Looks whether the file the Dao opened is still the file at its path, no
    // shorter than it was, with a writable index. Once it is not, every
    // operation fails until the process ends, and this stays false.
    bool isFileSound();

    // What the memos of the service records keep, in bytes of their texts.
    qsizetype keptRecordBytes();

    // One database transaction around several operations (a command's records:
    // all of them or none), for the life of the object, on the calling thread.
    // It holds the Dao's mutex throughout, so other threads wait while Dao
    // operations on this thread work as usual. One begun inside another is a
    // savepoint of it: its rollback undoes only its own statements, its commit
    // hands them to the enclosing one. Leaving the scope before commit() rolls
    // back, an exception too; a failed outermost commit rolls back.
    // A Deferred outermost transaction is written to the log at its commit but
    // not waited for on the disk: the next synced commit of any thread carries
    // it there. A power failure may undo it, never what was synced after it.
    using Sync = DatabaseConnection::Sync;
    class Transaction : public DatabaseConnection::Transaction
    {
    public:
        explicit Transaction(Dao& dao, Sync sync = Sync::Synced)
            : DatabaseConnection::Transaction(dao.m_connection, sync)
        {
        }
    };

protected:
    friend class Singleton<Dao>;
    Dao();

    virtual int getFiscalMemoryCount();
    virtual QueryResult exec(const QString& statement);
    virtual QueryResult execPrepared(const QString& statement, const QVariantList& values);
    virtual bool open();
    virtual bool execAndCheck(const QString& statement);

private:
    static bool isWriteFailure(const QSqlQuery& query);
    // Beside the database: a block that its status row could not take.
    QString blockMarkPath() const;
    void keepBlockMark();
    void clearBlockMark();
    // Adds delta to the one row of a counters table; the first delta creates the row.
    bool addToCounters(const QString& table, const CountersRecord& current, const CountersRecord& delta,
                       const QString& creatingText, const QString& damagedText);
    QList<CountersRecord> readFiscalMemory(QueryResult& result);
    // All rows of the fiscal memory, or those of a day; with a visitor, each row
    // goes to it as it is read and the result keeps none.
    QueryResult selectFiscalMemory(const std::optional<QDate>& day,
                                   const SqlCipherRowVisitor* visitor = nullptr);

    DatabaseConnection m_connection;
    Log4Qt::Logger* m_logger;
    // Of each service record, the text last read and the document it parsed to;
    // a record is read several times per command and mostly holds what it held.
    QHash<QString, Memo<QString, QJsonDocument>> m_readRecords;
    // Of each service record, the document last saved and its text: a record is
    // mostly saved with what it was saved with before.
    QHash<QString, Memo<QJsonObject, QString>> m_writtenRecords;
};

} // namespace taxvault
