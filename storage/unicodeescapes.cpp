#include "storage/unicodeescapes.h"

namespace taxvault {

QString decodeUnicodeEscapes(const QString& text)
{
    if (!text.contains(QLatin1String("\\u")))
        return text;
    QString out;
    out.reserve(text.size());
    const qsizetype size = text.size();
    qsizetype next = 0;
    // A decoded character goes back in front of the rest of the text: it may
    // complete an escape with the backslash before it or start one itself.
    bool hasPending = false;
    QChar pending;
    for (;;) {
        QChar ch;
        if (hasPending) {
            ch = pending;
            hasPending = false;
        } else if (next < size) {
            ch = text.at(next++);
        } else {
            break;
        }
        // out never holds a backslash-u pair, so this is the leftmost escape.
        if (ch == QLatin1Char('u') && !out.isEmpty() && out.back() == QLatin1Char('\\')) {
            out.chop(1);
            const qsizetype digits = qMin<qsizetype>(4, size - next);
            bool ok = false;
            ushort value = QStringView(text).mid(next, digits).toUShort(&ok, 16);
            if (!ok)
                value = 0;
            next += digits;
            pending = QChar(value);
            hasPending = true;
            continue;
        }
        out.append(ch);
    }
    return out;
}

} // namespace taxvault
