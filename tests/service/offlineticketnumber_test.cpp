#include "servicetestsupport.h"

#include "service/offlineticketnumber.h"
#include "storage/dao.h"

#include "korvan/singleton.h"

#include <QDateTime>
#include <QJsonObject>

#include <functional>
#include <optional>

namespace taxvault::testing {
namespace {

const QDateTime kNow = QDateTime::fromSecsSinceEpoch(1796953852);
const qint64 kSecond = kNow.toSecsSinceEpoch();

class OfflineTicketNumberTest : public ServiceDbTest
{
protected:
    static bool storeReceipt()
    {
        return Singleton<Dao>::instance()->saveMessage(
            QJsonObject{{QStringLiteral("command"), 1}, {QStringLiteral("request"), QJsonObject()}});
    }
};

TEST_F(OfflineTicketNumberTest, NumberIsTheSecondUnlessAnEarlierReceiptHasItOrALaterOne)
{
    struct Case
    {
        const char* name;
        std::optional<qint64> last; // the last number given; nothing: none given yet
        qint64 expected;
    };
    const Case cases[] = {
        {"first receipt ever keeps its second", std::nullopt, kSecond},
        {"a later second is taken as it is", kSecond - 5, kSecond},
        {"the same second goes to the next number", kSecond, kSecond + 1},
        {"after a clock set back numbers still grow", kSecond + 40, kSecond + 41},
        {"up to the largest the operator's field carries", 4294967294, 4294967295},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.last)
            store(QStringLiteral("offlineticketnumber"), QJsonObject{{QStringLiteral("number"), *c.last}});
        EXPECT_EQ(OfflineTicketNumber::next(kNow), c.expected);
    }
}

TEST_F(OfflineTicketNumberTest, NumbersOfOneSecondFollowEachOtherOnceKept)
{
    qint64 previous = 0;
    for (int receipt = 0; receipt < 30; ++receipt) {
        const std::optional<qint64> number = OfflineTicketNumber::next(kNow);
        ASSERT_TRUE(number);
        ASSERT_TRUE(OfflineTicketNumber::storeWith(number, storeReceipt));
        EXPECT_EQ(*number, receipt == 0 ? kSecond : previous + 1);
        previous = *number;
    }
    EXPECT_EQ(queuedMessages().size(), 30);
}

TEST_F(OfflineTicketNumberTest, NumberIsKeptOnlyWithItsReceipt)
{
    struct Case
    {
        const char* name;
        std::function<void()> spoil;
        std::function<bool()> storeReceipt;
    };
    const Case cases[] = {
        {"receipt refused after its own writes", [] {},
         [] {
             storeReceipt();
             return false;
         }},
        {"commit refused", [] { refuseCommitAfterInsertInto(QStringLiteral("messages")); }, storeReceipt},
        {"number cannot be kept",
         [] {
             sql(QStringLiteral("CREATE TEMP TRIGGER refuse_number BEFORE INSERT ON main.servicedata "
                                "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
         },
         storeReceipt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const std::optional<qint64> number = OfflineTicketNumber::next(kNow);
        c.spoil();
        EXPECT_FALSE(OfflineTicketNumber::storeWith(number, c.storeReceipt));
        allowCommits();
        sql(QStringLiteral("DROP TRIGGER IF EXISTS refuse_number"));
        EXPECT_TRUE(queuedMessages().isEmpty());
        EXPECT_TRUE(record(QStringLiteral("offlineticketnumber")).isEmpty());
        EXPECT_EQ(OfflineTicketNumber::next(kNow), number) << "a number whose receipt was not stored is free";
    }
}

TEST_F(OfflineTicketNumberTest, UnreadableOrImpossibleLastNumberGivesNoNumberAndStoresNothing)
{
    struct Case
    {
        const char* name;
        const char* stored; // the record's text
        qint64 second;      // now
    };
    const Case cases[] = {
        {"no JSON", "not json", kSecond},
        {"largest signed 64-bit number", R"({"number":9223372036854775807})", kSecond},
        {"past what the operator's field carries", R"({"number":4294967296})", kSecond},
        {"the field's largest leaves no greater one", R"({"number":4294967295})", kSecond},
        {"negative", R"({"number":-1})", kSecond},
        {"not whole", R"({"number":1796953852.5})", kSecond},
        {"too large for any integer", R"({"number":1e30})", kSecond},
        {"text", R"({"number":"1796953852"})", kSecond},
        {"null", R"({"number":null})", kSecond},
        {"clock past what the field carries", "{}", 4294967296},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sql(QStringLiteral("INSERT INTO servicedata(name, data) VALUES('offlineticketnumber', '%1')")
                .arg(QString::fromUtf8(c.stored)));
        const std::optional<qint64> number =
            OfflineTicketNumber::next(QDateTime::fromSecsSinceEpoch(c.second));
        EXPECT_FALSE(number) << *number;
        EXPECT_FALSE(OfflineTicketNumber::storeWith(number, storeReceipt));
        EXPECT_TRUE(queuedMessages().isEmpty());
    }
}

} // namespace
} // namespace taxvault::testing
