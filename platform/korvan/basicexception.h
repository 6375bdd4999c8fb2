#pragma once

#include "korvan/tr.h"

#include <QString>
#include <stdexcept>

class BasicException : public std::runtime_error
{
public:
    explicit BasicException(const QString& text);
    tr::Tr tr() const;

private:
    QString m_text;
};
