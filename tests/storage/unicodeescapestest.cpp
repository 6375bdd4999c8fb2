#include "storage/unicodeescapes.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

using taxvault::decodeUnicodeEscapes;

namespace {

// The rule as written: decode the leftmost escape, then search again from the
// start, until none is left.
QString decodeOneAtATime(QString text)
{
    const QString marker = QStringLiteral("\\u");
    for (qsizetype pos = text.indexOf(marker); pos >= 0; pos = text.indexOf(marker)) {
        bool ok = false;
        ushort value = text.mid(pos + 2, 4).toUShort(&ok, 16);
        if (!ok)
            value = 0;
        text.replace(pos, 6, QChar(value));
    }
    return text;
}

TEST(UnicodeEscapesTest, DecodedCharactersTakePartInTheNextEscape)
{
    const struct
    {
        QString text;
        QString decoded;
    } cases[] = {
        {QStringLiteral(R"({"name":"\u0425\u043b\u0435\u0431"})"), QStringLiteral(R"({"name":"Хлеб"})")},
        // A decoded backslash starts an escape with what follows it ...
        {QStringLiteral(R"(\u005cu0041)"), QStringLiteral("A")},
        {QStringLiteral(R"(\u005cu005cu0042!)"), QStringLiteral("B!")},
        // ... and a decoded "u" ends one that a backslash before it began.
        {QStringLiteral(R"(\\u00750043)"), QStringLiteral("C")},
        {QStringLiteral(R"(x\u005c)"), QStringLiteral(R"(x\)")},
        {QStringLiteral(R"(\u00)"), QString(QChar(0))},
        {QStringLiteral(R"(\uXYZW.)"), QString(QChar(0)) + QLatin1Char('.')},
        {QStringLiteral(R"(\\\\ and \n stay)"), QStringLiteral(R"(\\\\ and \n stay)")},
        {QString(), QString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(decodeUnicodeEscapes(c.text), c.decoded);
        EXPECT_EQ(decodeOneAtATime(c.text), c.decoded);
    }
}

TEST(UnicodeEscapesTest, SameTextAsDecodingOneEscapeAtATime)
{
    // Texts built from the characters that form, break and chain escapes, and from escapes of lone
    // surrogates (high, low, and half of a pair), which also end many of the texts.
    const QString alphabet = QStringLiteral("\\\\\\uu0057cCaF+ g-");
    const QString surrogates[] = {QStringLiteral(R"(\ud800)"), QStringLiteral(R"(\uDBFF)"),
                                  QStringLiteral(R"(\udc00)"), QStringLiteral(R"(\uDFFF)"),
                                  QStringLiteral(R"(\ud83d)"), QStringLiteral(R"(\ude00)"),
                                  QString(QChar(0xD800)),      QString(QChar(0xDC00))};
    QRandomGenerator random(4711);
    for (int round = 0; round < 20000; ++round) {
        QString text;
        const int length = random.bounded(24);
        for (int i = 0; i < length; ++i) {
            if (random.bounded(6) == 0)
                text += surrogates[random.bounded(int(std::size(surrogates)))];
            else
                text += alphabet.at(random.bounded(int(alphabet.size())));
        }
        if (random.bounded(4) == 0)
            text += surrogates[random.bounded(2)];
        ASSERT_EQ(decodeUnicodeEscapes(text), decodeOneAtATime(text)) << text.toStdString();
    }
}

} // namespace
