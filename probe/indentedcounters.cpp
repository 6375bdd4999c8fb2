#include "probe/indentedcounters.h"

#include <QLocale>

#include <cmath>
#include <cstring>

namespace taxvault {

namespace {

constexpr char kSpaces[] = "                                                                ";

// The service stores an object of numbers and of objects of numbers. A deeper text is declined
// before it is printed: the parser, with its own bound on nesting, then prints it as the tool prints
// a single shift, and a record nested thousands of levels costs no more than its own size.
constexpr int kStoredDepth = 2;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Appends to a byte array through a plain pointer: QByteArray::append checks
// and copies more than the few bytes of a member are worth. The array is
// resized to its capacity while written and cut to what was written at the end.
class Sink
{
public:
    explicit Sink(QByteArray& out) : m_out(out), m_begin(out.size()), m_size(out.size()) { grow(0); }

    void append(const char* bytes, qsizetype count)
    {
        if (m_size + count > m_capacity)
            grow(count);
        std::memcpy(m_data + m_size, bytes, size_t(count));
        m_size += count;
    }
    void append(char c)
    {
        if (m_size == m_capacity)
            grow(1);
        m_data[m_size++] = c;
    }
    void append(QByteArrayView bytes) { append(bytes.data(), bytes.size()); }

    // Keeps what was written, or drops all of it.
    void finish(bool keep) { m_out.resize(keep ? m_size : m_begin); }

private:
    void grow(qsizetype count)
    {
        m_out.resize(qMax(m_size + count, m_out.capacity()));
        m_out.resize(m_out.capacity());
        m_data = m_out.data();
        m_capacity = m_out.size();
    }

    QByteArray& m_out;
    qsizetype m_begin;
    qsizetype m_size;
    qsizetype m_capacity = 0;
    char* m_data = nullptr;
};

class Reader
{
public:
    Reader(Sink& out, QByteArrayView text) : m_out(out), m_pos(text.data()), m_end(text.data() + text.size())
    {
    }

    bool document()
    {
        if (!object(0) || m_pos != m_end)
            return false;
        m_out.append('\n');
        return true;
    }

private:
    // An object whose members are written at depth + 1; its closing brace at depth.
    bool object(int depth)
    {
        if (depth >= kStoredDepth || !take('{'))
            return false;
        m_out.append("{\n", 2);
        if (take('}')) {
            indent(depth);
            m_out.append('}');
            return true;
        }
        QByteArrayView previous;
        for (;;) {
            const QByteArrayView name = key();
            // Ascending and distinct, as the writer keeps them (for ASCII names
            // the order of bytes is that of the UTF-16 code units).
            if (name.isEmpty() || (!previous.isEmpty() && !(previous < name)))
                return false;
            previous = name;
            indent(depth + 1);
            m_out.append('"');
            m_out.append(name);
            m_out.append("\": ", 3);
            if (!take(':'))
                return false;
            if (m_pos < m_end && *m_pos == '{') {
                if (!object(depth + 1))
                    return false;
            } else if (!number()) {
                return false;
            }
            if (take('}'))
                break;
            if (!take(','))
                return false;
            m_out.append(",\n", 2);
        }
        m_out.append('\n');
        indent(depth);
        m_out.append('}');
        return true;
    }

    // A quoted name of ASCII letters, digits and underscores: nothing to escape.
    QByteArrayView key()
    {
        if (!take('"'))
            return {};
        const char* begin = m_pos;
        for (; m_pos < m_end; ++m_pos) {
            const char c = *m_pos;
            if (c == '"') {
                const QByteArrayView name(begin, m_pos - begin);
                ++m_pos;
                return name;
            }
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isDigit(c) || c == '_'))
                return {};
        }
        return {};
    }

    // Taken only where the writer would print the very same characters.
    bool number()
    {
        const char* begin = m_pos;
        bool integral = true;
        for (; m_pos < m_end; ++m_pos) {
            const char c = *m_pos;
            if (c == '.' || c == 'e' || c == 'E' || c == '+')
                integral = false;
            else if (!(isDigit(c) || c == '-'))
                break;
        }
        const QByteArrayView token(begin, m_pos - begin);
        if (integral) {
            // Up to 15 digits, no leading zero, no "-0": read as an integer or
            // as a double, it prints as written.
            const QByteArrayView digits = token.startsWith('-') ? token.sliced(1) : token;
            if (digits.isEmpty() || digits.size() > 15 || digits.contains('-') ||
                (digits.size() > 1 && digits.front() == '0') || token == "-0")
                return false;
        } else {
            bool ok = false;
            const double value = token.toDouble(&ok);
            // A whole number may be kept as an integer, and prints differently.
            if (!ok || !std::isfinite(value) || std::trunc(value) == value ||
                QByteArray::number(value, 'g', QLocale::FloatingPointShortest) != token)
                return false;
        }
        m_out.append(token);
        return true;
    }

    void indent(int depth)
    {
        for (qsizetype left = 4 * qsizetype(depth); left > 0;) {
            const qsizetype part = qMin(left, qsizetype(sizeof(kSpaces) - 1));
            m_out.append(kSpaces, part);
            left -= part;
        }
    }

    bool take(char c)
    {
        if (m_pos == m_end || *m_pos != c)
            return false;
        ++m_pos;
        return true;
    }

    Sink& m_out;
    const char* m_pos;
    const char* m_end;
};

} // namespace

bool appendIndentedCounters(QByteArray& out, QByteArrayView stored)
{
    Sink sink(out);
    const bool taken = Reader(sink, stored).document();
    sink.finish(taken);
    return taken;
}

} // namespace taxvault
