#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>

namespace taxvault {

// What Dao's query operations hand back: whether the statement executed, and
// the query positioned before its first row.
struct QueryResult
{
    // Built on the Dao's own connection: a default QSqlQuery would look up the
    // default connection by name, which Qt refuses (with a warning) on the worker threads.
    explicit QueryResult(const QSqlDatabase& db) : query(db)
    {
        // Rows are read once, first to last: each is released once passed.
        query.setForwardOnly(true);
    }

    bool success = false;
    QSqlQuery query;
};

} // namespace taxvault
