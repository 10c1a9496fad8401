#include "importreportdialog.h"

#include "accessiblenames.h"
#include "consiste.h"
#include "dates.h"
#include "error.h"
#include "hostcontext.h"
#include "reportpalette.h"
#include "texts.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSplitter>
#include <QStandardPaths>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace zov {

namespace {

QTableWidgetItem *item(const QString &text)
{
    auto *i = new QTableWidgetItem(text);
    i->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return i;
}

} // namespace

ImportReportDialog::ImportReportDialog(ImportReport report, QWidget *parent)
    : QDialog(parent)
    , m_report(std::move(report))
{
    setObjectName(QStringLiteral("importReport"));
    setWindowTitle(m_report.preview ? text("REPORT_PREVIEW_TITLE") : text("REPORT_TITLE"));
    auto *layout = new QVBoxLayout(this);

    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("summary"));
    m_summary->setWordWrap(true);
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_summary);
    layout->addWidget(makeRunLine());
    fillSummary();
    // the legend shows each colour as a cell of the table
    const ShadeColours nothing = shadeColours(Shade::Nothing), some = shadeColours(Shade::Some),
                       all = shadeColours(Shade::All);
    auto *legend =
        new QLabel(text("REPORT_LEGEND")
                       .arg(nothing.background.name(), nothing.text.name(), some.background.name(),
                            some.text.name(), all.background.name(), all.text.name()),
                   this);
    legend->setObjectName(QStringLiteral("legend"));
    legend->setTextFormat(Qt::RichText);
    legend->setWordWrap(true);
    layout->addWidget(legend);

    auto *splitter = new QSplitter(Qt::Vertical, this);
    m_overview = new QTableWidget(splitter);
    m_overview->setObjectName(QStringLiteral("overview"));
    m_overview->setSelectionMode(QAbstractItemView::SingleSelection);
    m_overview->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // the arrows move in a table, Tab leaves it
    m_overview->setTabKeyNavigation(false);
    m_details = new QTableWidget(splitter);
    m_details->setObjectName(QStringLiteral("details"));
    m_details->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_details->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_details->setTabKeyNavigation(false);
    const QStringList columns = text("REPORT_DETAIL_COLUMNS").split(QLatin1Char(';'));
    m_details->setColumnCount(static_cast<int>(columns.size()));
    m_details->setHorizontalHeaderLabels(columns);
    m_details->horizontalHeader()->setStretchLastSection(true);
    m_details->verticalHeader()->hide();
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *save = buttons->addButton(text("REPORT_SAVE"), QDialogButtonBox::ActionRole);
    save->setObjectName(QStringLiteral("save"));
    m_undoButton = buttons->addButton(text("REPORT_UNDO"), QDialogButtonBox::ActionRole);
    m_undoButton->setObjectName(QStringLiteral("undo"));
    m_undoButton->hide();
    connect(m_undoButton, &QPushButton::clicked, this, &ImportReportDialog::askAndUndo);
    m_askTimer = new QTimer(this);
    m_askTimer->setInterval(5000);
    connect(m_askTimer, &QTimer::timeout, this, &ImportReportDialog::askInBackground);
    QPushButton *close = buttons->addButton(text("REPORT_CLOSE"), QDialogButtonBox::RejectRole);
    close->setObjectName(QStringLiteral("close"));
    close->setDefault(true);
    connect(save, &QPushButton::clicked, this, &ImportReportDialog::askAndSave);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    fillOverview();
    connect(m_overview, &QTableWidget::currentCellChanged, this,
            [this](int row, int column) { showDetails(row, column); });
    // the first day, below its month's heading when there is one
    const qsizetype first = m_grid.rows.isEmpty() || !m_grid.rows.constFirst().heading() ? 0 : 1;
    if (m_overview->rowCount() > first && m_overview->columnCount() > 0)
        m_overview->setCurrentCell(static_cast<int>(first), 0);

    nameControls(this, {{"runId", "A11Y_REPORT_RUN_ID"},
                        {"overview", "A11Y_REPORT_OVERVIEW"},
                        {"details", "A11Y_REPORT_DETAILS"},
                        {"save", "A11Y_REPORT_SAVE"},
                        {"undo", "A11Y_REPORT_UNDO"},
                        {"close", "A11Y_REPORT_CLOSE"}});
    // the control that has the keyboard shows it plainly, whatever the style
    setStyleSheet(QStringLiteral(
        "QTableWidget:focus, QLineEdit:focus { border: 2px solid palette(highlight); }"
        "QPushButton { border: 1px solid palette(dark); border-radius: 3px;"
        " padding: 4px 12px; background: palette(button); }"
        "QPushButton:default { border-color: palette(shadow); }"
        "QPushButton:pressed { background: palette(mid); }"
        "QPushButton:focus { border: 2px solid palette(highlight); padding: 3px 11px; }"));
    // a large screen shows more days and diets at once
    const QRect room = screen()->availableGeometry();
    resize(std::min(room.width(), std::max(960, room.width() * 4 / 5)),
           std::min(room.height(), std::max(620, room.height() * 4 / 5)));
}

