#include "probetestsetup.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString kCode = QStringLiteral(PROBE_TEST_CODE);

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

// The data-access object's line when it opens its connection.
const QString kOpensDatabase = QStringLiteral("Открываем базу данных");
const QString kUnparsable = QStringLiteral("Не удалось разобрать полученные параметры");

const QString kShift14 = QStringLiteral("{\n"
                                        "    \"CHANGE\": 50,\n"
                                        "    \"OPERATION_SELL\": {\n"
                                        "        \"PAYMENT_CARD\": 830.5,\n"
                                        "        \"PAYMENT_CASH\": 1200\n"
                                        "    }\n"
                                        "}\n");
const QString kShift15 = QStringLiteral("{\n"
                                        "    \"CHANGE\": 0,\n"
                                        "    \"MONEY_PLACEMENT_DEPOSIT\": 5000,\n"
                                        "    \"OPERATION_SELL\": {\n"
                                        "        \"PAYMENT_CASH\": 400\n"
                                        "    },\n"
                                        "    \"OPERATION_SELL_RETURN\": {\n"
                                        "        \"PAYMENT_CASH\": 150\n"
                                        "    }\n"
                                        "}\n");
const QString kBlock14 = QStringLiteral("Смена 14, 06.03.2024:\n") + kShift14 + QLatin1Char('\n');
const QString kBlock15 = QStringLiteral("Смена 15, 07.03.2024:\n") + kShift15 + QLatin1Char('\n');

struct ProbeRun
{
    int exitCode = -1;
    QString out;
    QString log;
};

ProbeRun runProgram(const QString& program, const QStringList& args, const QString& root)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TAXVAULT_ROOT"), root);
    env.insert(QStringLiteral("TAXVAULT_LOG_LEVEL"), QStringLiteral("trace"));
    process.setProcessEnvironment(env);
    process.start(program, args);
    ProbeRun run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        run.log = QStringLiteral("did not finish normally");
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.log = QString::fromUtf8(process.readAllStandardError());
    return run;
}

struct Case
{
    QStringList words;
    QString out;
    int exitCode;
};

std::string describe(const QStringList& words)
{
    return words.join(QLatin1Char(' ')).toStdString();
}

// A database that was read and holds nothing.
QList<Case> nothingStoredCases()
{
    return {
        {{QStringLiteral("protectedcounters")},
         QStringLiteral("Не удалось получить необнуляемые счетчики\n"),
         1},
        {{QStringLiteral("shiftcounters")}, QStringLiteral("Не удалось получить счетчики смены\n"), 1},
        {{QStringLiteral("fiscalmemory")}, QStringLiteral("В фискальной памяти нет записей\n"), 0},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("15")},
         QStringLiteral("Не удалось получить счетчики из фискальной памяти по номеру смены\n"),
         1},
        {{QStringLiteral("messages")}, QStringLiteral("В очереди нет сообщений\n"), 0},
        {{QStringLiteral("message"), QStringLiteral("1")},
         QStringLiteral("В очереди нет сообщения с id = 1\n"),
         0},
        {{QStringLiteral("message"), QStringLiteral("1"), QStringLiteral("delete")},
         QStringLiteral("Сообщение не удалено\n"),
         0},
        {{QStringLiteral("token"), QStringLiteral("clean")},
         QStringLiteral("Не удалось обнулить токен\n"),
         1},
    };
}

