#include "tfrmimpocardhosp.h"

#include "accessiblenames.h"
#include "batchstatus.h"
#include "consiste.h"
#include "dates.h"
#include "error.h"
#include "hostcontext.h"
#include "importreportdialog.h"
#include "recordsetmodel.h"
#include "rpcconnection.h"
#include "runundo.h"
#include "texts.h"
#include "ui_tfrmimpocardhosp.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFile>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QProgressBar>
#include <QStyle>
#include <QTabBar>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace zov {

namespace {
bool inside(const QWidget *widget, const QWidget *area)
{
    return widget && area && (widget == area || area->isAncestorOf(widget));
}
} // namespace

TfrmImpoCardHosp::TfrmImpoCardHosp(QWidget *parent)
    : TfrmPadrImportExport(text("SCREEN_TITLE"), text("SCREEN_CODE"), parent)
    , m_ui(std::make_unique<Ui::TfrmImpoCardHosp>())
{
    setObjectName(QStringLiteral("frmImpoCardHosp"));
    auto *layout = new QVBoxLayout(contentArea());
    layout->setContentsMargins(0, 0, 0, 0);
    auto *content = new QWidget(contentArea());
    m_ui->setupUi(content);
    layout->addWidget(content);
    // the two commands stay out of the focus chain (a click keeps the preview) and
    // answer their keys: Ctrl+Enter imports, F9 simulates
    sbtImportExport->setToolTip(text("HINT_IMPORT_KEYS"));
    sbtImportExport->setText(text("COMMAND_IMPORT"));
    sbtImportExport->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    sbtSimular = new QToolButton(this);
    sbtSimular->setObjectName(QStringLiteral("sbtSimular"));
    sbtSimular->setFocusPolicy(Qt::NoFocus);
    sbtSimular->setAutoRaise(true);
    sbtSimular->setIconSize(QSize(32, 32));
    sbtSimular->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    sbtSimular->setText(text("COMMAND_SIMULATE"));
    sbtSimular->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    sbtSimular->setToolTip(text("HINT_SIMULATE_KEYS"));
    commandStrip()->insertWidget(1, sbtSimular);
    pgbProgresso->setTextVisible(false);
    // who works: with operators, the owner of the workstation's credential
    auto *who = new QLabel(text("SCREEN_OPERATOR").arg(Operador()), this);
    who->setObjectName(QStringLiteral("lblOperador"));
    who->setAccessibleName(who->text());
    commandStrip()->addWidget(who);
    resize(760, 600);

    // what the screen will do: the destination, and the diets chosen
    m_destination = new QLabel(content);
    m_destination->setObjectName(QStringLiteral("lblDestino"));
    m_destination->setWordWrap(true);
    m_destination->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // beside it, "Repetir até": the source range as a cycle repeated until that day
    auto *destinationRow = new QHBoxLayout;
    destinationRow->addWidget(m_destination, 1);
    auto *untilLabel = new QLabel(text("CYCLE_UNTIL_LABEL"), content);
    untilLabel->setObjectName(QStringLiteral("lblRepetirAte"));
    m_until = new TDateEditPlus(content);
    m_until->setObjectName(QStringLiteral("depRepetirAte"));
    m_until->setToolTip(text("HINT_CYCLE_UNTIL"));
    untilLabel->setBuddy(m_until);
    m_align = new QCheckBox(text("CYCLE_ALIGN_LABEL"), content);
    m_align->setObjectName(QStringLiteral("chkAlinhaSemana"));
    m_align->setToolTip(text("HINT_CYCLE_ALIGN"));
    destinationRow->addWidget(untilLabel);
    destinationRow->addWidget(m_until);
    destinationRow->addWidget(m_align);
    m_ui->layTela->insertLayout(m_ui->layTela->indexOf(m_ui->pgcGrid), destinationRow);
    QWidget::setTabOrder(m_ui->nedArredonda, m_until);
    QWidget::setTabOrder(m_until, m_align);
    QWidget::setTabOrder(m_align, m_ui->dbgPadrao);
    m_dietChoice = new QLabel(m_ui->grbDieta);
    m_dietChoice->setObjectName(QStringLiteral("lblDietas"));
    m_ui->layDieta->addWidget(m_dietChoice);
    m_ui->rdbAcrescentar->setToolTip(text("HINT_APPEND"));
    m_ui->rdbSobrepor->setToolTip(text("HINT_OVERWRITE"));
    m_ui->lblArredondar->setToolTip(text("HINT_ROUNDING"));
    m_ui->nedArredonda->setToolTip(text("HINT_ROUNDING"));
    m_ui->btnServico->setToolTip(text("HINT_SEARCH_KEYS"));
    m_ui->btpDataCard->setToolTip(text("HINT_SEARCH_KEYS"));
    m_ui->BtnDieta->setToolTip(text("HINT_SEARCH_KEYS"));
    // the names the screen fills in are read, not typed: dark text, not greyed out
    for (QLineEdit *name : {m_ui->medCdFilial, m_ui->edtNmFilial, m_ui->edtNmServico,
                            m_ui->edtDiaCardapio, m_ui->edtDiaCardapioAte}) {
        QPalette readable = name->palette();
        readable.setColor(QPalette::Disabled, QPalette::Text,
                          readable.color(QPalette::Active, QPalette::Text));
        name->setPalette(readable);
    }
    // a narrow window keeps the dates and the weekdays readable
    const QFontMetrics metrics(font());
    for (TDateEditPlus *date : {m_ui->depCardOrig, m_ui->depCardOrigAte, m_until})
        date->lineEdit()->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("00/00/00000")) +
                                          12);
    for (QLineEdit *weekday : {m_ui->edtDiaCardapio, m_ui->edtDiaCardapioAte})
        weekday->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("Segunda")) + 16);

    setUpGrid();
    m_ui->pgcGrid->tabBar()->hide();
    m_ui->nedArredonda->setDecimals(3);
    m_ui->nedArredonda->SetNumber(1);

    // what a screen reader calls each control; the rows of controls a form lacks are
    // passed over
    nameControls(this, {{"medCdFilial", "A11Y_BRANCH_CODE"},
                        {"edtNmFilial", "A11Y_BRANCH_NAME"},
                        {"medCdServico", "A11Y_SERVICE_CODE"},
                        {"btnServico", "A11Y_SERVICE_SEARCH"},
                        {"edtNmServico", "A11Y_SERVICE_NAME"},
                        {"depCardOrig", "A11Y_START_DATE"},
                        {"btpDataCard", "A11Y_START_SEARCH"},
                        {"edtDiaCardapio", "A11Y_START_WEEKDAY"},
                        {"depCardOrigAte", "A11Y_END_DATE"},
                        {"edtDiaCardapioAte", "A11Y_END_WEEKDAY"},
                        {"depRepetirAte", "CYCLE_UNTIL"},
                        {"chkAlinhaSemana", "CYCLE_ALIGN"},
                        {"rbtTodosDiet", "A11Y_ALL_DIETS"},
                        {"rbtListDiet", "A11Y_LIST_DIETS"},
                        {"BtnDieta", "A11Y_DIET_SEARCH"},
                        {"rdbAcrescentar", "A11Y_APPEND"},
                        {"rdbSobrepor", "A11Y_OVERWRITE"},
                        {"nedArredonda", "A11Y_ROUNDING"},
                        {"dbgPadrao", "A11Y_GRID"},
                        {"sbtImportExport", "A11Y_IMPORT"},
                        {"sbtSimular", "A11Y_SIMULATE"},
                        {"pgbProgresso", "A11Y_PROGRESS"}});

    bindWidgets();
    m_logic.setMessagePump([this] { pump(); });
    qApp->installEventFilter(this);
}

