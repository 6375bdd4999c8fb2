#include "storage/database.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "utility/paths.h"

namespace taxvault {

namespace {

// Fixed for the life of the process: taken on first use, at start-up.
const QString& dataDirectory()
{
    static const QString directory = paths::dataDir();
    return directory;
}

} // namespace

QString Database::dbFilePath()
{
    // The directory already ends with a slash; the double slash is harmless and
    // keeps the path identical to the one every installed device uses.
    return QStringLiteral("%1/fr_%2.db")
        .arg(dataDirectory(),
             QString::number(Singleton<Config>::instance()->getInt(QStringLiteral("KKM:deviceId"), 0)));
}

} // namespace taxvault
