#include "storagetestsupport.h"

#include "storage/countersrecord.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using taxvault::CountersRecord;

namespace {

QJsonObject json(const char* text)
{
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(text, &error).object();
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return object;
}

TEST(CountersMergeTest, AddsNumbersKeyByKeyAtEveryDepth)
{
    const struct
    {
        const char* name;
        const char* first;
        const char* second;
        const char* merged;
    } cases[] = {
        {"receipt and deposit", R"({"OPERATION_SELL":{"PAYMENT_CASH":100},"CHANGE":5})",
         R"({"OPERATION_SELL":{"PAYMENT_CARD":50},"CHANGE":0,"MONEY_PLACEMENT_DEPOSIT":20})",
         R"({"CHANGE":5,"MONEY_PLACEMENT_DEPOSIT":20,"OPERATION_SELL":{"PAYMENT_CARD":50,"PAYMENT_CASH":100}})"},
        {"same keys add up", R"({"OPERATION_SELL":{"PAYMENT_CASH":100.25},"CHANGE":5})",
         R"({"OPERATION_SELL":{"PAYMENT_CASH":0.5},"CHANGE":1})",
         R"({"CHANGE":6,"OPERATION_SELL":{"PAYMENT_CASH":100.75}})"},
        {"object beats number", R"({"OPERATION_BUY":{"PAYMENT_CARD":3}})", R"({"OPERATION_BUY":7})",
         R"({"OPERATION_BUY":{"PAYMENT_CARD":3}})"},
        {"number facing object is dropped", R"({"OPERATION_BUY":7})",
         R"({"OPERATION_BUY":{"PAYMENT_CARD":3}})", R"({"OPERATION_BUY":{"PAYMENT_CARD":3}})"},
        {"non-numbers count as zero", R"({"CHANGE":"5","A":true,"B":null,"C":[1]})", R"({"CHANGE":2,"A":1})",
         R"({"A":1,"B":0,"C":0,"CHANGE":2})"},
        {"deep nesting", R"({"a":{"b":{"c":{"d":1}}}})", R"({"a":{"b":{"c":{"d":2,"e":3}},"f":1}})",
         R"({"a":{"b":{"c":{"d":3,"e":3}},"f":1}})"},
        {"one side empty", R"({})", R"({"OPERATION_SELL_RETURN":{"PAYMENT_MOBILE":9}})",
         R"({"OPERATION_SELL_RETURN":{"PAYMENT_MOBILE":9}})"},
        {"both empty", R"({})", R"({})", R"({})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QJsonObject merged = CountersRecord::mergeCounters(json(c.first), json(c.second));
        EXPECT_EQ(QJsonDocument(merged).toJson(QJsonDocument::Compact), QByteArray(c.merged));
    }
}

TEST(CountersRecordTest, KindsOfRecord)
{
    const CountersRecord none;
    EXPECT_TRUE(none.isNull());
    EXPECT_FALSE(none.isValid());
    EXPECT_FALSE(none.isDamaged());
    EXPECT_EQ(none.rowid(), -1);
    EXPECT_EQ(none.shiftNumber(), -1);
    EXPECT_FALSE(none.creationTime().isValid());

    const CountersRecord empty{QJsonObject()};
    EXPECT_FALSE(empty.isNull());
    EXPECT_FALSE(empty.isValid());

    CountersRecord delta(json(R"({"CHANGE":1,"OPERATION_SELL":{"PAYMENT_CASH":2}})"));
    EXPECT_FALSE(delta.isNull());
    EXPECT_TRUE(delta.isValid());
    EXPECT_EQ(delta.rowid(), -1);
    EXPECT_EQ(delta.toJsonText(QJsonDocument::Compact),
              QStringLiteral(R"({"CHANGE":1,"OPERATION_SELL":{"PAYMENT_CASH":2}})"));
    EXPECT_TRUE(delta.toJsonText(QJsonDocument::Indented).contains(QLatin1Char('\n')));

    delta.setShiftNumber(12);
    delta.setCreationTime(QDateTime(QDate(2024, 3, 1), QTime(9, 5)));
    const CountersRecord sum = none + delta;
    EXPECT_FALSE(sum.isNull());
    EXPECT_EQ(sum.rowid(), -1);
    EXPECT_EQ(sum.shiftNumber(), -1);
    EXPECT_EQ(sum.document(), delta.document());
}

} // namespace
