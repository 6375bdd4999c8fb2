#include "storage/dao.h"

#include "documents/documentmapping.h"
#include "storage/database.h"
#include "storage/databasekey.h"
#include "storage/unicodeescapes.h"

#include "log4qt/logger.h"
#include "sqlcipher/sqlcipherresult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMutexLocker>
#include <QSqlError>
#include <QVariant>

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

// The number of `count` decimal digits at `from`; -1 when one is no digit.
int digits(QStringView text, qsizetype from, qsizetype count)
{
    int value = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

// SQLite's datetime text, "2024-03-01 09:05:00", in local time. The fixed form
// is read by hand: the format parser costs more than reading the fiscal-memory
// row itself, and the tool reads thousands of them.
QDateTime localDateTime(const QString& text)
{
    if (text.size() == 19 && text[4] == u'-' && text[7] == u'-' && text[10] == u' ' && text[13] == u':' &&
        text[16] == u':') {
        const QDate date(digits(text, 0, 4), digits(text, 5, 2), digits(text, 8, 2));
        const QTime time(digits(text, 11, 2), digits(text, 14, 2), digits(text, 17, 2));
        if (date.isValid() && time.isValid())
            return QDateTime(date, time);
    }
    QDateTime value = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
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

Dao::Dao() : m_logger(Log4Qt::Logger::logger(QStringLiteral("dao")))
{
    if (QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLCIPHER"))) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLCIPHER"),
                                         QLatin1String(QSqlDatabase::defaultConnection));
        m_db.setDatabaseName(Database::dbFilePath());
    }
}

Dao::~Dao()
{
    forgetPreparedStatements();
    if (m_db.isOpen())
        m_db.close();
}

void Dao::logFailedStatement(const QSqlQuery& query)
{
    m_logger->error(QStringLiteral("Ошибка выполнения запроса"));
    m_logger->error(errorText(query));
}

QString Dao::errorText(const QSqlQuery& query) const
{
    // A statement refused before it reached the driver (connection not open)
    // carries no text of its own; the connection's error says why.
    const QString text = query.lastError().text();
    return text.isEmpty() ? m_db.lastError().text() : text;
}

bool Dao::open()
{
    QMutexLocker locker(&m_mutex);
    if (m_db.isOpen())
        return true;
    m_logger->debug(QStringLiteral("Открываем базу данных"));
    forgetPreparedStatements();
    m_db.open();
    QSqlQuery query(m_db);
    // The statement holds the passphrase: it is never logged.
    if (!query.exec(DatabaseKey::keyStatement())) {
        m_logger->warn(errorText(query));
        return false;
    }
    // A commit is acknowledged only once it is on the disk, in the write-ahead
    // log as in the rollback journal.
    if (!query.exec(QStringLiteral("PRAGMA synchronous=FULL")))
        m_logger->warn(errorText(query));
    return true;
}

void Dao::close()
{
    QMutexLocker locker(&m_mutex);
    forgetPreparedStatements();
    if (m_db.isOpen())
        m_db.close();
}

void Dao::forgetPreparedStatements()
{
    m_prepared.clear();
    ++m_connectionGeneration;
}

QueryResult Dao::exec(const QString& statement)
{
    return run(statement, {}, false, nullptr);
}

QueryResult Dao::execPrepared(const QString& statement, const QVariantList& values)
{
    return run(statement, values, true, nullptr);
}

QueryResult Dao::run(const QString& statement, const QVariantList& values, bool bound,
                     const SqlCipherRowVisitor* visitor)
{
    QMutexLocker locker(&m_mutex);
    open();
    // A text of several statements runs them one by one, parsed every time.
    if (bound || !statement.contains(u';')) {
        if (std::optional<QueryResult> result = runPrepared(statement, values, visitor))
            return std::move(*result);
    }
    // Run as a new statement would, its rows kept even with a visitor.
    QueryResult result(m_db);
    if (bound) {
        result.query.prepare(statement);
        bindAndExec(result.query, values, result.success);
    } else {
        result.success = result.query.exec(statement);
    }
    if (!result.success)
        logFailedExec(result.query);
    return result;
}

