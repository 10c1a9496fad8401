#include "workbench.h"

#include "consiste.h"
#include "dates.h"
#include "hostapplication.h"
#include "hostcontext.h"
#include "referencecodes.h"
#include "rpcconnection.h"
#include "tdateeditplus.h"
#include "texts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QEventLoop>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>

namespace zov {

namespace {

const QString kStamp = QStringLiteral("dd/MM/yyyy HH:mm:ss");

// a search list over codes and names: typed part of a code or of a name, the matches
// offered below, or picked with the mouse or the arrows
QComboBox *searchList(const char *name, const char *accessibleKey, QWidget *parent)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setAccessibleName(text(accessibleKey));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setMinimumContentsLength(40);
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->completer()->setFilterMode(Qt::MatchContains);
    box->completer()->setCompletionMode(QCompleter::PopupCompletion);
    box->completer()->setCaseSensitivity(Qt::CaseInsensitive);
    return box;
}

void fill(QComboBox *box, const QList<CodeName> &items, const QString &keep)
{
    const QSignalBlocker quiet(box);
    box->clear();
    for (const CodeName &item : items)
        box->addItem(text("WORKBENCH_ITEM").arg(item.code, item.name), item.code);
    const int kept = box->findData(keep);
    box->setCurrentIndex(kept >= 0 ? kept : (items.isEmpty() ? -1 : 0));
}

QPushButton *button(const char *name, const char *textKey, const char *accessibleKey,
                    QWidget *parent)
{
    auto *b = new QPushButton(text(textKey), parent);
    b->setObjectName(QLatin1String(name));
    b->setAccessibleName(text(accessibleKey));
    return b;
}

// a connection of its own to the login context's server, for one question
class ServerCall
{
public:
    ServerCall()
    {
        m_server.setOptions(RpcConnection::loginOptions());
        m_server.open();
    }
    RunUndo undo() { return RunUndo(m_server); }

private:
    BusyGuard m_busy{1};
    RpcConnection m_server;
};

} // namespace

Workbench::Workbench(Open open, bool noRounding, QWidget *parent)
    : QWidget(parent)
    , m_open(std::move(open))
    , m_noRounding(noRounding)
{
    setObjectName(QStringLiteral("workbench"));
    setWindowTitle(text("WORKBENCH_TITLE"));
    setAccessibleName(text("WORKBENCH_TITLE"));
    buildLayout();
    m_day->SetDate(loginContext().today());
    showWeekday();
    loadBranches();
    // the room of the screen, most of it for the history
    if (const QScreen *shown = screen()) {
        const QRect room = shown->availableGeometry();
        resize(std::max(900, room.width() * 3 / 4), std::max(560, room.height() * 3 / 4));
    }
}

Workbench::~Workbench() = default;

