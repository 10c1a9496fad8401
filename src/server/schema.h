#pragma once

#include "database.h"

namespace zov {

// Creates every table of the schema that is missing (idempotent).
void applySchema(QSqlDatabase &db);

// Empty when the database has every table and column the system uses; otherwise
// what is missing, in Portuguese.
QString schemaProblem(QSqlDatabase &db);

} // namespace zov
