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
    connect(&m_rs, &RecordSet::contentChanged, this, [this] {
        beginResetModel();
        endResetModel();
    });
}

int RecordSetModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rs.RecordCount();
}

int RecordSetModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_fields.size());
}

QVariant RecordSetModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || !m_rs.active())
        return {};
    const QVariant v = m_rs.valueAt(index.row(), m_fields.at(index.column()));
    if (v.typeId() == QMetaType::QDate)
        return shortDate(v.toDate());
    return v;
}

QVariant RecordSetModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= m_fields.size())
        return {};
    return m_rs.layout().fields.at(m_fields.at(section)).displayLabel();
}

} // namespace zov