std::optional<QueryResult> Dao::runPrepared(const QString& statement, const QVariantList& values,
                                            const SqlCipherRowVisitor* visitor)
{
    // Parsing a statement costs more than running it: each text is prepared
    // once per connection and lent out to run again with new values. While a
    // caller still holds its rows, a second use prepares a statement of its own.
    QueryResult result(m_db);
    const auto cached = m_prepared.find(statement);
    if (cached != m_prepared.end()) {
        result.query = std::move(cached->second);
        m_prepared.erase(cached);
        result.giveBack = statementKeeper(statement);
        bool visited = false;
        const SqlCipherRowVisitor counted = [visitor, &visited](const SqlCipherRow& row) {
            visited = true;
            (*visitor)(row);
        };
        bindAndExec(result.query, values, result.success, visitor ? &counted : nullptr);
        if (result.success)
            return result;
        const QString code = result.query.lastError().nativeErrorCode();
        // Rows already handed on cannot be taken back by running it again.
        if ((code != QLatin1String("1") && code != QLatin1String("17")) || visited) {
            logFailedExec(result.query);
            return result;
        }
        // The schema changed under the statement and it no longer compiles, so
        // nothing ran: it is dropped and runs (or fails) as a new one would.
        result.giveBack = nullptr;
        result = QueryResult(m_db);
    }
    if (!result.query.prepare(statement))
        return std::nullopt;
    result.giveBack = statementKeeper(statement);
    bindAndExec(result.query, values, result.success, visitor);
    if (!result.success)
        logFailedExec(result.query);
    return result;
}

void Dao::bindAndExec(QSqlQuery& query, const QVariantList& values, bool& success,
                      const SqlCipherRowVisitor* visitor)
{
    static const QString names[] = {QStringLiteral(":param1"), QStringLiteral(":param2"),
                                    QStringLiteral(":param3")};
    for (int i = 0; i < values.size(); ++i) {
        query.bindValue(i < 3 ? names[i] : QStringLiteral(":param%1").arg(i + 1), values.at(i), QSql::In);
    }
    success = visitor ? SqlCipherResult::execVisiting(query, *visitor) : query.exec();
}

size_t Dao::StatementHash::operator()(const QString& statement) const noexcept
{
    const qsizetype size = statement.size();
    size_t hash = size_t(size);
    for (int eighth = 1; eighth <= 8; ++eighth)
        hash = hash * 31 + (size ? statement.at(size * eighth / 8 - (eighth == 8)).unicode() : 0);
    return hash;
}

std::function<void(QSqlQuery&&)> Dao::statementKeeper(const QString& statement)
{
    return [this, statement, generation = m_connectionGeneration](QSqlQuery&& query) {
        QMutexLocker locker(&m_mutex);
        // A statement of a closed connection is dead.
        if (generation != m_connectionGeneration)
            return;
        query.finish(); // the rows of its last run are not kept
        // One already kept again is enough: this one is then dropped.
        m_prepared.try_emplace(statement, std::move(query));
    };
}

void Dao::logFailedExec(const QSqlQuery& query)
{
    m_logger->info(QStringLiteral("Ошибка выполнения запроса"));
    m_logger->error(errorText(query));
}

bool Dao::execAndCheck(const QString& statement)
{
    QMutexLocker locker(&m_mutex);
    QueryResult result = exec(statement);
    if (!result.success)
        logFailedStatement(result.query);
    return result.success;
}

bool Dao::beginTransaction(Sync sync)
{
    m_mutex.lock();
    // Another thread waits above until the transaction has ended, so an open
    // one here is this thread's own: the inner one becomes a savepoint.
    if (m_transactionDepth > 0) {
        if (!exec(QStringLiteral("SAVEPOINT nested")).success) {
            m_mutex.unlock();
            return false;
        }
        ++m_transactionDepth;
        return true;
    }
    open();
    // The level cannot change inside a transaction; it is set back at its end.
    m_deferredSync = sync == Sync::Deferred && exec(QStringLiteral("PRAGMA synchronous=NORMAL")).success;
    m_logger->debug(QStringLiteral("Начало транзакции"));
    if (!m_db.transaction()) {
        m_logger->error(QStringLiteral("Не удалось начать транзакцию: %1").arg(m_db.lastError().text()));
        restoreSync();
        m_mutex.unlock();
        return false;
    }
    // The lock taken above stays held until the transaction ends.
    m_transactionDepth = 1;
    return true;
}

