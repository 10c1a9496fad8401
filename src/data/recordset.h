#pragma once

#include "layout.h"
#include "packet.h"

#include <QDate>
#include <QHash>
#include <QObject>
#include <QVariant>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

namespace zov {

class RecordSet;

// A handle on one field of a record set; reads and writes the current row (or the
// row being inserted or edited).
class Field
{
public:
    Field(RecordSet *recordSet, int index)
        : m_rs(recordSet)
        , m_index(index)
    {}

    const FieldDef &def() const;
    QVariant value() const;
    bool isNull() const;
    QString asString() const; // null reads as ""
    double asFloat() const;   // null reads as 0
    int asInteger() const;    // null reads as 0; rounded to the nearest integer
    QDate asDate() const;     // null reads as a null date

    // Only while the record set is in Insert or Edit state (calculated fields: only
    // inside the calculation handler). Converts as a field assignment does and
    // refuses a value that does not fit (zov::Error naming the field).
    void setValue(const QVariant &value);
    void clear() { setValue(QVariant()); }

private:
    RecordSet *m_rs;
    int m_index;
};

// An in-memory table with declared fields, a cursor honouring an optional filter,
// an optional active index, and a change log whose delta can be counted, taken and
// merged. Locates and filters go through hash indexes on their key fields, kept in
// step with every insert, change and deletion, so neither scans the rows.
class RecordSet : public QObject
{
    Q_OBJECT
public:
    enum class State { Inactive, Browse, Insert, Edit };

    explicit RecordSet(const Layout &layout, QObject *parent = nullptr);
    explicit RecordSet(const QString &layoutName, QObject *parent = nullptr);
    ~RecordSet() override;

    const Layout &layout() const { return m_layout; }
    QString name() const { return m_layout.name; }
    State state() const { return m_state; }
    bool active() const { return m_state != State::Inactive; }

    // Replaces the whole content with the packet's rows, binding columns to the
    // declared fields by name (extra columns are ignored). A missing declared field,
    // a column of another type or a value that does not fit is refused and the
    // record set stays as it was. The cursor stands on the first row; the change log
    // is empty; the filter and its flag are kept.
    void SetData(const Packet &packet);
    void SetData(Packet &&packet); // consumes the packet row by row
    // Empties the record set; a closed record set counts as empty.
    void Close();

    void First();
    void Next();
    bool Eof() const;
    bool IsEmpty() const;
    int RecordCount() const;
    int recNo() const; // position of the cursor in the visible rows, -1 without one
    void setRecNo(int position);

    Field FieldByName(const QString &name);
    int fieldIndex(const QString &name) const; // -1 when absent

    void Insert();
    void Edit();
    void Post();
    void Cancel();
    // Removes the current row; the cursor then stands on the following row.
    void Delete();

    // Finds the first visible row (in index order) whose key fields, named in
    // `keyFields` separated by ";", equal `values`; makes it current and reports
    // whether it was found. With Qt::CaseInsensitive text keys ignore letter case.
    bool Locate(const QString &keyFields, const QVariantList &values,
                Qt::CaseSensitivity cs = Qt::CaseSensitive);
    // The same search without moving the cursor.
    bool contains(const QString &keyFields, const QVariantList &values,
                  Qt::CaseSensitivity cs = Qt::CaseSensitive);
    // Builds now the index that a Locate on `keyFields` (prepareLocate) or a filter
    // comparing exactly `fields` (prepareFilter) would build on first use; on a large
    // record set that takes a while, which a caller can then spend where it chooses.
    void prepareLocate(const QString &keyFields, Qt::CaseSensitivity cs = Qt::CaseSensitive);
    void prepareFilter(const QString &fields);
    // The values of `fields` in every row whose key fields equal `values`, in no
    // particular order, whatever the filter shows.
    QList<QVariantList> valuesWhere(const QString &keyFields, const QVariantList &values,
                                    const QStringList &fields);

