#include "korvan/config.h"

#include "capturedstderr.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

class ConfigFileTest : public ::testing::Test
{
protected:
    QString writeIni(const QByteArray& text)
    {
        const QString path = m_dir.filePath(QStringLiteral("taxvault.ini"));
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(text);
        return path;
    }

    QTemporaryDir m_dir;
    Config config;
};

TEST_F(ConfigFileTest, ReadsValuesAsWritten)
{
    const QString path = writeIni("; workstation settings\r\n"
                                  "[Connection]\r\n"
                                  "servicePort = 55600\r\n"
                                  "host=10.0.0.7\r\n"
                                  "\r\n"
                                  "[ Service ]\n"
                                  "organizationAddress=г. Алматы, ул. Абая, 1\n"
                                  "organizationTitle=\"ТОО \\\"Ромашка\\\"\"\n"
                                  "# comment\n"
                                  "[KKM]\n"
                                  "withdrawMoney=true\n"
                                  "packageNumber=-17\n"
                                  "deviceId=abc\n");
    ASSERT_TRUE(config.setConfigsPathList({}, {path}));

    EXPECT_EQ(config.getInt("Connection:servicePort", 55555), 55600);
    EXPECT_EQ(config.getString("Connection:host", "127.0.0.1"), "10.0.0.7");
    EXPECT_EQ(config.getString("Service:organizationAddress"), QStringLiteral("г. Алматы, ул. Абая, 1"));
    EXPECT_EQ(config.getString("Service:organizationTitle"), QStringLiteral("ТОО \"Ромашка\""));
    EXPECT_TRUE(config.getBool("KKM:withdrawMoney", false));
    EXPECT_EQ(config.getInt("KKM:packageNumber"), -17);
    // Present but not a number, and absent: the caller's default.
    EXPECT_EQ(config.getInt("KKM:deviceId", 7), 7);
    EXPECT_EQ(config.getInt("Connection:port", 0), 0);
    EXPECT_EQ(config.getString("KKM:fnsKkmId", "none"), "none");
    EXPECT_FALSE(config.getBool("Checks:checkOnlyRequestDate", false));
}

TEST_F(ConfigFileTest, MissingFileGivesDefaults)
{
    EXPECT_FALSE(config.setConfigsPathList({}, {m_dir.filePath(QStringLiteral("absent.ini"))}));
    EXPECT_EQ(config.getInt("Connection:servicePort", 55555), 55555);
}

TEST_F(ConfigFileTest, EachLineThatCannotBeReadIsWarnedWithFileAndLine)
{
    const QString path = writeIni("; till 4\r\n"
                                  "[KKM]\r\n"
                                  "deviceId=5\r\n"
                                  "serialNumber TV-1\r\n"
                                  "\r\n"
                                  "=orphan\n"
                                  "[Connection\n"
                                  "# end\n");
    CapturedStderr captured;
    ASSERT_TRUE(config.setConfigsPathList({}, {path}));
    const QString text = QString::fromUtf8(captured.text());

    QStringList warnings;
    for (const QString& line : text.split(u'\n', Qt::SkipEmptyParts))
        warnings << line.section(QRegularExpression(QStringLiteral("WARN  \\[[0-9a-f]+\\] ")), 1);
    EXPECT_EQ(warnings,
              QStringList({
                  "config - Не прочитана строка файла конфигурации " + path + ":4: serialNumber TV-1",
                  "config - Не прочитана строка файла конфигурации " + path + ":6: =orphan",
                  "config - Не прочитана строка файла конфигурации " + path + ":7: [Connection",
              }))
        << text.toStdString();
    EXPECT_EQ(config.getInt("KKM:deviceId"), 5);
}

QStringList warningsIn(const QString& text)
{
    QStringList warnings;
    for (const QString& line : text.split(u'\n', Qt::SkipEmptyParts))
        warnings << line.section(QRegularExpression(QStringLiteral("WARN  \\[[0-9a-f]+\\] ")), 1);
    return warnings;
}

