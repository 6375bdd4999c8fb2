#include "storage/dao.h"

#include "documents/documentmapping.h"
#include "storage/database.h"
#include "storage/databasekey.h"
#include "storage/unicodeescapes.h"

#include "log4qt/logger.h"
#include "utility/foldersync.h"
#include "utility/localtimetext.h"
#include "sqlcipher/sqlcipherresult.h"

#include <sqlcipher/sqlite3.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMutexLocker>
#include <QSqlError>
#include <QVariant>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace taxvault {

namespace {

QString compactText(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Text that is no JSON object reads as {}.
QJsonObject objectFromText(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// SQLite's datetime text, "2024-03-01 09:05:00", in local time; the tool reads
// thousands of them for a full fiscal memory.
QDateTime localDateTime(const QString& text)
{
    QDateTime value = localtimetext::read(text);
    if (!value.isValid())
        value = QDateTime::fromString(text, Qt::ISODate);
    return value;
}

// The current row of "SELECT * FROM fiscalmemory": creationtime, shiftnum, data.
CountersRecord fiscalMemoryRecord(const QSqlQuery& query)
{
    CountersRecord record(objectFromText(query.value(2).toString()));
    record.setCreationTime(localDateTime(query.value(0).toString()));
    record.setShiftNumber(query.value(1).toInt());
    return record;
}

} // namespace

Dao::Dao() : m_logger(Log4Qt::Logger::logger(QStringLiteral("dao"))) {}

Dao::~Dao() = default;

bool Dao::open()
{
    return m_connection.open();
}

void Dao::close()
{
    m_connection.close();
}

QueryResult Dao::exec(const QString& statement)
{
    return m_connection.run(statement, {}, false);
}

QueryResult Dao::execPrepared(const QString& statement, const QVariantList& values)
{
    return m_connection.run(statement, values, true);
}

bool Dao::execAndCheck(const QString& statement)
{
    return exec(statement).success;
}

qsizetype Dao::keptRecordBytes()
{
    QMutexLocker locker(&m_connection.mutex());
    qsizetype bytes = 0;
    for (const auto& memo : std::as_const(m_readRecords))
        bytes += memo.keptBytes();
    for (const auto& memo : std::as_const(m_writtenRecords))
        bytes += memo.keptBytes();
    return bytes;
}

bool Dao::isFileSound()
{
    return m_connection.fileIsSound();
}

bool Dao::saveMessage(const QJsonObject& message)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Сохранение сообщения в очередь"));
    const QString text = compactText(message);
    const QueryResult result =
        execPrepared(QStringLiteral("INSERT INTO messages (data) VALUES(:param1)"), {text});
    if (result.success)
        m_logger->info(QStringLiteral("Операция выполнена"));
    else
        m_logger->error(
            QStringLiteral("Не удалось сохранить сообщение в очередь. Сообщение: \n%1").arg(text));
    return result.success;
}

QJsonObject Dao::getFirstMessage()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Получение сообщения из очереди"));
    QueryResult result = exec(QStringLiteral("SELECT messageid, data FROM messages LIMIT 1"));
    if (!result.success || !result.query.next())
        return QJsonObject();
    return QJsonObject{{QStringLiteral("messageid"), result.query.value(0).toInt()},
                       {QStringLiteral("data"), objectFromText(result.query.value(1).toString())}};
}

bool Dao::deleteMessage(int messageId)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Удаление сообщения с messageid = %1").arg(messageId));
    const QueryResult result =
        execPrepared(QStringLiteral("DELETE FROM messages WHERE messageid = :param1"), {messageId});
    if (result.success) {
        m_logger->info(QStringLiteral("Операция выполнена"));
    } else {
        m_logger->error(QStringLiteral("Не удалось удалить сообщение"));
    }
    return result.success;
}

