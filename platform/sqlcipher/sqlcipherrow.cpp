#include "sqlcipher/sqlcipherrow.h"

#include <sqlcipher/sqlite3.h>

#include <QByteArray>
#include <QString>

QVariant SqlCipherRow::value(int column) const
{
    if (column < 0 || column >= sqlite3_column_count(m_statement))
        return QVariant();
    switch (sqlite3_column_type(m_statement, column)) {
    case SQLITE_INTEGER:
        return QVariant(qlonglong(sqlite3_column_int64(m_statement, column)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(m_statement, column));
    case SQLITE_BLOB: {
        const void* data = sqlite3_column_blob(m_statement, column);
        return QVariant(
            QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(m_statement, column)));
    }
    case SQLITE_NULL:
        return QVariant();
    default: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
        return QVariant(QString::fromUtf8(text, sqlite3_column_bytes(m_statement, column)));
    }
    }
}

std::optional<QByteArrayView> SqlCipherRow::text(int column) const
{
    if (column < 0 || column >= sqlite3_column_count(m_statement) ||
        sqlite3_column_type(m_statement, column) != SQLITE_TEXT)
        return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
    if (!text)
        return std::nullopt;
    return QByteArrayView(text, sqlite3_column_bytes(m_statement, column));
}
