#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <optional>

namespace taxvault::testing {

inline QJsonObject parseObject(const QString& text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text.toStdString();
    return document.object();
}

inline std::string compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

// A single value as compact JSON text; wrapped in an array because a document must be a container.
inline std::string compact(const QJsonValue& value)
{
    const std::string text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).toStdString();
    return text.substr(1, text.size() - 2);
}

// The value under a path such as "amounts/taken" or "items/1/type"; empty when a step is missing.
inline std::optional<QJsonValue> valueAt(const QJsonObject& root, const QString& path)
{
    QJsonValue current(root);
    for (const QString& step : path.split(QLatin1Char('/'))) {
        if (current.isObject()) {
            const QJsonObject object = current.toObject();
            if (!object.contains(step))
                return std::nullopt;
            current = object.value(step);
        } else if (current.isArray()) {
            bool ok = false;
            const int index = step.toInt(&ok);
            const QJsonArray array = current.toArray();
            if (!ok || index < 0 || index >= array.size())
                return std::nullopt;
            current = array.at(index);
        } else {
            return std::nullopt;
        }
    }
    return current;
}

} // namespace taxvault::testing
