// Built three times: without the driver, over a file under another passphrase,
// and over a file that does not exist. Each operation must give its failure
// value, log an error text for it, and never the passphrase.
#include "storagetestsupport.h"

#include "storage/dao.h"
#include "storage/database.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>

using namespace storagetest;
using taxvault::CountersRecord;
using taxvault::Dao;

namespace {

class UnavailableDaoTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ensureRoot();
        useDevice(9);
#ifdef TV_WRONG_KEY
        RawDatabase other(taxvault::Database::dbFilePath(), "another1");
        ASSERT_TRUE(
            other.exec(QStringLiteral("CREATE TABLE messages (messageid INTEGER PRIMARY KEY, data JSON);"
                                      "CREATE TABLE servicedata (name, data);")));
#endif
    }
};

TEST_F(UnavailableDaoTest, EveryOperationGivesItsFailureValue)
{
    Dao* dao = Dao::instance();
    // The statement's own report, which no caller repeats.
    const QString queryFailed = QStringLiteral("Ошибка выполнения запроса: .+\\. Запрос: (SELECT|INSERT|UPDATE) .+");
    const struct
    {
        const char* name;
        std::function<bool()> failed;
        QString ownError; // its own error line (queryFailed: a pattern), beside those of the query it ran
    } cases[] = {
        {"saveMessage",
         [dao] {
             return !dao->saveMessage(QJsonObject{{QStringLiteral("command"), 1}});
         },
         QStringLiteral("Не удалось сохранить сообщение в очередь. Сообщение: \n{\"command\":1}")},
        {"getFirstMessage", [dao] { return dao->getFirstMessage().isEmpty(); }, queryFailed},
        {"deleteMessage", [dao] { return !dao->deleteMessage(1); },
         QStringLiteral("Не удалось удалить сообщение")},
        {"setServiceStatus", [dao] { return !dao->setServiceStatus(2); },
         QStringLiteral("Не удалось записать статус сервиса")},
        {"getServiceStatus", [dao] { return dao->getServiceStatus() == 0; }},
        {"saveServiceData",
         [dao] {
             return !dao->saveServiceData(QStringLiteral("transportdata"), {{QStringLiteral("token"), 1}});
         },
         QStringLiteral("Не удалось сохранить служебные данные. Данные: \n{\"token\":1}")},
        {"getServiceData", [dao] { return dao->getServiceData(QStringLiteral("transportdata")).isEmpty(); },
         queryFailed},
        {"getProtectedCounters",
         [dao] {
             const CountersRecord record = dao->getProtectedCounters();
             return record.isNull() && record.isUnreadable();
         }},
        {"getShiftCounters",
         [dao] {
             const CountersRecord record = dao->getShiftCounters();
             return record.isNull() && record.isUnreadable();
         }},
        {"readServiceData", [dao] { return !dao->readServiceData(QStringLiteral("servicerequest")); },
         queryFailed},
        {"getMessagesCount", [dao] { return dao->getMessagesCount() == -1; },
         QStringLiteral("Не удалось получить информацию о количестве записей в очереди")},
        {"getFirstMessageTime", [dao] { return !dao->getFirstMessageTime().isValid(); },
         QStringLiteral("Не удалось получить информацию о дате и времени первого сообщения в очереди")},
        {"getFiscalMemory()", [dao] { return dao->getFiscalMemory().isEmpty(); },
         QStringLiteral("Не удалось получить счетчики из фискальной памяти")},
        {"getFiscalMemory(QDate)", [dao] { return dao->getFiscalMemory(QDate::currentDate()).isEmpty(); },
         QStringLiteral("Не удалось получить счетчики из фискальной памяти")},
        // The readers whose empty result also means "nothing stored" say that they did not read.
        {"readFiscalMemoryTexts",
         [dao] {
             int rows = 0;
             return !dao->readFiscalMemoryTexts(std::nullopt, [&rows](const QDateTime&, int, QByteArrayView) {
                 ++rows;
             }) && rows == 0;
         },
         QStringLiteral("Не удалось получить счетчики из фискальной памяти")},
        {"getFiscalMemory(int)", [dao] { return dao->getFiscalMemory(1).isNull(); }},
        {"resetToken", [dao] { return !dao->resetToken(); }, queryFailed},
        {"setToken", [dao] { return !dao->setToken(5); },
         QStringLiteral("Не удалось сохранить служебные данные. Данные: \n{\"token\":5}")},
        {"getMessagesList", [dao] { return dao->getMessagesList().isEmpty() && !dao->readMessagesList(); }},
        {"getMessageById", [dao] { return dao->getMessageById(1).isEmpty() && !dao->readMessageById(1); },
         queryFailed},
        {"hasMessage", [dao] { return !dao->hasMessage(1) && !dao->readHasMessage(1); },
         queryFailed},
        {"isServiceDataAccessible", [dao] { return !dao->isServiceDataAccessible(); }, queryFailed},
        {"isMessageQueueAccessible", [dao] { return !dao->isMessageQueueAccessible(); }, queryFailed},
        {"updateShiftCounters",
         [dao] {
             return !dao->updateShiftCounters(CountersRecord(QJsonObject{{QStringLiteral("CHANGE"), 1}}));
         }},
        {"updateProtectedCounters", [dao] { return !dao->updateProtectedCounters(); }},
        {"saveShiftCountersToFiscalMemory", [dao] { return !dao->saveShiftCountersToFiscalMemory(1); },
         QStringLiteral("Не удалось записать счетчики смены в фискальную память")},
        {"clearShiftCounters", [dao] { return !dao->clearShiftCounters(); },
         QStringLiteral("Не удалось очистить таблицу счетчиков смены")},
        {"trimFiscalMemory", [dao] { return !dao->trimFiscalMemory(0); },
         QStringLiteral("Не удалось получить информацию о количестве записей в фискальной памяти")},
        {"transaction", [dao] { return !Dao::Transaction(*dao).isOpen(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture;
        EXPECT_TRUE(c.failed());
        const QString log = capture.text();
        // Every failure names its cause.
        const QRegularExpression errorLine(QStringLiteral("ERROR \\[[0-9a-f]+\\] dao - (.*)$"),
                                           QRegularExpression::MultilineOption);
        auto lines = errorLine.globalMatch(log);
        ASSERT_TRUE(lines.hasNext()) << log.toStdString();
        while (lines.hasNext())
            EXPECT_FALSE(lines.next().captured(1).trimmed().isEmpty()) << log.toStdString();
        if (!c.ownError.isEmpty()) {
            // The message's further line is written as a continuation.
            const QString written = QString(c.ownError).replace(u'\n', QStringLiteral("\n    "));
            const QString pattern = c.ownError == queryFailed ? queryFailed : QRegularExpression::escape(written);
            const QRegularExpression own(QStringLiteral("ERROR \\[[0-9a-f]+\\] dao - %1$").arg(pattern),
                                         QRegularExpression::MultilineOption);
            EXPECT_TRUE(own.match(log).hasMatch()) << log.toStdString();
        }
        EXPECT_FALSE(log.contains(QStringLiteral("Rq8&uLx2")));
        EXPECT_FALSE(log.contains(QStringLiteral("PRAGMA key")));
    }
#ifdef TV_MISSING_FILE
    EXPECT_FALSE(QFileInfo::exists(taxvault::Database::dbFilePath()));
#endif
}

} // namespace

#ifdef TV_NO_DRIVER
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
#endif
