#pragma once

#include "impocardhosp.h"
#include "tfrmpadrimportexport.h"

#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QToolButton>
#include <functional>
#include <memory>

namespace Ui {
class TfrmImpoCardHosp;
}

namespace zov {

class RecordSetModel;
class TDateEditPlus;

// The screen "Importação de Cardapio do Dia": widgets bound to the screen's logic
// (ImpoCardHosp). It only moves values between the widgets and the logic and maps
// Qt's focus and events onto the screen's handlers; every rule lives in the logic.
class TfrmImpoCardHosp : public TfrmPadrImportExport
{
    Q_OBJECT
public:
    explicit TfrmImpoCardHosp(QWidget *parent = nullptr);
    ~TfrmImpoCardHosp() override;

    // Opens the application-server connection (FormCreate). Throws when the server
    // cannot be reached, after showing why.
    void FormCreate() override;

    ImpoCardHosp &logic() { return m_logic; }
    // Runs the import without storing anything and shows its report.
    QToolButton *sbtSimular = nullptr;
    Ui::TfrmImpoCardHosp *ui() const { return m_ui.get(); }

protected:
    bool FormKeyDown(int key, Qt::KeyboardModifiers shift) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    // Runs a handler as an event of the screen: an abort or an error ends it here,
    // shown to the user; false when it did not complete.
    bool dispatch(const std::function<void()> &handler);
    void bindWidgets();
    // the preview grid
    void setUpGrid();
    void refresh(ImpoCardHosp::Control control);
    // Runs the exits and the enter of one focus move; false, with the focus put
    // back, when an exit check failed.
    bool focusMoved(QWidget *from, QWidget *to);
    // The user's focus moves, in the order they came, however many arrived in one
    // batch of window events; a failed exit drops the moves queued after it.
    void runFocusMoves();
    // A move made by a handler runs no exit check, but leaving the grid still
    // closes the preview.
    void quietFocusMove(QWidget *from, QWidget *to);
    void moveFocusQuietly(QWidget *widget);
    // The grid holds the focus and the selection changed: the preview follows.
    void keepPreviewCurrent();
    QWidget *widgetOf(ImpoCardHosp::Control control) const;
    void pump();
    void showHelp();
    // F4 or Alt+Down in a field: its search list or its calendar; false when the field
    // has neither
    bool openPicker(bool calendar);
    // what the planner has entered, to tell whether it changed since the screen opened
    QString inputs() const;
    void runImport(bool dryRun);
    // Offers the last run's report in its own window, which outlives the screen.
    void showReport();

    std::unique_ptr<Ui::TfrmImpoCardHosp> m_ui;
    ImpoCardHosp m_logic;
    RecordSetModel *m_gridModel = nullptr;
    QLabel *m_destination = nullptr;
    TDateEditPlus *m_until = nullptr; // "Repetir até"
    QCheckBox *m_align = nullptr;
    QLabel *m_dietChoice = nullptr;
    QString m_initialInputs;
    QPointer<QWidget> m_lastFocus;
    QPointer<QWidget> m_requestedFocus;
    struct FocusMove
    {
        QPointer<QWidget> from;
        QPointer<QWidget> to;
    };
    QList<FocusMove> m_focusMoves;
    bool m_focusMovesScheduled = false;
    bool m_runningFocusMoves = false;
    int m_dispatchDepth = 0;
    bool m_quiet = false;
    bool m_updating = false;
    bool m_skipActivation = false;
};

} // namespace zov