TEST_F(ConfigFileTest, KeysAndSectionsTheProgramDoesNotReadAreWarnedWithFileLineAndKey)
{
    const QByteArray ini = "[KKM]\n"
                           "devicId=4711\n"
                           "deviceId=4711\n"
                           "[KMM]\n"
                           "deviceId=4712\n"
                           "[Connection]\n"
                           "Port=7000\n"
                           "port=7001\n";
    const QString path = writeIni("host=outside\n" + ini);
    const auto key = [&path](int line, const QString& name) {
        return QStringLiteral("config - Неизвестный ключ файла конфигурации %1:%2: %3").arg(path).arg(line).arg(name);
    };
    const auto section = [&path](int line, const QString& name) {
        return QStringLiteral("config - Неизвестный раздел файла конфигурации %1:%2: [%3]")
            .arg(path)
            .arg(line)
            .arg(name);
    };
    {
        CapturedStderr captured;
        config.setKnownKeys({"KKM:deviceId", "Connection:port", "Connection:host"});
        ASSERT_TRUE(config.setConfigsPathList({}, {path}));
        EXPECT_EQ(warningsIn(QString::fromUtf8(captured.text())),
                  QStringList({key(1, "host"), key(3, "KKM:devicId"), section(5, "KMM"), key(6, "KMM:deviceId"),
                               key(8, "Connection:Port")}));
    }
    // What is known reads as written.
    EXPECT_EQ(config.getInt("KKM:deviceId"), 4711);
    EXPECT_EQ(config.getInt("Connection:port"), 7001);

    // A changed file is looked at again the same way.
    config.setCheckInterval(0);
    CapturedStderr captured;
    writeIni(ini + "[Checks]\n");
    EXPECT_EQ(config.getInt("KKM:deviceId"), 4711);
    EXPECT_EQ(warningsIn(QString::fromUtf8(captured.text())),
              QStringList({key(2, "KKM:devicId"), section(4, "KMM"), key(5, "KMM:deviceId"), key(7, "Connection:Port"),
                           section(9, "Checks")}));
}

TEST_F(ConfigFileTest, WithoutKnownKeysNothingIsWarned)
{
    // The engineer's tool reads one key of the service's file: the others are not its business.
    const QString path = writeIni("[KKM]\ndeviceId=4711\n[Connection]\nport=7000\n");
    CapturedStderr captured;
    ASSERT_TRUE(config.setConfigsPathList({}, {path}));
    EXPECT_EQ(captured.text(), QByteArray());
    EXPECT_EQ(config.getInt("KKM:deviceId"), 4711);
}

// The file is looked at again on every read here, so that a change counts at once.
class ConfigReloadTest : public ConfigFileTest
{
protected:
    void SetUp() override { config.setCheckInterval(0); }

    QString path() const { return m_dir.filePath(QStringLiteral("taxvault.ini")); }

    // As editors and sed -i do: a new file renamed over the old one.
    void replaceIni(const QByteArray& text)
    {
        const QString staged = m_dir.filePath(QStringLiteral("taxvault.ini.new"));
        QFile file(staged);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        ASSERT_EQ(::rename(QFile::encodeName(staged).constData(), QFile::encodeName(path()).constData()), 0);
    }
};

TEST_F(ConfigReloadTest, ChangedFileCountsAtNextRead)
{
    const QByteArray before = "[KKM]\ntaxationType=STS\n[Connection]\nport=7777\n";
    const struct
    {
        const char* how;
        QByteArray after;
        bool byRename;
        const char* taxation;
        int port;
    } cases[] = {
        // Same size and, within a second, possibly the same modification second.
        {"rewritten in place, same size", "[KKM]\ntaxationType=RTS\n[Connection]\nport=7778\n", false, "RTS",
         7778},
        {"rewritten in place, longer", "[KKM]\ntaxationType=TRBP\n[Connection]\nport=17778\n", false, "TRBP",
         17778},
        {"replaced by rename", "[KKM]\ntaxationType=RTS\n[Connection]\nport=7778\n", true, "RTS", 7778},
        {"key removed", "[Connection]\nport=7778\n", true, "", 7778},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        ASSERT_TRUE(config.setConfigsPathList({}, {writeIni(before)}));
        ASSERT_EQ(config.getString("KKM:taxationType"), "STS");
        ASSERT_EQ(config.getInt("Connection:port"), 7777);
        if (c.byRename)
            replaceIni(c.after);
        else
            writeIni(c.after);
        EXPECT_EQ(config.getInt("Connection:port"), c.port);
        EXPECT_EQ(config.getString("KKM:taxationType"), QString::fromLatin1(c.taxation));
    }
}

// The service's own token and package number are what the next frame must carry,
// whatever the file says for them after a reload.
TEST_F(ConfigReloadTest, ValuesSetAtRunTimeOutlastReload)
{
    ASSERT_TRUE(config.setConfigsPathList({}, {writeIni("[KKM]\ntoken=5\npackageNumber=9\ndeviceId=1\n")}));
    config.setValue("KKM:token", QVariant::fromValue<quint64>(3000000000ULL));
    config.setValue("KKM:packageNumber", 12);
    replaceIni("[KKM]\ntoken=6\npackageNumber=10\ndeviceId=2\n");
    EXPECT_EQ(config.getInt("KKM:deviceId"), 2);
    EXPECT_EQ(config.getInt("KKM:token"), -1294967296);
    EXPECT_EQ(config.getInt("KKM:packageNumber"), 12);
}

// A file that is gone for a while keeps the settings last read; when it comes back
// its values count.
TEST_F(ConfigReloadTest, RemovedFileKeepsLastValues)
{
    ASSERT_TRUE(config.setConfigsPathList({}, {writeIni("[Connection]\nport=7777\n")}));
    ASSERT_EQ(config.getInt("Connection:port"), 7777);
    ASSERT_TRUE(QFile::remove(path()));
    EXPECT_EQ(config.getInt("Connection:port"), 7777);
    writeIni("[Connection]\nport=7778\n");
    EXPECT_EQ(config.getInt("Connection:port"), 7778);
}