void TfrmImpoCardHosp::setUpGrid()
{
    // read-only, whole rows, the tooltip background
    m_gridModel = new RecordSetModel(m_logic.cdsCardOrigem,
                                     {QStringLiteral("DTCARDAPIO"), QStringLiteral("DSDIETPAD"),
                                      QStringLiteral("NMTIPOPRAT"), QStringLiteral("NMPRATO")},
                                     this);
    QTableView *grid = m_ui->dbgPadrao;
    grid->setModel(m_gridModel);
    const int widths[] = {97, 76, 103, 157};
    for (int c = 0; c < 4; ++c)
        grid->setColumnWidth(c, widths[c]);
    // the dish name takes the grid's free width, never less than its own
    grid->horizontalHeader()->setStretchLastSection(true);
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 6);
    QPalette palette = grid->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::ToolTipBase));
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    grid->setPalette(palette);
}

TfrmImpoCardHosp::~TfrmImpoCardHosp()
{
    qApp->removeEventFilter(this);
    // the grid's model reads the logic's record sets, which go before the widgets do:
    // the grid must not ask it for anything while the dialog tears its children down
    m_ui->dbgPadrao->setModel(nullptr);
    delete m_gridModel;
    m_gridModel = nullptr;
}

void TfrmImpoCardHosp::FormCreate()
{
    TfrmPadrImportExport::FormCreate();
    m_logic.FormCreate();
}

