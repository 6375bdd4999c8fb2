#include "korvannetwork/requestheader.h"

RequestHeader::RequestHeader(const QString& method, const QString& path, int major, int minor)
{
    setRequest(method, path, major, minor);
}

void RequestHeader::setRequest(const QString& method, const QString& path, int major, int minor)
{
    m_method = method;
    m_path = path;
    setVersion(major, minor);
}