// A database that cannot be opened or read: every command says so and ends with 1,
// so that nothing unread passes for an empty queue or fiscal memory.
QList<Case> unreadableCases()
{
    return {
        {{QStringLiteral("protectedcounters")},
         QStringLiteral("Не удалось получить необнуляемые счетчики\n"),
         1},
        {{QStringLiteral("shiftcounters")}, QStringLiteral("Не удалось получить счетчики смены\n"), 1},
        {{QStringLiteral("fiscalmemory")},
         QStringLiteral("Не удалось получить счетчики из фискальной памяти\n"),
         1},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("7.3.2024")},
         QStringLiteral("Не удалось получить счетчики из фискальной памяти\n"),
         1},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("15")},
         QStringLiteral("Не удалось получить счетчики из фискальной памяти по номеру смены\n"),
         1},
        {{QStringLiteral("queue")},
         QStringLiteral("Не удалось получить информацию о сообщениях в очереди\n"),
         1},
        {{QStringLiteral("messages")}, QStringLiteral("Не удалось получить сообщения из очереди\n"), 1},
        {{QStringLiteral("message"), QStringLiteral("1")},
         QStringLiteral("Не удалось получить сообщение из очереди\n"),
         1},
        {{QStringLiteral("message"), QStringLiteral("1"), QStringLiteral("delete")},
         QStringLiteral("Сообщение не удалено\n"),
         1},
        {{QStringLiteral("token"), QStringLiteral("clean")},
         QStringLiteral("Не удалось обнулить токен\n"),
         1},
        {{QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("5")},
         QStringLiteral("Не удалось установить токен\n"),
         1},
        {{QStringLiteral("status"), QStringLiteral("clean")},
         QStringLiteral("Не удалось сбросить статус\n"),
         1},
    };
}

// One device's workstation in a temporary directory: the configuration file and the
// data directory; the database file is made by the fixture program when asked for.
class ProbeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        ASSERT_TRUE(QDir().mkpath(root() + QStringLiteral("/tillbase/cash/conf")));
        ASSERT_TRUE(QDir().mkpath(dataDir()));
        QFile ini(root() + QStringLiteral("/tillbase/cash/conf/taxvault.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[KKM]\ndeviceId=17\n");
    }

    QString root() const { return m_root.path(); }
    QString dataDir() const { return root() + QStringLiteral("/tillbase/cash/data/taxvault"); }
    QString dbFile() const { return dataDir() + QStringLiteral("/fr_17.db"); }

    void prepare(const QString& mode)
    {
        const ProbeRun run = runProgram(QStringLiteral(PROBE_FIXTURE_BINARY), {mode}, root());
        ASSERT_EQ(run.exitCode, 0) << run.log.toStdString();
        ASSERT_TRUE(QFile::exists(dbFile()));
    }

    QJsonObject state()
    {
        const ProbeRun run =
            runProgram(QStringLiteral(PROBE_FIXTURE_BINARY), {QStringLiteral("state")}, root());
        EXPECT_EQ(run.exitCode, 0) << run.log.toStdString();
        return QJsonDocument::fromJson(run.out.toUtf8()).object();
    }

    QByteArray dbDigest() const
    {
        QFile file(dbFile());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1);
    }

    QStringList filesUnderRoot() const
    {
        QStringList files;
        QDirIterator it(root(), QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next();
        files.sort();
        return files;
    }

    ProbeRun probe(const QStringList& args, const QString& binary = QStringLiteral(PROBE_TEST_BINARY)) const
    {
        return runProgram(binary, args, root());
    }

    // The command words after the test build's access code.
    ProbeRun command(const QStringList& words) const { return probe(QStringList{kCode} + words); }

    // Each command in turn, with its output and exit code.
    void expectAnswers(const QList<Case>& cases) const
    {
        for (const Case& c : cases) {
            const ProbeRun run = command(c.words);
            EXPECT_EQ(run.out, c.out) << describe(c.words) << "\n" << run.log.toStdString();
            EXPECT_EQ(run.exitCode, c.exitCode) << describe(c.words);
        }
    }

private:
    QTemporaryDir m_root;
};

// ---- usage and help ----------------------------------------------------------------

TEST_F(ProbeTest, HelpAndMissingParametersPrintTheUsageWithoutTouchingTheDatabase)
{
    // No database at all: help must still work, and nothing may open one.
    const QList<Case> cases = {
        {{}, QStringLiteral("Некорректные параметры\n") + kUsage + QLatin1Char('\n'), 1},
        {{QStringLiteral("help")}, kUsage + QLatin1Char('\n'), 0},
        {{QStringLiteral("help"), QStringLiteral("queue"), QStringLiteral("x")},
         kUsage + QLatin1Char('\n'),
         0},
        {{kCode, QStringLiteral("help")}, kUsage + QLatin1Char('\n'), 0},
        {{kCode, QStringLiteral("help"), QStringLiteral("fiscalmemory")}, kUsage + QLatin1Char('\n'), 0},
        {{kCode}, QStringLiteral("Некорректные параметры\n") + kUsage + QLatin1Char('\n'), 1},
    };
    const QStringList before = filesUnderRoot();
    for (const Case& c : cases) {
        const ProbeRun run = probe(c.words);
        EXPECT_EQ(run.out, c.out) << describe(c.words);
        EXPECT_EQ(run.exitCode, c.exitCode) << describe(c.words);
        EXPECT_FALSE(run.log.contains(kOpensDatabase)) << describe(c.words);
    }
    EXPECT_EQ(filesUnderRoot(), before);
}

