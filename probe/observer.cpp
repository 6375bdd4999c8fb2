#include "probe/observer.h"
#include "probe/indentedcounters.h"

#include "storage/countersrecord.h"
#include "storage/dao.h"

#include "log4qt/logger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <charconv>

namespace taxvault {

namespace {

QString indented(const CountersRecord& record)
{
    return record.toJsonText(QJsonDocument::Indented);
}

// "Смена N, dd.MM.yyyy:\n" followed by the head of a record's block.
void appendRecordHead(QString& text, int shiftNumber, const QDateTime& created, const QString& dateFormat)
{
    text += QStringLiteral("Смена ");
    text += QString::number(shiftNumber);
    text += QStringLiteral(", ");
    text += created.date().toString(dateFormat);
    text += QStringLiteral(":\n");
}

char* writeDigits(char* out, int value, int count)
{
    for (int i = count - 1; i >= 0; --i, value /= 10)
        out[i] = char('0' + value % 10);
    return out + count;
}

// The same head as UTF-8 bytes, put together before it is appended; the date
// as "dd.MM.yyyy" writes it.
void appendRecordHead(QByteArray& text, int shiftNumber, const QDateTime& created, const QString& dateFormat)
{
    static constexpr char kShift[] = "Смена ";
    char head[64];
    char* end = std::copy(kShift, kShift + sizeof(kShift) - 1, head);
    end = std::to_chars(end, head + sizeof(head), shiftNumber).ptr;
    *end++ = ',';
    *end++ = ' ';
    const QDate date = created.date();
    if (date.isValid() && date.year() >= 1000 && date.year() <= 9999) {
        end = writeDigits(end, date.day(), 2);
        *end++ = '.';
        end = writeDigits(end, date.month(), 2);
        *end++ = '.';
        end = writeDigits(end, date.year(), 4);
    } else {
        text.append(head, end - head);
        text.append(date.toString(dateFormat).toUtf8());
        end = head;
    }
    *end++ = ':';
    *end++ = '\n';
    text.append(head, end - head);
}

// The stored text printed as the document the data-access object reads from it.
void appendDocument(QByteArray& text, QByteArrayView stored)
{
    if (appendIndentedCounters(text, stored))
        return;
    // As the text of the stored row was read before: invalid UTF-8 replaced.
    const QByteArray read = QString::fromUtf8(stored).toUtf8();
    text.append(indented(CountersRecord(QJsonDocument::fromJson(read).object())).toUtf8());
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

QByteArray Observer::fiscalMemory()
{
    m_logger->info(QStringLiteral("Получение всех счетчиков из фискальной памяти"));
    return recordBlocks(std::nullopt, QStringLiteral("В фискальной памяти нет записей"));
}

QByteArray Observer::fiscalMemory(QDate day)
{
    const QString dayText = day.toString(m_dateFormat);
    m_logger->info(QStringLiteral("Получение счетчиков из фискальной памяти за %1").arg(dayText));
    return recordBlocks(day, QStringLiteral("В фискальной памяти нет записей за %1").arg(dayText));
}

QByteArray Observer::recordBlocks(const std::optional<QDate>& day, const QString& noRecords)
{
    // Each record goes straight from its row into the text: a full fiscal
    // memory is never held as documents as well.
    QByteArray text;
    const bool read = dao()->readFiscalMemoryTexts(
        day, [this, &text](const QDateTime& created, int shiftNumber, QByteArrayView stored) {
            appendRecordHead(text, shiftNumber, created, m_dateFormat);
            appendDocument(text, stored);
            text.append('\n');
        });
    if (!read)
        return QByteArray();
    return text.isEmpty() ? noRecords.toUtf8() : text;
}

QString Observer::fiscalMemory(int shiftNumber)
{
    m_logger->info(QStringLiteral("Получение счетчиков из фискальной памяти за смену %1").arg(shiftNumber));
    const CountersRecord record = dao()->getFiscalMemory(shiftNumber);
    if (record.isNull())
        return QString();
    QString text;
    appendRecordHead(text, shiftNumber, record.creationTime(), m_dateFormat);
    text += indented(record);
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
    const std::optional<QList<QJsonObject>> list = dao()->readMessagesList();
    if (!list)
        return QString();
    if (list->isEmpty())
        return QStringLiteral("В очереди нет сообщений");
    const QString line = QStringLiteral("%1%2\n");
    QStringList lines{line.arg(QStringLiteral("id").leftJustified(22), QStringLiteral("time"))};
    for (const QJsonObject& entry : *list) {
        lines << line.arg(
            QString::number(entry.value(QLatin1String("messageid")).toInteger()).leftJustified(22),
            entry.value(QLatin1String("creationtime")).toString());
    }
    return lines.join(QLatin1Char('\n'));
}

QString Observer::message(int id)
{
    m_logger->info(QStringLiteral("Получение сообщения из очереди"));
    const std::optional<QString> text = dao()->readMessageById(id);
    if (!text)
        return QString();
    if (text->isEmpty())
        return QStringLiteral("В очереди нет сообщения с id = %1").arg(id);
    return *text;
}

QString Observer::deleteMessage(int id)
{
    m_logger->info(QStringLiteral("Удаление сообщения из очереди"));
    const std::optional<bool> queued = dao()->readHasMessage(id);
    if (!queued)
        return QString();
    if (!*queued)
        return QStringLiteral("Сообщение не удалено");
    return dao()->deleteMessage(id) ? QStringLiteral("Сообщение удалено") : QString();
}

} // namespace taxvault
