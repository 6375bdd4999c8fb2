#include "korvan/basicexception.h"

BasicException::BasicException(const QString& text) : std::runtime_error(text.toStdString()), m_text(text) {}

tr::Tr BasicException::tr() const
{
    return tr::Tr(m_text);
}
