// Whether two objects are the same document, against the text the JSON writer makes of them.

#include "documents/documentmapping.h"
#include "documents/identical.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

using namespace taxvault;

namespace {

// Two objects are the same document only when every number is the same number
// of the same kind: Qt's == may compare an integer with a double as doubles.
TEST(Identical, TellsWhatEqualityDoesNot)
{
    const auto parsed = [](const char* text) { return QJsonDocument::fromJson(text).object(); };
    const QJsonObject base = parsed(R"({"a":1,"b":[0.5,{"c":"x"}],"d":{"e":null,"f":true}})");
    EXPECT_TRUE(mapping::identical(base, base));
    EXPECT_TRUE(mapping::identical(base, parsed(R"({"d":{"f":true,"e":null},"b":[0.5,{"c":"x"}],"a":1.0})")));
    const char* others[] = {
        R"({"a":1,"b":[0.5,{"c":"x"}],"d":{"e":null,"f":true}, "g":0})",
        R"({"a":1,"b":[0.5,{"c":"y"}],"d":{"e":null,"f":true}})",
        R"({"a":1,"b":[0.5],"d":{"e":null,"f":true}})",
        R"({"a":1,"b":[0.5,{"c":"x"}],"d":{"e":null,"f":false}})",
        R"({"a":1,"b":[0.5,{"c":"x"}],"d":{"e":0,"f":true}})",
        R"({"a":1,"b":[0.25,{"c":"x"}],"d":{"e":null,"f":true}})",
    };
    for (const char* other : others) {
        SCOPED_TRACE(other);
        EXPECT_FALSE(mapping::identical(base, parsed(other)));
        EXPECT_FALSE(mapping::identical(parsed(other), base));
    }
    // The largest integer and the double next to it, which print apart.
    const QJsonObject largest = parsed(R"({"n":[9223372036854775807]})");
    const QJsonObject beyond = parsed(R"({"n":[9223372036854775808]})");
    EXPECT_NE(QJsonDocument(largest).toJson(), QJsonDocument(beyond).toJson());
    EXPECT_FALSE(mapping::identical(largest, beyond));
    EXPECT_TRUE(mapping::identical(largest, parsed(R"({"n":[9223372036854775807]})")));
}

// Leaves that print alike or nearly so: an integer and the same whole double, -0 and 0, a double and
// its neighbour, whole doubles beyond 2^53 that Qt keeps as doubles and the integers beside them.
const QJsonValue leaves[] = {
    QJsonValue(QJsonValue::Null),
    QJsonValue(true),
    QJsonValue(false),
    QJsonValue(QString()),
    QJsonValue(QStringLiteral("1")),
    QJsonValue(QStringLiteral("a")),
    QJsonValue(0),
    QJsonValue(0.0),
    QJsonValue(-0.0),
    QJsonValue(1),
    QJsonValue(qint64(1)),
    QJsonValue(1.0),
    QJsonValue(-1),
    QJsonValue(0.5),
    QJsonValue(std::nextafter(0.5, 1.0)),
    QJsonValue(0.1 + 0.2),
    QJsonValue(0.3),
    QJsonValue(qint64(1) << 53),
    QJsonValue(double(qint64(1) << 53)),
    QJsonValue((qint64(1) << 53) + 1),
    QJsonValue(qint64(1) << 62),
    QJsonValue(double(qint64(1) << 62)),
    QJsonValue(std::numeric_limits<qint64>::max()),
    QJsonValue(std::numeric_limits<qint64>::min()),
    QJsonValue(9223372036854775808.0),
    QJsonValue(1e300),
    QJsonValue(-1e-300),
};
const QString keys[] = {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("B"), QStringLiteral("ab")};

QJsonValue leaf(QRandomGenerator& random)
{
    return leaves[random.bounded(int(std::size(leaves)))];
}

std::pair<QJsonValue, QJsonValue> twins(QRandomGenerator& random, int depth);

// Two objects of the same shape whose values mostly agree; now and then one has a key more.
std::pair<QJsonObject, QJsonObject> twinObjects(QRandomGenerator& random, int depth)
{
    QJsonObject a, b;
    const int members = random.bounded(4);
    for (int i = 0; i < members; ++i) {
        const QString& key = keys[random.bounded(int(std::size(keys)))];
        auto [x, y] = twins(random, depth + 1);
        a.insert(key, x);
        b.insert(key, y);
    }
    if (random.bounded(30) == 0)
        b.insert(keys[random.bounded(int(std::size(keys)))], leaf(random));
    return {a, b};
}

std::pair<QJsonValue, QJsonValue> twins(QRandomGenerator& random, int depth)
{
    switch (depth < 3 ? random.bounded(5) : 0) {
    case 0:
    case 1:
    case 2: {
        const QJsonValue a = leaf(random);
        return {a, random.bounded(8) == 0 ? leaf(random) : a};
    }
    case 3: {
        QJsonArray a, b;
        const int elements = random.bounded(4);
        for (int i = 0; i < elements; ++i) {
            auto [x, y] = twins(random, depth + 1);
            a.append(x);
            b.append(y);
        }
        if (random.bounded(30) == 0)
            b.append(leaf(random));
        return {a, b};
    }
    default: {
        auto [a, b] = twinObjects(random, depth);
        return {a, b};
    }
    }
}

QByteArray compactText(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

TEST(Identical, IdenticalMeansTheSameCompactText)
{
    QRandomGenerator random(4711);
    int same = 0;
    for (int round = 0; round < 50000; ++round) {
        const auto [a, b] = twinObjects(random, 0);
        const bool sameText = compactText(a) == compactText(b);
        same += sameText;
        ASSERT_EQ(mapping::identical(a, b), sameText) << compactText(a).toStdString() << "\n"
                                                      << compactText(b).toStdString();
    }
    // Both answers are given often.
    EXPECT_GT(same, 10000);
    EXPECT_LT(same, 45000);
}

// Property maps that are identical make the same JSON: a document read the same is written the same.
TEST(Identical, IdenticalMapsMakeTheSameJson)
{
    QRandomGenerator random(815);
    for (int round = 0; round < 20000; ++round) {
        const auto [a, b] = twinObjects(random, 0);
        const QVariantMap x = a.toVariantMap();
        const QVariantMap y = b.toVariantMap();
        if (mapping::identical(x, y))
            ASSERT_EQ(compactText(mapping::jsonObject(x)), compactText(mapping::jsonObject(y)))
                << compactText(a).toStdString();
    }
}

} // namespace
