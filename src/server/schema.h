#pragma once

#include "database.h"

namespace zov {

// The version of the schema these programs use. Version 1 is the schema with the
// tables of the undo; a database from before versioning counts as version 0. Version 2
// added the audit of each batch, 3 the operators and their credentials. Every later
// change adds a step and raises this number: one that only adds tables runs the
// schema's own script, one that changes what is there db/<dialect>/upgrade-N.sql.
constexpr int kSchemaVersion = 3;

// Creates every table of the schema that is missing and records the version of a new
// database (idempotent).
void applySchema(QSqlDatabase &db);

// The version the database records: 0 when it records none.
int schemaVersion(QSqlDatabase &db);

// Empty when the database has every table and column the system uses, at this
// version; otherwise what differs, in Portuguese, one item each.
QStringList schemaDifferences(QSqlDatabase &db);
QString schemaProblem(QSqlDatabase &db); // the same, on one line
// Throws zov::Error (DB_WRONG_SCHEMA, naming `config`) when schemaProblem finds one.
void requireCurrentSchema(QSqlDatabase &db, const DatabaseConfig &config);

// On PostgreSQL, what the server's role may not do of what the server does (read the
// reference tables, write the menus), as "INSERT em IMPORTACAO, ..."; empty when it
// may do all (a table not there is the schema check's to name), and always on SQLite.
QString serverPrivilegeProblem(QSqlDatabase &db);

// Brings an older database to kSchemaVersion, one transaction a step; returns the
// versions it went through (empty when it was current). Throws for a database newer
// than these programs.
QList<int> upgradeSchema(QSqlDatabase &db);

} // namespace zov
