#include "probe/observer.h"

#include "storage/countersrecord.h"
#include "storage/dao.h"

#include "log4qt/logger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <utility>

namespace taxvault {

namespace {

QString indented(const CountersRecord& record)
{
    return record.toJsonText(QJsonDocument::Indented);
}

// "Смена N, dd.MM.yyyy:\n" followed by the indented document.
void appendRecordText(QString& text, int shiftNumber, const CountersRecord& record, const QString& dateFormat)
{
    text += QStringLiteral("Смена ");
    text += QString::number(shiftNumber);
    text += QStringLiteral(", ");
    text += record.creationTime().date().toString(dateFormat);
    text += QStringLiteral(":\n");
    text += indented(record);
}

// Takes the records: each is released once it is written, so that a full
// fiscal memory is not held twice, as documents and as text.
QString recordBlocks(QList<CountersRecord> records, const QString& dateFormat)
{
    QString text;
    text.reserve(records.size() * 400);
    for (CountersRecord& record : records) {
        appendRecordText(text, record.shiftNumber(), record, dateFormat);
        text += QLatin1Char('\n');
        record = CountersRecord();
    }
    return text;
}

} // namespace

Observer::Observer()
    : m_dateFormat(QStringLiteral("dd.MM.yyyy")), m_logger(Log4Qt::Logger::logger(QStringLiteral("viewer")))
{
}

Dao* Observer::dao()
{
    return Singleton<Dao>::instance();
}

QString Observer::protectedCounters()
{
    const CountersRecord record = dao()->getProtectedCounters();
    return record.isNull() ? QString() : indented(record);
}

QString Observer::shiftCounters()
{
    const CountersRecord record = dao()->getShiftCounters();
    return record.isNull() ? QString() : indented(record);
}

QString Observer::fiscalMemory()
{
    m_logger->info(QStringLiteral("Получение всех счетчиков из фискальной памяти"));
    bool read = false;
    QList<CountersRecord> records = dao()->getFiscalMemory(&read);
    if (!read)
        return QString();
    if (records.isEmpty())
        return QStringLiteral("В фискальной памяти нет записей");
    return recordBlocks(std::move(records), m_dateFormat);
}

QString Observer::fiscalMemory(QDate day)
{
    const QString dayText = day.toString(m_dateFormat);
    m_logger->info(QStringLiteral("Получение счетчиков из фискальной памяти за %1").arg(dayText));
    bool read = false;
    QList<CountersRecord> records = dao()->getFiscalMemory(day, &read);
    if (!read)
        return QString();
    if (records.isEmpty())
        return QStringLiteral("В фискальной памяти нет записей за %1").arg(dayText);
    return recordBlocks(std::move(records), m_dateFormat);
}

QString Observer::fiscalMemory(int shiftNumber)
{
    m_logger->info(QStringLiteral("Получение счетчиков из фискальной памяти за смену %1").arg(shiftNumber));
    const CountersRecord record = dao()->getFiscalMemory(shiftNumber);
    if (record.isNull())
        return QString();
    QString text;
    appendRecordText(text, shiftNumber, record, m_dateFormat);
    return text;
}

QString Observer::queueInfo()
{
    m_logger->info(QStringLiteral("Получение информации об очереди сообщений"));
    const int count = dao()->getMessagesCount();
    if (count < 0)
        return QString();
    if (count == 0)
        return QStringLiteral("В очереди нет сообщений");
    const QDateTime first = dao()->getFirstMessageTime();
    if (!first.isValid())
        return QString();
    return QStringLiteral("%1%2\n%3%4")
        .arg(QStringLiteral("Сообщений в очереди").leftJustified(25),
             QString::number(count).rightJustified(20),
             QStringLiteral("Время первого сообщения").leftJustified(25),
             first.toString(QStringLiteral("hh:mm:ss dd.MM.yyyy")).rightJustified(20));
}

QString Observer::resetToken()
{
    m_logger->info(QStringLiteral("Обнуление токена"));
    return dao()->resetToken() ? QStringLiteral("Обнуление токена выполнено") : QString();
}

QString Observer::setToken(const QString& value)
{
    m_logger->info(QStringLiteral("Установка токена: %1").arg(value));
    bool isNumber = false;
    const uint token = value.toUInt(&isNumber, 10);
    if (!isNumber) {
        m_logger->warn(QStringLiteral("Токен должен быть беззнаковым целым"));
        return QString();
    }
    // The frame header carries the token's 32 bits; the stored form is signed.
    return dao()->setToken(static_cast<int>(token)) ? QStringLiteral("Установка токена выполнена")
                                                    : QString();
}

QString Observer::resetStatus()
{
    m_logger->info(QStringLiteral("Сброс статуса"));
    return dao()->setServiceStatus(0) ? QStringLiteral("Сброс статуса выполнен") : QString();
}

QString Observer::messages()
{
    m_logger->info(QStringLiteral("Получение информации о сообщениях в очереди"));
    bool read = false;
    const QList<QJsonObject> list = dao()->getMessagesList(&read);
    if (!read)
        return QString();
    if (list.isEmpty())
        return QStringLiteral("В очереди нет сообщений");
    const QString line = QStringLiteral("%1%2\n");
    QStringList lines{line.arg(QStringLiteral("id").leftJustified(22), QStringLiteral("time"))};
    for (const QJsonObject& entry : list) {
        lines << line.arg(
            QString::number(entry.value(QLatin1String("messageid")).toInteger()).leftJustified(22),
            entry.value(QLatin1String("creationtime")).toString());
    }
    return lines.join(QLatin1Char('\n'));
}

QString Observer::message(int id)
{
    m_logger->info(QStringLiteral("Получение сообщения из очереди"));
    bool read = false;
    const QString text = dao()->getMessageById(id, &read);
    if (!read)
        return QString();
    if (text.isEmpty())
        return QStringLiteral("В очереди нет сообщения с id = %1").arg(id);
    return text;
}

QString Observer::deleteMessage(int id)
{
    m_logger->info(QStringLiteral("Удаление сообщения из очереди"));
    bool read = false;
    if (!dao()->hasMessage(id, &read))
        return read ? QStringLiteral("Сообщение не удалено") : QString();
    return dao()->deleteMessage(id) ? QStringLiteral("Сообщение удалено") : QString();
}

} // namespace taxvault
