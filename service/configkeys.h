#pragma once

#include <QList>
#include <QString>

namespace taxvault {

// Every key the service reads, as "Section:name"; anything else in its ini is a mistake.
const QList<QString>& serviceConfigKeys();

} // namespace taxvault
