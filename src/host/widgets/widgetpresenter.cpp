#include "widgetpresenter.h"

#include "pesquisadialog.h"
#include "texts.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>

namespace zov {

namespace {

// What the planner was shown, one line each: support reads it in the host's log.
Q_LOGGING_CATEGORY(lcShown, "zov.host.messages")

void message(QMessageBox::Icon icon, const char *titleKey, const QString &text,
             const QString &details = {})
{
    qCInfo(lcShown).noquote() << zov::text(titleKey) + QLatin1String(": ") +
                                     QString(text).replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (!details.isEmpty())
        qCInfo(lcShown).noquote() << QString(details).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QMessageBox box(icon, zov::text(titleKey), text, QMessageBox::Ok, QApplication::activeWindow());
    box.button(QMessageBox::Ok)->setText(zov::text("BUTTON_OK"));
    box.setDetailedText(details);
    box.exec();
}

} // namespace

bool WidgetPresenter::confirm(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No,
                    QApplication::activeWindow());
    box.button(QMessageBox::Yes)->setText(zov::text("BUTTON_YES"));
    box.button(QMessageBox::No)->setText(zov::text("BUTTON_NO"));
    box.setDefaultButton(QMessageBox::No);
    const bool yes = box.exec() == QMessageBox::Yes;
    qCInfo(lcShown).noquote() << title + QLatin1String(": ") +
                                     zov::text(yes ? "BUTTON_YES" : "BUTTON_NO");
    return yes;
}

void WidgetPresenter::showError(const QString &text)
{
    message(QMessageBox::Critical, "DIALOG_ERROR", text);
}

void WidgetPresenter::showError(const QString &text, const QString &details)
{
    message(QMessageBox::Critical, "DIALOG_ERROR", text, details);
}

void WidgetPresenter::showInformation(const QString &text)
{
    message(QMessageBox::Information, "DIALOG_INFORMATION", text);
}

void WidgetPresenter::showWarning(const QString &text)
{
    message(QMessageBox::Warning, "DIALOG_WARNING", text);
}

int WidgetPresenter::choose(const QString &title, const PickList &list, const QString &emptyText)
{
    if (list.rows.isEmpty() && !emptyText.isEmpty()) {
        showInformation(emptyText);
        return -1;
    }
    PesquisaDialog dialog(title, list, false, QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted)
        return -1;
    const QList<int> picked = dialog.picked();
    return picked.isEmpty() ? -1 : picked.first();
}

bool WidgetPresenter::chooseMany(const QString &title, const PickList &list,
                                 const QList<int> &preselected, QList<int> *picked)
{
    PesquisaDialog dialog(title, list, true, QApplication::activeWindow());
    dialog.setPicked(preselected);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *picked = dialog.picked();
    return true;
}

void WaitCursorIndicator::show(int)
{
    if (m_depth++ == 0)
        QApplication::setOverrideCursor(Qt::WaitCursor);
}

void WaitCursorIndicator::hide()
{
    if (m_depth > 0 && --m_depth == 0)
        QApplication::restoreOverrideCursor();
}

} // namespace zov
