#pragma once

#include "database.h"
#include "statementwatchdog.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace zov {

// A row of a statement's result, its columns by position, valued as Qt's drivers
// value them.
class SqlRow
{
public:
    QVariant value(int column) const;
    // The column's text as SQLite stores it (UTF-8), valid until the next row; nothing
    // for another type or another database. A reader that converts a run of equal
    // texts once compares these.
    std::optional<std::string_view> storedText(int column) const;

private:
    friend class SqlSession;
    SqlRow(const QSqlQuery *query, sqlite3_stmt *statement)
        : m_query(query)
        , m_statement(statement)
    {}
    const QSqlQuery *m_query;
    sqlite3_stmt *m_statement;
};

// One database connection of the server with its prepared statements, used by one
// thread at a time. Statements are prepared once per connection and reused; on
// SQLite they run on the library's own statements, without the cost of Qt's binding.
// On PostgreSQL a transaction's BEGIN and the statements queued by execLater and
// selectLater go to the server with the statement after them, in one round trip: a
// batch takes two instead of eight.
class SqlSession
{
public:
    // `group` names the server whose session it is, for the statement watchdog.
    SqlSession(const DatabaseConfig &config, const QString &connectionName,
               std::uint64_t group = 0);
    ~SqlSession();
    SqlSession(const SqlSession &) = delete;
    SqlSession &operator=(const SqlSession &) = delete;

    QSqlDatabase &db() { return m_db; }
    bool isSQLite() const { return m_sqlite; }

    // Runs `sql` with `values` bound in order; calls `row` for every result row.
    // Throws SqlFailure on a database error.
    void select(const QString &sql, const QVariantList &values,
                const std::function<void(const SqlRow &)> &row);
    // Runs a statement that returns no rows; the number of rows it changed.
    int exec(const QString &sql, const QVariantList &values);
    // A write in a transaction whose count of rows no one needs: on PostgreSQL it goes
    // with the next statement or the commit, and its error, if any, comes from there
    // (the transaction is then lost, as with any failed statement); elsewhere, and
    // outside a transaction, it runs at once.
    void execLater(const QString &sql, const QVariantList &values);
    // A read in a transaction whose answer can wait: on PostgreSQL `row` is called when
    // it comes back with the next statement sent (or sendHeldBack), before that
    // statement's own answer, and `done` once all its rows are in (a read of no rows
    // included); elsewhere, and outside a transaction, at once.
    void selectLater(const QString &sql, const QVariantList &values,
                     std::function<void(const SqlRow &)> row, std::function<void()> done = {});
    // Sends what is held back, without waiting for a statement to go with it.
    void sendHeldBack();

    // Write transactions: on SQLite BEGIN IMMEDIATE, so the write lock is taken up
    // front and a busy database is reported before anything is done.
    void begin();
    void commit();
    void rollback() noexcept;

    // A session of a dry run keeps nothing: every transaction ends in a rollback,
    // whatever asked for a commit, and a write outside a transaction is refused.
    void setDryRun(bool dryRun) { m_dryRun = dryRun; }
    bool dryRun() const { return m_dryRun; }

    // The call that starts: its statements are abandoned (the connection cut) when
    // they run past `limit`.
    void beginCall(std::chrono::steady_clock::time_point limit);
    // Statements sent since beginCall (on PostgreSQL, those sent together count once).
    int statementsOfCall() const { return m_callStatements; }
    // The connection was lost or cut: the session is of no further use.
    bool broken() const { return m_broken; }

private:
    QSqlQuery &prepared(const QString &sql);
    QSqlQuery &bound(const QString &sql, const QVariantList &values);
    sqlite3_stmt *sqliteBound(const QString &sql, const QVariantList &values);
    // Runs an SQLite statement to its next row: true on a row, false when done.
    bool sqliteStep(sqlite3_stmt *statement);
    // PostgreSQL: EXECUTE of the statement prepared for `sql`, its values written as
    // Qt's driver writes them; sent with the texts held back, the query on its result.
    QString postgresExecute(const QString &sql, const QVariantList &values);
    QSqlQuery &postgresSend(const QString &statement, const StatementWatchdog::Watch &watch);
    [[noreturn]] void fail(const QSqlError &error, bool cut);
    [[noreturn]] void failSqlite(int code);

    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_sqlite;
    bool m_dryRun = false;
    bool m_inTransaction = false;
    bool m_broken = false;
    std::uint64_t m_group = 0;
    int m_callStatements = 0;
    std::chrono::steady_clock::time_point m_limit = std::chrono::steady_clock::time_point::max();
    QHash<QString, std::shared_ptr<QSqlQuery>> m_statements;
    struct Prepared
    {
        QString name;
        qsizetype parameters;
    };
    QHash<QString, Prepared> m_postgresStatements;
    struct HeldBack
    {
        QString text;
        std::function<void(const SqlRow &)> row; // a read's, called for each row
        std::function<void()> done;              // and when its rows are all in
    };
    QList<HeldBack> m_heldBack;
    bool beginHeldBack() const;
    std::unique_ptr<QSqlQuery> m_postgresQuery;
    sqlite3 *m_sqliteHandle = nullptr;
    QHash<QString, sqlite3_stmt *> m_sqliteStatements;
};

// A database error, already put in words for the caller.
class SqlFailure : public std::exception
{
public:
    explicit SqlFailure(QString text, QString nativeCode = {}, bool connectionLost = false,
                        bool timedOut = false)
        : m_text(std::move(text))
        , m_code(std::move(nativeCode))
        , m_lost(connectionLost)
        , m_timedOut(timedOut)
    {}
    const QString &text() const { return m_text; }
    // The connection to the database was lost (or cut by the watchdog): nothing of
    // the transaction under way was kept, and the session must be replaced.
    bool connectionLost() const { return m_lost; }
    // Lost because a statement ran past the call's time limit.
    bool timedOut() const { return m_timedOut; }
    // The database was busy with other writes (a lock not granted in time, a
    // serialization conflict): nothing was done, and the same call may work later.
    bool busy() const
    {
        static const QStringList codes{QStringLiteral("5"), QStringLiteral("6"),
                                       QStringLiteral("55P03"), QStringLiteral("40001"),
                                       QStringLiteral("40P01")};
        return codes.contains(m_code);
    }
    // True when a primary or unique key refused the row.
    bool isKeyTaken() const
    {
        return m_code == QLatin1String("1555") || m_code == QLatin1String("2067") ||
               m_code == QLatin1String("23505");
    }
    const char *what() const noexcept override { return "database error"; }

private:
    QString m_text;
    QString m_code;
    bool m_lost = false;
    bool m_timedOut = false;
};

// Rolls back unless committed.
class WriteTransaction
{
public:
    explicit WriteTransaction(SqlSession &session)
        : m_session(session)
    {
        m_session.begin();
    }
    ~WriteTransaction()
    {
        if (!m_done)
            m_session.rollback();
    }
    void commit()
    {
        m_session.commit();
        m_done = true;
    }

private:
    SqlSession &m_session;
    bool m_done = false;
};

} // namespace zov