bool Dao::setServiceStatus(int status)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->debug(QStringLiteral("Запись статуса сервиса %1").arg(status));
    // Row 1 already holding the status is left as it is: rewriting it would
    // cost a commit pages it does not change.
    const QueryResult result = execPrepared(
        QStringLiteral("INSERT OR REPLACE INTO status(status, rowid) SELECT :param1, 1 WHERE NOT EXISTS "
                       "(SELECT 1 FROM status WHERE rowid=1 AND status=:param2)"),
        {status, status});
    if (result.success)
        m_logger->debug(QStringLiteral("Операция выполнена"));
    else
        m_logger->error(QStringLiteral("Не удалось записать статус сервиса"));
    // A block the row cannot take (a full disk, an immutable log) must still
    // hold after a restart: it is kept as a file that needs no data block. A
    // lost database file is refused at the next start by its own evidence. The
    // mark goes once another status is written outside a transaction, which
    // no rollback can take back: the engineer's clean, or the service moving on.
    if (!result.success && status == 2 && !m_connection.isLost() && isWriteFailure(result.query))
        keepBlockMark();
    else if (result.success && status != 2 && !m_connection.inTransaction())
        clearBlockMark();
    return result.success;
}

bool Dao::isWriteFailure(const QSqlQuery& query)
{
    // The file refused the write (busy, read-only, I/O, full, no log to
    // open); not a file that is no database of ours, which holds no status.
    switch (query.lastError().nativeErrorCode().toInt() & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
        return true;
    default:
        return false;
    }
}

QString Dao::blockMarkPath() const
{
    return m_connection.path() + QStringLiteral(".blocked");
}

void Dao::keepBlockMark()
{
    const QString mark = blockMarkPath();
    const int fd = ::open(QFile::encodeName(mark).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_logger->error(QStringLiteral("Не удалось сохранить блокировку в %1: %2")
                            .arg(mark, qt_error_string(errno)));
        return;
    }
    ::close(fd);
    // The name itself is the record.
    foldersync::syncFolderOf(mark);
    m_logger->error(QStringLiteral("Блокировка сохранена в %1").arg(mark));
}

void Dao::clearBlockMark()
{
    const QString mark = blockMarkPath();
    if (QFile::exists(mark) && QFile::remove(mark))
        m_logger->info(QStringLiteral("Блокировка из %1 снята").arg(mark));
}

int Dao::getServiceStatus()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->debug(QStringLiteral("Получение статуса сервиса"));
    if (!m_connection.path().isEmpty() && QFile::exists(blockMarkPath()))
        return 2;
    QueryResult result = exec(QStringLiteral("SELECT status FROM status"));
    if (result.success && result.query.next())
        return result.query.value(0).toInt();
    return 0;
}

bool Dao::saveServiceData(const QString& name, const QJsonObject& data)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Сохранение служебной информации типа %1").arg(name));
    // A record is mostly saved with what it was saved with before: its text is
    // then not written out again.
    const QString text = m_writtenRecords[name](
        data, [](const QJsonObject& kept, const QJsonObject& given) { return mapping::identical(kept, given); },
        compactText, [](const QJsonObject&, const QString& written) { return written.size(); });
    if (name == QLatin1String("transportdata"))
        m_logger->info(QStringLiteral("Данные: %1").arg(text));
    // The row is changed in place, and not at all when it holds the text
    // already: a replace would move it, and a commit would write the pages it
    // leaves and the pages it goes to.
    bool success = false;
    int updated = 0;
    {
        const QueryResult result = execPrepared(
            QStringLiteral("UPDATE servicedata SET data=:param1 WHERE name=:param2 AND data IS NOT :param3"),
            {text, name, text});
        success = result.success;
        updated = success ? result.query.numRowsAffected() : 0;
    }
    if (success && updated == 0)
        success =
            execPrepared(QStringLiteral("INSERT INTO servicedata (name, data) SELECT :param1, :param2 "
                                        "WHERE NOT EXISTS (SELECT 1 FROM servicedata WHERE name=:param3)"),
                         {name, text, name})
                .success;
    if (success)
        m_logger->info(QStringLiteral("Операция выполнена"));
    else
        m_logger->error(QStringLiteral("Не удалось сохранить служебные данные. Данные: \n%1").arg(text));
    return success;
}

QJsonObject Dao::getServiceData(const QString& name)
{
    return readServiceData(name).value_or(QJsonObject());
}

std::optional<QJsonObject> Dao::readServiceData(const QString& name)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Получение служебной информации типа %1").arg(name));
    QueryResult result =
        execPrepared(QStringLiteral("SELECT data FROM servicedata WHERE name=:param1"), {name});
    if (!result.success)
        return std::nullopt;
    if (!result.query.next())
        return QJsonObject();
    // A record is read several times per command and mostly holds the text it
    // held before: that text is not parsed again.
    const QJsonDocument document = m_readRecords[name](
        result.query.value(0).toString(), std::equal_to<QString>(),
        [](const QString& text) { return QJsonDocument::fromJson(text.toUtf8()); },
        [](const QString& text, const QJsonDocument&) { return text.size(); });
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

