#include "backup.h"

#include "error.h"
#include "schema.h"
#include "texts.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace zov {

DatabaseHold::~DatabaseHold()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool DatabaseHold::take(const QString &database, bool exclusive)
{
    // an advisory lock of its own (flock), apart from SQLite's locks (fcntl)
    m_fd = ::open(QFile::encodeName(database).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return true; // nothing there to hold yet
    if (::flock(m_fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
        return true;
    ::close(m_fd);
    m_fd = -1;
    return false;
}

namespace {

// A plain connection to an SQLite file, read-only when asked, closed on scope exit.
class File
{
public:
    File(const QString &path, bool readOnly)
        : m_name(QStringLiteral("zov-copy-%1").arg(QUuid::createUuid().toString(QUuid::Id128)))
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(path);
        if (readOnly)
            m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!m_db.open())
            throw Error(text("DB_OPEN_FAILED").arg(path, m_db.lastError().text()));
    }
    ~File()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase &db() { return m_db; }

    QVariant value(const QString &sql)
    {
        QSqlQuery q(m_db);
        if (!q.exec(sql) || !q.next())
            throw Error(text("DB_STATEMENT_FAILED").arg(sql.left(80), q.lastError().text()));
        return q.value(0);
    }

    // every row of every table, in order: two files with the same digest hold the same
    QByteArray digest()
    {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        QStringList tables = m_db.tables();
        tables.sort();
        for (const QString &table : std::as_const(tables)) {
            const int columns = m_db.record(table).count();
            QStringList order;
            for (int c = 1; c <= columns; ++c)
                order.append(QString::number(c));
            QSqlQuery q(m_db);
            q.setForwardOnly(true);
            if (!q.exec(QStringLiteral("SELECT * FROM \"%1\" ORDER BY %2")
                            .arg(table, order.join(QLatin1Char(',')))))
                throw Error(text("DB_STATEMENT_FAILED").arg(table, q.lastError().text()));
            hash.addData(table.toUtf8());
            while (q.next()) {
                for (int c = 0; c < columns; ++c) {
                    const QVariant v = q.value(c);
                    hash.addData(v.isNull() ? QByteArrayLiteral("\x01N") : v.toString().toUtf8());
                    hash.addData(QByteArrayView("\x00", 1));
                }
            }
        }
        return hash.result();
    }

    CopyCounts counts()
    {
        return {value(QStringLiteral("SELECT COUNT(*) FROM CARDADIA")).toLongLong(),
                value(QStringLiteral("SELECT COUNT(*) FROM COMPCARD")).toLongLong()};
    }

    // a whole, sound copy of this system's database
    void checkSound(const QString &path)
    {
        const QString integrity = value(QStringLiteral("PRAGMA integrity_check")).toString();
        if (integrity != QLatin1String("ok"))
            throw Error(text("DB_COPY_DAMAGED").arg(path, integrity.left(200)));
        bool found = false;
        for (const QString &t : m_db.tables())
            found = found || t.compare(QLatin1String("CARDADIA"), Qt::CaseInsensitive) == 0;
        if (!found)
            throw Error(text("DB_COPY_NOT_OURS").arg(path));
    }

private:
    QString m_name;
    QSqlDatabase m_db;
};

QString quoted(const QString &path)
{
    return QLatin1Char('\'') + QString(path).replace(QLatin1Char('\''), QLatin1String("''")) +
           QLatin1Char('\'');
}

void renameOver(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throw Error(text("DB_COPY_FAILED").arg(to, QString::fromLocal8Bit(std::strerror(errno))));
}

} // namespace

CopyCounts backupSqlite(const QString &database, const QString &to)
{
    if (!QFileInfo::exists(database))
        throw Error(text("DB_MISSING").arg(database));
    if (QFileInfo::exists(to))
        throw Error(text("DB_COPY_EXISTS").arg(to));
    const QString partial = to + QStringLiteral(".parcial");
    QFile::remove(partial);
    {
        // the copy holds every menu and operator: readable by its owner only from its
        // first byte (SQLite fills an empty file it finds and keeps its mode)
        const int fd = ::open(QFile::encodeName(partial).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            throw Error(
                text("DB_COPY_FAILED").arg(to, QString::fromLocal8Bit(std::strerror(errno))));
        ::close(fd);
    }
    {
        // one read transaction: the copy is the database as of one moment, the
        // batches its -wal file holds included
        File source(database, true);
        source.value(QStringLiteral("SELECT COUNT(*) FROM sqlite_master"));
        QSqlQuery q(source.db());
        if (!q.exec(QStringLiteral("VACUUM INTO %1").arg(quoted(partial)))) {
            QFile::remove(partial);
            throw Error(text("DB_COPY_FAILED").arg(to, q.lastError().text()));
        }
    }
    CopyCounts counts;
    {
        File copy(partial, true);
        copy.checkSound(partial);
        counts = copy.counts();
    }
    renameOver(partial, to);
    return counts;
}

CopyCounts restoreSqlite(const QString &database, const QString &from)
{
    if (!QFileInfo::exists(from))
        throw Error(text("DB_MISSING").arg(from));
    // a copy is its maker's alone (0600): restored by another user, it is said as such
    if (!QFileInfo(from).isReadable())
        throw Error(text("DB_COPY_UNREADABLE").arg(from));
    QByteArray wanted;
    {
        File copy(from, true);
        copy.checkSound(from);
        wanted = copy.digest();
    }
    // no server may hold the database while it is replaced, and none starts meanwhile
    DatabaseHold hold;
    if (!hold.take(database, true))
        throw Error(text("DB_HELD_BY_SERVER").arg(database));
    const QString partial = database + QStringLiteral(".restaurando");
    QFile::remove(partial);
    {
        File copy(from, true);
        QSqlQuery q(copy.db());
        if (!q.exec(QStringLiteral("VACUUM INTO %1").arg(quoted(partial)))) {
            QFile::remove(partial);
            throw Error(text("DB_COPY_FAILED").arg(database, q.lastError().text()));
        }
    }
    // the journal of the database replaced (a server killed leaves one) would otherwise
    // be replayed over the copy at the next open
    for (const char *suffix : {"-wal", "-shm", "-journal"}) {
        const QString stale = database + QLatin1String(suffix);
        if (QFileInfo::exists(stale) && !QFile::remove(stale)) {
            QFile::remove(partial);
            throw Error(text("DB_COPY_FAILED").arg(stale, QFile(stale).errorString()));
        }
    }
    renameOver(partial, database);
    File restored(database, true);
    if (restored.digest() != wanted)
        throw Error(text("DB_RESTORE_DIFFERS").arg(database, from));
    return restored.counts();
}

} // namespace zov
