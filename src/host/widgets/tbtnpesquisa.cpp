#include "tbtnpesquisa.h"

#include "texts.h"

#include <QStyle>

namespace zov {

TBtnPesquisa::TBtnPesquisa(QWidget *parent)
    : QToolButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setToolTip(zov::text("SEARCH_HINT"));
    setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
}

} // namespace zov
