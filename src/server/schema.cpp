#include "schema.h"

#include "error.h"
#include "texts.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>

namespace zov {

namespace {

QString schemaText(const QSqlDatabase &db)
{
    const QString dialect = db.driverName() == QLatin1String("QPSQL") ? QStringLiteral("postgresql")
                                                                      : QStringLiteral("sqlite");
    QFile file(QStringLiteral(":/zov/db/%1/schema.sql").arg(dialect));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("schema resource for %s is missing from the build", qPrintable(dialect));
    return QString::fromUtf8(file.readAll());
}

QStringList statements(const QString &script)
{
    QStringList result;
    QString current;
    for (const QString &line : script.split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QLatin1String("--")))
            continue;
        current += line + QLatin1Char('\n');
        if (line.trimmed().endsWith(QLatin1Char(';'))) {
            result.append(current.trimmed());
            current.clear();
        }
    }
    if (!current.trimmed().isEmpty())
        result.append(current.trimmed());
    return result;
}

// table -> columns, read from the schema itself
QList<QPair<QString, QStringList>> schemaTables(const QSqlDatabase &db)
{
    QList<QPair<QString, QStringList>> tables;
    for (const QString &statement : statements(schemaText(db))) {
        if (!statement.startsWith(QLatin1String("CREATE TABLE")))
            continue;
        const QStringList lines = statement.split(QLatin1Char('\n'));
        const QString name = lines.first().section(QLatin1Char(' '), 5, 5);
        QStringList columns;
        for (int i = 1; i < lines.size(); ++i) {
            const QString word = lines.at(i).trimmed().section(QLatin1Char(' '), 0, 0);
            if (word.isEmpty() || word == QLatin1String("PRIMARY") ||
                word == QLatin1String("UNIQUE") || word == QLatin1String("FOREIGN") ||
                word.startsWith(QLatin1Char(')')))
                continue;
            columns.append(word);
        }
        tables.append({name, columns});
    }
    return tables;
}

} // namespace

