#pragma once

#include "korvan/basicexception.h"

namespace taxvault {

// The operator link, or the encoding of a request for it, failed.
class ServiceException : public BasicException
{
public:
    explicit ServiceException(const QString& text) : BasicException(text) {}
};

} // namespace taxvault
