#pragma once

#include <QString>

namespace tr {

// A message with its Russian text; other languages are not kept.
class Tr
{
public:
    Tr() = default;
    explicit Tr(const QString& ru) : m_ru(ru) {}
    QString ru() const { return m_ru; }

private:
    QString m_ru;
};

} // namespace tr