bool TfrmImpoCardHosp::dispatch(const std::function<void()> &handler)
{
    bool completed = false;
    ++m_dispatchDepth;
    try {
        handler();
        completed = true;
    } catch (const AbortError &) {
        // already shown by MensErro
    } catch (const Error &e) {
        presenter().showError(e.text());
    } catch (const std::exception &e) {
        presenter().showError(QString::fromLocal8Bit(e.what()));
    }
    if (--m_dispatchDepth == 0)
        keepPreviewCurrent();
    return completed;
}

void TfrmImpoCardHosp::keepPreviewCurrent()
{
    if (m_logic.running() || !m_logic.previewReloadDue() || !inside(focusWidget(), m_ui->dbgPadrao))
        return;
    // the reload clears what made it due: it runs once, whatever its outcome
    dispatch([this] { m_logic.reloadPreview(); });
}

QWidget *TfrmImpoCardHosp::widgetOf(ImpoCardHosp::Control control) const
{
    switch (control) {
    case ImpoCardHosp::medCdServico:
        return m_ui->medCdServico;
    case ImpoCardHosp::depCardOrig:
        return m_ui->depCardOrig;
    case ImpoCardHosp::depCardOrigAte:
        return m_ui->depCardOrigAte;
    case ImpoCardHosp::rbtTodosDiet:
        return m_ui->rbtTodosDiet;
    case ImpoCardHosp::rbtListDiet:
        return m_ui->rbtListDiet;
    case ImpoCardHosp::nedArredonda:
        return m_ui->nedArredonda;
    case ImpoCardHosp::dbgPadrao:
        return m_ui->dbgPadrao;
    case ImpoCardHosp::depRepetirAte:
        return m_until;
    default:
        return nullptr;
    }
}

void TfrmImpoCardHosp::bindWidgets()
{
    Ui::TfrmImpoCardHosp &ui = *m_ui;
    connect(&m_logic, &ImpoCardHosp::changed, this, &TfrmImpoCardHosp::refresh);
    connect(&m_logic, &ImpoCardHosp::focusRequested, this, [this](ImpoCardHosp::Control control) {
        m_requestedFocus = widgetOf(control);
        moveFocusQuietly(m_requestedFocus);
    });
    connect(&m_logic, &ImpoCardHosp::modalResultChanged, this, [this](int result) {
        if (result == 1) {
            // after the closing dialog, the report of what was stored
            showReport();
            accept();
        }
    });

    // what the user types and picks goes to the logic, which runs the change handlers
    connect(ui.medCdServico, &QLineEdit::textEdited, this,
            [this](const QString &text) { dispatch([&] { m_logic.setServiceText(text); }); });
    connect(ui.depCardOrig, &TDateEditPlus::dateChanged, this, [this](const QDate &date) {
        if (!m_updating)
            dispatch([&] { m_logic.setStartDate(date); });
    });
    connect(ui.depCardOrigAte, &TDateEditPlus::dateChanged, this, [this](const QDate &date) {
        if (!m_updating)
            dispatch([&] { m_logic.setEndDate(date); });
    });
    connect(m_until, &TDateEditPlus::dateChanged, this, [this](const QDate &date) {
        if (!m_updating)
            m_logic.setUntil(date);
    });
    connect(m_align, &QCheckBox::toggled, this, [this](bool on) {
        if (!m_updating)
            m_logic.setAlignWeekday(on);
    });
    const auto dietClicked = [this] {
        dispatch([this] {
            m_logic.setDietChoice(m_ui->rbtTodosDiet->isChecked(), m_ui->rbtListDiet->isChecked());
        });
    };
    connect(ui.rbtTodosDiet, &QRadioButton::clicked, this, dietClicked);
    connect(ui.rbtListDiet, &QRadioButton::clicked, this, dietClicked);
    connect(ui.rdbAcrescentar, &QRadioButton::toggled, this, [this](bool on) {
        if (!m_updating)
            m_logic.setMode(on ? ImportRun::Mode::Append : ImportRun::Mode::Overwrite);
    });
    connect(ui.nedArredonda, &TNumberEdit::numberChanged, this,
            [this](double value) { m_logic.setRounding(value); });

    connect(ui.btnServico, &QToolButton::clicked, this,
            [this] { dispatch([this] { m_logic.btnServicoClick(); }); });
    connect(ui.btpDataCard, &QToolButton::clicked, this,
            [this] { dispatch([this] { m_logic.btpDataCardClick(); }); });
    connect(ui.BtnDieta, &QToolButton::clicked, this,
            [this] { dispatch([this] { m_logic.BtnDietaClick(); }); });
    connect(sbtImportExport, &QToolButton::clicked, this, [this] { runImport(false); });
    connect(sbtSimular, &QToolButton::clicked, this, [this] { runImport(true); });

    for (const auto control :
         {ImpoCardHosp::medCdFilial, ImpoCardHosp::edtNmFilial, ImpoCardHosp::medCdServico,
          ImpoCardHosp::edtNmServico, ImpoCardHosp::depCardOrig, ImpoCardHosp::edtDiaCardapio,
          ImpoCardHosp::depCardOrigAte, ImpoCardHosp::edtDiaCardapioAte, ImpoCardHosp::rbtTodosDiet,
          ImpoCardHosp::BtnDieta, ImpoCardHosp::rdbAcrescentar, ImpoCardHosp::panArredonda,
          ImpoCardHosp::pgbProgresso, ImpoCardHosp::lblProgresso, ImpoCardHosp::sbtImportExport})
        refresh(control);
}

