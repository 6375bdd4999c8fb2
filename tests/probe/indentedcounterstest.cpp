#include "probe/indentedcounters.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cmath>

using taxvault::appendIndentedCounters;

namespace {

// What the tool printed before: the document parsed from the stored text, written indented.
QByteArray parsedAndWritten(const QByteArray& stored)
{
    return QJsonDocument(QJsonDocument::fromJson(stored).object()).toJson(QJsonDocument::Indented);
}

TEST(IndentedCountersTest, StoredFormIsPrintedAsTheWriterPrintsItsDocument)
{
    const QByteArray texts[] = {
        QByteArrayLiteral("{}"),
        QByteArrayLiteral(R"({"CHANGE":0})"),
        QByteArrayLiteral(R"({"CHANGE":50,"OPERATION_SELL":{"PAYMENT_CARD":830.5,"PAYMENT_CASH":1200}})"),
        QByteArrayLiteral(R"({"A":{},"B":{"C":-0.25},"E":-7})"),
        QByteArrayLiteral(R"({"X":1e-07,"Y":1.5e-300,"Z":999999999999999})"),
    };
    for (const QByteArray& text : texts) {
        SCOPED_TRACE(text.toStdString());
        QByteArray out = QByteArrayLiteral("kept ");
        ASSERT_TRUE(appendIndentedCounters(out, text));
        EXPECT_EQ(out, QByteArrayLiteral("kept ") + parsedAndWritten(text));
    }
}

// {"A":{"A":...1...}} with the given number of objects.
QByteArray nested(int levels)
{
    return QByteArray("{\"A\":").repeated(levels - 1) + "{\"A\":1}" + QByteArray("}").repeated(levels - 1);
}

TEST(IndentedCountersTest, AnythingElseIsLeftToTheParser)
{
    // Each would print differently from how it is stored, or is no counters document.
    const QByteArray texts[] = {
        QByteArrayLiteral(R"({"B":1,"A":2})"), // keys out of order
        QByteArrayLiteral(R"({"A":1,"A":2})"), // a key twice
        QByteArrayLiteral(R"({"A":1.0})"),     // printed as 1
        QByteArrayLiteral(R"({"A":1e21})"),    // printed as 1e+21
        QByteArrayLiteral(R"({"A":-0})"),      // printed as 0
        QByteArrayLiteral(R"({"A":007})"),     // not JSON
        QByteArrayLiteral(R"({"A":12345678901234567890})"),
        QByteArrayLiteral(R"({"A":0.10})"),   // printed as 0.1
        QByteArrayLiteral(R"({"A":"text"})"), // not a number
        QByteArrayLiteral(R"({"A":[1]})"),
        QByteArrayLiteral(R"({"A":true})"),
        QByteArrayLiteral(R"({"\u0410":1})"), // an escape in a key
        QByteArrayLiteral(R"({"Б":1})"),      // beyond plain ASCII names
        QByteArrayLiteral(R"({ "A":1})"),     // spaces
        nested(3),                            // deeper than the service stores
        nested(100000),
        QByteArrayLiteral(R"({"A":1}x)"),
        QByteArrayLiteral(R"({"A":1)"),
        QByteArrayLiteral(R"([1])"),
        QByteArrayLiteral("garbage"),
        QByteArray(),
    };
    for (const QByteArray& text : texts) {
        SCOPED_TRACE(text.left(200).toStdString());
        QByteArray out = QByteArrayLiteral("kept");
        EXPECT_FALSE(appendIndentedCounters(out, text));
        EXPECT_EQ(out, QByteArrayLiteral("kept"));
    }
}

// Counters documents as the service stores them: sums and objects of sums.
QJsonObject randomDocument(QRandomGenerator& random, int depth)
{
    static const char* const keys[] = {"CHANGE",
                                       "MONEY_PLACEMENT_DEPOSIT",
                                       "OPERATION_BUY",
                                       "OPERATION_SELL",
                                       "PAYMENT_CARD",
                                       "PAYMENT_CASH",
                                       "PAYMENT_MOBILE",
                                       "a",
                                       "Z_1"};
    QJsonObject object;
    const int members = random.bounded(depth == 0 ? 7 : 4);
    for (int i = 0; i < members; ++i) {
        const QString key = QString::fromLatin1(keys[random.bounded(9)]);
        if (depth == 0 && random.bounded(3) == 0) {
            object.insert(key, randomDocument(random, depth + 1));
            continue;
        }
        switch (random.bounded(4)) {
        case 0:
            object.insert(key, random.bounded(2000000) - 1000000);
            break;
        case 1:
            object.insert(key, (random.bounded(20000000) - 10000000) / 100.0);
            break;
        case 2:
            object.insert(key, random.generateDouble() * std::pow(10.0, random.bounded(40) - 20));
            break;
        default:
            object.insert(key, 0.1 + 0.2 * random.bounded(100));
            break;
        }
    }
    return object;
}

TEST(IndentedCountersTest, WhatTheServiceStoresPrintsAsBefore)
{
    QRandomGenerator random(4711);
    int taken = 0;
    for (int round = 0; round < 5000; ++round) {
        const QByteArray stored = QJsonDocument(randomDocument(random, 0)).toJson(QJsonDocument::Compact);
        QByteArray out;
        if (appendIndentedCounters(out, stored)) {
            ++taken;
            ASSERT_EQ(out, parsedAndWritten(stored)) << stored.toStdString();
        }
    }
    // Sums of whole and of hundredths, as stored by the service, take the short way.
    EXPECT_GT(taken, 2500);
}

} // namespace
