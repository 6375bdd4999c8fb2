#include "utility/localtimetext.h"

#include <algorithm>

namespace localtimetext {

namespace {

// The number of `count` decimal digits at `from`; -1 when one is no digit.
int digits(const QString& text, qsizetype from, qsizetype count)
{
    int value = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

// Whether the zone's offset is the same for a day either side: then no clock
// change is near, and the local time names one instant. Near one, a repeated
// hour is settled by the C library's guess from the previous conversion.
bool farFromClockChange(const QDateTime& local)
{
    constexpr qint64 day = 24 * 3600;
    const int offset = local.offsetFromUtc();
    return local.addSecs(-day).offsetFromUtc() == offset && local.addSecs(day).offsetFromUtc() == offset;
}

} // namespace

QDateTime read(const QString& text)
{
    if (text.size() == 19 && text.at(4) == u'-' && text.at(7) == u'-' && text.at(10) == u' ' &&
        text.at(13) == u':' && text.at(16) == u':') {
        const int fields[] = {digits(text, 0, 4),  digits(text, 5, 2),  digits(text, 8, 2),
                              digits(text, 11, 2), digits(text, 14, 2), digits(text, 17, 2)};
        const QDate date(fields[0], fields[1], fields[2]);
        const QTime time(fields[3], fields[4], fields[5]);
        if (std::ranges::none_of(fields, [](int field) { return field < 0; }) && date.isValid() &&
            time.isValid()) {
            const QDateTime local(date, time);
            if (local.isValid() && local.date() == date && local.time() == time && farFromClockChange(local))
                return local;
        }
    }
    return QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

} // namespace localtimetext
