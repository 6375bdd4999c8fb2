#include "probe/indentedcounters.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cmath>

using taxvault::appendIndentedCounters;

namespace {

// What the tool printed before: the document parsed from the stored text, written indented.
QString parsedAndWritten(const QString& stored)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonDocument::fromJson(stored.toUtf8()).object()).toJson(QJsonDocument::Indented));
}

TEST(IndentedCountersTest, StoredFormIsPrintedAsTheWriterPrintsItsDocument)
{
    const QString texts[] = {
        QStringLiteral("{}"),
        QStringLiteral(R"({"CHANGE":0})"),
        QStringLiteral(R"({"CHANGE":50,"OPERATION_SELL":{"PAYMENT_CARD":830.5,"PAYMENT_CASH":1200}})"),
        QStringLiteral(R"({"A":{},"B":{"C":{"D":-0.25}},"E":-7})"),
        QStringLiteral(R"({"X":1e-07,"Y":1.5e-300,"Z":999999999999999})"),
    };
    for (const QString& text : texts) {
        SCOPED_TRACE(text.toStdString());
        QString out = QStringLiteral("kept ");
        ASSERT_TRUE(appendIndentedCounters(out, text));
        EXPECT_EQ(out, QStringLiteral("kept ") + parsedAndWritten(text));
    }
}

TEST(IndentedCountersTest, AnythingElseIsLeftToTheParser)
{
    // Each would print differently from how it is stored, or is no counters document.
    const QString texts[] = {
        QStringLiteral(R"({"B":1,"A":2})"), // keys out of order
        QStringLiteral(R"({"A":1,"A":2})"), // a key twice
        QStringLiteral(R"({"A":1.0})"),     // printed as 1
        QStringLiteral(R"({"A":1e21})"),    // printed as 1e+21
        QStringLiteral(R"({"A":-0})"),      // printed as 0
        QStringLiteral(R"({"A":007})"),     // not JSON
        QStringLiteral(R"({"A":12345678901234567890})"),
        QStringLiteral(R"({"A":0.10})"),   // printed as 0.1
        QStringLiteral(R"({"A":"text"})"), // not a number
        QStringLiteral(R"({"A":[1]})"),
        QStringLiteral(R"({"A":true})"),
        QStringLiteral(R"({"\u0410":1})"), // an escape in a key
        QStringLiteral(R"({"Б":1})"),      // beyond plain ASCII names
        QStringLiteral(R"({ "A":1})"),     // spaces
        QStringLiteral(R"({"A":1}x)"),
        QStringLiteral(R"({"A":1)"),
        QStringLiteral(R"([1])"),
        QStringLiteral("garbage"),
        QString(),
    };
    for (const QString& text : texts) {
        SCOPED_TRACE(text.toStdString());
        QString out = QStringLiteral("kept");
        EXPECT_FALSE(appendIndentedCounters(out, text));
        EXPECT_EQ(out, QStringLiteral("kept"));
    }
}

// Counters documents as the merge builds them: nested objects of sums.
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
        if (depth < 2 && random.bounded(3) == 0) {
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
        const QString stored =
            QString::fromUtf8(QJsonDocument(randomDocument(random, 0)).toJson(QJsonDocument::Compact));
        QString out;
        if (appendIndentedCounters(out, stored)) {
            ++taken;
            ASSERT_EQ(out, parsedAndWritten(stored)) << stored.toStdString();
        }
    }
    // Sums of whole and of hundredths, as stored by the service, take the short way.
    EXPECT_GT(taken, 2500);
}

} // namespace