int Dao::getMessagesCount()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->debug(QStringLiteral("Получение количества сообщений в очереди"));
    QueryResult result = exec(QStringLiteral("SELECT COUNT(*) FROM messages"));
    if (result.success && result.query.next())
        return result.query.value(0).toInt();
    m_logger->error(QStringLiteral("Не удалось получить информацию о количестве записей в очереди"));
    return -1;
}

QDateTime Dao::getFirstMessageTime()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->debug(QStringLiteral("Получение даты и времени первого сообщения в очереди"));
    QueryResult result = exec(QStringLiteral("SELECT creationtime FROM messages LIMIT 1"));
    if (result.success && result.query.next())
        return localDateTime(result.query.value(0).toString());
    m_logger->error(
        QStringLiteral("Не удалось получить информацию о дате и времени первого сообщения в очереди"));
    return QDateTime();
}

bool Dao::resetToken()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->debug(QStringLiteral("Обнуление токена"));
    QJsonObject transport = getServiceData(QStringLiteral("transportdata"));
    if (transport.isEmpty() || !transport.contains(QLatin1String("token")))
        return false;
    transport.remove(QStringLiteral("token"));
    return saveServiceData(QStringLiteral("transportdata"), transport);
}

bool Dao::setToken(int token)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->debug(QStringLiteral("Установка токена: %1").arg(token));
    QJsonObject transport = getServiceData(QStringLiteral("transportdata"));
    transport.insert(QStringLiteral("token"), token);
    return saveServiceData(QStringLiteral("transportdata"), transport);
}

QList<QJsonObject> Dao::getMessagesList()
{
    return readMessagesList().value_or(QList<QJsonObject>());
}

std::optional<QList<QJsonObject>> Dao::readMessagesList()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Получение списка сообщений из очереди"));
    QueryResult result = exec(QStringLiteral("SELECT messageid, creationtime FROM messages"));
    if (!result.success)
        return std::nullopt;
    QList<QJsonObject> messages;
    while (result.query.next()) {
        messages.append(QJsonObject{{QStringLiteral("messageid"), result.query.value(0).toInt()},
                                    {QStringLiteral("creationtime"), result.query.value(1).toString()}});
    }
    return messages;
}

QString Dao::getMessageById(int messageId)
{
    return readMessageById(messageId).value_or(QString());
}

std::optional<QString> Dao::readMessageById(int messageId)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Получение сообщения из очереди по id"));
    QueryResult result =
        execPrepared(QStringLiteral("SELECT data FROM messages where messageid =:param1"), {messageId});
    if (!result.success)
        return std::nullopt;
    if (!result.query.next())
        return QString();
    return decodeUnicodeEscapes(result.query.value(0).toString());
}

bool Dao::hasMessage(int messageId)
{
    return readHasMessage(messageId).value_or(false);
}

std::optional<bool> Dao::readHasMessage(int messageId)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Проверка наличия сообщения в очереди с заданным id"));
    QueryResult result =
        execPrepared(QStringLiteral("SELECT 1 FROM messages where messageid =:param1 limit 1"), {messageId});
    if (!result.success)
        return std::nullopt;
    return result.query.next();
}

bool Dao::isServiceDataAccessible()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Проверка доступности служебной информации"));
    return execAndCheck(QStringLiteral("SELECT data FROM servicedata limit 1"));
}

bool Dao::isMessageQueueAccessible()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Проверка доступности очереди сообщений"));
    return execAndCheck(QStringLiteral("SELECT data FROM messages limit 1"));
}

CountersRecord Dao::getShiftCounters()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->debug(QStringLiteral("Получение счетчиков смены"));
    QueryResult result = exec(QStringLiteral("SELECT rowid, data FROM shiftcounters"));
    return result.success ? CountersRecord(result.query) : CountersRecord::unreadable();
}

CountersRecord Dao::getProtectedCounters()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->debug(QStringLiteral("Получение необнуляемых счетчиков"));
    QueryResult result = exec(QStringLiteral("SELECT rowid, data FROM protectedcounters"));
    return result.success ? CountersRecord(result.query) : CountersRecord::unreadable();
}

