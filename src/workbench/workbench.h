#pragma once

#include "runundo.h"

#include <QList>
#include <QVariant>
#include <QWidget>

#include <functional>
#include <optional>

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace zov {

class TDateEditPlus;

// The planner's start window of zov-host: the branch, the service and the destination
// day picked from the database's lists, "Abrir" to open the screen with them, and the
// branch's import history, from which a run can be undone. The window steps aside
// while the screen is open and comes back, with the same choices, when it closes.
// Closing the window ends the session.
class Workbench : public QWidget
{
    Q_OBJECT
public:
    // `open` is the screen's entry (IniProc): it takes the seven entry values and returns
    // when the screen has closed. `noRounding` is the entry's rounding flag.
    using Open = std::function<void(const QVariant &entry)>;
    explicit Workbench(Open open, bool noRounding = false, QWidget *parent = nullptr);
    ~Workbench() override;

    // Shows the window and returns once the planner has closed it.
    void run();

    // The entry values of the choices; none, after saying what is wrong and moving the
    // focus there, when a choice is not one of the lists' or no day is given.
    std::optional<QVariantList> entry();
    // "Abrir": the screen with the entry; the history is read again once it closes.
    void openScreen();
    // The chosen branch's runs from the application server, newest first.
    void refreshHistory();
    const QList<RunSummary> &runs() const { return m_runs; }
    // "Desfazer importação" of the run chosen in the history: asks, undoes it through
    // the server, says what the undo did and reads the history again.
    void undoChosenRun();

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildLayout();
    void loadBranches();
    void loadServices();
    void branchPicked();
    void showWeekday();
    void fillHistory();
    void updateUndo();
    // the code of a list's choice: the picked item's, or the typed one when it is an
    // item's code (a service padded as the screen pads it); empty when there is none
    QString chosenCode(QComboBox *box, bool service) const;
    // a report the screen left open changes the history when it undoes its run
    void watchReports();

    Open m_open;
    bool m_noRounding;
    QString m_historyBranch; // whose runs m_runs are
    QList<RunSummary> m_runs;
    QComboBox *m_branch = nullptr;
    QComboBox *m_service = nullptr;
    TDateEditPlus *m_day = nullptr;
    QLabel *m_weekday = nullptr;
    QPushButton *m_openButton = nullptr;
    QTableWidget *m_history = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_refresh = nullptr;
    QPushButton *m_undo = nullptr;
    QPushButton *m_close = nullptr;
};

} // namespace zov