bool Dao::commitTransaction()
{
    QMutexLocker locker(&m_mutex);
    if (m_transactionDepth == 0) {
        m_logger->error(QStringLiteral("Нет начатой транзакции"));
        return false;
    }
    if (m_transactionDepth > 1) {
        // What the savepoint holds becomes part of the enclosing transaction.
        const bool released = exec(QStringLiteral("RELEASE SAVEPOINT nested")).success;
        if (!released)
            exec(QStringLiteral("ROLLBACK TO SAVEPOINT nested; RELEASE SAVEPOINT nested"));
        --m_transactionDepth;
        m_mutex.unlock(); // the lock of beginTransaction()
        return released;
    }
    m_transactionDepth = 0;
    m_logger->debug(QStringLiteral("Подтверждение транзакции"));
    bool committed = m_db.commit();
    if (!committed) {
        m_logger->error(QStringLiteral("Не удалось подтвердить транзакцию: %1").arg(m_db.lastError().text()));
        // Leave nothing half-done behind, and no transaction open for the next caller.
        if (!m_db.rollback())
            m_logger->error(
                QStringLiteral("Не удалось откатить транзакцию: %1").arg(m_db.lastError().text()));
    }
    restoreSync();
    m_mutex.unlock(); // the lock of beginTransaction()
    return committed;
}

void Dao::restoreSync()
{
    if (!m_deferredSync)
        return;
    m_deferredSync = false;
    // A connection left lazy would weaken every later commit: a new one syncs.
    if (!exec(QStringLiteral("PRAGMA synchronous=FULL")).success)
        close();
}

bool Dao::rollbackTransaction()
{
    QMutexLocker locker(&m_mutex);
    if (m_transactionDepth == 0) {
        m_logger->error(QStringLiteral("Нет начатой транзакции"));
        return false;
    }
    if (m_transactionDepth > 1) {
        // Undoes the savepoint's statements only; the enclosing transaction goes on.
        const bool rolledBack = exec(QStringLiteral("ROLLBACK TO SAVEPOINT nested")).success &&
                                exec(QStringLiteral("RELEASE SAVEPOINT nested")).success;
        --m_transactionDepth;
        m_mutex.unlock(); // the lock of beginTransaction()
        return rolledBack;
    }
    m_transactionDepth = 0;
    m_logger->debug(QStringLiteral("Откат транзакции"));
    const bool rolledBack = m_db.rollback();
    if (!rolledBack)
        m_logger->error(QStringLiteral("Не удалось откатить транзакцию: %1").arg(m_db.lastError().text()));
    restoreSync();
    m_mutex.unlock(); // the lock of beginTransaction()
    return rolledBack;
}

bool Dao::saveMessage(const QJsonObject& message)
{
    QMutexLocker locker(&m_mutex);
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
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Получение сообщения из очереди"));
    QueryResult result = exec(QStringLiteral("SELECT messageid, data FROM messages LIMIT 1"));
    if (!result.success) {
        logFailedStatement(result.query);
        return QJsonObject();
    }
    if (!result.query.next())
        return QJsonObject();
    return QJsonObject{{QStringLiteral("messageid"), result.query.value(0).toInt()},
                       {QStringLiteral("data"), objectFromText(result.query.value(1).toString())}};
}

bool Dao::deleteMessage(int messageId)
{
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Удаление сообщения с messageid = %1").arg(messageId));
    const QueryResult result =
        execPrepared(QStringLiteral("DELETE FROM messages WHERE messageid = :param1"), {messageId});
    if (result.success) {
        m_logger->info(QStringLiteral("Операция выполнена"));
    } else {
        m_logger->error(QStringLiteral("Не удалось удалить сообщение"));
        m_logger->error(errorText(result.query));
    }
    return result.success;
}

