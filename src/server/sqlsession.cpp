#include "sqlsession.h"

#include "statementwatchdog.h"
#include "texts.h"

#include <QSqlError>

namespace zov {

namespace {

QString describe(const QSqlError &error, bool sqlite)
{
    const QString code = error.nativeErrorCode();
    if (sqlite && (code == QLatin1String("5") || code == QLatin1String("6") ||
                   error.text().contains(QLatin1String("locked"))))
        return text("DB_BUSY").arg(kBusyTimeoutMs / 1000);
    if (!sqlite && code == QLatin1String("55P03"))
        return text("DB_BUSY").arg(kBusyTimeoutMs / 1000);
    if (!sqlite && (code == QLatin1String("40001") || code == QLatin1String("40P01")))
        return text("DB_CONFLICT");
    return text("DB_ERROR").arg(error.text());
}

} // namespace

SqlSession::SqlSession(const DatabaseConfig &config, const QString &connectionName,
                       std::uint64_t group)
    : m_connectionName(connectionName)
    , m_sqlite(config.isSQLite())
    , m_group(group)
{
    m_db = openDatabase(config, connectionName);
}

SqlSession::~SqlSession()
{
    {
        // releasing the prepared statements talks to the database: a second is ample
        // for one that answers, and a thread that ends does not wait for one that
        // does not
        const StatementWatchdog::Watch watch(
            m_db, std::chrono::steady_clock::now() + std::chrono::seconds(1), m_group);
        m_statements.clear();
    }
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

void SqlSession::beginCall(std::chrono::steady_clock::time_point limit)
{
    m_limit = limit;
    m_callStatements = 0;
}

void SqlSession::fail(const QSqlError &error, bool cut)
{
    // a server shutting down says so (57P01..57P03) before it closes the connection,
    // and a connection fault has its own class (08)
    const QString state = error.nativeErrorCode();
    const bool closedByServer = state.startsWith(QLatin1String("08")) ||
                                state == QLatin1String("57P01") ||
                                state == QLatin1String("57P02") || state == QLatin1String("57P03");
    // a primary that became a standby (a failover) takes no writes: the call is refused
    // as unavailable, so that a balancer or the client sends it elsewhere, and the next
    // connection (a multi-host URL with target_session_attrs=read-write) finds the primary
    const bool readOnly = !m_sqlite && state == QLatin1String("25006");
    if (cut || readOnly || (!m_sqlite && (closedByServer || connectionBroken(m_db)))) {
        m_broken = true;
        m_inTransaction = false;
        throw SqlFailure(cut ? text("DB_TIMED_OUT")
                         : readOnly
                             ? text("DB_NOW_READ_ONLY")
                             : text("DB_UNAVAILABLE").arg(error.text().simplified().left(160)),
                         error.nativeErrorCode(), true, cut);
    }
    throw SqlFailure(describe(error, m_sqlite), error.nativeErrorCode());
}

QSqlQuery &SqlSession::prepared(const QString &sql)
{
    auto it = m_statements.find(sql);
    if (it == m_statements.end()) {
        auto query = std::make_shared<QSqlQuery>(m_db);
        query->setForwardOnly(true);
        StatementWatchdog::Watch watch(m_db, m_limit, m_group);
        if (!query->prepare(sql))
            fail(query->lastError(), watch.cut());
        it = m_statements.insert(sql, query);
    }
    return *it.value();
}

QSqlQuery &SqlSession::bound(const QString &sql, const QVariantList &values)
{
    ++m_callStatements;
    QSqlQuery &q = prepared(sql);
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    return q;
}

void SqlSession::select(const QString &sql, const QVariantList &values,
                        const std::function<void(const QSqlQuery &)> &row)
{
    QSqlQuery &q = bound(sql, values);
    StatementWatchdog::Watch watch(m_db, m_limit, m_group);
    if (!q.exec())
        fail(q.lastError(), watch.cut());
    struct Finish
    {
        QSqlQuery &q;
        ~Finish() { q.finish(); } // releases the statement's read snapshot
    } finish{q};
    while (q.next())
        row(q);
    if (q.lastError().isValid())
        fail(q.lastError(), watch.cut());
}

int SqlSession::exec(const QString &sql, const QVariantList &values)
{
    if (m_dryRun && !m_inTransaction)
        throw SqlFailure(text("DRY_RUN_WRITE"));
    QSqlQuery &q = bound(sql, values);
    StatementWatchdog::Watch watch(m_db, m_limit, m_group);
    if (!q.exec())
        fail(q.lastError(), watch.cut());
    const int affected = q.numRowsAffected();
    q.finish();
    return affected;
}

void SqlSession::begin()
{
    ++m_callStatements;
    QSqlQuery q(m_db);
    StatementWatchdog::Watch watch(m_db, m_limit, m_group);
    if (!q.exec(m_sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN")))
        fail(q.lastError(), watch.cut());
    m_inTransaction = true;
}

void SqlSession::commit()
{
    if (m_dryRun) {
        rollback();
        return;
    }
    QSqlQuery q(m_db);
    StatementWatchdog::Watch watch(m_db, m_limit, m_group);
    if (!q.exec(QStringLiteral("COMMIT")))
        fail(q.lastError(), watch.cut());
    m_inTransaction = false;
}

void SqlSession::rollback() noexcept
{
    m_inTransaction = false;
    if (m_broken)
        return;
    QSqlQuery q(m_db);
    StatementWatchdog::Watch watch(m_db, m_limit, m_group);
    q.exec(QStringLiteral("ROLLBACK"));
}

} // namespace zov
