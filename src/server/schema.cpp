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

void applySchema(QSqlDatabase &db)
{
    if (!db.transaction())
        throw Error(
            text("DB_STATEMENT_FAILED").arg(QStringLiteral("BEGIN"), db.lastError().text()));
    try {
        for (const QString &statement : statements(schemaText(db)))
            execOrThrow(db, statement);
    } catch (...) {
        db.rollback();
        throw;
    }
    if (!db.commit())
        throw Error(
            text("DB_STATEMENT_FAILED").arg(QStringLiteral("COMMIT"), db.lastError().text()));
}

QString schemaProblem(QSqlDatabase &db)
{
    const QStringList present = db.tables();
    QStringList problems;
    for (const auto &[table, columns] : schemaTables(db)) {
        bool found = false;
        for (const QString &t : present)
            found = found || t.compare(table, Qt::CaseInsensitive) == 0;
        if (!found) {
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
    return problems.join(QLatin1Char(' '));
}

} // namespace zov