// ---- access code ---------------------------------------------------------------------

TEST_F(ProbeTest, WrongAccessCodeNeverOpensTheDatabase)
{
    prepare(QStringLiteral("realistic"));
    const QByteArray before = dbDigest();
    const QStringList wrongCodes = {
        QStringLiteral("HELP"),
        kCode.toUpper(),
        kCode + QLatin1Char(' '),
        kCode.chopped(1),
        QString(),
        // The stored form itself is no code.
        QStringLiteral("7c41a09e2bd85f3361e0c7a94db2f816c05e39"),
    };
    for (const QString& code : wrongCodes) {
        for (const QStringList& words :
             {QStringList{QStringLiteral("queue")},
              QStringList{QStringLiteral("message"), QStringLiteral("1"), QStringLiteral("delete")}}) {
            const ProbeRun run = probe(QStringList{code} + words);
            EXPECT_EQ(run.out, QStringLiteral("Неверный код доступа\n") + kUsage + QLatin1Char('\n'))
                << code.toStdString();
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(run.log.contains(QStringLiteral("ERROR")) &&
                        run.log.contains(QStringLiteral("Неверный код доступа")));
            EXPECT_FALSE(run.log.contains(kOpensDatabase)) << code.toStdString();
        }
    }
    EXPECT_EQ(dbDigest(), before);
    EXPECT_EQ(state().value(QLatin1String("messages")).toArray().size(), 3);
}

TEST_F(ProbeTest, ShippedBuildDoesNotAcceptTheTestCode)
{
    prepare(QStringLiteral("realistic"));
    const ProbeRun run = probe({kCode, QStringLiteral("queue")}, QStringLiteral(PROBE_SHIPPED_BINARY));
    EXPECT_EQ(run.out, QStringLiteral("Неверный код доступа\n") + kUsage + QLatin1Char('\n'));
    EXPECT_EQ(run.exitCode, 1);
}

TEST_F(ProbeTest, StartLogLineMasksTheAccessCode)
{
    prepare(QStringLiteral("realistic"));
    const QString start = QStringLiteral("Запуск утилиты управления фискальной памятью ");
    const struct
    {
        QStringList args;
        QString logged;
    } cases[] = {
        {{kCode, QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("77")},
         QStringLiteral("с параметрами: ******** token set 77")},
        {{kCode + QStringLiteral("x"), QStringLiteral("queue")},
         QStringLiteral("с параметрами: ******** queue")},
        {{QStringLiteral("help")}, QStringLiteral("с параметрами: help")},
        {{}, QStringLiteral("без параметров")},
    };
    for (const auto& c : cases) {
        const ProbeRun run = probe(c.args);
        EXPECT_TRUE(run.log.contains(start + c.logged + QLatin1Char('\n'))) << describe(c.args) << "\n"
                                                                            << run.log.toStdString();
        EXPECT_FALSE(run.log.contains(kCode)) << describe(c.args);
    }
}

// ---- parameters that are refused ---------------------------------------------------

