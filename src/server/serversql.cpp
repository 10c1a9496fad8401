#include "serversql.h"

#include "layout.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

namespace zov {

namespace {

QHash<QString, QString> readStatements(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("SQL resource %s is missing from the build", qPrintable(path));
    QHash<QString, QString> statements;
    QString name;
    QString body;
    const auto flush = [&] {
        QString text = body.trimmed();
        if (text.endsWith(QLatin1Char(';')))
            text.chop(1);
        if (!name.isEmpty())
            statements.insert(name, text);
        body.clear();
    };
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("-- name:"))) {
            flush();
            name = line.mid(8).trimmed();
        } else if (!line.trimmed().startsWith(QLatin1String("--"))) {
            body += line + QLatin1Char('\n');
        }
    }
    flush();
    return statements;
}

// The columns of a layout's table: `layout`, `layout:Q.` (each qualified by Q.) or
// `layout:Q.,R.NAME,...` (NAME qualified by R. instead).
QStringList layoutColumns(const QString &argument)
{
    const QStringList parts = argument.split(QLatin1Char(':'));
    const QStringList qualifiers =
        parts.size() > 1 ? parts.at(1).split(QLatin1Char(',')) : QStringList();
    QStringList columns;
    for (const QString &column : layout(parts.at(0)).dataFieldNames()) {
        QString name = qualifiers.value(0) + column;
        for (qsizetype i = 1; i < qualifiers.size(); ++i) {
            if (qualifiers.at(i).section(QLatin1Char('.'), 1) == column)
                name = qualifiers.at(i);
        }
        columns.append(name);
    }
    return columns;
}

// The text of one placeholder: {FOR_UPDATE}, {DIET_IN_LIST:column}, {COLUMNS:...},
// {ASSIGNMENTS:layout} (NAME = ?, ...) or {VALUES:layout} (?, ...).
QString placeholderText(const QString &name, const QString &argument, bool sqlite,
                        const QString &inList)
{
    const QLatin1String comma(", ");
    if (name == QLatin1String("FOR_UPDATE"))
        return sqlite ? QString() : QStringLiteral(" FOR UPDATE");
    if (name == QLatin1String("DIET_IN_LIST"))
        return QString(inList).replace(QLatin1String("{COLUMN}"), argument);
    if (name == QLatin1String("COLUMNS"))
        return layoutColumns(argument).join(comma);
    if (name == QLatin1String("ASSIGNMENTS"))
        return layoutColumns(argument).join(QLatin1String(" = ?, ")) + QLatin1String(" = ?");
    if (name == QLatin1String("VALUES"))
        return QStringList(layoutColumns(argument).size(), QStringLiteral("?")).join(comma);
    qFatal("unknown SQL placeholder {%s}", qPrintable(name));
}

QHash<QString, QString> dialectStatements(bool sqlite)
{
    QHash<QString, QString> statements =
        readStatements(QStringLiteral(":/zov/server/sql/common.sql"));
    const QHash<QString, QString> dialect =
        readStatements(sqlite ? QStringLiteral(":/zov/server/sql/sqlite.sql")
                              : QStringLiteral(":/zov/server/sql/postgresql.sql"));
    for (auto it = dialect.cbegin(); it != dialect.cend(); ++it)
        statements.insert(it.key(), it.value());
    // the diet test is a piece of the statements, not one of them
    const QString inList = statements.take(QStringLiteral("DIET_IN_LIST"));
    static const QRegularExpression placeholder(QStringLiteral("\\{([A-Z_]+)(?::([^{}]*))?\\}"));
    for (auto it = statements.begin(); it != statements.end(); ++it) {
        QString &sql = it.value();
        QRegularExpressionMatch m;
        qsizetype from = 0;
        while ((m = placeholder.match(sql, from)).hasMatch()) {
            const QString text = placeholderText(m.captured(1), m.captured(2), sqlite, inList);
            sql.replace(m.capturedStart(), m.capturedLength(), text);
            from = m.capturedStart() + text.size();
        }
    }
    return statements;
}

} // namespace

QString serverSql(bool sqlite, const char *name)
{
    static const QHash<QString, QString> sqliteStatements = dialectStatements(true);
    static const QHash<QString, QString> postgresStatements = dialectStatements(false);
    const auto &statements = sqlite ? sqliteStatements : postgresStatements;
    const auto it = statements.constFind(QLatin1String(name));
    if (it == statements.cend())
        qFatal("no SQL statement named %s", name);
    return it.value();
}

QString serverSqlRows(bool sqlite, const char *name, int rows)
{
    const QString sql = serverSql(sqlite, name);
    static const QLatin1String values("VALUES (");
    const qsizetype from = sql.indexOf(values) + values.size() - 1;
    const qsizetype to = sql.indexOf(QLatin1Char(')'), from) + 1;
    if (from < values.size() - 1 || to <= from)
        qFatal("SQL statement %s has no VALUES row", name);
    return sql.left(from) + QStringList(rows, sql.mid(from, to - from)).join(QLatin1String(", ")) +
           sql.mid(to);
}

} // namespace zov