bool Dao::addToCounters(const QString& table, const CountersRecord& current, const CountersRecord& delta,
                        const QString& creatingText, const QString& damagedText)
{
    // A read that failed (a lock held past the busy timeout) says nothing about
    // the row: inserting would add a second one beside the totals.
    if (current.isUnreadable() || delta.isUnreadable())
        return false;
    if (current.isNull()) {
        m_logger->debug(creatingText);
        return execPrepared(QStringLiteral("INSERT INTO %1(data) VALUES(:param1)").arg(table),
                            {delta.toJsonText(QJsonDocument::Compact)})
            .success;
    }
    // A stored {} is a row that has counted nothing yet, not damage.
    if (current.isDamaged()) {
        m_logger->error(damagedText);
        return false;
    }
    const CountersRecord merged = current + delta;
    // Stored, a sum beyond the range of a double would read back as 0.
    if (!merged.isFinite()) {
        m_logger->error(QStringLiteral("Сумма счетчиков вне допустимого диапазона"));
        return false;
    }
    return execPrepared(QStringLiteral("UPDATE %1 SET data = :param1 WHERE rowid=:param2").arg(table),
                        {merged.toJsonText(QJsonDocument::Compact), current.rowid()})
        .success;
}

bool Dao::updateShiftCounters(const CountersRecord& delta)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Изменение счетчиков смены"));
    return addToCounters(QStringLiteral("shiftcounters"), getShiftCounters(), delta,
                         QStringLiteral("Создание записи в таблице счетчиков смены"),
                         QStringLiteral("Некорректное содержимое таблицы счетчиков смены"));
}

bool Dao::updateProtectedCounters()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Изменение необнуляемых счетчиков"));
    const CountersRecord protectedCounters = getProtectedCounters();
    // A damaged shift row reads as {} and adds nothing; an unreadable one fails.
    const CountersRecord shift = getShiftCounters();
    return addToCounters(QStringLiteral("protectedcounters"), protectedCounters, shift,
                         QStringLiteral("Создание записи в таблице необнуляемых счетчиков"),
                         QStringLiteral("Некорректное содержимое таблицы необнуляемых счетчиков"));
}

bool Dao::saveShiftCountersToFiscalMemory(uint shiftNumber)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->trace(QStringLiteral("Запись счетчиков смены %1 в ФП").arg(shiftNumber));
    const CountersRecord current = getShiftCounters();
    // Counters that could not be read would be stored as an empty shift.
    const bool success =
        !current.isUnreadable() &&
        execPrepared(QStringLiteral("INSERT INTO fiscalmemory(shiftnum, data) VALUES (:param1, :param2)"),
                     {QVariant::fromValue<quint32>(shiftNumber), current.toJsonText(QJsonDocument::Compact)})
            .success;
    if (success)
        m_logger->trace(QStringLiteral("Операция выполнена"));
    else
        m_logger->error(QStringLiteral("Не удалось записать счетчики смены в фискальную память"));
    return success;
}

bool Dao::clearShiftCounters()
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->info(QStringLiteral("Очистка счетчиков смены"));
    const QueryResult result = exec(QStringLiteral("DELETE FROM shiftcounters"));
    if (result.success)
        m_logger->info(QStringLiteral("Операция выполнена"));
    else
        m_logger->error(QStringLiteral("Не удалось очистить таблицу счетчиков смены"));
    return result.success;
}

int Dao::getFiscalMemoryCount()
{
    QMutexLocker locker(&m_connection.mutex());
    QueryResult result = exec(QStringLiteral("SELECT COUNT(*) FROM fiscalmemory"));
    if (result.success && result.query.next())
        return result.query.value(0).toInt();
    m_logger->error(
        QStringLiteral("Не удалось получить информацию о количестве записей в фискальной памяти"));
    return -1;
}

