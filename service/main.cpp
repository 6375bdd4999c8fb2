#include "service/commandprocessor.h"
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

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTextCodec>

int main(int argc, char** argv)
{
    signalhandler::ignoreFileSizeLimitSignal();
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
    Singleton<Config>::instance()->setConfigsPathList(QList<QDir>(), QList<QString>{paths::configFile()});

    registerSqlCipherDriver();
    {
        taxvault::Database database;
        if (!database.init())
            return 1;
    }

    int exitCode = 0;
    {
        taxvault::CommandProcessor processor(
            Singleton<Config>::instance()->getInt(QStringLiteral("Connection:servicePort"), 55555));
        // Without the port the point-of-sale program cannot reach the service; the
        // server has logged why.
        if (!processor.isListening())
            return 1;
        processor.start();
        signalhandler::initSignalHandlers();
        logger->info(QStringLiteral("Таксволт запущен"));
        exitCode = QCoreApplication::exec();
    }
    // The workers have ended with the processor. Closing the last connection
    // moves the write-ahead log into the database file, so the file alone is
    // a whole copy once the service has stopped.
    Singleton<taxvault::Dao>::instance()->close();
    return exitCode;
}