    // Filter text: FIELD = 'literal' [AND ...]; dates as dd/MM/yyyy, compared as
    // whole days; texts exactly. Shown rows are restricted while the flag is set.
    void setFilter(const QString &text);
    QString filter() const { return m_filterText; }
    void setFiltered(bool on);
    bool filtered() const { return m_filtered; }

    int ChangeCount() const;
    Packet GetDelta() const;
    void MergeChangeLog();

    void DisableControls();
    void EnableControls();
    bool controlsDisabled() const { return m_disableCount > 0; }

    // Runs for a row whenever one of its calculated fields is read.
    void setOnCalcFields(std::function<void(RecordSet &)> handler);

    // Visible rows for views and tests: value of field `field` in visible row `row`.
    QVariant valueAt(int row, int field);
    // The current content (visible or not) as a data packet, in index order.
    Packet data() const;

Q_SIGNALS:
    // Rows, order or filter changed (held back while controls are disabled).
    void contentChanged();

private:
    friend class Field;
    enum class RowStatus { Unchanged, Inserted, Modified, Deleted };
    struct Row
    {
        QVector<QVariant> values;
        QVector<QVariant> original; // base values of a modified or deleted row
        RowStatus status = RowStatus::Unchanged;
        quint64 seq = 0; // insertion sequence, the tie-breaker of the order
        bool alive = true;
    };
    struct KeyIndex;
    struct FilterCondition
    {
        int field;
        QVariant value;
    };

    void checkActive() const;
    void checkBrowseMode();
    const std::vector<int> &view() const;
    int currentRowId() const;
    const QVariant &readValue(int field) const; // stays valid until the next change
    void writeValue(int field, const QVariant &value);
    bool lessInOrder(int a, int b) const;
    std::vector<int>::const_iterator placeFromTheEnd(const std::vector<int> &order,
                                                     int rowId) const;
    int placeInOrder(int rowId); // the row's position in the order
    void removeFromOrder(int rowId);
    KeyIndex &keyIndex(const QList<int> &fields, Qt::CaseSensitivity cs);
    size_t keyOf(const KeyIndex &index, const QVector<QVariant> &values) const;
    void indexRow(int rowId);
    void unindexRow(int rowId, const QVector<QVariant> &values);
    int findFirst(const QString &keyFields, const QVariantList &values, Qt::CaseSensitivity cs);
    bool matchesFilter(const Row &row) const;
    void rebuildFilteredView();
    void applyFilter(const QString &filterText, const QList<FilterCondition> &conditions,
                     bool neverTrue);
    void moveTo(int rowId);
    void changed();
    void logChange(int rowId, RowStatus status);
    const QList<int> &fieldList(const QString &keyFields);

    Layout m_layout;
    QList<int> m_indexFields;
    State m_state = State::Inactive;
    std::vector<Row> m_rows;
    std::vector<int> m_order;
    std::vector<int> m_filteredView;
    std::vector<int> m_changeLog; // row ids in the order they entered the log
    std::vector<std::unique_ptr<KeyIndex>> m_keyIndexes;
    int m_pos = 0;
    quint64 m_nextSeq = 0;

    QVector<QVariant> m_buffer;
    int m_editRow = -1;

    QString m_filterText;
    QList<FilterCondition> m_conditions;
    struct ParsedFilter
    {
        QList<FilterCondition> conditions;
        bool neverTrue = false;
    };
    static constexpr qsizetype kParsedFilters = 256;
    QHash<QString, ParsedFilter> m_parsedFilters;
    bool m_conditionNeverTrue = false;
    bool m_filtered = false;
    bool m_viewDirty = false;

    int m_disableCount = 0;
    bool m_changePending = false;

    QHash<QString, QList<int>> m_fieldLists;
    std::function<void(RecordSet &)> m_onCalc;
    int m_calcRow = -1;
    QVector<QVariant> m_calcValues;
    bool m_inCalc = false;
};

} // namespace zov
