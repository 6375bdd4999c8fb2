#include "probe/paramsparser.h"

#include "probe/accessdigest.h"
#include "probe/observer.h"

#include "storage/database.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QStringEncoder>

#include <utility>

namespace taxvault {

namespace {

const QString kUsage = QStringLiteral("Использование: vaultprobe <код доступа> [ОБЪЕКТ] [ПАРАМЕТР]\n"
                                      "  help                     вывод справочного сообщения\n"
                                      "  fiscalmemory             вывод всех записей из ФП\n"
                                      "        [номер смены]      вывод записи из ФП за указанную смену\n"
                                      "        [дата дд.мм.гггг]  вывод записей из ФП за указанную дату\n"
                                      "  shiftcounters            вывод счетчиков смены\n"
                                      "  protectedcounters        вывод необнуляемых счетчиков\n"
                                      "  token                    работа с токеном\n"
                                      "        <clean>            обнуление токена\n"
                                      "        <set> <token>      установка токена token\n"
                                      "  status                   работа со статусом сервиса\n"
                                      "        <clean>            сброс статуса\n"
                                      "  queue                    вывод информации об очереди сообщений\n"
                                      "  messages                 вывод списка сообщений в очереди\n"
                                      "  message                  работа с сообщением из очереди\n"
                                      "        [id]               вывод сообщения с указанным id\n"
                                      "        [id] <delete>      удаление сообщения с указанным id\n");

const QString kBadParams = QStringLiteral("Некорректные параметры");
const QString kNoParams = QStringLiteral("Отсутствуют параметры для выполнения");
const QString kHelp = QStringLiteral("Вывод справочного сообщения");
const QString kWrongCode = QStringLiteral("Неверный код доступа");

// The UTF-8 bytes printed for a text. A lone surrogate (a queued text may hold an escape of one)
// becomes U+FFFD, as a text stream writes it; QString::toUtf8 would make it "?".
QByteArray printed(const QString& text)
{
    QStringEncoder encoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    return encoder(text);
}

// An operation's empty text is its failure; the command then prints its own text.
ParamsResult fromOperation(const QString& text, const QString& failureText)
{
    if (text.isEmpty())
        return {1, printed(failureText)};
    return {0, printed(text)};
}

ParamsResult fromOperation(QByteArray&& utf8, const QString& failureText)
{
    if (utf8.isEmpty())
        return {1, printed(failureText)};
    return {0, std::move(utf8)};
}

Observer* observer()
{
    return Singleton<Observer>::instance();
}

} // namespace

ParamsParser::ParamsParser() : m_logger(Log4Qt::Logger::logger(QStringLiteral("paramsparser"))) {}

ParamsResult ParamsParser::usage(const QString& message)
{
    if (message.isEmpty())
        return {0, printed(kUsage)};
    return {1, printed(message + QLatin1Char('\n') + kUsage)};
}

bool ParamsParser::isAccessCode(const QString& code) const
{
    QString digest =
        QString::fromLatin1(QCryptographicHash::hash(code.toUtf8(), QCryptographicHash::Sha1).toHex());
    digest.remove(3, 2);
    return digest == storedAccessDigest();
}

bool ParamsParser::hasDeviceId() const
{
    return Singleton<Config>::instance()->getInt(QStringLiteral("KKM:deviceId"), 0) != 0;
}

// Without its device id the service does not start, so a repair of fr_0.db would
// change nothing the till uses; what an older service kept there may still be read.
ParamsResult ParamsParser::repair(const std::function<QString()>& operation, const QString& failureText)
{
    if (!hasDeviceId()) {
        const QString refusal =
            QStringLiteral("KKM:deviceId не задан или равен 0: база данных %1 не исправлена")
                .arg(QDir::cleanPath(Database::dbFilePath()));
        m_logger->error(refusal);
        return {1, printed(refusal)};
    }
    return fromOperation(operation(), failureText);
}

ParamsResult ParamsParser::unparsable()
{
    m_logger->warn(QStringLiteral("Не удалось разобрать полученные параметры"));
    return usage(kBadParams);
}

ParamsResult ParamsParser::execute(const QStringList& args)
{
    if (args.isEmpty()) {
        m_logger->warn(kNoParams);
        return usage(kBadParams);
    }
    if (args.first() == QLatin1String("help")) {
        m_logger->info(kHelp);
        return usage(QString());
    }
    // Nothing below may touch the database before the code has been checked.
    if (!isAccessCode(args.first())) {
        m_logger->error(kWrongCode);
        return usage(kWrongCode);
    }
    m_logger->info(QStringLiteral("Введен верный код доступа"));

    const QStringList words = args.mid(1);
    if (words.isEmpty()) {
        m_logger->warn(kNoParams);
        return usage(kBadParams);
    }

    const QString& command = words.first();
    if (command == QLatin1String("help")) {
        m_logger->info(kHelp);
        return usage(QString());
    }
    if (!hasDeviceId())
        m_logger->warn(QStringLiteral("KKM:deviceId не задан или равен 0, используется база данных %1")
                           .arg(QDir::cleanPath(Database::dbFilePath())));
    if (command == QLatin1String("protectedcounters"))
        return fromOperation(observer()->protectedCounters(),
                             QStringLiteral("Не удалось получить необнуляемые счетчики"));
    if (command == QLatin1String("shiftcounters"))
        return fromOperation(observer()->shiftCounters(),
                             QStringLiteral("Не удалось получить счетчики смены"));
    if (command == QLatin1String("fiscalmemory")) {
        const QString unreadable = QStringLiteral("Не удалось получить счетчики из фискальной памяти");
        if (words.size() < 2)
            return fromOperation(observer()->fiscalMemory(), unreadable);
        const QDate day = QDate::fromString(words.at(1), QStringLiteral("d.M.yyyy"));
        if (day.isValid())
            return fromOperation(observer()->fiscalMemory(day), unreadable);
        bool isNumber = false;
        const int shiftNumber = words.at(1).toInt(&isNumber, 10);
        if (!isNumber)
            return usage(QStringLiteral("Некорректные параметры команды fiscalmemory"));
        return fromOperation(
            observer()->fiscalMemory(shiftNumber),
            QStringLiteral("Не удалось получить счетчики из фискальной памяти по номеру смены"));
    }
    if (command == QLatin1String("token")) {
        if (words.size() < 2)
            return usage(QStringLiteral("Некорректные параметры команды token"));
        if (words.at(1) == QLatin1String("clean"))
            return repair([] { return observer()->resetToken(); }, QStringLiteral("Не удалось обнулить токен"));
        if (words.at(1) == QLatin1String("set") && words.size() == 3)
            return repair([&words] { return observer()->setToken(words.at(2)); },
                          QStringLiteral("Не удалось установить токен"));
        return unparsable();
    }
    if (command == QLatin1String("status")) {
        if (words.size() < 2)
            return usage(QStringLiteral("Некорректные параметры команды status"));
        if (words.at(1) == QLatin1String("clean"))
            return repair([] { return observer()->resetStatus(); }, QStringLiteral("Не удалось сбросить статус"));
        return unparsable();
    }
    if (command == QLatin1String("queue"))
        return fromOperation(observer()->queueInfo(),
                             QStringLiteral("Не удалось получить информацию о сообщениях в очереди"));
    if (command == QLatin1String("messages"))
        return fromOperation(observer()->messages(),
                             QStringLiteral("Не удалось получить сообщения из очереди"));
    if (command == QLatin1String("message")) {
        const QString badMessage = QStringLiteral("Некорректные параметры команды message");
        bool isNumber = false;
        const int id = words.size() < 2 ? 0 : words.at(1).toInt(&isNumber, 10);
        if (!isNumber)
            return usage(badMessage);
        if (words.size() == 2)
            return fromOperation(observer()->message(id),
                                 QStringLiteral("Не удалось получить сообщение из очереди"));
        if (words.at(2) == QLatin1String("delete"))
            return repair([id] { return observer()->deleteMessage(id); }, QStringLiteral("Сообщение не удалено"));
        return usage(badMessage);
    }
    return unparsable();
}

} // namespace taxvault
