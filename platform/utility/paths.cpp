#include "utility/paths.h"

#include <QByteArray>
#include <QtGlobal>

namespace paths {

QString rooted(const QString& fixedPath)
{
    const QString root = qEnvironmentVariable("TAXVAULT_ROOT");
    if (root.isEmpty())
        return fixedPath;
    QString prefix = root;
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    return prefix + fixedPath;
}

QString confDir()
{
    return rooted(QStringLiteral("/tillbase/cash/conf/"));
}

QString dataDir()
{
    return rooted(QStringLiteral("/tillbase/cash/data/taxvault/"));
}

QString configFile()
{
    return confDir() + QStringLiteral("taxvault.ini");
}

} // namespace paths
