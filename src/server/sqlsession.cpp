#include "sqlsession.h"

#include "dates.h"
#include "statementwatchdog.h"
#include "texts.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QVarLengthArray>

#include <sqlite3.h>

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

// A value Qt's drivers bind as NULL
bool nullValue(const QVariant &v)
{
    if (!v.isValid() || v.isNull())
        return true;
    switch (v.typeId()) {
    case QMetaType::QString:
        return static_cast<const QString *>(v.constData())->isNull();
    case QMetaType::QByteArray:
        return static_cast<const QByteArray *>(v.constData())->isNull();
    case QMetaType::QDate:
        return static_cast<const QDate *>(v.constData())->isNull();
    case QMetaType::QDateTime:
        return static_cast<const QDateTime *>(v.constData())->isNull();
    case QMetaType::QTime:
        return static_cast<const QTime *>(v.constData())->isNull();
    default:
        return false;
    }
}

int bindText(sqlite3_stmt *statement, int position, const QString &text)
{
    // an ASCII text (codes, most names) goes in as the UTF-8 it already is, which
    // spares the library its conversion from UTF-16; any other as Qt's driver binds it
    const qsizetype size = text.size();
    const char16_t *utf16 = reinterpret_cast<const char16_t *>(text.constData());
    QVarLengthArray<char, 256> ascii(size);
    char *out = ascii.data();
    for (qsizetype i = 0; i < size; ++i) {
        if (utf16[i] >= 0x80)
            return sqlite3_bind_text16(statement, position, utf16,
                                       static_cast<int>(size * sizeof(QChar)), SQLITE_TRANSIENT);
        out[i] = static_cast<char>(utf16[i]);
    }
    return sqlite3_bind_text(statement, position, ascii.constData(), static_cast<int>(ascii.size()),
                             SQLITE_TRANSIENT);
}

