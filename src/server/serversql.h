#pragma once

#include <QString>

namespace zov {

// The server's SQL texts by name (resources sql/common.sql and sql/<dialect>.sql;
// a dialect file replaces a statement of the common one). `{DIET_IN_LIST:column}`
// becomes the dialect's test that the column's code is in a bound diet list.
QString serverSql(bool sqlite, const char *name);

} // namespace zov