void TfrmImpoCardHosp::refresh(ImpoCardHosp::Control control)
{
    Ui::TfrmImpoCardHosp &ui = *m_ui;
    const bool updating = m_updating;
    m_updating = true;
    const auto setText = [](QLineEdit *edit, const QString &text) {
        if (edit->text() != text)
            edit->setText(text);
    };
    switch (control) {
    case ImpoCardHosp::medCdFilial:
        setText(ui.medCdFilial, m_logic.branchText());
        break;
    case ImpoCardHosp::edtNmFilial:
        setText(ui.edtNmFilial, m_logic.branchName());
        break;
    case ImpoCardHosp::medCdServico:
        setText(ui.medCdServico, m_logic.serviceText());
        break;
    case ImpoCardHosp::edtNmServico:
        setText(ui.edtNmServico, m_logic.serviceName());
        break;
    case ImpoCardHosp::depCardOrig:
        if (ui.depCardOrig->GetDate() != m_logic.startDate())
            ui.depCardOrig->SetDate(m_logic.startDate());
        break;
    case ImpoCardHosp::depCardOrigAte:
        if (ui.depCardOrigAte->GetDate() != m_logic.endDate())
            ui.depCardOrigAte->SetDate(m_logic.endDate());
        break;
    case ImpoCardHosp::edtDiaCardapio:
        setText(ui.edtDiaCardapio, m_logic.startWeekday());
        break;
    case ImpoCardHosp::edtDiaCardapioAte:
        setText(ui.edtDiaCardapioAte, m_logic.endWeekday());
        break;
    case ImpoCardHosp::rbtTodosDiet:
    case ImpoCardHosp::rbtListDiet:
        ui.rbtTodosDiet->setChecked(m_logic.allDiets());
        ui.rbtListDiet->setChecked(m_logic.listDiets());
        break;
    case ImpoCardHosp::BtnDieta:
        ui.BtnDieta->setEnabled(m_logic.dietButtonEnabled());
        break;
    case ImpoCardHosp::rdbAcrescentar:
    case ImpoCardHosp::rdbSobrepor:
        ui.rdbAcrescentar->setChecked(m_logic.mode() == ImportRun::Mode::Append);
        ui.rdbSobrepor->setChecked(m_logic.mode() == ImportRun::Mode::Overwrite);
        break;
    case ImpoCardHosp::nedArredonda:
        if (ui.nedArredonda->GetNumber() != m_logic.rounding())
            ui.nedArredonda->SetNumber(m_logic.rounding());
        break;
    case ImpoCardHosp::panArredonda:
        ui.panArredonda->setVisible(m_logic.roundingStripVisible());
        break;
    case ImpoCardHosp::pgbProgresso:
        pgbProgresso->setMaximum(std::max(1, m_logic.progressMaximum()));
        pgbProgresso->setValue(m_logic.progressPosition());
        break;
    case ImpoCardHosp::lblProgresso:
        lblProgresso->setText(m_logic.progressCaption());
        break;
    case ImpoCardHosp::sbtImportExport:
        sbtImportExport->setEnabled(m_logic.importEnabled());
        sbtSimular->setEnabled(m_logic.importEnabled());
        break;
    case ImpoCardHosp::depRepetirAte:
        if (m_until->GetDate() != m_logic.untilDate())
            m_until->SetDate(m_logic.untilDate());
        break;
    case ImpoCardHosp::chkAlinhaSemana:
        m_align->setChecked(m_logic.alignWeekday());
        break;
    case ImpoCardHosp::dbgPadrao:
        break;
    }
    if (control == ImpoCardHosp::pgbProgresso)
        pgbProgresso->setTextVisible(m_logic.running());
    if (!m_logic.running()) {
        m_destination->setText(m_logic.destinationLine());
        m_dietChoice->setText(m_logic.dietChoiceText());
    }
    m_updating = updating;
}

