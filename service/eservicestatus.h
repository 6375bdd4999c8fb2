#pragma once

#include <QDataStream>
#include <QMetaType>

namespace taxvault {

// The service state; the stored value in the status table and serviceStatus of
// the status block are these numbers.
enum class EServiceStatus : int {
    NORMAL = 0,
    AUTONOMOUS = 1,
    BLOCKED = 2,
    SERVER_BLOCKED = 3,
};

inline QDataStream& operator<<(QDataStream& stream, EServiceStatus status)
{
    return stream << static_cast<qint32>(status);
}

inline QDataStream& operator>>(QDataStream& stream, EServiceStatus& status)
{
    qint32 value = 0;
    stream >> value;
    status = static_cast<EServiceStatus>(value);
    return stream;
}

// The workers report status changes through queued signals, which need the
// type known to the meta-type system at run time. Safe to call repeatedly and
// from any thread.
inline void registerServiceStatusMetaType()
{
    qRegisterMetaType<EServiceStatus>("taxvault::EServiceStatus");
}

} // namespace taxvault

Q_DECLARE_METATYPE(taxvault::EServiceStatus)
