#include "korvannetwork/responseheader.h"

namespace {

QByteArray singleLine(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\r', ' ').replace('\n', ' ');
    return bytes;
}

bool isToken(const QString& name)
{
    if (name.isEmpty())
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool allowed = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                             QStringView(u"!#$%&'*+-.^_`|~").contains(c);
        if (!allowed)
            return false;
    }
    return true;
}

} // namespace

ResponseHeader::ResponseHeader(int code, const QString& text, int major, int minor)
{
    setStatusLine(code, text, major, minor);
}

void ResponseHeader::setStatusLine(int code, const QString& text, int major, int minor)
{
    m_code = code;
    m_text = text;
    setVersion(major, minor);
}

QByteArray ResponseHeader::toByteArray() const
{
    QByteArray bytes = "HTTP/" + QByteArray::number(majorVersion()) + '.' +
                       QByteArray::number(minorVersion()) + ' ' + QByteArray::number(m_code) + ' ' +
                       singleLine(m_text) + "\r\n";
    for (const auto& field : values()) {
        if (!isToken(field.first))
            continue;
        bytes += field.first.toLatin1() + ": " + singleLine(field.second) + "\r\n";
    }
    bytes += "\r\n";
    return bytes;
}