namespace {

// runs the statements in one transaction, then records `version` as the database's
void runStep(QSqlDatabase &db, const QStringList &script, int version)
{
    if (!db.transaction())
        throw Error(
            text("DB_STATEMENT_FAILED").arg(QStringLiteral("BEGIN"), db.lastError().text()));
    try {
        for (const QString &statement : script)
            execOrThrow(db, statement);
        execOrThrow(db, QStringLiteral("DELETE FROM ZOVSCHEMA"));
        execOrThrow(db,
                    QStringLiteral("INSERT INTO ZOVSCHEMA (NRVERSAO) VALUES (%1)").arg(version));
    } catch (...) {
        db.rollback();
        throw;
    }
    if (!db.commit())
        throw Error(
            text("DB_STATEMENT_FAILED").arg(QStringLiteral("COMMIT"), db.lastError().text()));
}

bool hasTable(const QStringList &present, const QString &table)
{
    for (const QString &t : present) {
        if (t.compare(table, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

QString serverPrivilegeProblem(QSqlDatabase &db)
{
    if (db.driverName() != QLatin1String("QPSQL"))
        return {};
    // every table the server reads or writes and what it does with it (the grants of
    // docs/examples/grants.sql)
    static const QList<QPair<const char *, const char *>> needs{
        {"FILIAL", "SELECT"},
        {"DIETPADR", "SELECT"},
        {"DIETSERV", "SELECT"},
        {"ESTIDIETA", "SELECT"},
        {"TIPOPRAT", "SELECT"},
        {"CNFCAMES", "SELECT"},
        {"ZOVSCHEMA", "SELECT"},
        {"OPERADOR", "SELECT"},
        {"OPERADORCRED", "SELECT"},
        {"CARDADIA", "SELECT INSERT UPDATE DELETE"},
        {"COMPCARD", "SELECT INSERT UPDATE DELETE"},
        {"CARDSEQ", "SELECT INSERT UPDATE"},
        {"LOTEIMPORT", "SELECT INSERT DELETE"},
        {"LOTEAUDITORIA", "SELECT INSERT"},
        {"SERVICO", "SELECT"},
        {"IMPORTACAO", "SELECT INSERT DELETE"},
        {"IMPORTACAODIA", "SELECT INSERT UPDATE DELETE"}};
    // one question for all of them; a table that is not there is the schema check's to
    // name (to_regclass gives null, and so does the privilege)
    QStringList pairs;
    for (const auto &[table, privileges] : needs) {
        for (const QString &privilege : QString::fromLatin1(privileges).split(QLatin1Char(' ')))
            pairs.append(QStringLiteral("(%1, '%2', '%3')")
                             .arg(pairs.size())
                             .arg(QLatin1String(table), privilege));
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT t, p FROM (VALUES %1) AS n(i, t, p) "
                               "WHERE has_table_privilege(to_regclass(lower(t)), p) IS FALSE "
                               "ORDER BY i")
                    .arg(pairs.join(QStringLiteral(", ")))))
        throw Error(text("DB_STATEMENT_FAILED")
                        .arg(QStringLiteral("has_table_privilege"), q.lastError().text()));
    QStringList missing;
    while (q.next())
        missing.append(text("DB_PRIVILEGE").arg(q.value(1).toString(), q.value(0).toString()));
    return missing.join(QStringLiteral(", "));
}

int schemaVersion(QSqlDatabase &db)
{
    if (!hasTable(db.tables(), QStringLiteral("ZOVSCHEMA")))
        return 0;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT MAX(NRVERSAO) FROM ZOVSCHEMA")) || !q.next())
        throw Error(
            text("DB_STATEMENT_FAILED").arg(QStringLiteral("ZOVSCHEMA"), q.lastError().text()));
    return q.value(0).toInt();
}

void applySchema(QSqlDatabase &db)
{
    // a new database is created at this version; an older one keeps its number until
    // zov-db upgrade has run its steps
    const bool fresh = !hasTable(db.tables(), QStringLiteral("CARDADIA"));
    const int version = fresh ? kSchemaVersion : schemaVersion(db);
    runStep(db, statements(schemaText(db)), version);
}

QList<int> upgradeSchema(QSqlDatabase &db)
{
    const int from = schemaVersion(db);
    if (from > kSchemaVersion)
        throw Error(text("DB_NEWER_SCHEMA").arg(from).arg(kSchemaVersion));
    QList<int> steps;
    for (int version = from + 1; version <= kSchemaVersion; ++version) {
        // A step whose script is the schema's own (version 1, as it stood when versions
        // began, and any step that only adds tables) creates what an older database
        // lacks: every statement is idempotent. A step that changes what is there has
        // a script of its own, upgrade-N.sql.
        QStringList script = statements(schemaText(db));
        const QString dialect = db.driverName() == QLatin1String("QPSQL")
                                    ? QStringLiteral("postgresql")
                                    : QStringLiteral("sqlite");
        QFile file(QStringLiteral(":/zov/db/%1/upgrade-%2.sql").arg(dialect).arg(version));
        if (version > 1 && file.open(QIODevice::ReadOnly))
            script = statements(QString::fromUtf8(file.readAll()));
        runStep(db, script, version);
        steps.append(version);
    }
    return steps;
}

QStringList schemaDifferences(QSqlDatabase &db)
{
    QStringList problems;
    const QStringList present = db.tables();
    for (const auto &[table, columns] : schemaTables(db)) {
        if (!hasTable(present, table)) {
            problems.append(text("DB_MISSING_TABLE").arg(table));
            continue;
        }
        const QSqlRecord record =
            db.record(db.driverName() == QLatin1String("QPSQL") ? table.toLower() : table);
        for (const QString &column : columns) {
            if (record.indexOf(column) < 0)
                problems.append(text("DB_MISSING_COLUMN").arg(table, column));
        }
    }
    if (problems.isEmpty()) {
        if (const int version = schemaVersion(db); version != kSchemaVersion)
            problems.append(text("DB_OTHER_VERSION").arg(version).arg(kSchemaVersion));
    }
    return problems;
}

QString schemaProblem(QSqlDatabase &db)
{
    return schemaDifferences(db).join(QLatin1Char(' '));
}

void requireCurrentSchema(QSqlDatabase &db, const DatabaseConfig &config)
{
    if (const QString problem = schemaProblem(db); !problem.isEmpty())
        throw Error(text("DB_WRONG_SCHEMA").arg(config.display(), problem));
}

} // namespace zov