void TfrmImpoCardHosp::pump()
{
    // the bar and the caption repaint, the window paints; what the user does waits
    // until the import is over
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TfrmImpoCardHosp::moveFocusQuietly(QWidget *widget)
{
    if (!widget)
        return;
    const bool quiet = m_quiet;
    m_quiet = true;
    widget->setFocus(Qt::OtherFocusReason);
    m_quiet = quiet;
    // In a window that is not active (a message box has just closed) the focus
    // arrives only when the window is active again: it is this move, not the user's.
    while (widget->focusProxy())
        widget = widget->focusProxy();
    if (QWidget *previous = m_lastFocus; previous != widget) {
        m_lastFocus = widget;
        quietFocusMove(previous, widget);
    }
}

bool TfrmImpoCardHosp::eventFilter(QObject *watched, QEvent *event)
{
    if (m_logic.running()) {
        // during an import the screen paints but takes no input
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::TouchBegin:
        case QEvent::ContextMenu: {
            auto *widget = qobject_cast<QWidget *>(watched);
            if (widget && (widget == this || isAncestorOf(widget)))
                return true;
            break;
        }
        default:
            break;
        }
    }
    if (event->type() == QEvent::FocusIn) {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (widget && isAncestorOf(widget)) {
            QPointer<QWidget> from = m_lastFocus;
            m_lastFocus = widget;
            // A dialog, a popup or another window that takes the focus and gives it
            // back is not an exit: the focus comes back where it was. A click into
            // another field of the window while it was not active is one.
            if (from && from != widget) {
                if (m_quiet || m_dispatchDepth > 0 || m_logic.running()) {
                    quietFocusMove(from, widget);
                } else {
                    // the exits run once the batch of window events is handled, each
                    // move in its turn
                    m_focusMoves.append({from, widget});
                    if (!m_focusMovesScheduled) {
                        m_focusMovesScheduled = true;
                        QTimer::singleShot(0, this, &TfrmImpoCardHosp::runFocusMoves);
                    }
                }
            }
        }
    }
    return TfrmPadrImportExport::eventFilter(watched, event);
}

void TfrmImpoCardHosp::quietFocusMove(QWidget *from, QWidget *to)
{
    if (inside(from, m_ui->pgcGrid) && !inside(to, m_ui->pgcGrid))
        m_logic.pgcGridExit();
}

void TfrmImpoCardHosp::runFocusMoves()
{
    m_focusMovesScheduled = false;
    // a move that arrives while an exit shows its message joins the running queue
    if (m_runningFocusMoves)
        return;
    m_runningFocusMoves = true;
    while (!m_focusMoves.isEmpty() && !m_logic.running()) {
        const FocusMove move = m_focusMoves.takeFirst();
        if (move.from && move.to && !focusMoved(move.from, move.to))
            m_focusMoves.clear(); // the later moves started from a screen that failed its check
    }
    m_focusMoves.clear();
    m_runningFocusMoves = false;
}

