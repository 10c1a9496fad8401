#pragma once

#include <QDialog>

class QHBoxLayout;
class QLabel;
class QProgressBar;
class QToolButton;
class QVBoxLayout;

namespace zov {

// The suite's base import/export screen: a title with the screen code, a content
// area for the screen's own controls, and the command strip with the command
// button sbtImportExport, the progress bar pgbProgresso and the progress caption.
// Its key filter sees every key of the screen before the focused control does.
class TfrmPadrImportExport : public QDialog
{
    Q_OBJECT
public:
    TfrmPadrImportExport(const QString &title, const QString &screenCode,
                         QWidget *parent = nullptr);
    ~TfrmPadrImportExport() override;

    QWidget *contentArea() const { return m_content; }
    // The command strip, for a screen's own commands next to sbtImportExport.
    QHBoxLayout *commandStrip() const { return m_strip; }
    QToolButton *sbtImportExport;
    QProgressBar *pgbProgresso;
    QLabel *lblProgresso;
    QLabel *lblCodTela;

protected:
    virtual void FormCreate();
    // Returns true when the key is taken (the focused control does not get it).
    virtual bool FormKeyDown(int key, Qt::KeyboardModifiers shift);
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *m_content;
    QHBoxLayout *m_strip;
};

} // namespace zov
