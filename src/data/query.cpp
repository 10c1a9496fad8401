#include "query.h"

#include "statementwatchdog.h"

#include "dates.h"
#include "error.h"
#include "texts.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>

#include <QSqlRecord>
#include <atomic>

namespace zov {

namespace {

const QJsonObject &declarations()
{
    static const QJsonObject root = [] {
        QFile file(QStringLiteral(":/zov/data/queries.json"));
        if (!file.open(QIODevice::ReadOnly))
            qFatal("resource queries.json is missing from the build");
        return QJsonDocument::fromJson(file.readAll()).object();
    }();
    return root;
}

} // namespace

QString Query::Value::asString() const
{
    if (isNull())
        return {};
    if (m_value.typeId() == QMetaType::QDate)
        return shortDate(m_value.toDate());
    return m_value.toString();
}

double Query::Value::asFloat() const
{
    return isNull() ? 0.0 : m_value.toDouble();
}

QDate Query::Value::asDate() const
{
    if (isNull())
        return {};
    if (m_value.typeId() == QMetaType::QDate)
        return m_value.toDate();
    if (m_value.typeId() == QMetaType::QDateTime)
        return m_value.toDateTime().date();
    return parseIsoDate(QStringView(m_value.toString()).left(10));
}

void Query::Param::setValue(const QVariant &value)
{
    if (!m_query->m_paramTypes.contains(m_name))
        throw Error(text("QRY_NO_PARAM").arg(m_name, m_query->m_name));
    m_query->m_params.insert(m_name, value);
}

Query::Query(const QString &name, const QString &connectionName)
    : m_name(name)
    , m_connectionName(connectionName)
{
    const QJsonObject decl = declarations().value(name).toObject();
    if (decl.isEmpty())
        qFatal("query %s is not declared in queries.json", qPrintable(name));
    const QJsonObject params = decl.value(QLatin1String("params")).toObject();
    for (auto it = params.begin(); it != params.end(); ++it)
        m_paramTypes.insert(it.key(), it.value().toString());
    for (const QJsonValue v : decl.value(QLatin1String("fields")).toArray()) {
        const QJsonObject f = v.toObject();
        m_fields.append(
            {f.value(QLatin1String("name")).toString(), f.value(QLatin1String("label")).toString(),
             f.value(QLatin1String("size")).toInt(), f.value(QLatin1String("width")).toInt()});
    }
}

QString Query::sqlText(const QString &name, const QString &dialect)
{
    // a dialect has a text of its own only where it differs from the generic one
    QFile file(QStringLiteral(":/zov/data/sql/%1.%2.sql").arg(name, dialect));
    if (!file.exists())
        file.setFileName(QStringLiteral(":/zov/data/sql/%1.generic.sql").arg(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

QString Query::dialectOf(const QSqlDatabase &db)
{
    const QString driver = db.driverName();
    if (driver == QLatin1String("QSQLITE"))
        return QStringLiteral("sqlite");
    if (driver == QLatin1String("QPSQL"))
        return QStringLiteral("postgresql");
    if (driver == QLatin1String("QOCI"))
        return QStringLiteral("oracle");
    if (driver == QLatin1String("QIBASE"))
        return QStringLiteral("ib");
    return QStringLiteral("generic");
}

namespace {
std::atomic<int> g_timeLimitMs{30000};
}

Query::~Query()
{
    // releasing the prepared statement talks to the database too; a second is ample
    // for a server that answers, and a program that ends does not wait for one that
    // does not
    const StatementWatchdog::Watch watch(QSqlDatabase::database(m_connectionName, false),
                                         StatementWatchdog::Clock::now() + std::chrono::seconds(1));
    m_statement.reset();
}

void Query::Close()
{
    m_rows.clear();
    m_columns.clear();
    m_pos = 0;
    m_active = false;
}

Query::Param Query::ParamByName(const QString &param)
{
    if (!m_paramTypes.contains(param))
        throw Error(text("QRY_NO_PARAM").arg(param, m_name));
    return Param(this, param);
}

void Query::setTimeLimit(int milliseconds)
{
    g_timeLimitMs = std::max(1000, milliseconds);
}

void Query::Open()
{
    Close();
    // a database that stopped answering does not hold the screen for good
    const StatementWatchdog::Watch watch(QSqlDatabase::database(m_connectionName, false),
                                         StatementWatchdog::Clock::now() +
                                             std::chrono::milliseconds(g_timeLimitMs.load()));
    const auto failed = [&](const QString &problem) {
        return watch.cut() ? Error(text("QRY_TIMED_OUT")
                                       .arg(m_name)
                                       .arg(QString::number(g_timeLimitMs / 1000.0, 'f', 1)
                                                .replace(QLatin1Char('.'), QLatin1Char(','))))
                           : Error(text("QRY_FAILED").arg(m_name, problem));
    };
    if (!m_statement) {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        if (!db.isOpen())
            throw Error(text("QRY_NO_CONNECTION").arg(m_name));
        const QString sql = sqlText(m_name, dialectOf(db));
        if (sql.trimmed().isEmpty())
            throw Error(text("QRY_NO_DIALECT").arg(m_name, dialectOf(db)));
        auto statement = std::make_unique<QSqlQuery>(db);
        statement->setForwardOnly(true);
        if (!statement->prepare(sql))
            throw failed(statement->lastError().text());
        m_statement = std::move(statement);
    }
    QSqlQuery &q = *m_statement;
    for (auto it = m_paramTypes.cbegin(); it != m_paramTypes.cend(); ++it) {
        QVariant v = m_params.value(it.key());
        if (it.value() == QLatin1String("date") && v.typeId() == QMetaType::QDateTime)
            v = v.toDateTime().date();
        q.bindValue(QLatin1Char(':') + it.key(), v);
    }
    if (!q.exec()) {
        const QString problem = q.lastError().text();
        m_statement.reset(); // prepared again at the next Open
        throw failed(problem);
    }
    const QSqlRecord rec = q.record();
    for (int i = 0; i < rec.count(); ++i)
        m_columns.append(rec.fieldName(i).toUpper());
    while (q.next()) {
        QVector<QVariant> row(rec.count());
        for (int i = 0; i < rec.count(); ++i) {
            const QVariant v = q.value(i);
            row[i] = v.isNull() ? QVariant() : v;
        }
        m_rows.append(row);
    }
    q.finish(); // releases the read snapshot
    m_active = true;
}

void Query::Next()
{
    if (m_pos < m_rows.size())
        ++m_pos;
}

void Query::setRow(int row)
{
    m_pos = std::clamp(row, 0, static_cast<int>(m_rows.size()));
}

QVariant Query::valueAt(int row, const QString &field) const
{
    const qsizetype col = m_columns.indexOf(field.toUpper());
    if (col < 0)
        throw Error(text("RS_NO_FIELD").arg(field, m_name));
    if (row < 0 || row >= m_rows.size())
        throw Error(text("RS_NO_CURRENT").arg(m_name));
    return m_rows.at(row).at(col);
}

Query::Value Query::FieldByName(const QString &field) const
{
    return Value(valueAt(m_pos, field));
}

} // namespace zov