bool TfrmImpoCardHosp::focusMoved(QWidget *from, QWidget *to)
{
    Ui::TfrmImpoCardHosp &ui = *m_ui;
    struct Exit
    {
        QWidget *area;
        std::function<void()> handler;
    };
    const auto checkDate = [](TDateEditPlus *edit) {
        if (!edit->CheckValidDate())
            throw AbortError(QString(), AbortKind::Check);
    };
    // innermost first: the control's own exit, then its group's, then the panel's
    const Exit exits[] = {
        {ui.medCdServico, [this] { m_logic.medCdServicoExit(); }},
        {ui.depCardOrig, [&] { checkDate(ui.depCardOrig); }},
        {ui.depCardOrigAte,
         [&] {
             checkDate(ui.depCardOrigAte);
             m_logic.depCardOrigAteExit();
         }},
        {m_until, [&] { checkDate(m_until); }},
        {ui.grbDieta, [this] { m_logic.grbDietaExit(); }},
        {ui.panOrigem, [this] { m_logic.panOrigemExit(); }},
        {ui.pgcGrid, [this] { m_logic.pgcGridExit(); }},
    };
    m_requestedFocus = nullptr;
    for (const Exit &exit : exits) {
        if (inside(from, exit.area) && !inside(to, exit.area) && !dispatch(exit.handler)) {
            // a failed exit keeps the focus where it was, or where the handler put it
            moveFocusQuietly(m_requestedFocus ? m_requestedFocus.data() : from);
            return false;
        }
    }
    if (inside(to, ui.dbgPadrao) && !inside(from, ui.dbgPadrao)) {
        dispatch([this] { m_logic.dbgPadraoEnter(); });
        // the grid shows where it is
        if (!ui.dbgPadrao->currentIndex().isValid() && m_gridModel->rowCount() > 0)
            ui.dbgPadrao->setCurrentIndex(m_gridModel->index(0, 0));
    }
    return true;
}

bool TfrmImpoCardHosp::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate && !m_logic.running()) {
        if (m_skipActivation) {
            // the activation that follows the error dialog of a failed activation
            m_skipActivation = false;
        } else if (!dispatch([this] { m_logic.FormActivate(); })) {
            m_skipActivation = true;
        } else if (m_initialInputs.isNull()) {
            m_initialInputs = inputs();
        }
    }
    return TfrmPadrImportExport::event(event);
}

bool TfrmImpoCardHosp::FormKeyDown(int key, Qt::KeyboardModifiers shift)
{
    if (TfrmPadrImportExport::FormKeyDown(key, shift))
        return true;
    const Qt::KeyboardModifiers modifiers = shift & ~Qt::KeypadModifier;
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && modifiers == Qt::ControlModifier) {
        QTimer::singleShot(0, this, [this] { runImport(false); });
        return true;
    }
    if (key == Qt::Key_F9 && modifiers == Qt::NoModifier) {
        QTimer::singleShot(0, this, [this] { runImport(true); });
        return true;
    }
    // F4 opens the search list of the field, Alt+Down its calendar (or its list)
    const bool f4 = key == Qt::Key_F4 && modifiers == Qt::NoModifier;
    const bool altDown = key == Qt::Key_Down && modifiers == Qt::AltModifier;
    if (f4 || altDown)
        return openPicker(altDown);
    // Ctrl+Delete (with or without other modifiers) reaches no control
    if (key == Qt::Key_Delete && (shift & Qt::ControlModifier))
        return true;
    if (key == Qt::Key_F1 && shift == Qt::NoModifier) {
        showHelp();
        return true;
    }
    return false;
}

bool TfrmImpoCardHosp::openPicker(bool calendar)
{
    Ui::TfrmImpoCardHosp &ui = *m_ui;
    QWidget *field = focusWidget();
    QAbstractButton *button = nullptr;
    if (inside(field, ui.medCdServico))
        button = ui.btnServico;
    else if (inside(field, ui.depCardOrig) && !calendar)
        button = ui.btpDataCard;
    else if (inside(field, ui.grbDieta))
        button = ui.BtnDieta;
    if (button) {
        if (button->isEnabled())
            QTimer::singleShot(0, button, &QAbstractButton::click);
        return true;
    }
    for (TDateEditPlus *date : {ui.depCardOrig, ui.depCardOrigAte, m_until}) {
        if (inside(field, date)) {
            QTimer::singleShot(0, date, &TDateEditPlus::popupCalendar);
            return true;
        }
    }
    return false;
}

