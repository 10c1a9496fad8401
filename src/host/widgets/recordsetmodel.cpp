#include "recordsetmodel.h"

#include "dates.h"
#include "recordset.h"

namespace zov {

RecordSetModel::RecordSetModel(RecordSet &recordSet, const QStringList &fields, QObject *parent)
    : QAbstractTableModel(parent)
    , m_rs(recordSet)
{
    for (const QString &f : fields)
        m_fields.append(m_rs.fieldIndex(f));
    takeRows();
    connect(&m_rs, &RecordSet::contentChanged, this, [this] {
        beginResetModel();
        takeRows();
        endResetModel();
    });
}

void RecordSetModel::takeRows()
{
    m_rows.clear();
    if (!m_rs.active())
        return;
    const int count = m_rs.RecordCount();
    m_rows.reserve(count);
    for (int r = 0; r < count; ++r) {
        QVector<QVariant> row;
        row.reserve(m_fields.size());
        for (const int f : std::as_const(m_fields)) {
            const QVariant v = m_rs.valueAt(r, f);
            row.append(v.typeId() == QMetaType::QDate ? QVariant(shortDate(v.toDate())) : v);
        }
        m_rows.append(row);
    }
}

int RecordSetModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int RecordSetModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_fields.size());
}

QVariant RecordSetModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_rows.size())
        return {};
    return m_rows.at(index.row()).value(index.column());
}

QVariant RecordSetModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= m_fields.size())
        return {};
    return m_rs.layout().fields.at(m_fields.at(section)).displayLabel();
}

} // namespace zov
