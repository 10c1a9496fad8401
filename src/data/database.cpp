#include "database.h"

#include "error.h"
#include "texts.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>

namespace zov {

QString DatabaseConfig::display() const
{
    if (isSQLite())
        return path;
    QString url = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        url += user + QLatin1Char('@');
    if (!ports.isEmpty()) {
        QStringList both;
        const QStringList hosts = host.split(QLatin1Char(','));
        const QStringList each = ports.split(QLatin1Char(','));
        for (qsizetype i = 0; i < hosts.size(); ++i)
            both.append(hosts.at(i) + QLatin1Char(':') + each.value(i));
        return url + both.join(QLatin1Char(',')) + QLatin1Char('/') + name;
    }
    return url + QStringLiteral("%1:%2/%3").arg(host).arg(port).arg(name);
}

QString DatabaseConfig::problem(const QString &value)
{
    try {
        parse(value);
    } catch (const Error &e) {
        return e.text();
    }
    return {};
}

DatabaseConfig DatabaseConfig::parse(const QString &value)
{
    DatabaseConfig config;
    if (!value.startsWith(QLatin1String("postgresql://")) &&
        !value.startsWith(QLatin1String("postgres://"))) {
        if (value.trimmed().isEmpty())
            throw Error(text("DB_NO_PATH"));
        config.kind = Kind::SQLite;
        config.path = value;
        return config;
    }
    // libpq's form with several hosts ("h1:5432,h2:5432"), for a failover without an
    // address move, is read host by host; QUrl takes one host only
    QString single = value;
    QStringList hosts;
    QStringList ports;
    {
        const qsizetype start = value.indexOf(QLatin1String("://")) + 3;
        const qsizetype slash = value.indexOf(QLatin1Char('/'), start);
        const QString authority = value.mid(start, slash < 0 ? -1 : slash - start);
        const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
        const QString hostList = authority.mid(at + 1);
        if (hostList.contains(QLatin1Char(','))) {
            for (const QString &h : hostList.split(QLatin1Char(','))) {
                const QUrl one(QStringLiteral("postgresql://") + h, QUrl::StrictMode);
                if (!one.isValid() || one.host().isEmpty())
                    throw Error(text("DB_BAD_URL").arg(value.left(200)));
                hosts.append(one.host());
                ports.append(QString::number(one.port(5432)));
            }
            single = value.left(start) + authority.left(at + 1) + hosts.first() + QLatin1Char(':') +
                     ports.first() + (slash < 0 ? QString() : value.mid(slash));
        }
    }
    const QUrl url(single, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.path().size() < 2)
        throw Error(text("DB_BAD_URL").arg(value.left(200)));
    config.kind = Kind::PostgreSQL;
    config.host = hosts.isEmpty() ? url.host() : hosts.join(QLatin1Char(','));
    config.port = url.port(5432);
    config.name = url.path().mid(1);
    config.user = url.userName();
    config.password = url.password();
    QStringList options;
    if (!ports.isEmpty())
        options.append(QStringLiteral("port=") + ports.join(QLatin1Char(',')));
    const QUrlQuery query(url);
    for (const auto &item : query.queryItems())
        options.append(item.first + QLatin1Char('=') + item.second);
    config.options = options.join(QLatin1Char(';'));
    config.ports = ports.join(QLatin1Char(','));
    return config;
}

void execOrThrow(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql))
        throw Error(
            text("DB_STATEMENT_FAILED").arg(sql.simplified().left(120), q.lastError().text()));
}

QSqlDatabase openDatabase(const DatabaseConfig &config, const QString &connectionName,
                          OpenMode mode)
{
    if (config.isSQLite()) {
        const QFileInfo info(config.path);
        if (mode == OpenMode::MustExist && !info.exists())
            throw Error(text("DB_MISSING").arg(config.path));
        if (mode == OpenMode::Create && !info.exists() && !QFileInfo(info.absolutePath()).isDir())
            throw Error(text("DB_NO_FOLDER").arg(config.path));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setDatabaseName(config.path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        if (!db.open())
            throw Error(text("DB_OPEN_FAILED").arg(config.path, db.lastError().text()));
        try {
            QSqlQuery q(db);
            // WAL lets readers go on while a batch is stored; with synchronous FULL
            // every commit reaches the disk before the server answers. A connection
            // opening the file at the same moment (the embedded server's, say) may hold
            // it for an instant: it is waited for, as long as for any busy database.
            QElapsedTimer waited;
            waited.start();
            while (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next()) {
                const int code = q.lastError().nativeErrorCode().toInt() & 0xff;
                if ((code != 5 && code != 6) || waited.elapsed() >= kBusyTimeoutMs)
                    throw Error(text("DB_OPEN_FAILED").arg(config.path, q.lastError().text()));
                q.finish();
                QThread::msleep(10);
            }
            if (q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
                throw Error(text("DB_OPEN_FAILED").arg(config.path, q.lastError().text()));
            execOrThrow(db, QStringLiteral("PRAGMA synchronous=FULL"));
            execOrThrow(db, QStringLiteral("PRAGMA foreign_keys=ON"));
        } catch (...) {
            db.close();
            throw;
        }
        return db;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(config.host);
    // several hosts take their ports from the options (libpq's "port=5432,5433")
    if (config.ports.isEmpty())
        db.setPort(config.port);
    db.setDatabaseName(config.name);
    db.setUserName(config.user);
    db.setPassword(config.password);
    // A host that is gone is noticed within a minute (keepalives), not at the next
    // restart; a server that is up but stuck is the statement watchdog's.
    QString options =
        QStringLiteral("connect_timeout=5;keepalives=1;keepalives_idle=30;keepalives_interval=10;"
                       "keepalives_count=3");
    if (!config.options.isEmpty())
        options += QLatin1Char(';') + config.options;
    db.setConnectOptions(options);
    if (!db.open()) {
        // sslmode=verify-full: the database's certificate, its CA or its name did not match
        const QString why = db.lastError().text();
        if (why.contains(QLatin1String("certificate verify failed")) ||
            why.contains(QLatin1String("does not match host name")) ||
            why.contains(QLatin1String("root certificate file")))
            throw Error(text("DB_TLS_UNCONFIRMED").arg(config.display(), why));
        throw Error(text("DB_OPEN_FAILED").arg(config.display(), why));
    }
    execOrThrow(db, QStringLiteral("SET client_encoding TO 'UTF8'"));
    // a lock held by another writer is waited for as long as SQLite waits, then refused
    execOrThrow(db, QStringLiteral("SET lock_timeout = %1").arg(kBusyTimeoutMs));
    // no statement of this system runs for long: one that does is ended by the server
    execOrThrow(db, QStringLiteral("SET statement_timeout = %1").arg(kStatementTimeoutMs));
    return db;
}

} // namespace zov