// With the usual once-a-second look at the file, every thread sees a change soon.
TEST_F(ConfigFileTest, ChangeReachesEveryThread)
{
    ASSERT_TRUE(config.setConfigsPathList({}, {writeIni("[KKM]\ntaxationType=STS\n")}));
    ASSERT_EQ(config.getString("KKM:taxationType"), "STS");
    writeIni("[KKM]\ntaxationType=RTS\n");
    std::atomic<int> seen{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < deadline) {
                if (config.getString("KKM:taxationType") == QLatin1String("RTS")) {
                    ++seen;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(seen.load(), 3);
}

// A number in the file that is no int as written gives the caller's default,
// never the low bits of a larger number.
TEST_F(ConfigFileTest, IntegerOutsideIntRangeGivesDefault)
{
    const struct
    {
        const char* text;
        int expected;
    } cases[] = {
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"+12", 12},
        {"2147483648", 7},
        {"3000000000", 7},
        {"4294967295", 7},
        {"-2147483649", 7},
        {"12abc", 7},
        {"0x10", 7},
        {"1e3", 7},
        {"", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(config.setConfigsPathList(
            {}, {writeIni(QByteArray("[FiscalMemory]\nfiscalMemoryRecordsLimit=") + c.text + "\n")}));
        EXPECT_EQ(config.getInt("FiscalMemory:fiscalMemoryRecordsLimit", 7), c.expected);
    }
}

// The token is a 32-bit pattern: written signed or unsigned it gives the same bits.
// Every other integer key keeps the rule above.
TEST_F(ConfigFileTest, TokenInFileIsRead32Bits)
{
    const struct
    {
        const char* text;
        int token;
        int packageNumber;
    } cases[] = {
        {"3000000000", -1294967296, 7},
        {"-1294967296", -1294967296, -1294967296},
        {"4294967295", -1, 7},
        {"2147483648", INT_MIN, 7},
        {"42", 42, 42},
        {"4294967296", 7, 7},
        {"-2147483649", 7, 7},
        {"12abc", 7, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(config.setConfigsPathList(
            {}, {writeIni(QByteArray("[KKM]\ntoken=") + c.text + "\npackageNumber=" + c.text + "\n")}));
        EXPECT_EQ(config.getInt("KKM:token", 7), c.token);
        EXPECT_EQ(config.getInt("KKM:packageNumber", 7), c.packageNumber);
    }
}

struct TokenCase
{
    QVariant value;
    int expected;
};

void PrintTo(const TokenCase& c, std::ostream* os)
{
    *os << c.value.typeName() << ' ' << c.value.toString().toStdString();
}

class ConfigTokenTest : public ::testing::TestWithParam<TokenCase>
{
};

// The frame header carries the token's low 32 bits, whatever type it was set with.
TEST_P(ConfigTokenTest, GetIntKeepsLow32Bits)
{
    Config config;
    config.setValue("KKM:token", GetParam().value);
    EXPECT_EQ(config.getInt("KKM:token"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Token, ConfigTokenTest,
                         ::testing::Values(TokenCase{QVariant::fromValue<quint64>(0xFFFFFFFFULL), -1},
                                           TokenCase{QVariant::fromValue<quint64>(0x80000000ULL), INT_MIN},
                                           TokenCase{QVariant::fromValue<quint64>(123456789ULL), 123456789},
                                           TokenCase{QVariant(-5), -5}, TokenCase{QVariant(42), 42}));

TEST(ConfigThreads, ValueSetOnOneThreadIsReadOnAnother)
{
    Config config;
    std::thread writer([&] { config.setValue("KKM:packageNumber", 17); });
    writer.join();
    int seen = 0;
    std::thread reader([&] { seen = config.getInt("KKM:packageNumber"); });
    reader.join();
    EXPECT_EQ(seen, 17);
}

TEST(ConfigThreads, ConcurrentReadsAndWritesStayConsistent)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("taxvault.ini"));
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write("[Connection]\nservicePort=55600\n");
    }
    Config config;
    config.setConfigsPathList({}, {path});

    constexpr int threads = 3;
    constexpr int rounds = 20000;
    std::atomic<int> badReads{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 1; i <= rounds; ++i) {
                // New keys make the store grow while the others read it.
                const QString own = QStringLiteral("Thread%1:value%2").arg(t).arg(i);
                config.setValue(own, i);
                config.setValue("KKM:token",
                                QVariant::fromValue<quint64>(0xFFFFFF00ULL + static_cast<quint64>(t)));
                if (config.getInt(own) != i)
                    ++badReads;
                const int token = config.getInt("KKM:token");
                if (token < -256 || token > -256 + threads - 1)
                    ++badReads;
                if (config.getInt("Connection:servicePort") != 55600)
                    ++badReads;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(badReads.load(), 0);
}

} // namespace