TEST_F(ProbeTest, BadParametersAreRefusedBeforeAnyDatabaseAccess)
{
    prepare(QStringLiteral("realistic"));
    const QByteArray before = dbDigest();
    const QString general = QStringLiteral("Некорректные параметры");
    const auto of = [](const char* command) {
        return QStringLiteral("Некорректные параметры команды ") + QLatin1String(command);
    };
    const struct
    {
        QStringList words;
        QString headline;
        bool loggedUnparsable;
    } cases[] = {
        {{QStringLiteral("QUEUE")}, general, true},
        {{QStringLiteral("Help")}, general, true},
        {{QStringLiteral("counters")}, general, true},
        {{QStringLiteral("token")}, of("token"), false},
        {{QStringLiteral("token"), QStringLiteral("set")}, general, true},
        {{QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("1"), QStringLiteral("2")},
         general,
         true},
        {{QStringLiteral("token"), QStringLiteral("reset")}, general, true},
        {{QStringLiteral("status")}, of("status"), false},
        {{QStringLiteral("status"), QStringLiteral("set")}, general, true},
        {{QStringLiteral("message")}, of("message"), false},
        {{QStringLiteral("message"), QStringLiteral("x")}, of("message"), false},
        {{QStringLiteral("message"), QStringLiteral("12"), QStringLiteral("remove")}, of("message"), false},
        {{QStringLiteral("message"), QStringLiteral("2147483648")}, of("message"), false},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("32.1.2024")}, of("fiscalmemory"), false},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("7.3.24")}, of("fiscalmemory"), false},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("2147483648")}, of("fiscalmemory"), false},
    };
    for (const auto& c : cases) {
        const ProbeRun run = command(c.words);
        EXPECT_EQ(run.out, c.headline + QLatin1Char('\n') + kUsage + QLatin1Char('\n')) << describe(c.words);
        EXPECT_EQ(run.exitCode, 1) << describe(c.words);
        EXPECT_EQ(run.log.contains(kUnparsable), c.loggedUnparsable) << describe(c.words);
        EXPECT_FALSE(run.log.contains(kOpensDatabase)) << describe(c.words);
    }
    EXPECT_EQ(dbDigest(), before);
}

// ---- reading -------------------------------------------------------------------------

TEST_F(ProbeTest, ReadCommandsPrintARealisticDatabase)
{
    prepare(QStringLiteral("realistic"));
    const QString nl = QStringLiteral("\n");
    const QList<Case> cases = {
        {{QStringLiteral("protectedcounters")},
         QStringLiteral("{\n"
                        "    \"CHANGE\": 50,\n"
                        "    \"MONEY_PLACEMENT_DEPOSIT\": 5000,\n"
                        "    \"OPERATION_SELL\": {\n"
                        "        \"PAYMENT_CARD\": 830.5,\n"
                        "        \"PAYMENT_CASH\": 1600\n"
                        "    },\n"
                        "    \"OPERATION_SELL_RETURN\": {\n"
                        "        \"PAYMENT_CASH\": 150\n"
                        "    }\n"
                        "}\n\n"),
         0},
        {{QStringLiteral("shiftcounters")},
         QStringLiteral("{\n"
                        "    \"CHANGE\": 20,\n"
                        "    \"OPERATION_BUY\": {\n"
                        "        \"PAYMENT_CASH\": 300\n"
                        "    },\n"
                        "    \"OPERATION_SELL\": {\n"
                        "        \"PAYMENT_MOBILE\": 99.9\n"
                        "    }\n"
                        "}\n\n"),
         0},
        {{QStringLiteral("fiscalmemory")}, kBlock14 + kBlock15 + nl, 0},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("07.03.2024")}, kBlock15 + nl, 0},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("7.3.2024"), QStringLiteral("x")}, kBlock15 + nl, 0},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("6.3.2024")}, kBlock14 + nl, 0},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("8.3.2024")},
         QStringLiteral("В фискальной памяти нет записей за 08.03.2024\n"),
         0},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("15")},
         QStringLiteral("Смена 15, 07.03.2024:\n") + kShift15 + nl,
         0},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("99")},
         QStringLiteral("Не удалось получить счетчики из фискальной памяти по номеру смены\n"),
         1},
        {{QStringLiteral("queue")},
         QStringLiteral("Сообщений в очереди      ") + QString(19, QLatin1Char(' ')) +
             QStringLiteral("3\nВремя первого сообщения   22:10:03 07.03.2024\n"),
         0},
        {{QStringLiteral("messages")},
         QStringLiteral("id                    time\n\n"
                        "1                     2024-03-07 22:10:03\n\n"
                        "2                     2024-03-07 22:15:30\n\n"
                        "3                     2024-03-08 08:01:15\n\n"),
         0},
        {{QStringLiteral("message"), QStringLiteral("1")},
         QStringLiteral(R"({"command":1,"request":{"offlineTicketNumber":1709838603,"total":1200}})"
                        "\n"),
         0},
        {{QStringLiteral("message"), QStringLiteral("2")},
         QStringLiteral(
             R"({"command":1,"request":{"items":[{"name":"Хлеб ржаной","price":45}],"offlineTicketNumber":1709838930}})"
             "\n"),
         0},
        {{QStringLiteral("message"), QStringLiteral("9")},
         QStringLiteral("В очереди нет сообщения с id = 9\n"),
         0},
    };
    expectAnswers(cases);
}