QWidget *ImportReportDialog::makeRunLine()
{
    // the run's id, to be copied, and how to undo the run later
    m_runLine = new QWidget(this);
    auto *runLayout = new QVBoxLayout(m_runLine);
    runLayout->setContentsMargins(0, 0, 0, 0);
    auto *idLayout = new QHBoxLayout;
    auto *idLabel = new QLabel(text("REPORT_RUN_ID"), m_runLine);
    m_runId = new QLineEdit(m_report.runId, m_runLine);
    m_runId->setObjectName(QStringLiteral("runId"));
    m_runId->setReadOnly(true);
    idLabel->setBuddy(m_runId);
    idLayout->addWidget(idLabel);
    idLayout->addWidget(m_runId, 1);
    runLayout->addLayout(idLayout);
    auto *later = new QLabel(text("REPORT_UNDO_LATER").arg(m_report.runId), m_runLine);
    later->setObjectName(QStringLiteral("undoLater"));
    later->setWordWrap(true);
    later->setTextInteractionFlags(Qt::TextSelectableByMouse);
    runLayout->addWidget(later);
    return m_runLine;
}

void ImportReportDialog::askInBackground()
{
    if (m_asking || !m_ask || m_report.unknownCount() == 0)
        return;
    // the question may wait for the server: the window stays responsive meanwhile
    m_asking = QThread::create([this, report = m_report, ask = m_ask]() mutable {
        try {
            ImportReport answered = ask(std::move(report));
            QMetaObject::invokeMethod(this, [this, answered] { learnt(answered); });
        } catch (...) {
            // not now: asked again on the next tick
        }
    });
    connect(m_asking, &QThread::finished, this, [this] {
        m_asking->deleteLater();
        m_asking = nullptr;
    });
    m_asking->start();
}

namespace {

void tint(QTableWidgetItem *cell, Shade s)
{
    const ShadeColours colours = shadeColours(s);
    cell->setBackground(colours.background);
    cell->setForeground(colours.text);
}

} // namespace

