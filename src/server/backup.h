#pragma once

#include <QString>

namespace zov {

// What a copy of an SQLite database holds, for the message that names it.
struct CopyCounts
{
    qint64 headers = 0; // CARDADIA
    qint64 dishes = 0;  // COMPCARD
};

// Writes a consistent copy of the SQLite database at `database` to `to`, which must not
// exist, while servers may go on using it; the copy is 0600. Throws zov::Error.
CopyCounts backupSqlite(const QString &database, const QString &to);

// Replaces the SQLite database at `database` with the copy `from`: refused while a
// server holds the database; the -wal and -shm files of the database replaced go with
// it, so that nothing of them is replayed over the copy; returns only when the
// database then holds exactly what the copy holds. Throws zov::Error.
CopyCounts restoreSqlite(const QString &database, const QString &from);

// Held by a server for its life over an SQLite database: a restore waits for none and
// refuses while one holds it. False, with nothing held, when a restore holds the file.
class DatabaseHold
{
public:
    DatabaseHold() = default;
    ~DatabaseHold();
    DatabaseHold(const DatabaseHold &) = delete;
    DatabaseHold &operator=(const DatabaseHold &) = delete;
    bool take(const QString &database, bool exclusive);

private:
    int m_fd = -1;
};

} // namespace zov
