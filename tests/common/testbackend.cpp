#include "testbackend.h"

#include "error.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>
#include <QUuid>

#include <cstdlib>
#include <mutex>

namespace zov::test {

namespace {

QString adminUrl()
{
    const QString url = qEnvironmentVariable("ZOV_TEST_PG");
    if (url.isEmpty()) {
        qWarning("ZOV_TEST_DB=postgresql needs a cluster in ZOV_TEST_PG (tests/pg/with-postgres): "
                 "skipped");
        fflush(stderr);
        std::_Exit(77);
    }
    return url;
}

QString urlOf(const QString &database)
{
    QUrl url(adminUrl());
    url.setPath(QLatin1Char('/') + database);
    return url.toString();
}

// Runs one statement on a connection of its own.
void run(const QString &db, const QString &sql, const QVariantList &values = {})
{
    const QString name =
        QStringLiteral("test-run-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    QString problem;
    {
        QSqlDatabase c = openDatabase(DatabaseConfig::parse(db), name, OpenMode::Create);
        QSqlQuery q(c);
        // statements without values run as they are (PostgreSQL prepares no DDL)
        if (values.isEmpty()) {
            if (!q.exec(sql))
                problem = q.lastError().text();
        } else {
            if (!q.prepare(sql))
                problem = q.lastError().text();
            for (const QVariant &v : values)
                q.addBindValue(v);
            if (problem.isEmpty() && !q.exec())
                problem = q.lastError().text();
        }
        q.finish();
        c.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (!problem.isEmpty())
        throw Error(sql + QStringLiteral(": ") + problem);
}

// Databases are left to the throwaway cluster, removed with it; TestDatabase drops
// its own as it goes.
QString freshName(const QString &name)
{
    QString db = QStringLiteral("zov_%1_%2")
                     .arg(name.toLower(), QUuid::createUuid().toString(QUuid::Id128).left(12));
    db.replace(QRegularExpression(QStringLiteral("[^a-z0-9_]")), QStringLiteral("_"));
    return db;
}

} // namespace

void execute(const QString &db, const QString &sql)
{
    run(db, sql);
}

void dropDatabase(const QString &db)
{
    if (onPostgres())
        run(adminUrl(),
            QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(QUrl(db).path().mid(1)));
}

bool onPostgres()
{
    return qEnvironmentVariable("ZOV_TEST_DB") == QLatin1String("postgresql");
}

QString newDatabase(const QString &folder, const QString &name)
{
    if (!onPostgres())
        return QDir(folder).filePath(name + QStringLiteral(".sqlite"));
    const QString db = freshName(name);
    run(adminUrl(), QStringLiteral("CREATE DATABASE %1").arg(db));
    return urlOf(db);
}

QString copyDatabase(const QString &from, const QString &folder, const QString &name)
{
    if (!onPostgres()) {
        const QString to = QDir(folder).filePath(name + QStringLiteral(".sqlite"));
        QFile::remove(to);
        run(from, QStringLiteral("VACUUM INTO ?"), {to});
        return to;
    }
    const QString db = freshName(name);
    run(adminUrl(),
        QStringLiteral("CREATE DATABASE %1 TEMPLATE %2").arg(db, QUrl(from).path().mid(1)));
    return urlOf(db);
}

QStringList queryRows(const QString &db, const QString &sql)
{
    const QString name =
        QStringLiteral("test-rows-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    QStringList rows;
    QString problem;
    {
        QSqlDatabase c = openDatabase(DatabaseConfig::parse(db), name);
        QSqlQuery q(c);
        if (!q.exec(sql))
            problem = q.lastError().text();
        while (q.next()) {
            QStringList cells;
            for (int i = 0; i < q.record().count(); ++i) {
                const QVariant v = q.value(i);
                cells.append(v.isNull()                       ? QStringLiteral("<null>")
                             : v.typeId() == QMetaType::QDate ? v.toDate().toString(Qt::ISODate)
                                                              : v.toString());
            }
            rows.append(cells.join(QLatin1Char('|')));
        }
        c.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (!problem.isEmpty())
        throw Error(sql + QStringLiteral(": ") + problem);
    rows.sort();
    return rows;
}

QVariant queryValue(const QString &db, const QString &sql)
{
    const QStringList rows = queryRows(db, sql);
    return rows.isEmpty() ? QVariant() : QVariant(rows.first().section(QLatin1Char('|'), 0, 0));
}

} // namespace zov::test