void ImportReportDialog::fillOverview()
{
    m_grid = m_report.grid();
    const QList<QDate> &days = m_grid.days;
    const QStringList &diets = m_grid.diets;
    m_overview->clearSpans();
    m_overview->setRowCount(static_cast<int>(m_grid.rows.size()));
    m_overview->setColumnCount(static_cast<int>(diets.size()));
    for (int c = 0; c < diets.size(); ++c) {
        const QString &code = diets.at(c);
        const QString name = m_report.dietNames.value(code);
        m_overview->setHorizontalHeaderItem(
            c, new QTableWidgetItem(name.isEmpty() ? code : code + QLatin1Char('\n') + name));
    }
    for (int r = 0; r < m_grid.rows.size(); ++r) {
        const ImportReport::Grid::Row &row = m_grid.rows.at(r);
        if (row.heading()) {
            // a month's heading: a line of its own, that the arrows pass over
            auto *heading = new QTableWidgetItem(ImportReport::monthHeading(row.month));
            QFont bold = heading->font();
            bold.setBold(true);
            heading->setFont(bold);
            m_overview->setVerticalHeaderItem(r, heading);
            auto *line = new QTableWidgetItem;
            line->setFlags(Qt::NoItemFlags);
            m_overview->setItem(r, 0, line);
            if (diets.size() > 1)
                m_overview->setSpan(r, 0, 1, static_cast<int>(diets.size()));
            continue;
        }
        m_overview->setVerticalHeaderItem(
            r, new QTableWidgetItem(m_report.dayLabel(days.at(row.day))));
        for (int c = 0; c < diets.size(); ++c) {
            const ImportReport::DayDiet *e = m_grid.cell(row.day, c);
            if (!e) {
                if (m_report.skippedDays.contains(days.at(row.day))) {
                    QTableWidgetItem *cell = item(text("REPORT_TEXT_SKIPPED"));
                    cell->setToolTip(text("REPORT_SKIPPED_DAY"));
                    m_overview->setItem(r, c, cell);
                }
                continue;
            }
            // the cell says it short; its tooltip says it all
            const double added = e->roundingCost();
            QStringList lines{
                text("REPORT_CELL")
                    .arg(countText("REPORT_TOTAL", static_cast<double>(e->dishes.size()))
                             .arg(e->copied()),
                         countText("COUNT_PORTIONS", std::abs(added) < 0.0005 ? 0 : added,
                                   ImportReport::decimal(added))),
                text("REPORT_CELL_HEADER")
                    .arg(ImportReport::headerName(e->header), e->menuNumber,
                         ImportReport::decimal(e->diners))};
            if (e->cleared)
                lines.append(countText("REPORT_REMOVED", e->removed));
            if (!e->refusal.isEmpty())
                lines.append(text("REPORT_REFUSED"));
            else if (e->unknown)
                lines.append(text("REPORT_MAYBE_STORED"));
            else if (e->unchanged)
                lines.append(text("REPORT_UNCHANGED"));
            else if (!e->stored)
                lines.append(text("REPORT_NOT_STORED"));
            QTableWidgetItem *cell = item(ImportReport::cellText(*e));
            cell->setToolTip(lines.join(QLatin1Char('\n')));
            cell->setTextAlignment(Qt::AlignCenter);
            tint(cell, e->unknown                       ? Shade::Some
                       : !e->stored || e->copied() == 0 ? Shade::Nothing
                       : e->copied() < e->dishes.size() ? Shade::Some
                                                        : Shade::All);
            m_overview->setItem(r, c, cell);
        }
    }
    m_overview->resizeRowsToContents();
    // the diets share the width, none narrower than its widest cell (a window too narrow
    // for them all scrolls)
    QHeaderView *header = m_overview->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    m_overview->resizeColumnsToContents();
    int widest = header->minimumSectionSize();
    for (int c = 0; c < header->count(); ++c)
        widest = std::max(widest, header->sectionSize(c));
    header->setMinimumSectionSize(widest);
    header->setSectionResizeMode(QHeaderView::Stretch);
}

ImportReportDialog::~ImportReportDialog()
{
    if (m_asking)
        m_asking->wait(); // a question on its way ends within the call's deadline
}

void ImportReportDialog::fillSummary()
{
    QStringList summary{m_report.headLine()};
    if (m_report.preview)
        summary.append(text("REPORT_PREVIEW_NOTICE"));
    summary.append(m_report.summary());
    if (!m_report.finished)
        summary.append(text("REPORT_UNFINISHED"));
    else if (m_report.preview)
        summary.append(text("REPORT_PREVIEW_CLOSING").arg(m_report.closingText));
    else
        summary.append(m_report.closingText);
    summary += m_undoneLines;
    m_summary->setText(summary.join(QLatin1Char('\n')));
    m_runLine->setVisible(m_report.mayHaveStored());
}

void ImportReportDialog::askAboutUnknown(Ask ask)
{
    m_ask = std::move(ask);
    if (m_ask && m_report.unknownCount() > 0)
        m_askTimer->start();
}

void ImportReportDialog::askNow()
{
    if (!m_ask || m_report.unknownCount() == 0)
        return;
    try {
        learnt(m_ask(m_report));
    } catch (...) {
    }
}

void ImportReportDialog::learnt(const ImportReport &report)
{
    if (report.unknownCount() >= m_report.unknownCount())
        return;
    const int row = m_overview->currentRow(), column = m_overview->currentColumn();
    m_report = report;
    fillOverview();
    m_overview->setCurrentCell(row, column);
    showDetails(row, column);
    fillSummary();
    offerUndo(m_undo);
    if (m_report.unknownCount() == 0)
        m_askTimer->stop();
}

