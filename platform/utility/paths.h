#pragma once

#include <QString>

namespace paths {

// The fixed directories of the workstation, under $TAXVAULT_ROOT when it is set
// (tests and the local run keep everything inside one directory).
QString rooted(const QString& fixedPath);
QString confDir();
QString dataDir();
QString configFile();

} // namespace paths
