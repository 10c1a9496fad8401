#include "tfrmpadrimportexport.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace zov {

TfrmPadrImportExport::TfrmPadrImportExport(const QString &title, const QString &screenCode,
                                           QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(title);
    auto *layout = new QVBoxLayout(this);

    auto *header = new QHBoxLayout;
    auto *lblTitulo = new QLabel(title, this);
    lblTitulo->setObjectName(QStringLiteral("lblTitulo"));
    QFont bold = lblTitulo->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    lblTitulo->setFont(bold);
    lblCodTela = new QLabel(screenCode, this);
    lblCodTela->setObjectName(QStringLiteral("lblCodTela"));
    header->addWidget(lblTitulo);
    header->addStretch();
    header->addWidget(lblCodTela);
    layout->addLayout(header);

    m_content = new QWidget(this);
    m_content->setObjectName(QStringLiteral("content"));
    layout->addWidget(m_content, 1);

    auto *strip = m_strip = new QHBoxLayout;
    sbtImportExport = new QToolButton(this);
    sbtImportExport->setObjectName(QStringLiteral("sbtImportExport"));
    sbtImportExport->setFocusPolicy(Qt::NoFocus);
    sbtImportExport->setAutoRaise(true);
    sbtImportExport->setIconSize(QSize(32, 32));
    sbtImportExport->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));
    pgbProgresso = new QProgressBar(this);
    pgbProgresso->setObjectName(QStringLiteral("pgbProgresso"));
    pgbProgresso->setRange(0, 0);
    pgbProgresso->setMaximum(1);
    pgbProgresso->setValue(0);
    lblProgresso = new QLabel(this);
    lblProgresso->setObjectName(QStringLiteral("lblProgresso"));
    lblProgresso->setMinimumWidth(260);
    strip->addWidget(sbtImportExport);
    strip->addWidget(pgbProgresso, 1);
    strip->addWidget(lblProgresso, 1);
    layout->addLayout(strip);

    qApp->installEventFilter(this);
}

TfrmPadrImportExport::~TfrmPadrImportExport()
{
    qApp->removeEventFilter(this);
}

void TfrmPadrImportExport::FormCreate() {}

bool TfrmPadrImportExport::FormKeyDown(int, Qt::KeyboardModifiers)
{
    return false;
}

bool TfrmPadrImportExport::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (widget && (widget == this || isAncestorOf(widget))) {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (FormKeyDown(key->key(), key->modifiers())) {
                event->accept();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace zov