// Rows another writer stored, in forms the service never stores, print as the
// documents the data-access object reads from them, with what their times and
// shift numbers read as.
TEST_F(ProbeTest, FiscalMemoryRowsInOtherFormsPrintAsTheDocumentsReadFromThem)
{
    prepare(QStringLiteral("foreignrows"));
    const auto block = [](const QString& head, const QString& document) {
        return head + QStringLiteral(":\n") + document + QStringLiteral("\n\n");
    };
    const QString a1 = QStringLiteral("{\n    \"A\": 1\n}");
    const QString ofDay =
        block(QStringLiteral("Смена 1, 09.03.2024"),
              QStringLiteral("{\n    \"B\": {\n        \"C\": 2.5\n    },\n    \"А\": 1\n}")) +
        block(QStringLiteral("Смена 2, 09.03.2024"), QStringLiteral("{\n    \"Б\": 1.5\n}")) +
        block(QStringLiteral("Смена 3, 09.03.2024"),
              QStringLiteral("{\n    \"A\": 1,\n    \"B\": \"") + QChar(0xFFFD) + QStringLiteral("\"\n}")) +
        block(QStringLiteral("Смена 4, 09.03.2024"), a1) +
        block(QStringLiteral("Смена 5, 09.03.2024"), QStringLiteral("{\n}")) +
        block(QStringLiteral("Смена 6, 09.03.2024"), QStringLiteral("{\n}")) +
        block(QStringLiteral("Смена 7, 09.03.2024"),
              QStringLiteral("{\n    \"A\": 1,\n    \"B\": 1e+21,\n    \"C\": 0,\n    \"D\": 0.1\n}")) +
        block(QStringLiteral("Смена 8, 09.03.2024"), a1);
    const QString lastOfDay =
        block(QStringLiteral("Смена -5, 09.03.2024"),
              QStringLiteral("{\n    \"A\": 0.1,\n    \"B\": {\n        \"C\": {\n            \"D\": 1e-07\n"
                             "        }\n    },\n    \"E\": -3\n}"));
    const QString all = ofDay + block(QStringLiteral("Смена 9, 09.03.2024"), a1) +
                        block(QStringLiteral("Смена 0, "), QStringLiteral("{\n    \"A\": 2\n}")) +
                        block(QStringLiteral("Смена 3, "), QStringLiteral("{\n    \"A\": 3\n}")) +
                        block(QStringLiteral("Смена 0, 02.01.0999"), QStringLiteral("{\n    \"A\": 4\n}")) +
                        lastOfDay;
    expectAnswers({
        {{QStringLiteral("fiscalmemory")}, all + QLatin1Char('\n'), 0},
        // The ISO time is no time of that day for the selection, which compares texts.
        {{QStringLiteral("fiscalmemory"), QStringLiteral("9.3.2024")},
         ofDay + lastOfDay + QLatin1Char('\n'),
         0},
    });
}