void TfrmImpoCardHosp::showHelp()
{
    QDialog help(this);
    help.setObjectName(QStringLiteral("help12011119"));
    help.setWindowTitle(text("HELP_TITLE"));
    auto *layout = new QVBoxLayout(&help);
    auto *browser = new QTextBrowser(&help);
    QFile page(QStringLiteral(":/zov/screen/help/12011119.html"));
    if (page.open(QIODevice::ReadOnly))
        browser->setHtml(QString::fromUtf8(page.readAll()));
    layout->addWidget(browser);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &help);
    connect(buttons, &QDialogButtonBox::rejected, &help, &QDialog::reject);
    layout->addWidget(buttons);
    help.resize(560, 480);
    help.exec();
}

void TfrmImpoCardHosp::runImport(bool dryRun)
{
    if (m_logic.running())
        return;
    m_logic.setDryRun(dryRun);
    const bool completed = dispatch([this] {
        // a date the edit cannot read is not an empty date: the import does not take
        // "03/12/202" in "Até" for a single day
        for (TDateEditPlus *edit : {m_ui->depCardOrig, m_ui->depCardOrigAte, m_until}) {
            if (!edit->CheckValidDate())
                throw AbortError(QString(), AbortKind::Check);
        }
        m_logic.sbtImportExportClick();
    });
    m_logic.setDryRun(false);
    // a simulation shows what it would do; a run stopped by an error, what it stored
    // before or may have (a completed import has shown its report with its closing
    // dialog)
    const ImportReport &report = m_logic.report();
    if ((dryRun && completed) || (!completed && (report.batches > 0 || report.unknownCount() > 0)))
        showReport();
}

void TfrmImpoCardHosp::showReport()
{
    const ImportReport &report = m_logic.report();
    if (report.entries.isEmpty() && report.skippedDays.isEmpty())
        return;
    // After a completed import the screen closes: the report is a window of its own
    // that stays open. After a dry run or a stopped import the screen stays open, in
    // its modal loop, and the report must be a window of the screen to take input.
    const bool screenStays = report.preview || !report.finished;
    auto *dialog = new ImportReportDialog(report, screenStays ? this : parentWidget());
    dialog->offerUndo(
        [options = RpcConnection::loginOptions(), branch = report.branch](const QString &runId) {
            RpcConnection server;
            server.setOptions(options);
            server.open();
            return RunUndo(server).undo(runId, branch, false);
        });
    // what became of batches the server never answered for is asked again while the
    // window is open, on a connection of its own with a short wait
    dialog->askAboutUnknown([options = RpcConnection::loginOptions()](ImportReport report) {
        RpcConnection::Options quick = options;
        quick.deadlineMs = std::min(quick.deadlineMs, 5000);
        RpcConnection server;
        server.setOptions(quick);
        server.open(quick.deadlineMs);
        askAboutBatches(server, report);
        return report;
    });
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(screenStays ? Qt::WindowModal : Qt::NonModal);
    dialog->show();
}

void TfrmImpoCardHosp::closeEvent(QCloseEvent *event)
{
    if (m_logic.running()) {
        event->ignore();
        return;
    }
    TfrmPadrImportExport::closeEvent(event);
}

QString TfrmImpoCardHosp::inputs() const
{
    const ImpoCardHosp &l = m_logic;
    return QStringList{l.serviceText(),
                       shortDate(l.startDate()),
                       shortDate(l.endDate()),
                       m_ui->depCardOrig->text(),
                       m_ui->depCardOrigAte->text(),
                       QString::number(l.allDiets()) + QString::number(l.listDiets()),
                       unitValues().DietasEscolhidas,
                       QString::number(l.mode() == ImportRun::Mode::Append),
                       QString::number(l.rounding()),
                       m_until->text(),
                       QString::number(l.alignWeekday())}
        .join(QLatin1Char('|'));
}

void TfrmImpoCardHosp::reject()
{
    if (m_logic.running())
        return;
    // Esc (or the window's close) on a screen the planner filled in asks first
    if (!m_initialInputs.isNull() && inputs() != m_initialInputs &&
        !presenter().confirm(text("CLOSE_CONFIRM_TITLE"), text("CLOSE_CONFIRM")))
        return;
    TfrmPadrImportExport::reject();
}

} // namespace zov
