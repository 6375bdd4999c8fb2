#include "korvan/config.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
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

// A number in the file that is no int as written gives the caller's default,
// never the low bits of a larger number.
TEST_F(ConfigFileTest, IntegerOutsideIntRangeGivesDefault)
{
    const struct
    {
        const char* text;
        int expected;
    } cases[] = {
        {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}, {"+12", 12},       {"2147483648", 7},
        {"3000000000", 7},       {"4294967295", 7},        {"-2147483649", 7}, {"12abc", 7},
        {"0x10", 7},             {"1e3", 7},               {"", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(config.setConfigsPathList(
            {}, {writeIni(QByteArray("[FiscalMemory]\nfiscalMemoryRecordsLimit=") + c.text + "\n")}));
        EXPECT_EQ(config.getInt("FiscalMemory:fiscalMemoryRecordsLimit", 7), c.expected);
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
