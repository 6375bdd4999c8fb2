#include "probe/indentedcounters.h"

#include <QLocale>

#include <cmath>

namespace taxvault {

namespace {

class Reader
{
public:
    Reader(QString& out, QStringView text) : m_out(out), m_text(text) {}

    bool document()
    {
        if (!object(0) || m_pos != m_text.size())
            return false;
        m_out += QLatin1Char('\n');
        return true;
    }

private:
    // An object whose members are written at depth + 1; its closing brace at depth.
    bool object(int depth)
    {
        if (!take(u'{'))
            return false;
        m_out += u"{\n";
        if (take(u'}')) {
            indent(depth);
            m_out += QLatin1Char('}');
            return true;
        }
        QStringView previous;
        for (;;) {
            const QStringView name = key();
            // Ascending and distinct, as the writer keeps them.
            if (name.isEmpty() || (!previous.isEmpty() && !(previous < name)))
                return false;
            previous = name;
            indent(depth + 1);
            m_out += QLatin1Char('"');
            m_out += name;
            m_out += u"\": ";
            if (!take(u':'))
                return false;
            if (peek() == u'{') {
                if (!object(depth + 1))
                    return false;
            } else if (!number()) {
                return false;
            }
            if (take(u'}'))
                break;
            if (!take(u','))
                return false;
            m_out += u",\n";
        }
        m_out += QLatin1Char('\n');
        indent(depth);
        m_out += QLatin1Char('}');
        return true;
    }

    // A quoted name of ASCII letters, digits and underscores: nothing to escape.
    QStringView key()
    {
        if (!take(u'"'))
            return {};
        const qsizetype begin = m_pos;
        while (m_pos < m_text.size()) {
            const char16_t c = m_text[m_pos].unicode();
            if (c == u'"') {
                const QStringView name = m_text.sliced(begin, m_pos - begin);
                ++m_pos;
                return name;
            }
            if (!((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
                  c == u'_'))
                return {};
            ++m_pos;
        }
        return {};
    }

    // Taken only where the writer would print the very same characters.
    bool number()
    {
        const qsizetype begin = m_pos;
        bool integral = true;
        while (m_pos < m_text.size()) {
            const char16_t c = m_text[m_pos].unicode();
            if (c == u'.' || c == u'e' || c == u'E' || c == u'+')
                integral = false;
            else if (!((c >= u'0' && c <= u'9') || c == u'-'))
                break;
            ++m_pos;
        }
        const QStringView token = m_text.sliced(begin, m_pos - begin);
        if (integral) {
            // Up to 15 digits, no leading zero, no "-0": read as an integer or
            // as a double, it prints as written.
            const QStringView digits = token.startsWith(u'-') ? token.sliced(1) : token;
            if (digits.isEmpty() || digits.size() > 15 || digits.contains(u'-') ||
                (digits.size() > 1 && digits.front() == u'0') || token == QLatin1String("-0"))
                return false;
        } else {
            bool ok = false;
            const double value = token.toDouble(&ok);
            // A whole number may be kept as an integer, and prints differently.
            if (!ok || !std::isfinite(value) || std::trunc(value) == value ||
                QString::number(value, 'g', QLocale::FloatingPointShortest) != token)
                return false;
        }
        m_out += token;
        return true;
    }

    void indent(int depth)
    {
        for (int i = 0; i < depth; ++i)
            m_out += u"    ";
    }

    char16_t peek() const { return m_pos < m_text.size() ? m_text[m_pos].unicode() : u'\0'; }

    bool take(char16_t c)
    {
        if (peek() != c)
            return false;
        ++m_pos;
        return true;
    }

    QString& m_out;
    QStringView m_text;
    qsizetype m_pos = 0;
};

} // namespace

bool appendIndentedCounters(QString& out, QStringView stored)
{
    const qsizetype size = out.size();
    if (Reader(out, stored).document())
        return true;
    out.truncate(size);
    return false;
}

} // namespace taxvault
