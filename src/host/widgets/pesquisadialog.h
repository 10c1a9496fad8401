#pragma once

#include "hostservices.h"

#include <QDialog>

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

private:
    void applyFilter(const QString &text);

    QLineEdit *m_filter;
    QTableWidget *m_table;
    bool m_multiple;
};

} // namespace zov