bool Dao::setServiceStatus(int status)
{
    QMutexLocker locker(&m_mutex);
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
    return result.success;
}

int Dao::getServiceStatus()
{
    QMutexLocker locker(&m_mutex);
    m_logger->debug(QStringLiteral("Получение статуса сервиса"));
    QueryResult result = exec(QStringLiteral("SELECT status FROM status"));
    if (result.success && result.query.next())
        return result.query.value(0).toInt();
    return 0;
}

bool Dao::saveServiceData(const QString& name, const QJsonObject& data)
{
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Сохранение служебной информации типа %1").arg(name));
    // A record is mostly saved with what it was saved with before: its text is
    // then not written out again.
    WrittenRecord& written = m_writtenRecords[name];
    if (written.text.isNull() || !mapping::identical(written.document, data))
        written = WrittenRecord{data, compactText(data)};
    const QString text = written.text;
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
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Получение служебной информации типа %1").arg(name));
    QueryResult result =
        execPrepared(QStringLiteral("SELECT data FROM servicedata WHERE name=:param1"), {name});
    if (!result.success) {
        logFailedStatement(result.query);
        return std::nullopt;
    }
    if (!result.query.next())
        return QJsonObject();
    // A record is read several times per command and mostly holds the text it
    // held before: that text is not parsed again.
    const QString text = result.query.value(0).toString();
    ParsedRecord& parsed = m_parsedRecords[name];
    if (!parsed.document || parsed.text != text) {
        parsed.text = text;
        parsed.document = QJsonDocument::fromJson(text.toUtf8());
    }
    if (!parsed.document->isObject())
        return std::nullopt;
    return parsed.document->object();
}

int Dao::getMessagesCount()
{
    QMutexLocker locker(&m_mutex);
    m_logger->debug(QStringLiteral("Получение количества сообщений в очереди"));
    QueryResult result = exec(QStringLiteral("SELECT COUNT(*) FROM messages"));
    if (result.success && result.query.next())
        return result.query.value(0).toInt();
    m_logger->error(QStringLiteral("Не удалось получить информацию о количестве записей в очереди"));
    return -1;
}

QDateTime Dao::getFirstMessageTime()
{
    QMutexLocker locker(&m_mutex);
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
    QMutexLocker locker(&m_mutex);
    m_logger->debug(QStringLiteral("Обнуление токена"));
    QJsonObject transport = getServiceData(QStringLiteral("transportdata"));
    if (transport.isEmpty() || !transport.contains(QLatin1String("token")))
        return false;
    transport.remove(QStringLiteral("token"));
    return saveServiceData(QStringLiteral("transportdata"), transport);
}

bool Dao::setToken(int token)
{
    QMutexLocker locker(&m_mutex);
    m_logger->debug(QStringLiteral("Установка токена: %1").arg(token));
    QJsonObject transport = getServiceData(QStringLiteral("transportdata"));
    transport.insert(QStringLiteral("token"), token);
    return saveServiceData(QStringLiteral("transportdata"), transport);
}

QList<QJsonObject> Dao::getMessagesList(bool* executed)
{
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Получение списка сообщений из очереди"));
    QList<QJsonObject> messages;
    QueryResult result = exec(QStringLiteral("SELECT messageid, creationtime FROM messages"));
    if (executed)
        *executed = result.success;
    if (!result.success)
        return messages;
    while (result.query.next()) {
        messages.append(QJsonObject{{QStringLiteral("messageid"), result.query.value(0).toInt()},
                                    {QStringLiteral("creationtime"), result.query.value(1).toString()}});
    }
    return messages;
}

QString Dao::getMessageById(int messageId, bool* executed)
{
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Получение сообщения из очереди по id"));
    QueryResult result =
        execPrepared(QStringLiteral("SELECT data FROM messages where messageid =:param1"), {messageId});
    if (executed)
        *executed = result.success;
    if (!result.success) {
        logFailedStatement(result.query);
        return QString();
    }
    if (!result.query.next())
        return QString();
    return decodeUnicodeEscapes(result.query.value(0).toString());
}

