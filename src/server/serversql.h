#pragma once

#include <QString>

namespace zov {

// The server's SQL texts by name (resources sql/common.sql and sql/<dialect>.sql;
// a dialect file replaces a statement of the common one). `{DIET_IN_LIST:column}`
// becomes the dialect's test that the column's code is in a bound diet list,
// `{FOR_UPDATE}` PostgreSQL's row lock, and `{COLUMNS:layout}` and its kin the
// columns of a record-set layout's table (see sql/common.sql).
QString serverSql(bool sqlite, const char *name);
// A statement whose one VALUES row is repeated `rows` times: many rows in one statement.
QString serverSqlRows(bool sqlite, const char *name, int rows);

} // namespace zov