void Workbench::buildLayout()
{
    auto *layout = new QVBoxLayout(this);
    auto *choices = new QHBoxLayout;
    auto *form = new QFormLayout;
    m_branch = searchList("branch", "WORKBENCH_BRANCH_NAME", this);
    m_service = searchList("service", "WORKBENCH_SERVICE_NAME", this);
    m_day = new TDateEditPlus(this);
    m_day->setObjectName(QStringLiteral("day"));
    m_day->setAccessibleName(text("WORKBENCH_DAY_NAME"));
    m_day->lineEdit()->setAccessibleName(text("WORKBENCH_DAY_NAME"));
    m_day->setMaximumWidth(m_day->sizeHint().width() + 40);
    m_weekday = new QLabel(this);
    m_weekday->setObjectName(QStringLiteral("weekday"));
    m_weekday->setAccessibleName(text("WORKBENCH_WEEKDAY_NAME"));
    m_weekday->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("Sábado  ")));
    auto *dayLine = new QHBoxLayout;
    dayLine->addWidget(m_day);
    dayLine->addWidget(m_weekday);
    dayLine->addStretch(1);
    const auto label = [this](const char *key, QWidget *buddy) {
        auto *l = new QLabel(text(key), this);
        l->setBuddy(buddy);
        return l;
    };
    // who works here: with operators, the owner of the workstation's credential
    auto *who = new QLabel(Operador(), this);
    who->setObjectName(QStringLiteral("operator"));
    who->setAccessibleName(text("SCREEN_OPERATOR").arg(Operador()));
    form->addRow(label("WORKBENCH_OPERATOR", who), who);
    form->addRow(label("WORKBENCH_BRANCH", m_branch), m_branch);
    form->addRow(label("WORKBENCH_SERVICE", m_service), m_service);
    form->addRow(label("WORKBENCH_DAY", m_day), dayLine);
    choices->addLayout(form, 1);
    m_openButton = button("open", "WORKBENCH_OPEN", "WORKBENCH_OPEN_NAME", this);
    auto *openColumn = new QVBoxLayout;
    openColumn->addStretch(1);
    openColumn->addWidget(m_openButton);
    choices->addLayout(openColumn);
    layout->addLayout(choices);

    m_history = new QTableWidget(0, 9, this);
    m_history->setObjectName(QStringLiteral("history"));
    m_history->setAccessibleName(text("WORKBENCH_HISTORY_NAME"));
    m_history->setHorizontalHeaderLabels(text("WORKBENCH_HISTORY_COLUMNS").split(QLatin1Char(',')));
    m_history->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_history->setSelectionMode(QAbstractItemView::SingleSelection);
    m_history->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_history->setTabKeyNavigation(false);
    m_history->verticalHeader()->hide();
    m_history->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_history->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(label("WORKBENCH_HISTORY", m_history));
    layout->addWidget(m_history, 1);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("historyStatus"));
    m_status->setAccessibleName(text("WORKBENCH_STATUS_NAME"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_status);

    auto *buttons = new QHBoxLayout;
    m_refresh = button("refresh", "WORKBENCH_REFRESH", "WORKBENCH_REFRESH_NAME", this);
    m_undo = button("undo", "WORKBENCH_UNDO", "WORKBENCH_UNDO_NAME", this);
    m_close = button("close", "WORKBENCH_CLOSE", "WORKBENCH_CLOSE_NAME", this);
    buttons->addWidget(m_refresh);
    buttons->addWidget(m_undo);
    buttons->addStretch(1);
    buttons->addWidget(m_close);
    layout->addLayout(buttons);

    setTabOrder(m_branch, m_service);
    setTabOrder(m_service, m_day);
    setTabOrder(m_day, m_openButton);
    setTabOrder(m_openButton, m_history);
    setTabOrder(m_history, m_refresh);
    setTabOrder(m_refresh, m_undo);
    setTabOrder(m_undo, m_close);

    connect(m_branch, &QComboBox::currentIndexChanged, this, &Workbench::branchPicked);
    // a code typed whole picks its item when the planner leaves the list
    for (QComboBox *box : {m_branch, m_service}) {
        connect(box->lineEdit(), &QLineEdit::editingFinished, this, [this, box] {
            const int i = box->findData(chosenCode(box, box == m_service));
            if (i < 0)
                return;
            box->setCurrentIndex(i);
            box->setEditText(box->itemText(i));
        });
    }
    connect(m_day, &TDateEditPlus::dateChanged, this, &Workbench::showWeekday);
    connect(m_day->lineEdit(), &QLineEdit::returnPressed, this, &Workbench::openScreen);
    connect(m_openButton, &QPushButton::clicked, this, &Workbench::openScreen);
    connect(m_history, &QTableWidget::itemSelectionChanged, this, &Workbench::updateUndo);
    connect(m_refresh, &QPushButton::clicked, this, &Workbench::refreshHistory);
    connect(m_undo, &QPushButton::clicked, this, &Workbench::undoChosenRun);
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);
}

void Workbench::run()
{
    QEventLoop loop;
    connect(this, &Workbench::closed, &loop, &QEventLoop::quit);
    show();
    loop.exec();
}

void Workbench::closeEvent(QCloseEvent *event)
{
    event->accept();
    Q_EMIT closed();
}

void Workbench::loadBranches()
{
    try {
        fill(m_branch, branchList(), m_branch->currentData().toString());
    } catch (const Error &e) {
        presenter().showError(e.text());
    }
    branchPicked();
}

void Workbench::loadServices()
{
    const QString branch = m_branch->currentData().toString();
    try {
        fill(m_service, branch.isEmpty() ? QList<CodeName>() : serviceList(branch),
             m_service->currentData().toString());
    } catch (const Error &e) {
        presenter().showError(e.text());
    }
}

void Workbench::branchPicked()
{
    loadServices();
    refreshHistory();
}

void Workbench::showWeekday()
{
    m_weekday->setText(NomeSemana(m_day->GetDate()));
}

QString Workbench::chosenCode(QComboBox *box, bool service) const
{
    const QString typed = box->currentText().trimmed();
    int i = box->findText(typed, Qt::MatchFixedString);
    if (i < 0 && !typed.isEmpty()) {
        const QString code = typed.section(QLatin1Char(' '), 0, 0);
        i = box->findData(service ? paddedServiceCode(code) : code.toUpper());
    }
    return i >= 0 ? box->itemData(i).toString() : QString();
}