bool Dao::hasMessage(int messageId, bool* executed)
{
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Проверка наличия сообщения в очереди с заданным id"));
    QueryResult result =
        execPrepared(QStringLiteral("SELECT 1 FROM messages where messageid =:param1 limit 1"), {messageId});
    if (executed)
        *executed = result.success;
    if (!result.success) {
        logFailedStatement(result.query);
        return false;
    }
    return result.query.next();
}

bool Dao::isServiceDataAccessible()
{
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Проверка доступности служебной информации"));
    return execAndCheck(QStringLiteral("SELECT data FROM servicedata limit 1"));
}

bool Dao::isMessageQueueAccessible()
{
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Проверка доступности очереди сообщений"));
    return execAndCheck(QStringLiteral("SELECT data FROM messages limit 1"));
}

CountersRecord Dao::getShiftCounters()
{
    QMutexLocker locker(&m_mutex);
    m_logger->debug(QStringLiteral("Получение счетчиков смены"));
    QueryResult result = exec(QStringLiteral("SELECT rowid, data FROM shiftcounters"));
    return result.success ? CountersRecord(result.query) : CountersRecord::unreadable();
}

CountersRecord Dao::getProtectedCounters()
{
    QMutexLocker locker(&m_mutex);
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
    QMutexLocker locker(&m_mutex);
    m_logger->info(QStringLiteral("Изменение счетчиков смены"));
    return addToCounters(QStringLiteral("shiftcounters"), getShiftCounters(), delta,
                         QStringLiteral("Создание записи в таблице счетчиков смены"),
                         QStringLiteral("Некорректное содержимое таблицы счетчиков смены"));
}

bool Dao::updateProtectedCounters()
{
    QMutexLocker locker(&m_mutex);
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
    QMutexLocker locker(&m_mutex);
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
    QMutexLocker locker(&m_mutex);
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
    QMutexLocker locker(&m_mutex);
    QueryResult result = exec(QStringLiteral("SELECT COUNT(*) FROM fiscalmemory"));
    if (result.success && result.query.next())
        return result.query.value(0).toInt();
    m_logger->error(
        QStringLiteral("Не удалось получить информацию о количестве записей в фискальной памяти"));
    return -1;
}

bool Dao::trimFiscalMemory(int limit)
{
    QMutexLocker locker(&m_mutex);
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
        return run(QStringLiteral("SELECT * FROM fiscalmemory"), {}, false, visitor);
    // Text comparison against the stored "yyyy-MM-dd hh:mm:ss".
    return run(QStringLiteral(
                   "SELECT * FROM fiscalmemory WHERE creationtime >= :param1 AND creationtime <= :param2"),
               {day->toString(QStringLiteral("yyyy-MM-dd 00:00:00")),
                day->toString(QStringLiteral("yyyy-MM-dd 23:59:59"))},
               true, visitor);
}

QList<CountersRecord> Dao::getFiscalMemory()
{
    QMutexLocker locker(&m_mutex);
    QueryResult result = selectFiscalMemory(std::nullopt);
    return readFiscalMemory(result);
}

QList<CountersRecord> Dao::getFiscalMemory(QDate day)
{
    QMutexLocker locker(&m_mutex);
    QueryResult result = selectFiscalMemory(day);
    return readFiscalMemory(result);
}

bool Dao::readFiscalMemoryTexts(
    const std::optional<QDate>& day,
    const std::function<void(const QDateTime& created, int shiftNumber, QByteArrayView document)>& visit)
{
    QMutexLocker locker(&m_mutex);
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
    QMutexLocker locker(&m_mutex);
    QueryResult result =
        execPrepared(QStringLiteral("SELECT * FROM fiscalmemory WHERE shiftnum = :param1"), {shiftNumber});
    if (!result.success || !result.query.next())
        return CountersRecord();
    return fiscalMemoryRecord(result.query);
}

} // namespace taxvault