// A record nested deeper than the service nests its counters prints in the listing as the tool
// prints that shift alone, and the records around it still print.
TEST_F(ProbeTest, DeeplyNestedRecordCostsOnlyItself)
{
    prepare(QStringLiteral("deeprows"));
    QString shifts;
    for (int shift = 1; shift <= 4; ++shift) {
        const ProbeRun alone = command({QStringLiteral("fiscalmemory"), QString::number(shift)});
        ASSERT_EQ(alone.exitCode, 0) << shift;
        shifts += alone.out;
    }
    EXPECT_EQ(command({QStringLiteral("fiscalmemory"), QStringLiteral("2")}).out,
              QStringLiteral("Смена 2, 09.03.2024:\n{\n}\n\n"));
    EXPECT_EQ(command({QStringLiteral("fiscalmemory"), QStringLiteral("3")}).out,
              QStringLiteral("Смена 3, 09.03.2024:\n{\n}\n\n"));
    expectAnswers({
        {{QStringLiteral("fiscalmemory")}, shifts + QLatin1Char('\n'), 0},
        {{QStringLiteral("fiscalmemory"), QStringLiteral("9.3.2024")}, shifts + QLatin1Char('\n'), 0},
    });
}

// An escape of a lone surrogate in a queued text prints as U+FFFD, wherever it stands; a pair of
// them prints as the one character they make.
TEST_F(ProbeTest, LoneSurrogatesInAMessagePrintAsReplacementCharacters)
{
    prepare(QStringLiteral("surrogates"));
    const QString replaced(QChar::ReplacementCharacter);
    expectAnswers({
        {{QStringLiteral("message"), QStringLiteral("1")},
         QStringLiteral(R"({"command":1,"request":{"operatorCashier":{"code":7,"name":")") + replaced +
             QStringLiteral("\"}}}\n"),
         0},
        {{QStringLiteral("message"), QStringLiteral("2")},
         QStringLiteral(R"({"command":1,"request":{"name":")") + replaced + QLatin1Char('x') + replaced +
             replaced + QStringLiteral("\"}}\n"),
         0},
        {{QStringLiteral("message"), QStringLiteral("3")},
         QStringLiteral(R"({"command":1,"request":{"name":"😀"}})") + QLatin1Char('\n'),
         0},
        {{QStringLiteral("message"), QStringLiteral("4")},
         QStringLiteral(R"({"name":"x"})") + replaced + QLatin1Char('\n'),
         0},
        {{QStringLiteral("message"), QStringLiteral("5")}, replaced + QLatin1Char('\n'), 0},
    });
}

TEST_F(ProbeTest, ReadCommandsOnAnEmptyDatabase)
{
    prepare(QStringLiteral("schema"));
    QList<Case> cases = nothingStoredCases();
    cases += QList<Case>{
        {{QStringLiteral("fiscalmemory"), QStringLiteral("7.3.2024")},
         QStringLiteral("В фискальной памяти нет записей за 07.03.2024\n"),
         0},
        {{QStringLiteral("queue")}, QStringLiteral("В очереди нет сообщений\n"), 0},
    };
    expectAnswers(cases);
}

TEST_F(ProbeTest, DamagedCountersPrintAsAnEmptyDocument)
{
    prepare(QStringLiteral("damaged"));
    const ProbeRun run = command({QStringLiteral("protectedcounters")});
    EXPECT_EQ(run.out, QStringLiteral("{\n}\n\n"));
    EXPECT_EQ(run.exitCode, 0);
}

// ---- repairs -------------------------------------------------------------------------

TEST_F(ProbeTest, TokenIsResetOrSetAsAnUnsigned32BitNumber)
{
    const QJsonObject stored{{QStringLiteral("packageNumber"), 42}, {QStringLiteral("token"), 305419896}};
    const struct
    {
        QStringList words;
        QString out;
        int exitCode;
        QJsonObject transportData;
    } cases[] = {
        {{QStringLiteral("token"), QStringLiteral("clean")},
         QStringLiteral("Обнуление токена выполнено\n"),
         0,
         {{QStringLiteral("packageNumber"), 42}}},
        {{QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("7")},
         QStringLiteral("Установка токена выполнена\n"),
         0,
         {{QStringLiteral("packageNumber"), 42}, {QStringLiteral("token"), 7}}},
        {{QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("3000000000")},
         QStringLiteral("Установка токена выполнена\n"),
         0,
         {{QStringLiteral("packageNumber"), 42}, {QStringLiteral("token"), -1294967296}}},
        {{QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("4294967295")},
         QStringLiteral("Установка токена выполнена\n"),
         0,
         {{QStringLiteral("packageNumber"), 42}, {QStringLiteral("token"), -1}}},
        {{QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("-5")},
         QStringLiteral("Не удалось установить токен\n"),
         1,
         stored},
        {{QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("12ab")},
         QStringLiteral("Не удалось установить токен\n"),
         1,
         stored},
        {{QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("4294967296")},
         QStringLiteral("Не удалось установить токен\n"),
         1,
         stored},
    };
    for (const auto& c : cases) {
        // The whole database: a log left beside a removed file keeps the service from starting.
        for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
            QFile::remove(dbFile() + suffix);
        prepare(QStringLiteral("realistic"));
        const ProbeRun run = command(c.words);
        EXPECT_EQ(run.out, c.out) << describe(c.words);
        EXPECT_EQ(run.exitCode, c.exitCode) << describe(c.words);
        EXPECT_EQ(run.log.contains(QStringLiteral("Токен должен быть беззнаковым целым")), c.exitCode != 0)
            << describe(c.words);
        EXPECT_EQ(state().value(QLatin1String("transportdata")).toObject(), c.transportData)
            << describe(c.words);
    }
}

