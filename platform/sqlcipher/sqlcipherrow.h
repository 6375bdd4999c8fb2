#pragma once

#include <QByteArrayView>
#include <QVariant>

#include <functional>
#include <optional>

struct sqlite3_stmt;

// The row a SQLCipher statement has just stepped to, read in place: valid only
// while a visitor of SqlCipherResult::execVisiting sees it.
class SqlCipherRow
{
public:
    explicit SqlCipherRow(sqlite3_stmt* statement) : m_statement(statement) {}

    // The value as a query of the driver gives it.
    QVariant value(int column) const;
    // The UTF-8 bytes of a text value as stored; nothing for any other value.
    std::optional<QByteArrayView> text(int column) const;

private:
    sqlite3_stmt* m_statement;
};

using SqlCipherRowVisitor = std::function<void(const SqlCipherRow& row)>;
