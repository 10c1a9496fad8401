#pragma once

#include <QToolButton>

namespace zov {

// A search button beside an edit: it never takes the focus, so clicking it does
// not count as leaving the control that has it.
class TBtnPesquisa : public QToolButton
{
    Q_OBJECT
public:
    explicit TBtnPesquisa(QWidget *parent = nullptr);
};

} // namespace zov
