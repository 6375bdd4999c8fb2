#pragma once

#include <QObject>
#include <QString>

namespace taxvault {

// The organisation's name, address, taxpayer number, activity code and address in Kazakh.
class OrgRegInfo
{
    Q_GADGET
    Q_PROPERTY(QString title MEMBER title)
    Q_PROPERTY(QString address MEMBER address)
    Q_PROPERTY(QString inn MEMBER inn)
    Q_PROPERTY(QString okved MEMBER okved)
    Q_PROPERTY(QString addressKz MEMBER addressKz)

public:
    bool operator==(const OrgRegInfo&) const = default;

    QString title;
    QString address;
    QString inn;
    QString okved;
    QString addressKz;
};

} // namespace taxvault
