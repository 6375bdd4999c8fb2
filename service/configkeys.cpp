#include "service/configkeys.h"

namespace taxvault {

const QList<QString>& serviceConfigKeys()
{
    static const QList<QString> keys{
        QStringLiteral("Connection:servicePort"),
        QStringLiteral("Connection:host"),
        QStringLiteral("Connection:port"),
        QStringLiteral("Connection:connectionTimeout"),
        QStringLiteral("Connection:writeTimeout"),
        QStringLiteral("Connection:readTimeout"),
        QStringLiteral("DataSending:operationTimeout"),
        QStringLiteral("DataSending:reconnectionTimeout"),
        QStringLiteral("DataSending:offlineModeLimit"),
        QStringLiteral("FiscalMemory:fiscalMemoryRecordsLimit"),
        QStringLiteral("KKM:deviceId"),
        QStringLiteral("KKM:token"),
        QStringLiteral("KKM:packageNumber"),
        QStringLiteral("KKM:fnsKkmId"),
        QStringLiteral("KKM:serialNumber"),
        QStringLiteral("KKM:withdrawMoney"),
        QStringLiteral("KKM:taxationType"),
        QStringLiteral("Service:organizationTitle"),
        QStringLiteral("Service:organizationAddress"),
        QStringLiteral("Service:organizationInn"),
        QStringLiteral("Service:activityType"),
        QStringLiteral("Checks:checkOnlyRequestDate"),
        QStringLiteral("Blocks:blockOnDbDamaged"),
    };
    return keys;
}

} // namespace taxvault
