#include "probe/paramsparser.h"
#include "storage/dao.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"
#include "log4qt/logmanager.h"
#include "sqlcipher/sqlcipherdriver.h"
#include "utility/localzone.h"
#include "utility/paths.h"
#include "utility/signalhandler.h"

#include <QCoreApplication>
#include <QSettings>
#include <QSqlDatabase>
#include <QTextCodec>

#include <cstdio>

namespace {

// The first argument is the access code (unless it is "help"): it must not reach the log.
QString loggedArguments(QStringList args)
{
    if (!args.isEmpty() && args.first() != QLatin1String("help"))
        args.first() = QStringLiteral("********");
    return args.join(QLatin1Char(' '));
}

} // namespace

int main(int argc, char* argv[])
{
    signalhandler::ignoreFileSizeLimitSignal();
    localzone::readOnce();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vaultprobe"));
    QCoreApplication::setOrganizationName(QStringLiteral("Korvan"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, paths::confDir());
    Log4Qt::LogManager::setHandleQtMessages(true);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    Log4Qt::Logger* logger = Log4Qt::Logger::logger(QStringLiteral("main"));

    Singleton<Config>::instance()->setConfigsPathList({}, {paths::configFile()});
    registerSqlCipherDriver();

    QStringList args = QCoreApplication::arguments();
    args.removeFirst();

    const QString parameters = args.isEmpty()
                                   ? QStringLiteral("без параметров")
                                   : QStringLiteral("с параметрами: %1").arg(loggedArguments(args));
    logger->info(QStringLiteral("Запуск утилиты управления фискальной памятью %1").arg(parameters));

    taxvault::ParamsParser parser;
    const taxvault::ParamsResult result = parser.execute(args);
    // Whatever the command wrote is moved from the write-ahead log into the
    // file when no service holds it open.
    if (QSqlDatabase::contains(QLatin1String(QSqlDatabase::defaultConnection)))
        Singleton<taxvault::Dao>::instance()->close();
    // The text may be the whole fiscal memory: not copied for a line that is not written.
    if (logger->isEnabledFor(Log4Qt::Level::Debug))
        logger->debug(QStringLiteral("Команда выполнена с кодом %1:\n%2")
                          .arg(QString::number(result.code), QString::fromUtf8(result.text)));

    // One write: the text may be megabytes long.
    std::fwrite(result.text.constData(), 1, size_t(result.text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return result.code;
}
