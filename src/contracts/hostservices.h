#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace zov {

// Rows offered by a pick list: column titles and one text per visible column.
struct PickList
{
    QStringList titles;
    QList<QStringList> rows;
};

// The host's dialogs as the screen uses them. The widgets host shows real dialogs;
// the command line writes to its streams; tests record and answer.
class Presenter
{
public:
    virtual ~Presenter() = default;

    virtual void showError(const QString &text) = 0;
    // An error whose `details` (for support: the call, the address, the status) are
    // shown on request, under "Detalhes".
    virtual void showError(const QString &text, const QString &details)
    {
        Q_UNUSED(details)
        showError(text);
    }
    virtual void showInformation(const QString &text) = 0;
    virtual void showWarning(const QString &text) = 0;

    // Single choice: the index of the picked row, or -1 when the user cancelled.
    // `emptyText`, when given, is shown instead of an empty list.
    virtual int choose(const QString &title, const PickList &list, const QString &emptyText) = 0;

    // Multiple choice: the indexes of the picked rows (empty when nothing was
    // picked); false when the user cancelled. `preselected` marks rows already
    // picked.
    virtual bool chooseMany(const QString &title, const PickList &list,
                            const QList<int> &preselected, QList<int> *picked) = 0;

    // A question before something that changes stored data: true for yes. The answer
    // offered first is no.
    virtual bool confirm(const QString &title, const QString &text) = 0;
};

// The host's busy indication (kind 0: connecting; 1: loading or storing).
class BusyIndicator
{
public:
    virtual ~BusyIndicator() = default;
    virtual void show(int kind) = 0;
    virtual void hide() = 0;
};

} // namespace zov
