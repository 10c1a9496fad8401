#include "sqlsession.h"

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

SqlSession::SqlSession(const DatabaseConfig &config, const QString &connectionName)
    : m_connectionName(connectionName)
    , m_sqlite(config.isSQLite())
{
    m_db = openDatabase(config, connectionName);
}

SqlSession::~SqlSession()
{
    m_statements.clear();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

QSqlQuery &SqlSession::prepared(const QString &sql)
{
    auto it = m_statements.find(sql);
    if (it == m_statements.end()) {
        auto query = std::make_shared<QSqlQuery>(m_db);
        query->setForwardOnly(true);
        if (!query->prepare(sql))
            throw SqlFailure(describe(query->lastError(), m_sqlite),
                             query->lastError().nativeErrorCode());
        it = m_statements.insert(sql, query);
    }
    return *it.value();
}

void SqlSession::select(const QString &sql, const QVariantList &values,
                        const std::function<void(const QSqlQuery &)> &row)
{
    QSqlQuery &q = prepared(sql);
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        throw SqlFailure(describe(q.lastError(), m_sqlite), q.lastError().nativeErrorCode());
    struct Finish
    {
        QSqlQuery &q;
        ~Finish() { q.finish(); } // releases the statement's read snapshot
    } finish{q};
    while (q.next())
        row(q);
    if (q.lastError().isValid())
        throw SqlFailure(describe(q.lastError(), m_sqlite), q.lastError().nativeErrorCode());
}

int SqlSession::exec(const QString &sql, const QVariantList &values)
{
    if (m_dryRun && !m_inTransaction)
        throw SqlFailure(text("DRY_RUN_WRITE"));
    QSqlQuery &q = prepared(sql);
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        throw SqlFailure(describe(q.lastError(), m_sqlite), q.lastError().nativeErrorCode());
    const int affected = q.numRowsAffected();
    q.finish();
    return affected;
}

void SqlSession::begin()
{
    QSqlQuery q(m_db);
    if (!q.exec(m_sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN")))
        throw SqlFailure(describe(q.lastError(), m_sqlite), q.lastError().nativeErrorCode());
    m_inTransaction = true;
}

void SqlSession::commit()
{
    if (m_dryRun) {
        rollback();
        return;
    }
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("COMMIT")))
        throw SqlFailure(describe(q.lastError(), m_sqlite), q.lastError().nativeErrorCode());
    m_inTransaction = false;
}

void SqlSession::rollback() noexcept
{
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("ROLLBACK"));
    m_inTransaction = false;
}

} // namespace zov
