#include "service/commandprocessor.h"
#include "service/configkeys.h"
#include "storage/dao.h"
#include "storage/database.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"
#include "log4qt/logmanager.h"
#include "sqlcipher/sqlcipherdriver.h"
#include "utility/localzone.h"
#include "utility/paths.h"
#include "utility/signalhandler.h"
#include "utility/systemdnotify.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTextCodec>

int main(int argc, char** argv)
{
    signalhandler::ignoreFileSizeLimitSignal();
    signalhandler::initFatalSignalHandlers();
    localzone::readOnce();
    // Qt's own event loop: the GLib one wakes itself through an eventfd each time
    // a socket notifier comes or goes, several times for every exchange.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("taxvault"));
    QCoreApplication::setOrganizationName(QStringLiteral("Korvan"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, paths::confDir());

    Log4Qt::LogManager::setHandleQtMessages(true);
    Log4Qt::Logger* logger = Log4Qt::Logger::logger(QStringLiteral("main"));
    logger->info(QStringLiteral("Запуск сервиса Таксволт"));

    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    Config* config = Singleton<Config>::instance();
    const QString configFile = paths::configFile();
    config->setKnownKeys(taxvault::serviceConfigKeys());
    // On defaults the till would keep receipts under device id 0, in a database
    // that the configured service never opens again.
    if (!config->setConfigsPathList(QList<QDir>(), QList<QString>{configFile})) {
        logger->error(QFileInfo::exists(configFile)
                          ? QStringLiteral("Не удалось прочитать файл конфигурации %1").arg(configFile)
                          : QStringLiteral("Не найден файл конфигурации %1").arg(configFile));
        return 1;
    }
    const int deviceId = config->getInt(QStringLiteral("KKM:deviceId"), 0);
    // Receipts taken as device 0 reach the operator under no till's id and stay in
    // a database that the configured service never opens.
    if (deviceId == 0) {
        logger->error(QStringLiteral("KKM:deviceId не задан или равен 0 в файле конфигурации %1: "
                                     "сервис не запущен")
                          .arg(configFile));
        return 1;
    }
    const QString databaseFile = QDir::cleanPath(taxvault::Database::dbFilePath());
    const int servicePort = config->getInt(QStringLiteral("Connection:servicePort"), 55555);
    logger->info(
        QStringLiteral("Файл конфигурации: %1, KKM:deviceId: %2, база данных: %3, сервер ОФД: %4:%5, "
                       "порт HTTP: %6")
            .arg(configFile, QString::number(deviceId), databaseFile,
                 config->getString(QStringLiteral("Connection:host"), QStringLiteral("127.0.0.1")),
                 QString::number(config->getInt(QStringLiteral("Connection:port"), 0)),
                 QString::number(servicePort)));

    registerSqlCipherDriver();
    {
        taxvault::Database database;
        if (!database.init())
            return 1;
    }

    int exitCode = 0;
    {
        taxvault::CommandProcessor processor(servicePort);
        // Without the port the point-of-sale program cannot reach the service; the
        // server has logged why.
        if (!processor.isListening())
            return 1;
        processor.start();
        signalhandler::initSignalHandlers();
        logger->info(QStringLiteral("Таксволт запущен"));
        systemdnotify::ready();
        exitCode = QCoreApplication::exec();
        systemdnotify::stopping();
    }
    // The workers have ended with the processor. Closing the last connection
    // moves the write-ahead log into the database file, so the file alone is
    // a whole copy once the service has stopped.
    Singleton<taxvault::Dao>::instance()->close();
    return exitCode;
}
