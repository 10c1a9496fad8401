#include "pesquisadialog.h"

#include "texts.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QKeyEvent>
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
            // the whole row toggles its mark (a click, or Space), not only the box
            if (multiple && c == 0)
                item->setCheckState(Qt::Unchecked);
            m_table->setItem(r, c, item);
        }
    }
    m_table->resizeColumnsToContents();
    if (m_table->rowCount() > 0)
        moveTo(0);
    layout->addWidget(m_table);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(text("BUTTON_OK"));
    buttons->button(QDialogButtonBox::Cancel)->setText(text("BUTTON_CANCEL"));
    if (multiple) {
        m_count = new QLabel(this);
        m_count->setObjectName(QStringLiteral("lblMarcadas"));
        layout->addWidget(m_count);
        QPushButton *all = buttons->addButton(text("PICK_ALL"), QDialogButtonBox::ActionRole);
        all->setObjectName(QStringLiteral("btnTodas"));
        QPushButton *none = buttons->addButton(text("PICK_NONE"), QDialogButtonBox::ActionRole);
        none->setObjectName(QStringLiteral("btnNenhuma"));
        // Enter stays OK after a click on these
        all->setAutoDefault(false);
        none->setAutoDefault(false);
        connect(all, &QPushButton::clicked, this, [this] { markVisible(Qt::Checked); });
        connect(none, &QPushButton::clicked, this, [this] { markVisible(Qt::Unchecked); });
        connect(m_table, &QTableWidget::cellClicked, this, [this](int row) { toggle(row); });
        connect(m_table, &QTableWidget::itemChanged, this, &PesquisaDialog::showCount);
        showCount();
    }
    layout->addWidget(buttons);
    // the filter keeps the focus: Up and Down move in the list, Space marks (in a
    // list of marks), Enter is OK
    m_filter->installEventFilter(this);
    m_table->installEventFilter(this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_filter, &QLineEdit::textChanged, this, &PesquisaDialog::applyFilter);
    if (!multiple)
        connect(m_table, &QTableWidget::cellDoubleClicked, this, &QDialog::accept);
    resize(480, 360);
}

void PesquisaDialog::applyFilter(const QString &filter)
{
    int first = -1;
    for (int r = 0; r < m_table->rowCount(); ++r) {
        bool match = filter.isEmpty();
        for (int c = 0; !match && c < m_table->columnCount(); ++c)
            match = m_table->item(r, c)->text().contains(filter, Qt::CaseInsensitive);
        m_table->setRowHidden(r, !match);
        if (match && first < 0)
            first = r;
    }
    // the row the filter leaves on top is the one OK takes
    if (first >= 0)
        moveTo(first);
    else
        m_table->clearSelection();
}

void PesquisaDialog::moveTo(int row)
{
    m_table->setCurrentCell(row, 0);
    m_table->selectRow(row);
    m_table->scrollToItem(m_table->item(row, 0));
}

void PesquisaDialog::step(int by)
{
    int row = m_table->currentRow();
    for (int r = row + by; r >= 0 && r < m_table->rowCount(); r += by) {
        if (!m_table->isRowHidden(r)) {
            moveTo(r);
            return;
        }
    }
}

void PesquisaDialog::toggle(int row)
{
    QTableWidgetItem *item = row >= 0 ? m_table->item(row, 0) : nullptr;
    if (item && !m_table->isRowHidden(row))
        item->setCheckState(item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void PesquisaDialog::markVisible(Qt::CheckState state)
{
    for (int r = 0; r < m_table->rowCount(); ++r) {
        if (!m_table->isRowHidden(r))
            m_table->item(r, 0)->setCheckState(state);
    }
}

void PesquisaDialog::showCount()
{
    if (m_count)
        m_count->setText(text("PICK_COUNT").arg(picked().size()).arg(m_table->rowCount()));
}

bool PesquisaDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    if (watched == m_filter && (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up)) {
        step(key->key() == Qt::Key_Down ? 1 : -1);
        return true;
    }
    // in a list of marks Space marks, in the filter too (Shift+Space types a blank there)
    if (m_multiple && key->key() == Qt::Key_Space &&
        (watched == m_table || !key->modifiers().testFlag(Qt::ShiftModifier))) {
        toggle(m_table->currentRow());
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void PesquisaDialog::accept()
{
    // a single choice with nothing visible selected is no choice: the list stays
    if (!m_multiple && picked().isEmpty())
        return;
    QDialog::accept();
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
