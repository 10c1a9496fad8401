#pragma once

#include <QAbstractTableModel>
#include <QStringList>

namespace zov {

class RecordSet;

// A read-only table of a record set's visible rows over chosen fields, for grids
// (dbgPadrao). A closed record set shows no rows. The table shows the rows as they
// were when the record set last said its content changed: while its controls are
// disabled (an import walking the source through its filters) the grid stays as it was.
class RecordSetModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    RecordSetModel(RecordSet &recordSet, const QStringList &fields, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    void takeRows();

    RecordSet &m_rs;
    QList<int> m_fields;
    QList<QVector<QVariant>> m_rows;
};

} // namespace zov