// Binds as Qt's SQLite driver does: numbers as numbers, dates and times as ISO texts.
int bindValue(sqlite3_stmt *statement, int position, const QVariant &v)
{
    if (nullValue(v))
        return sqlite3_bind_null(statement, position);
    switch (v.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return sqlite3_bind_double(statement, position, v.toDouble());
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
        return sqlite3_bind_int(statement, position, v.toInt());
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return sqlite3_bind_int64(statement, position, v.toLongLong());
    case QMetaType::QByteArray: {
        const QByteArray bytes = v.toByteArray();
        return sqlite3_bind_blob(statement, position, bytes.constData(),
                                 static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
    case QMetaType::QDateTime:
        return bindText(statement, position, v.toDateTime().toString(Qt::ISODateWithMs));
    case QMetaType::QTime:
        return bindText(statement, position, v.toTime().toString(QStringLiteral("hh:mm:ss.zzz")));
    case QMetaType::QString:
        return bindText(statement, position, *static_cast<const QString *>(v.constData()));
    case QMetaType::QDate:
        return bindText(statement, position, isoDate(v.toDate())); // as Qt::ISODate writes it
    default:
        return bindText(statement, position, v.toString());
    }
}

} // namespace

QVariant SqlRow::value(int column) const
{
    if (m_query)
        return m_query->value(column);
    switch (sqlite3_column_type(m_statement, column)) {
    case SQLITE_INTEGER:
        return QVariant(static_cast<qlonglong>(sqlite3_column_int64(m_statement, column)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(m_statement, column));
    case SQLITE_NULL:
        return QVariant(QMetaType::fromType<QString>());
    case SQLITE_BLOB:
        return QByteArray(static_cast<const char *>(sqlite3_column_blob(m_statement, column)),
                          sqlite3_column_bytes(m_statement, column));
    default: {
        // an ASCII text is read as it is stored; any other as Qt's driver reads it
        const auto *utf8 = sqlite3_column_text(m_statement, column);
        const int bytes = sqlite3_column_bytes(m_statement, column);
        bool ascii = true;
        for (int i = 0; i < bytes && ascii; ++i)
            ascii = utf8[i] < 0x80;
        if (ascii)
            return QString::fromLatin1(reinterpret_cast<const char *>(utf8), bytes);
        const void *text = sqlite3_column_text16(m_statement, column);
        return QString(static_cast<const QChar *>(text),
                       sqlite3_column_bytes16(m_statement, column) / qsizetype(sizeof(QChar)));
    }
    }
}

std::optional<std::string_view> SqlRow::storedText(int column) const
{
    if (m_query || sqlite3_column_type(m_statement, column) != SQLITE_TEXT)
        return std::nullopt;
    const auto *utf8 = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
    return std::string_view(utf8, size_t(sqlite3_column_bytes(m_statement, column)));
}

SqlSession::SqlSession(const DatabaseConfig &config, const QString &connectionName,
                       std::uint64_t group)
    : m_connectionName(connectionName)
    , m_sqlite(config.isSQLite())
    , m_group(group)
{
    m_db = openDatabase(config, connectionName);
    if (m_sqlite) {
        const QVariant handle = m_db.driver()->handle();
        if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0)
            m_sqliteHandle = *static_cast<sqlite3 *const *>(handle.constData());
    }
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
        m_postgresQuery.reset();
    }
    for (sqlite3_stmt *statement : std::as_const(m_sqliteStatements))
        sqlite3_finalize(statement);
    m_sqliteStatements.clear();
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
    // what was held back went with the statement that failed, or is of its transaction
    m_heldBack.clear();
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

void SqlSession::failSqlite(int code)
{
    // busy and locked by their primary code, a refused key by its extended one, as
    // Qt's driver reports them
    const int primary = code & 0xff;
    const int reported = primary == SQLITE_BUSY || primary == SQLITE_LOCKED ? primary : code;
    fail(QSqlError(QStringLiteral("Unable to fetch row"),
                   QString::fromUtf8(sqlite3_errmsg(m_sqliteHandle)), QSqlError::StatementError,
                   QString::number(reported)),
         false);
}

sqlite3_stmt *SqlSession::sqliteBound(const QString &sql, const QVariantList &values)
{
    ++m_callStatements;
    auto it = m_sqliteStatements.find(sql);
    if (it == m_sqliteStatements.end()) {
        sqlite3_stmt *statement = nullptr;
        const QByteArray text = sql.toUtf8();
        const int code =
            sqlite3_prepare_v3(m_sqliteHandle, text.constData(), static_cast<int>(text.size()),
                               SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
        if (code != SQLITE_OK) {
            sqlite3_finalize(statement);
            failSqlite(code);
        }
        it = m_sqliteStatements.insert(sql, statement);
    }
    sqlite3_stmt *statement = it.value();
    const int parameters = sqlite3_bind_parameter_count(statement);
    // as Qt's driver: a statement run with more or fewer values than it takes fails
    if (parameters != values.size())
        fail(QSqlError(QStringLiteral("Parameter count mismatch"), QString(),
                       QSqlError::StatementError),
             false);
    for (int i = 0; i < parameters; ++i) {
        if (const int code = bindValue(statement, i + 1, values.at(i)); code != SQLITE_OK)
            failSqlite(code);
    }
    return statement;
}

bool SqlSession::sqliteStep(sqlite3_stmt *statement)
{
    const int code = sqlite3_step(statement);
    if (code == SQLITE_ROW)
        return true;
    if (code == SQLITE_DONE)
        return false;
    failSqlite(sqlite3_extended_errcode(m_sqliteHandle));
}

void SqlSession::select(const QString &sql, const QVariantList &values,
                        const std::function<void(const SqlRow &)> &row)
{
    if (m_sqliteHandle) {
        sqlite3_stmt *statement = sqliteBound(sql, values);
        struct Reset
        {
            sqlite3_stmt *statement;
            // releases the statement's read snapshot and the copies of its values
            ~Reset()
            {
                sqlite3_reset(statement);
                sqlite3_clear_bindings(statement);
            }
        } reset{statement};
        const SqlRow current(nullptr, statement);
        while (sqliteStep(statement))
            row(current);
        return;
    }
    const QString statement = m_sqlite ? QString() : postgresExecute(sql, values);
    StatementWatchdog::Watch watch(m_db, m_limit, m_group);
    QSqlQuery &q = m_sqlite ? bound(sql, values) : postgresSend(statement, watch);
    if (m_sqlite && !q.exec())
        fail(q.lastError(), watch.cut());
    struct Finish
    {
        QSqlQuery &q;
        ~Finish() { q.finish(); } // releases the statement's read snapshot
    } finish{q};
    const SqlRow current(&q, nullptr);
    while (q.next())
        row(current);
    if (q.lastError().isValid())
        fail(q.lastError(), watch.cut());
}

int SqlSession::exec(const QString &sql, const QVariantList &values)
{
    if (m_dryRun && !m_inTransaction)
        throw SqlFailure(text("DRY_RUN_WRITE"));
    if (m_sqliteHandle) {
        sqlite3_stmt *statement = sqliteBound(sql, values);
        try {
            while (sqliteStep(statement)) {
            }
        } catch (...) {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
            throw;
        }
        const int affected = sqlite3_changes(m_sqliteHandle);
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        return affected;
    }
    const QString statement = m_sqlite ? QString() : postgresExecute(sql, values);
    StatementWatchdog::Watch watch(m_db, m_limit, m_group);
    QSqlQuery &q = m_sqlite ? bound(sql, values) : postgresSend(statement, watch);
    if (m_sqlite && !q.exec())
        fail(q.lastError(), watch.cut());
    const int affected = q.numRowsAffected();
    q.finish();
    return affected;
}

void SqlSession::execLater(const QString &sql, const QVariantList &values)
{
    if (m_sqlite || !m_inTransaction) {
        exec(sql, values);
        return;
    }
    m_heldBack.append({postgresExecute(sql, values), {}, {}});
}

void SqlSession::selectLater(const QString &sql, const QVariantList &values,
                             std::function<void(const SqlRow &)> row, std::function<void()> done)
{
    if (m_sqlite || !m_inTransaction) {
        select(sql, values, row);
        if (done)
            done();
        return;
    }
    m_heldBack.append({postgresExecute(sql, values), std::move(row), std::move(done)});
}

void SqlSession::sendHeldBack()
{
    if (m_sqlite || m_heldBack.isEmpty() || (m_heldBack.size() == 1 && beginHeldBack()))
        return;
    StatementWatchdog::Watch watch(m_db, m_limit, m_group);
    postgresSend(QString(), watch).finish();
}

bool SqlSession::beginHeldBack() const
{
    return !m_heldBack.isEmpty() && m_heldBack.first().text == QLatin1String("BEGIN");
}

QString SqlSession::postgresExecute(const QString &sql, const QVariantList &values)
{
    auto it = m_postgresStatements.find(sql);
    if (it == m_postgresStatements.end()) {
        // its ? outside quotes are $1, $2, ... as Qt's driver numbers them
        QString text;
        text.reserve(sql.size() + 16);
        qsizetype parameters = 0;
        QChar quote;
        for (const QChar c : sql) {
            if (!quote.isNull()) {
                if (c == quote)
                    quote = QChar();
            } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
                quote = c;
            } else if (c == QLatin1Char('?')) {
                text += QLatin1Char('$') + QString::number(++parameters);
                continue;
            }
            text += c;
        }
        const QString name = QStringLiteral("zov_%1").arg(m_postgresStatements.size());
        // prepared on its own, outside any transaction held back: a statement kept for
        // the session, whatever becomes of the transaction
        {
            QSqlQuery prepare(m_db);
            StatementWatchdog::Watch watch(m_db, m_limit, m_group);
            if (!prepare.exec(QStringLiteral("PREPARE %1 AS %2").arg(name, text)))
                fail(prepare.lastError(), watch.cut());
        }
        it = m_postgresStatements.insert(sql, {name, parameters});
    }
    const QString &name = it->name;
    // as Qt's driver: a statement run with more or fewer values than it takes fails
    if (it->parameters != values.size())
        fail(QSqlError(QStringLiteral("Parameter count mismatch"), QString(),
                       QSqlError::StatementError),
             false);
    if (values.isEmpty())
        return QStringLiteral("EXECUTE ") + name;
    QString statement = QStringLiteral("EXECUTE ") + name + QStringLiteral(" (");
    const QSqlDriver *driver = m_db.driver();
    QSqlField field;
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QVariant &v = values.at(i);
        field.setMetaType(v.metaType());
        if (nullValue(v))
            field.clear();
        else
            field.setValue(v);
        if (i > 0)
            statement += QLatin1String(", ");
        statement += driver->formatValue(field);
    }
    statement += QLatin1Char(')');
    return statement;
}

