#pragma once

#include "korvan/basicexception.h"

namespace taxvault {

// The server refused the request's token (result code 2).
class InvalidTokenException : public BasicException
{
public:
    explicit InvalidTokenException(const QString& text) : BasicException(text) {}
};

} // namespace taxvault
