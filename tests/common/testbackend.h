#pragma once

#include "database.h"

#include <QString>
#include <QStringList>
#include <QVariant>

namespace zov::test {

// Which database the suite runs on: SQLite files (the default) or, with
// ZOV_TEST_DB=postgresql, fresh databases on the PostgreSQL cluster that
// ZOV_TEST_PG names (tests/pg/with-postgres starts one). Without that cluster a
// PostgreSQL run of a test exits with 77, which ctest counts as skipped.
bool onPostgres();

// A new, empty database: a file in `folder` on SQLite, a fresh database on
// PostgreSQL (dropped when the process ends). The value --db takes.
QString newDatabase(const QString &folder, const QString &name);

// A copy of a database nobody is connected to.
QString copyDatabase(const QString &from, const QString &folder, const QString &name);

// Drops a database made by newDatabase or copyDatabase (PostgreSQL; files go with
// their folder).
void dropDatabase(const QString &db);

// Runs one statement (no values) on a connection of its own.
void execute(const QString &db, const QString &sql);

// Rows of a query, each as "v1|v2|...", sorted; and a single value.
QStringList queryRows(const QString &db, const QString &sql);
QVariant queryValue(const QString &db, const QString &sql);

} // namespace zov::test