QSqlQuery &SqlSession::postgresSend(const QString &statement, const StatementWatchdog::Watch &watch)
{
    if (!m_postgresQuery) {
        m_postgresQuery = std::make_unique<QSqlQuery>(m_db);
        m_postgresQuery->setForwardOnly(true);
    }
    QSqlQuery &q = *m_postgresQuery;
    // the texts held back first, then the statement (none when only they are sent)
    QList<HeldBack> sent = std::exchange(m_heldBack, {});
    if (!statement.isEmpty())
        sent.append({statement, {}, {}});
    QString text;
    for (const HeldBack &held : std::as_const(sent)) {
        if (!text.isEmpty())
            text += QLatin1String("; ");
        text += held.text;
    }
    ++m_callStatements;
    bool ok = q.exec(text);
    // a result for each text, in order: the last one's is left for the caller
    for (qsizetype i = 0; ok && i < sent.size(); ++i) {
        if (i > 0)
            ok = q.nextResult();
        if (ok && sent.at(i).row) {
            const SqlRow current(&q, nullptr);
            while (q.next())
                sent.at(i).row(current);
            ok = !q.lastError().isValid();
        }
        if (ok && sent.at(i).done)
            sent.at(i).done();
    }
    if (!ok)
        fail(q.lastError(), watch.cut());
    return q;
}

void SqlSession::begin()
{
    if (!m_sqlite) {
        // it goes with the transaction's first statement
        m_heldBack = {{QStringLiteral("BEGIN"), {}, {}}};
        m_inTransaction = true;
        return;
    }
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
    if (!m_sqlite) {
        // a transaction that ran nothing has nothing to commit
        if (m_heldBack.size() == 1 && beginHeldBack()) {
            m_heldBack.clear();
        } else {
            StatementWatchdog::Watch watch(m_db, m_limit, m_group);
            postgresSend(QStringLiteral("COMMIT"), watch).finish();
        }
        m_inTransaction = false;
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
    // a BEGIN never sent began nothing; what was held back after it is dropped
    const bool begun = !beginHeldBack();
    m_heldBack.clear();
    if (m_broken || !begun)
        return;
    QSqlQuery q(m_db);
    StatementWatchdog::Watch watch(m_db, m_limit, m_group);
    q.exec(QStringLiteral("ROLLBACK"));
}

} // namespace zov
