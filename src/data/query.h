#pragma once

#include <QDate>
#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <QVector>

#include <memory>

class QSqlQuery;

namespace zov {

// A declared result field of a local query (the columns a pick list shows).
struct QueryFieldDef
{
    QString name;
    QString label;
    int size = 0;
    int width = 0;
};

// One of the screen's read-only reference queries over the host's database
// connection. Its text is kept in the resource in a generic form and, where a dialect
// needs another (Oracle, Microsoft SQL Server, InterBase, SQLite, PostgreSQL), in that
// dialect's form; the one matching the connected driver runs. Values are always bound,
// never pasted into the text. Rows are read whole at Open (a client-side cursor).
class Query
{
public:
    class Value
    {
    public:
        explicit Value(QVariant v)
            : m_value(std::move(v))
        {}
        QVariant value() const { return m_value; }
        bool isNull() const { return !m_value.isValid() || m_value.isNull(); }
        QString asString() const;
        double asFloat() const; // null reads as 0
        QDate asDate() const;

    private:
        QVariant m_value;
    };

    class Param
    {
    public:
        Param(Query *query, QString name)
            : m_query(query)
            , m_name(std::move(name))
        {}
        void setValue(const QVariant &value);
        void setAsString(const QString &value) { setValue(value); }
        void setAsDate(const QDate &value) { setValue(value); }

    private:
        Query *m_query;
        QString m_name;
    };

    // `name` is the query's name in the resource (qryFilial, adqDietaX, ...).
    Query(const QString &name, const QString &connectionName);
    ~Query();

    const QString &name() const { return m_name; }
    void Close();
    Param ParamByName(const QString &param);
    void Open();
    bool active() const { return m_active; }

    bool IsEmpty() const { return m_rows.isEmpty(); }
    bool Eof() const { return m_pos >= m_rows.size(); }
    void First() { m_pos = 0; }
    void Next();
    int rowCount() const { return static_cast<int>(m_rows.size()); }
    void setRow(int row);
    Value FieldByName(const QString &field) const;
    QVariant valueAt(int row, const QString &field) const;

    const QList<QueryFieldDef> &declaredFields() const { return m_fields; }

    // The text of `name` in `dialect` (generic, oracle, mssql, ib, sqlite,
    // postgresql): the dialect's own where the resource has one, else the generic one.
    static QString sqlText(const QString &name, const QString &dialect);
    static QString dialectOf(const QSqlDatabase &db);

    // How long a query may run before its connection is cut (a database that stopped
    // answering); the calls' deadline is a good value. 30 s until set.
    static void setTimeLimit(int milliseconds);

private:
    QString m_name;
    QString m_connectionName;
    QHash<QString, QString> m_paramTypes;
    QHash<QString, QVariant> m_params;
    QList<QueryFieldDef> m_fields;
    QStringList m_columns;
    QList<QVector<QVariant>> m_rows;
    std::unique_ptr<QSqlQuery> m_statement; // prepared once, run at every Open
    int m_pos = 0;
    bool m_active = false;
};

} // namespace zov
