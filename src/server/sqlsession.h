#pragma once

#include "database.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <functional>
#include <memory>

namespace zov {

// One database connection of the server with its prepared statements, used by one
// thread at a time. Statements are prepared once per connection and reused.
class SqlSession
{
public:
    SqlSession(const DatabaseConfig &config, const QString &connectionName);
    ~SqlSession();
    SqlSession(const SqlSession &) = delete;
    SqlSession &operator=(const SqlSession &) = delete;

    QSqlDatabase &db() { return m_db; }
    bool isSQLite() const { return m_sqlite; }

    // Runs `sql` with `values` bound in order; calls `row` for every result row.
    // Throws SqlFailure on a database error.
    void select(const QString &sql, const QVariantList &values,
                const std::function<void(const QSqlQuery &)> &row);
    // Runs a statement that returns no rows; the number of rows it changed.
    int exec(const QString &sql, const QVariantList &values);

    // Write transactions: on SQLite BEGIN IMMEDIATE, so the write lock is taken up
    // front and a busy database is reported before anything is done.
    void begin();
    void commit();
    void rollback() noexcept;

    // A session of a dry run keeps nothing: every transaction ends in a rollback,
    // whatever asked for a commit, and a write outside a transaction is refused.
    void setDryRun(bool dryRun) { m_dryRun = dryRun; }
    bool dryRun() const { return m_dryRun; }

private:
    QSqlQuery &prepared(const QString &sql);

    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_sqlite;
    bool m_dryRun = false;
    bool m_inTransaction = false;
    QHash<QString, std::shared_ptr<QSqlQuery>> m_statements;
};

// A database error, already put in words for the caller.
class SqlFailure : public std::exception
{
public:
    explicit SqlFailure(QString text, QString nativeCode = {})
        : m_text(std::move(text))
        , m_code(std::move(nativeCode))
    {}
    const QString &text() const { return m_text; }
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