bool Dao::trimFiscalMemory(int limit)
{
    QMutexLocker locker(&m_connection.mutex());
    m_logger->debug(QStringLiteral("Подрезка фискальной памяти"));
    // Records are only ever added after the newest and removed from the oldest
    // end, so their row ids run without holes and the newest `limit` of them
    // start at max - limit + 1. Both ends are found by a seek in the table's
    // tree; counting the rows would read the whole fiscal memory at every close.
    QueryResult bounds = exec(QStringLiteral(
        "SELECT (SELECT min(rowid) FROM fiscalmemory), (SELECT max(rowid) FROM fiscalmemory)"));
    if (!bounds.success || !bounds.query.next()) {
        m_logger->error(
            QStringLiteral("Не удалось получить информацию о количестве записей в фискальной памяти"));
        return false;
    }
    if (bounds.query.isNull(0))
        return true; // empty
    const qint64 oldest = bounds.query.value(0).toLongLong();
    const qint64 newest = bounds.query.value(1).toLongLong();
    if (newest - oldest + 1 <= qint64(limit))
        return true;
    m_logger->info(QStringLiteral("Требуется подрезка фискальной памяти"));
    const QueryResult result = execPrepared(QStringLiteral("DELETE FROM fiscalmemory WHERE rowid <= :param1"),
                                            {newest - qint64(limit)});
    if (!result.success) {
        m_logger->error(QStringLiteral("Не удалось выполнить подрезку фискальной памяти"));
        return false;
    }
    return true;
}

QList<CountersRecord> Dao::readFiscalMemory(QueryResult& result)
{
    QList<CountersRecord> records;
    if (!result.success) {
        m_logger->error(QStringLiteral("Не удалось получить счетчики из фискальной памяти"));
        return records;
    }
    while (result.query.next())
        records.append(fiscalMemoryRecord(result.query));
    return records;
}

QueryResult Dao::selectFiscalMemory(const std::optional<QDate>& day, const SqlCipherRowVisitor* visitor)
{
    if (!day)
        return m_connection.run(QStringLiteral("SELECT * FROM fiscalmemory"), {}, false, visitor);
    // Text comparison against the stored "yyyy-MM-dd hh:mm:ss".
    return m_connection.run(QStringLiteral(
                   "SELECT * FROM fiscalmemory WHERE creationtime >= :param1 AND creationtime <= :param2"),
               {day->toString(QStringLiteral("yyyy-MM-dd 00:00:00")),
                day->toString(QStringLiteral("yyyy-MM-dd 23:59:59"))},
               true, visitor);
}

QList<CountersRecord> Dao::getFiscalMemory()
{
    QMutexLocker locker(&m_connection.mutex());
    QueryResult result = selectFiscalMemory(std::nullopt);
    return readFiscalMemory(result);
}

QList<CountersRecord> Dao::getFiscalMemory(QDate day)
{
    QMutexLocker locker(&m_connection.mutex());
    QueryResult result = selectFiscalMemory(day);
    return readFiscalMemory(result);
}

bool Dao::readFiscalMemoryTexts(
    const std::optional<QDate>& day,
    const std::function<void(const QDateTime& created, int shiftNumber, QByteArrayView document)>& visit)
{
    QMutexLocker locker(&m_connection.mutex());
    const auto deliver = [&visit](const auto& row) {
        const QDateTime created = localDateTime(row.value(0).toString());
        const int shiftNumber = row.value(1).toInt();
        // A stored text goes on as its bytes; anything else as the text it reads as.
        if (const std::optional<QByteArrayView> document = row.text(2))
            visit(created, shiftNumber, *document);
        else
            visit(created, shiftNumber, row.value(2).toString().toUtf8());
    };
    // Each row goes on as SQLite reads it: a full fiscal memory is never copied.
    const SqlCipherRowVisitor visitor = deliver;
    QueryResult result = selectFiscalMemory(day, &visitor);
    if (!result.success) {
        m_logger->error(QStringLiteral("Не удалось получить счетчики из фискальной памяти"));
        return false;
    }
    // The rows of a statement that had to run otherwise are kept in the result.
    struct KeptRow
    {
        const QSqlQuery& query;
        QVariant value(int column) const { return query.value(column); }
        std::optional<QByteArrayView> text(int) const { return std::nullopt; }
    };
    while (result.query.next())
        deliver(KeptRow{result.query});
    return true;
}

CountersRecord Dao::getFiscalMemory(int shiftNumber)
{
    QMutexLocker locker(&m_connection.mutex());
    QueryResult result =
        execPrepared(QStringLiteral("SELECT * FROM fiscalmemory WHERE shiftnum = :param1"), {shiftNumber});
    if (!result.success || !result.query.next())
        return CountersRecord();
    return fiscalMemoryRecord(result.query);
}

} // namespace taxvault
