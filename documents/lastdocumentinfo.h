#pragma once

#include <QObject>

namespace taxvault {

// The last document that the server accepted from this register.
class LastDocumentInfo
{
    Q_GADGET
    Q_PROPERTY(int frShiftNumber MEMBER frShiftNumber)
    Q_PROPERTY(qlonglong printedDocumentNumber MEMBER printedDocumentNumber)

public:
    bool operator==(const LastDocumentInfo&) const = default;

    int frShiftNumber = 0;
    qint64 printedDocumentNumber = 0;
};

} // namespace taxvault
