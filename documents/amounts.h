#pragma once

#include "documents/modifier.h"

#include <QObject>
#include <QVariant>

#include <optional>

namespace taxvault {

// The totals of a receipt.
class Amounts
{
    Q_GADGET
    Q_PROPERTY(double total MEMBER total)
    Q_PROPERTY(QVariant taken READ takenToVariant WRITE takenFromVariant)
    Q_PROPERTY(QVariant change READ changeToVariant WRITE changeFromVariant)
    Q_PROPERTY(QVariant markup READ markupToVariant WRITE markupFromVariant)
    Q_PROPERTY(QVariant discount READ discountToVariant WRITE discountFromVariant)

public:
    bool operator==(const Amounts&) const = default;

    double total = 0;
    std::optional<double> taken;
    std::optional<double> change;
    std::optional<Modifier> markup;
    std::optional<Modifier> discount;

private:
    QVariant takenToVariant() const;
    void takenFromVariant(const QVariant& value);
    QVariant changeToVariant() const;
    void changeFromVariant(const QVariant& value);
    QVariant markupToVariant() const;
    void markupFromVariant(const QVariant& value);
    QVariant discountToVariant() const;
    void discountFromVariant(const QVariant& value);
};

} // namespace taxvault
