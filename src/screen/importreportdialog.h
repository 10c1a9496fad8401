#pragma once

#include "importreport.h"
#include "runundo.h"

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QThread;
class QTimer;

namespace zov {

// The import report for people: one row per destination day, one column per diet;
// each cell tells how many dishes were copied and what the rounding added, and its
// dishes (copied or left out, and why) appear below when it is selected. The report
// can be saved as CSV. A dry run's report says it is a preview. The report of a run that
// stored something can offer "Desfazer importação".
class ImportReportDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ImportReportDialog(ImportReport report, QWidget *parent = nullptr);
    ~ImportReportDialog() override;

    const ImportReport &report() const { return m_report; }
    QTableWidget *overview() const { return m_overview; }
    QTableWidget *details() const { return m_details; }
    // Writes the CSV (adding ".csv" to a name without it) and says where; false, after
    // telling the user why, when it could not.
    bool saveCsv(QString path);
    // where "Salvar CSV..." proposes to save: branch, service and day in the documents
    QString proposedCsvName() const;

    // Offers "Desfazer importação"; `undo` restores the run through the server on a
    // connection of its own (the window outlives the screen), and throws as
    // RunUndo::undo does.
    using Undo = std::function<UndoReport(const QString &runId)>;
    void offerUndo(Undo undo);
    QPushButton *undoButton() const { return m_undoButton; }
    // Asks, naming the days and diets, then undoes the run and says how it went.
    void askAndUndo();

    // While days and diets of the report wait for the server to say whether they were
    // stored, `ask` is tried every few seconds on a thread of its own: it takes the
    // report, asks the server (askAboutBatches) and gives it back with the truth, or
    // throws when the server cannot say yet. The window then shows what it learnt.
    using Ask = std::function<ImportReport(ImportReport)>;
    void askAboutUnknown(Ask ask);
    // Tries `ask` now, on this thread (for tests).
    void askNow();

private:
    QWidget *makeRunLine(); // the run's id and how to undo it later
    void askInBackground(); // about the batches whose answer never came
    void fillOverview();
    void fillSummary();
    void learnt(const ImportReport &report);
    void showDetails(int row, int column);
    void askAndSave();

    ImportReport m_report;
    ImportReport::Grid m_grid; // the overview's days and diets, over m_report's entries
    QLabel *m_summary = nullptr;
    QTableWidget *m_overview = nullptr;
    QTableWidget *m_details = nullptr;
    QPushButton *m_undoButton = nullptr;
    QWidget *m_runLine = nullptr;
    QLineEdit *m_runId = nullptr;
    QStringList m_undoneLines; // what the undos said, under the summary
    Undo m_undo;
    Ask m_ask;
    QTimer *m_askTimer = nullptr;
    QThread *m_asking = nullptr;
};

} // namespace zov