TEST_F(ProbeTest, TokenIsSetWhereNoTransportDataWasStored)
{
    prepare(QStringLiteral("schema"));
    const ProbeRun run = command({QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("77")});
    EXPECT_EQ(run.out, QStringLiteral("Установка токена выполнена\n"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(state().value(QLatin1String("transportdata")).toObject(),
              QJsonObject({{QStringLiteral("token"), 77}}));
}

TEST_F(ProbeTest, StatusCleanStoresNormalOperation)
{
    prepare(QStringLiteral("realistic"));
    ASSERT_EQ(state().value(QLatin1String("status")).toInt(), 1);
    const ProbeRun run = command({QStringLiteral("status"), QStringLiteral("clean"), QStringLiteral("x")});
    EXPECT_EQ(run.out, QStringLiteral("Сброс статуса выполнен\n"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(state().value(QLatin1String("status")).toInt(), 0);
}

TEST_F(ProbeTest, DeletingAMessageRemovesThatRowOnly)
{
    prepare(QStringLiteral("realistic"));
    const struct
    {
        QString id;
        QString out;
        QJsonArray remaining;
    } steps[] = {
        {QStringLiteral("2"), QStringLiteral("Сообщение удалено\n"), {1, 3}},
        {QStringLiteral("2"), QStringLiteral("Сообщение не удалено\n"), {1, 3}},
        {QStringLiteral("7"), QStringLiteral("Сообщение не удалено\n"), {1, 3}},
        {QStringLiteral("1"), QStringLiteral("Сообщение удалено\n"), {3}},
    };
    for (const auto& step : steps) {
        const ProbeRun run =
            command({QStringLiteral("message"), step.id, QStringLiteral("delete"), QStringLiteral("extra")});
        EXPECT_EQ(run.out, step.out) << step.id.toStdString();
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(state().value(QLatin1String("messages")).toArray(), step.remaining)
            << step.id.toStdString();
    }
    EXPECT_EQ(command({QStringLiteral("queue")}).out,
              QStringLiteral("Сообщений в очереди      ") + QString(19, QLatin1Char(' ')) +
                  QStringLiteral("1\nВремя первого сообщения   08:01:15 08.03.2024\n"));
}

// ---- a till without its device id ------------------------------------------------------

TEST_F(ProbeTest, WithoutADeviceIdDocumentsKeptAsDevice0AreReadButNotRepaired)
{
    prepare(QStringLiteral("realistic"));
    const QList<QStringList> reads = {
        {QStringLiteral("shiftcounters")}, {QStringLiteral("fiscalmemory")}, {QStringLiteral("messages")},
        {QStringLiteral("message"), QStringLiteral("1")}};
    QList<ProbeRun> asDevice17;
    for (const QStringList& words : reads)
        asDevice17 << command(words);

    // What a service of an earlier version took without its device id: fr_0.db.
    const QString device0 = dataDir() + QStringLiteral("/fr_0.db");
    ASSERT_TRUE(QFile::rename(dbFile(), device0));
    for (const QByteArray& ini : {QByteArray("[KKM]\n"), QByteArray("[KKM]\ndeviceId=0\n")}) {
        SCOPED_TRACE(ini.toStdString());
        QFile file(root() + QStringLiteral("/tillbase/cash/conf/taxvault.ini"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(ini);
        file.close();
        const QString warning =
            QStringLiteral("KKM:deviceId не задан или равен 0, используется база данных %1").arg(device0);
        for (int i = 0; i < reads.size(); ++i) {
            const ProbeRun run = command(reads.at(i));
            EXPECT_EQ(run.out, asDevice17.at(i).out) << describe(reads.at(i));
            EXPECT_EQ(run.exitCode, 0) << describe(reads.at(i));
            EXPECT_TRUE(run.log.contains(QStringLiteral("WARN")) && run.log.contains(warning))
                << run.log.toStdString();
        }

        // The service does not start without its device id: a repair here would change
        // nothing the till uses.
        QFile stored(device0);
        ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
        const QByteArray before = stored.readAll();
        stored.close();
        const QString refusal =
            QStringLiteral("KKM:deviceId не задан или равен 0: база данных %1 не исправлена\n").arg(device0);
        expectAnswers({
            {{QStringLiteral("token"), QStringLiteral("clean")}, refusal, 1},
            {{QStringLiteral("token"), QStringLiteral("set"), QStringLiteral("5")}, refusal, 1},
            {{QStringLiteral("status"), QStringLiteral("clean")}, refusal, 1},
            {{QStringLiteral("message"), QStringLiteral("1"), QStringLiteral("delete")}, refusal, 1},
        });
        ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
        EXPECT_EQ(stored.readAll(), before);
    }
}

// ---- a database that cannot be read ---------------------------------------------------

TEST_F(ProbeTest, UnreadableDatabaseIsReportedAsSuchAndLeftAsItIs)
{
    const struct
    {
        const char* name;
        QString fixtureMode; // empty: no file at all
    } files[] = {
        {"no database (another device id)", QString()},
        {"another passphrase", QStringLiteral("foreign")},
        {"plain SQLite", QStringLiteral("plain")},
        {"not the service's tables", QStringLiteral("notables")},
        {"not a database", QStringLiteral("junk")},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        QDir(dataDir()).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(dataDir()));
        if (file.fixtureMode == QLatin1String("junk")) {
            QFile junk(dbFile());
            ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
            junk.write(QByteArray(8192, 'x'));
        } else if (!file.fixtureMode.isEmpty()) {
            prepare(file.fixtureMode);
        }
        const QStringList before = filesUnderRoot();
        const QByteArray digest = dbDigest();
        for (const Case& c : unreadableCases()) {
            const ProbeRun run = command(c.words);
            EXPECT_EQ(run.out, c.out) << describe(c.words) << "\n" << run.log.toStdString();
            EXPECT_EQ(run.exitCode, c.exitCode) << describe(c.words);
        }
        EXPECT_EQ(filesUnderRoot(), before);
        EXPECT_EQ(dbDigest(), digest);
    }
}

TEST_F(ProbeTest, MessageThatCannotBeDeletedEndsWith1AndStays)
{
    prepare(QStringLiteral("realistic"));
    // Another program keeps the file's write lock past the tool's wait: the queue
    // can be read, but the deletion cannot be stored.
    QProcess holder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TAXVAULT_ROOT"), root());
    holder.setProcessEnvironment(env);
    holder.start(QStringLiteral(PROBE_FIXTURE_BINARY), {QStringLiteral("hold")});
    ASSERT_TRUE(holder.waitForReadyRead(30000));
    ASSERT_EQ(holder.readLine(), QByteArray("held\n"));

    const ProbeRun run = command({QStringLiteral("message"), QStringLiteral("2"), QStringLiteral("delete")});
    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(30000));
    EXPECT_EQ(holder.exitCode(), 0);

    EXPECT_EQ(run.out, QStringLiteral("Сообщение не удалено\n")) << run.log.toStdString();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.log.contains(QStringLiteral("dao - Не удалось удалить сообщение")));
    EXPECT_EQ(state().value(QLatin1String("messages")).toArray(), QJsonArray({1, 2, 3}));
}

} // namespace