std::optional<QVariantList> Workbench::entry()
{
    const QString branch = chosenCode(m_branch, false);
    if (branch.isEmpty()) {
        presenter().showError(
            text("WORKBENCH_UNKNOWN_BRANCH").arg(m_branch->currentText().trimmed()));
        m_branch->setFocus(Qt::OtherFocusReason);
        return std::nullopt;
    }
    // the services on offer are the branch's
    if (branch != m_branch->currentData().toString()) {
        const QString typed = m_service->currentText();
        m_branch->setCurrentIndex(m_branch->findData(branch));
        m_service->setEditText(typed);
    }
    const QString service = chosenCode(m_service, true);
    if (service.isEmpty()) {
        presenter().showError(
            text("WORKBENCH_UNKNOWN_SERVICE").arg(m_service->currentText().trimmed(), branch));
        m_service->setFocus(Qt::OtherFocusReason);
        return std::nullopt;
    }
    if (!m_day->CheckValidDate())
        return std::nullopt;
    const QDate day = m_day->GetDate();
    if (!day.isValid()) {
        presenter().showError(text("WORKBENCH_NO_DAY"));
        m_day->setFocus(Qt::OtherFocusReason);
        return std::nullopt;
    }
    return entryValues(branch, service, day, firstDayOfMonth(day), m_noRounding);
}

void Workbench::openScreen()
{
    const std::optional<QVariantList> values = entry();
    if (!values)
        return;
    // the screen is the planner's window while it is open
    hide();
    try {
        m_open(QVariant(*values));
    } catch (const AbortError &) {
        // shown already
    } catch (const Error &e) {
        presenter().showError(e.text());
    }
    show();
    // the run just made, if any, comes first and is the one chosen
    m_history->setCurrentCell(-1, -1);
    refreshHistory();
    watchReports();
}

void Workbench::watchReports()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->objectName() != QLatin1String("importReport") || !window->isVisible())
            continue;
        connect(window, &QObject::destroyed, this, &Workbench::refreshHistory,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
        // the report of the import just made is what the planner reads next
        window->raise();
        window->activateWindow();
    }
}

void Workbench::refreshHistory()
{
    const QString branch = m_branch->currentData().toString();
    m_historyBranch = branch;
    m_runs.clear();
    m_status->clear();
    if (!branch.isEmpty()) {
        try {
            ServerCall call;
            m_runs = call.undo().list(branch);
            m_status->setText(countText("WORKBENCH_RUNS_SHOWN", double(m_runs.size())).arg(branch));
        } catch (const Error &e) {
            m_status->setText(text("WORKBENCH_RUNS_FAILED").arg(e.text()));
        }
    }
    fillHistory();
}

void Workbench::fillHistory()
{
    const QTableWidgetItem *current = m_history->currentItem();
    const QString chosen = current ? m_history->item(current->row(), 0)->text() : QString();
    m_history->setRowCount(0);
    m_history->setRowCount(int(m_runs.size()));
    int keep = m_runs.isEmpty() ? -1 : 0;
    for (int row = 0; row < m_runs.size(); ++row) {
        const RunSummary &run = m_runs.at(row);
        const int service = m_historyBranch == m_branch->currentData().toString()
                                ? m_service->findData(run.service)
                                : -1;
        const QStringList cells{run.id,
                                run.when.toString(kStamp),
                                run.operatorCode,
                                service >= 0 ? m_service->itemText(service) : run.service,
                                run.daysText(),
                                run.modeText(),
                                QString::number(run.menus),
                                QString::number(run.batches),
                                run.undoneText()};
        for (int column = 0; column < cells.size(); ++column)
            m_history->setItem(row, column, new QTableWidgetItem(cells.at(column)));
        if (run.id == chosen)
            keep = row;
    }
    if (keep >= 0)
        m_history->selectRow(keep);
    updateUndo();
}

void Workbench::updateUndo()
{
    const int row = m_history->currentRow();
    const bool chosen =
        row >= 0 && row < m_runs.size() && m_history->selectionModel()->hasSelection();
    m_undo->setEnabled(chosen && !m_runs.at(row).whollyUndone());
}

void Workbench::undoChosenRun()
{
    const int row = m_history->currentRow();
    if (row < 0 || row >= m_runs.size()) {
        presenter().showInformation(text("WORKBENCH_NO_RUNS").arg(m_historyBranch));
        return;
    }
    const RunSummary run = m_runs.at(row);
    if (!presenter().confirm(text("UNDO_CONFIRM_TITLE"),
                             text("WORKBENCH_UNDO_CONFIRM")
                                 .arg(run.id, run.when.toString(kStamp), run.operatorCode,
                                      run.service, run.daysText(), run.modeText())))
        return;
    UndoReport done;
    try {
        ServerCall call;
        done = call.undo().undo(run.id, m_historyBranch, false);
    } catch (const Error &e) {
        // a refusal of the server in its own words
        presenter().showError(e.text());
        refreshHistory();
        return;
    }
    refreshHistory();
    done.show();
}

} // namespace zov