void ImportReportDialog::showDetails(int row, int column)
{
    m_details->setRowCount(0);
    const ImportReport::DayDiet *e = m_grid.cell(m_grid.rows.value(row).day, column);
    if (!e)
        return;
    m_details->setRowCount(static_cast<int>(e->dishes.size()));
    for (int i = 0; i < e->dishes.size(); ++i) {
        const ImportReport::Dish &d = e->dishes.at(i);
        const bool copied = d.outcome == ImportReport::Outcome::Copied;
        // the slot and the figures are numbers, right-aligned; the outcome comes second
        const QStringList values{d.slot > 0 ? QString::number(d.slot) : QString(),
                                 ImportReport::outcomeName(d.outcome),
                                 d.typeName,
                                 d.name,
                                 ImportReport::decimal(d.perCapitaBefore),
                                 copied ? ImportReport::decimal(d.perCapitaAfter) : QString(),
                                 ImportReport::decimal(d.portionsBefore),
                                 copied ? ImportReport::decimal(d.portionsAfter) : QString()};
        for (int c = 0; c < values.size(); ++c) {
            QTableWidgetItem *cell = item(values.at(c));
            if (c == 0 || c >= 4)
                cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (!copied)
                tint(cell, Shade::Some);
            m_details->setItem(i, c, cell);
        }
    }
    m_details->resizeColumnsToContents();
}

bool ImportReportDialog::saveCsv(QString path)
{
    if (!path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        path += QLatin1String(".csv");
    QSaveFile file(path);
    const QString problem =
        file.open(QIODevice::WriteOnly) ? saveReport(file, m_report) : file.errorString();
    if (!problem.isEmpty()) {
        presenter().showError(text("REPORT_SAVE_FAILED").arg(path, problem));
        return false;
    }
    presenter().showInformation(text("REPORT_SAVED").arg(QDir::toNativeSeparators(path)));
    return true;
}

void ImportReportDialog::offerUndo(Undo undo)
{
    m_undo = std::move(undo);
    m_undoButton->setVisible(m_undo && m_report.mayHaveStored());
}

void ImportReportDialog::askAndUndo()
{
    if (!m_undo)
        return;
    // the days and diets the run stored, a line a day
    QStringList days;
    QDate day;
    QStringList diets;
    const auto flush = [&] {
        if (!diets.isEmpty())
            days.append(
                text("UNDO_CONFIRM_DAY")
                    .arg(shortDate(day), NomeSemana(day), diets.join(QStringLiteral(", "))));
        diets.clear();
    };
    for (const ImportReport::DayDiet &e : std::as_const(m_report.entries)) {
        if (!e.stored)
            continue;
        if (e.day != day)
            flush();
        day = e.day;
        diets.append(e.diet);
    }
    flush();
    if (!presenter().confirm(text("UNDO_CONFIRM_TITLE"),
                             text("UNDO_CONFIRM").arg(days.join(QLatin1Char('\n')))))
        return;
    UndoReport done;
    try {
        BusyGuard busy(1);
        done = m_undo(m_report.runId);
    } catch (const Error &e) {
        presenter().showError(e.text());
        return;
    }
    m_undoneLines.append(done.closingText());
    fillSummary();
    if (done.complete())
        m_undoButton->setEnabled(false);
    done.show();
}

QString ImportReportDialog::proposedCsvName() const
{
    // branch, service and the first destination day, in the user's documents
    const QDate first = m_grid.days.value(0);
    const QString name = QStringLiteral("importacao-%1-%2-%3.csv")
                             .arg(m_report.branch.trimmed(), m_report.service.trimmed(),
                                  first.toString(QStringLiteral("yyyy-MM-dd")));
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return folder.isEmpty() ? name : QDir(folder).filePath(name);
}

void ImportReportDialog::askAndSave()
{
    const QString path = QFileDialog::getSaveFileName(
        this, text("REPORT_SAVE_TITLE"), proposedCsvName(), text("REPORT_SAVE_FILTER"));
    if (!path.isEmpty())
        saveCsv(path);
}

} // namespace zov
