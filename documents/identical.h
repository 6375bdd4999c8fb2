#pragma once

#include <QJsonObject>
#include <QVariantMap>

namespace taxvault::mapping {

// Whether two objects read as the same document: the same keys, values of the same kinds, equal texts
// and numbers of the same kind and bits. Stricter than Qt's ==, which may compare numbers as doubles:
// two objects of finite numbers are identical exactly when the JSON writer prints them alike.
bool identical(const QJsonObject& a, const QJsonObject& b);
// The same for property maps: the same keys, values of the same types and equal, numbers of the same
// bits. A value of a type no document property gives reads as different.
bool identical(const QVariantMap& a, const QVariantMap& b);

} // namespace taxvault::mapping
