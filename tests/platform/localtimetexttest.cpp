#include "utility/localtimetext.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <ctime>

namespace {

// A zone with clock changes, set before this process converts any local time.
class LocalTimeTextTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    static QDateTime qtRead(const QString& text)
    {
        return QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }

    static void expectSame(const QDateTime& read, const QDateTime& qt)
    {
        EXPECT_EQ(read.isValid(), qt.isValid());
        EXPECT_EQ(read, qt);
        EXPECT_EQ(read.timeSpec(), qt.timeSpec());
        EXPECT_EQ(read.offsetFromUtc(), qt.offsetFromUtc());
        EXPECT_EQ(read.toString(Qt::ISODateWithMs), qt.toString(Qt::ISODateWithMs));
    }
};

// The C library settles a repeated hour by its guess from the conversion made
// before: the text must read the same after a winter and after a summer one.
TEST_F(LocalTimeTextTest, EveryClockChangeSinceNineteenSeventyReadsAsQtReadsIt)
{
    const QTimeZone zone("Europe/Berlin");
    ASSERT_TRUE(zone.isValid());
    const auto transitions = zone.transitions(QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC),
                                              QDateTime(QDate(2037, 12, 31), QTime(0, 0), Qt::UTC));
    ASSERT_GT(transitions.size(), 100);
    for (const QTimeZone::OffsetData& transition : transitions) {
        const QDateTime local = transition.atUtc.toOffsetFromUtc(transition.offsetFromUtc);
        const QDateTime wall(local.date(), local.time(), Qt::UTC);
        // Every quarter of an hour from two hours before the change to two after, in wall time.
        for (int quarter = -8; quarter <= 8; ++quarter) {
            const QString text = wall.addSecs(quarter * 900).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
            SCOPED_TRACE(text.toStdString());
            for (const QDate season : {QDate(2001, 1, 15), QDate(2001, 7, 15)}) {
                // A conversion in that season, as the process may have made before.
                ASSERT_NE(QDateTime(season, QTime(12, 0)).offsetFromUtc(), 0);
                const QDateTime read = localtimetext::read(text);
                expectSame(read, qtRead(text));
            }
        }
    }
}

// Anything a damaged record may hold reads as Qt's parse of it.
TEST_F(LocalTimeTextTest, OtherTextsReadAsQtReadsThem)
{
    const char* texts[] = {
        "2024-03-01 10:00:00", "1970-01-01 00:00:00", "9999-12-31 23:59:59", "2024-02-29 12:30:45",
        "2023-02-29 12:30:45", "2024-13-01 10:00:00", "2024-00-10 10:00:00", "2024-03-00 10:00:00",
        "0000-03-01 10:00:00", "2024-03-01 24:00:00", "2024-03-01 10:60:00", "2024-03-01 10:00:60",
        "2024-03-01T10:00:00", "2024-03-01 10:00:0",  "2024-03-01 10:00:000", "2024-3-01 10:00:00",
        "-024-03-01 10:00:00", "2024-03-01 1a:00:00", "２０２４-03-01 10:00:00", "", "garbage",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const QString stored = QString::fromUtf8(text);
        expectSame(localtimetext::read(stored), qtRead(stored));
    }
}

} // namespace
