#include "pesquisadialog.h"

#include "texts.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace zov {

PesquisaDialog::PesquisaDialog(const QString &title, const PickList &list, bool multiple,
                               QWidget *parent)
    : QDialog(parent)
    , m_multiple(multiple)
{
    setWindowTitle(title);
    setObjectName(multiple ? QStringLiteral("PesquisaLista") : QStringLiteral("Pesquisar"));
    auto *layout = new QVBoxLayout(this);
    auto *search = new QLabel(text("SEARCH_FILTER"), this);
    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("edtLocalizar"));
    search->setBuddy(m_filter);
    layout->addWidget(search);
    layout->addWidget(m_filter);

    m_table = new QTableWidget(static_cast<int>(list.rows.size()),
                               static_cast<int>(list.titles.size()), this);
    m_table->setObjectName(QStringLiteral("tblPesquisa"));
    m_table->setHorizontalHeaderLabels(list.titles);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    for (int r = 0; r < list.rows.size(); ++r) {
        for (int c = 0; c < list.titles.size(); ++c) {
            auto *item = new QTableWidgetItem(list.rows.at(r).value(c));
            item->setData(Qt::UserRole, r);
            if (multiple && c == 0) {
                item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                item->setCheckState(Qt::Unchecked);
            }
            m_table->setItem(r, c, item);
        }
    }
    m_table->resizeColumnsToContents();
    if (!multiple && m_table->rowCount() > 0)
        m_table->selectRow(0);
    layout->addWidget(m_table);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(text("BUTTON_OK"));
    buttons->button(QDialogButtonBox::Cancel)->setText(text("BUTTON_CANCEL"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_filter, &QLineEdit::textChanged, this, &PesquisaDialog::applyFilter);
    if (!multiple)
        connect(m_table, &QTableWidget::cellDoubleClicked, this, &QDialog::accept);
    resize(480, 360);
}

void PesquisaDialog::applyFilter(const QString &filter)
{
    for (int r = 0; r < m_table->rowCount(); ++r) {
        bool match = filter.isEmpty();
        for (int c = 0; !match && c < m_table->columnCount(); ++c)
            match = m_table->item(r, c)->text().contains(filter, Qt::CaseInsensitive);
        m_table->setRowHidden(r, !match);
    }
}

QList<int> PesquisaDialog::picked() const
{
    QList<int> rows;
    for (int r = 0; r < m_table->rowCount(); ++r) {
        const QTableWidgetItem *item = m_table->item(r, 0);
        if (!item)
            continue;
        const bool chosen = m_multiple ? item->checkState() == Qt::Checked
                                       : (item->isSelected() && !m_table->isRowHidden(r));
        if (chosen)
            rows.append(item->data(Qt::UserRole).toInt());
    }
    return rows;
}

void PesquisaDialog::setPicked(const QList<int> &rows)
{
    for (int r = 0; r < m_table->rowCount(); ++r) {
        QTableWidgetItem *item = m_table->item(r, 0);
        if (!item)
            continue;
        if (m_multiple)
            item->setCheckState(rows.contains(r) ? Qt::Checked : Qt::Unchecked);
        else if (rows.contains(r))
            m_table->selectRow(r);
    }
}

} // namespace zov
