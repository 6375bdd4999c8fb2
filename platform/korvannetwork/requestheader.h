#pragma once

#include "korvannetwork/basicheader.h"

// The request line and header fields of a request that HttpServer received.
class RequestHeader : public BasicHeader
{
public:
    RequestHeader() = default;
    RequestHeader(const QString& method, const QString& path, int major = 1, int minor = 1);

    void setRequest(const QString& method, const QString& path, int major = 1, int minor = 1);
    QString method() const { return m_method; }
    // The request target as sent, query included.
    QString path() const { return m_path; }

private:
    QString m_method;
    QString m_path;
};
