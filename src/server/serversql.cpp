#include "serversql.h"

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

QHash<QString, QString> dialectStatements(bool sqlite)
{
    QHash<QString, QString> statements =
        readStatements(QStringLiteral(":/zov/server/sql/common.sql"));
    const QHash<QString, QString> dialect =
        readStatements(sqlite ? QStringLiteral(":/zov/server/sql/sqlite.sql")
                              : QStringLiteral(":/zov/server/sql/postgresql.sql"));
    for (auto it = dialect.cbegin(); it != dialect.cend(); ++it)
        statements.insert(it.key(), it.value());
    const QString inList = statements.value(QStringLiteral("DIET_IN_LIST"));
    static const QRegularExpression placeholder(QStringLiteral("\\{DIET_IN_LIST:([A-Z_.]+)\\}"));
    for (auto it = statements.begin(); it != statements.end(); ++it) {
        QString &sql = it.value();
        QRegularExpressionMatch m;
        while ((m = placeholder.match(sql)).hasMatch()) {
            QString test = inList;
            test.replace(QLatin1String("{COLUMN}"), m.captured(1));
            sql.replace(m.capturedStart(), m.capturedLength(), test);
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

} // namespace zov
