#pragma once

#include "hostservices.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QTableWidget;

namespace zov {

// A search list: the rows of a pick list in a table with a filter field. Single
// choice (Pesquisar) or, with check boxes, multiple choice (PesquisaLista).
class PesquisaDialog : public QDialog
{
    Q_OBJECT
public:
    PesquisaDialog(const QString &title, const PickList &list, bool multiple,
                   QWidget *parent = nullptr);

    QList<int> picked() const; // indexes of the list's rows, in list order
    void setPicked(const QList<int> &rows);
    QTableWidget *table() const { return m_table; }
    QLineEdit *filter() const { return m_filter; }
    void accept() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyFilter(const QString &text);
    void moveTo(int row);
    void step(int by); // to the next visible row, down (1) or up (-1)
    void toggle(int row);
    void markVisible(Qt::CheckState state);
    void showCount();

    QLineEdit *m_filter;
    QTableWidget *m_table;
    QLabel *m_count = nullptr;
    bool m_multiple;
};

} // namespace zov
