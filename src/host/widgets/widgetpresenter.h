#pragma once

#include "hostservices.h"

class QWidget;

namespace zov {

// The host's dialogs: an error, an information and a warning dialog with one OK,
// the single-choice search (Pesquisar) and the multi-select list (PesquisaLista),
// all in Portuguese, over the application's active window.
class WidgetPresenter : public Presenter
{
public:
    void showError(const QString &text) override;
    void showError(const QString &text, const QString &details) override;
    void showInformation(const QString &text) override;
    void showWarning(const QString &text) override;
    int choose(const QString &title, const PickList &list, const QString &emptyText) override;
    bool chooseMany(const QString &title, const PickList &list, const QList<int> &preselected,
                    QList<int> *picked) override;
    bool confirm(const QString &title, const QString &text) override;
};

// The host's busy indication: the wait cursor, nested calls counted.
class WaitCursorIndicator : public BusyIndicator
{
public:
    void show(int kind) override;
    void hide() override;

private:
    int m_depth = 0;
};

} // namespace zov
