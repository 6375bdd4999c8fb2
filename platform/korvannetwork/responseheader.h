#pragma once

#include "korvannetwork/basicheader.h"

#include <QByteArray>

// The status line and header fields of a reply handed to HttpServer::sendResponse.
class ResponseHeader : public BasicHeader
{
public:
    ResponseHeader() = default;
    ResponseHeader(int code, const QString& text, int major = 1, int minor = 1);

    void setStatusLine(int code, const QString& text = QString(), int major = 1, int minor = 1);
    // 0 until a status line is set.
    int statusCode() const { return m_code; }
    QString reasonPhrase() const { return m_text; }

    // Status line and fields as they go on the wire, ending with the empty line.
    // Line breaks inside texts are replaced, so no caller can inject fields.
    QByteArray toByteArray() const;

private:
    int m_code = 0;
    QString m_text;
};
