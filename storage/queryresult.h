#pragma once

#include <QSqlQuery>

namespace taxvault {

// What Dao's query operations hand back: whether the statement executed, and
// the query positioned before its first row.
struct QueryResult
{
    bool success = false;
    QSqlQuery query;
};

} // namespace taxvault
