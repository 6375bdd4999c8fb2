#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>

#include <functional>
#include <utility>

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
    QueryResult(QueryResult&& other) noexcept
        : success(other.success), query(std::move(other.query)),
          giveBack(std::exchange(other.giveBack, nullptr))
    {
    }
    QueryResult& operator=(QueryResult&& other) noexcept
    {
        if (this != &other) {
            release();
            success = other.success;
            query = std::move(other.query);
            giveBack = std::exchange(other.giveBack, nullptr);
        }
        return *this;
    }
    ~QueryResult() { release(); }

    bool success = false;
    QSqlQuery query;
    // Set when the query is a prepared statement lent by the Dao: it goes back
    // to be run again once this result is gone.
    std::function<void(QSqlQuery&&)> giveBack;

private:
    void release() noexcept
    {
        if (!giveBack)
            return;
        // Kept or not, the statement is done with: a failure to keep it (no
        // memory) only costs preparing it again.
        try {
            std::exchange(giveBack, nullptr)(std::move(query));
        } catch (...) {
        }
    }
};

} // namespace taxvault
