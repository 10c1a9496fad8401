#pragma once

#include "importreport.h"

#include <QDialog>

class QLabel;
class QTableWidget;

namespace zov {

// The import report for people: one row per destination day, one column per diet;
// each cell tells how many dishes were copied and what the rounding added, and its
// dishes (copied or left out, and why) appear below when it is selected. The report
// can be saved as CSV. A dry run's report says it is a preview.
class ImportReportDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ImportReportDialog(ImportReport report, QWidget *parent = nullptr);

    const ImportReport &report() const { return m_report; }
    QTableWidget *overview() const { return m_overview; }
    QTableWidget *details() const { return m_details; }
    // Writes the CSV; false, after telling the user why, when it could not.
    bool saveCsv(const QString &path);

private:
    void fillOverview();
    void showDetails(int row, int column);
    void askAndSave();

    ImportReport m_report;
    QList<QDate> m_days;
    QStringList m_diets;
    QLabel *m_summary = nullptr;
    QTableWidget *m_overview = nullptr;
    QTableWidget *m_details = nullptr;
};

} // namespace zov
