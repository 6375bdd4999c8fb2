#include "documents/identical.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QVariant>

#include <bit>

namespace taxvault::mapping {

namespace {

// Of two values Qt finds equal, whether their numbers are of one kind and of the same bits.
bool sameNumbers(const QJsonValue& a, const QJsonValue& b);

bool sameNumbers(const QJsonArray& a, const QJsonArray& b)
{
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (!sameNumbers(a.at(i), b.at(i)))
            return false;
    }
    return true;
}

bool sameNumbers(const QJsonObject& a, const QJsonObject& b)
{
    for (auto x = a.constBegin(), y = b.constBegin(); x != a.constEnd(); ++x, ++y) {
        if (!sameNumbers(x.value(), y.value()))
            return false;
    }
    return true;
}

bool sameNumbers(const QJsonValue& a, const QJsonValue& b)
{
    switch (a.type()) {
    case QJsonValue::Double: {
        const QVariant x = a.toVariant();
        const QVariant y = b.toVariant();
        if (x.metaType() != y.metaType())
            return false;
        if (x.metaType() == QMetaType::fromType<double>())
            return std::bit_cast<quint64>(x.toDouble()) == std::bit_cast<quint64>(y.toDouble());
        return x.toLongLong() == y.toLongLong();
    }
    case QJsonValue::Array:
        return sameNumbers(a.toArray(), b.toArray());
    case QJsonValue::Object:
        return sameNumbers(a.toObject(), b.toObject());
    default:
        return true;
    }
}

bool identical(const QVariant& a, const QVariant& b);

bool identical(const QVariantList& a, const QVariantList& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (!identical(a.at(i), b.at(i)))
            return false;
    }
    return true;
}

bool identical(const QVariant& a, const QVariant& b)
{
    if (a.metaType() != b.metaType())
        return false;
    switch (a.metaType().id()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        return true;
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::QString:
    case QMetaType::QStringList:
        return a == b;
    case QMetaType::Double:
        return std::bit_cast<quint64>(a.toDouble()) == std::bit_cast<quint64>(b.toDouble());
    case QMetaType::QVariantMap:
        return mapping::identical(*static_cast<const QVariantMap*>(a.constData()),
                                  *static_cast<const QVariantMap*>(b.constData()));
    case QMetaType::QVariantList:
        return identical(*static_cast<const QVariantList*>(a.constData()),
                         *static_cast<const QVariantList*>(b.constData()));
    default:
        return false;
    }
}

} // namespace

bool identical(const QVariantMap& a, const QVariantMap& b)
{
    if (a.size() != b.size())
        return false;
    for (auto x = a.cbegin(), y = b.cbegin(); x != a.cend(); ++x, ++y) {
        if (x.key() != y.key() || !identical(x.value(), y.value()))
            return false;
    }
    return true;
}

bool identical(const QJsonObject& a, const QJsonObject& b)
{
    return a == b && sameNumbers(a, b);
}

} // namespace taxvault::mapping
