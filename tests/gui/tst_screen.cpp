// The real dialog under the offscreen platform, against the real server.

#include "dates.h"
#include "importfixture.h"
#include "importreportdialog.h"
#include "messages.h"
#include "pesquisadialog.h"
#include "recordsetmodel.h"
#include "reportpalette.h"
#include "tdateeditplus.h"
#include "testbackend.h"
#include "texts.h"
#include "tfrmimpocardhosp.h"
#include "tnumberedit.h"
#include "ui_tfrmimpocardhosp.h"

#include <QAccessible>
#include <QDialogButtonBox>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTabBar>
#include <QTableWidget>
#include <QTextBrowser>
#include <QToolButton>
#include <QtTest>

using namespace zov;
using namespace zov::test;

namespace {
QString msg(const char *key)
{
    return TMessages::Msg(QLatin1String(key));
}

void typeDate(TDateEditPlus *edit, const QString &text)
{
    edit->lineEdit()->setFocus(Qt::TabFocusReason);
    edit->lineEdit()->clear();
    QTest::keyClicks(edit->lineEdit(), text);
}

// Moves the focus as Tab or a click would, and lets the queued exit handlers run.
void moveFocus(QWidget *to)
{
    to->setFocus(Qt::TabFocusReason);
    QTest::qWait(20);
    QCoreApplication::processEvents();
}

// Keys that reach the window in one batch, as from a fast typist or a barcode
// reader: each goes to the widget that has the focus when it is handled, and all of
// them are handled before anything the first ones queued.
class KeyBatch : public QObject
{
public:
    void post(const QString &keys)
    {
        for (const QChar c : keys)
            QCoreApplication::postEvent(
                this, new Key(c == QLatin1Char('\t') ? int(Qt::Key_Tab) : c.unicode(),
                              c == QLatin1Char('\t') ? QString() : c));
    }

protected:
    bool event(QEvent *e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        const auto *key = static_cast<Key *>(e);
        if (QWidget *w = QApplication::focusWidget()) {
            QKeyEvent press(QEvent::KeyPress, key->code, Qt::NoModifier, key->text);
            QApplication::sendEvent(w, &press);
        }
        return true;
    }

private:
    struct Key : QEvent
    {
        Key(int c, QString t)
            : QEvent(QEvent::User)
            , code(c)
            , text(std::move(t))
        {}
        int code;
        QString text;
    };
};

// The shown controls of `window` (what takes the focus, and every button, field, table
// and bar, a table's own parts aside) that a screen reader would reach without a name.
QStringList unnamedControls(QWidget *window)
{
    QStringList unnamed;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        const bool control = w->focusPolicy() != Qt::NoFocus || w->inherits("QAbstractButton") ||
                             w->inherits("QLineEdit") || w->inherits("QProgressBar");
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(w);
        if (control && w->isVisibleTo(window) && !qobject_cast<QAbstractItemView *>(w->parent()) &&
            !qobject_cast<QAbstractItemView *>(w->parent()->parent()) &&
            (!a || a->text(QAccessible::Name).trimmed().isEmpty()))
            unnamed.append(w->objectName() + QLatin1Char(':') + w->metaObject()->className());
    }
    return unnamed;
}

// WCAG's contrast ratio, from the relative luminance of the two colours
double contrastRatio(const QColor &a, const QColor &b)
{
    const auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    const auto luminance = [&](const QColor &c) {
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double one = luminance(a), other = luminance(b);
    return (std::max(one, other) + 0.05) / (std::min(one, other) + 0.05);
}

int storedDishes(const TestDatabase &db)
{
    return queryValue(db.url(), QStringLiteral("SELECT COUNT(*) FROM COMPCARD")).toInt();
}
} // namespace

class TestScreen : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void firstActivationFillsTheScreen_data();
    void firstActivationFillsTheScreen();
    void panelToGridLoadsThePreviewAndLeavingClosesIt();
    void servicePaddingAndMessages_data();
    void servicePaddingAndMessages();
    void typingTheServiceClosesThePreview();
    void invalidTypedDateKeepsTheFocus();
    void rangeErrorKeepsTheFocusOnTheEndDate();
    void pickerSetsTheStartDate();
    void selectionChangedWhileTheGridHasTheFocus_data();
    void selectionChangedWhileTheGridHasTheFocus();
    void aFailedCheckClosesThePreview();
    void exitChecksOfABatchOfFocusMoves_data();
    void exitChecksOfABatchOfFocusMoves();
    void ctrlDeleteIsSwallowed();
    void anotherWindowIsNotAnExit();
    void importThroughTheButton_data();
    void importThroughTheButton();
    void simulateShowsThePreviewAndStoresNothing();
    void inputIsHeldBackDuringAnImport();
    void aStoppedImportShowsAReportThatTakesInput();
    void f1OpensTheHelpPage();
    void searchListFromTheKeyboard_data();
    void searchListFromTheKeyboard();
    void everyControlHasAName();
    void outcomeColoursDifferInLightness_data();
    void outcomeColoursDifferInLightness();

private:
    TfrmImpoCardHosp &open(int semArredondamento = 0);
    Ui::TfrmImpoCardHosp &ui() { return *m_screen->ui(); }

    std::unique_ptr<ImportFixture> m_f;
    std::unique_ptr<TfrmImpoCardHosp> m_screen;
};

void TestScreen::init()
{
    m_f = std::make_unique<ImportFixture>();
}

void TestScreen::cleanup()
{
    // a completed import leaves its report open
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qobject_cast<ImportReportDialog *>(w))
            delete w;
    }
    m_screen.reset();
    m_f.reset();
}

TfrmImpoCardHosp &TestScreen::open(int semArredondamento)
{
    storeEntryValues(QStringLiteral("B1"), QStringLiteral("1"), ImportFixture::april(1),
                     ImportFixture::april(1), QString(), QStringLiteral("T"), semArredondamento);
    m_screen = std::make_unique<TfrmImpoCardHosp>();
    m_screen->FormCreate();
    m_screen->show();
    QApplication::setActiveWindow(m_screen.get());
    if (!QTest::qWaitForWindowActive(m_screen.get()))
        qWarning("the screen did not become active");
    if (!QTest::qWaitFor([this] { return !m_screen->logic().firstActivation(); }, 5000))
        qWarning("the first activation did not run");
    return *m_screen;
}

void TestScreen::firstActivationFillsTheScreen_data()
{
    QTest::addColumn<int>("semArredondamento");
    QTest::newRow("rounding on") << 0;
    QTest::newRow("rounding off") << 1;
}

void TestScreen::firstActivationFillsTheScreen()
{
    QFETCH(int, semArredondamento);
    TfrmImpoCardHosp &s = open(semArredondamento);
    QCOMPARE(s.windowTitle(), QStringLiteral("Importação de Cardapio do Dia"));
    QCOMPARE(s.lblCodTela->text(), QStringLiteral("ZOV11119"));
    QCOMPARE(ui().medCdFilial->text(), QStringLiteral("B1"));
    QVERIFY(!ui().medCdFilial->isEnabled());
    QCOMPARE(ui().edtNmFilial->text(), QStringLiteral("HOSPITAL DE TESTE"));
    QCOMPARE(ui().medCdServico->text(), QStringLiteral("00001"));
    QCOMPARE(ui().edtNmServico->text(), QStringLiteral("ALMOÇO"));
    QCOMPARE(ui().depCardOrig->GetDate(), ImportFixture::april(1));
    QCOMPARE(ui().depCardOrig->text(), QStringLiteral("01/04/2024"));
    QCOMPARE(ui().edtDiaCardapio->text(), QStringLiteral("Segunda"));
    QCOMPARE(ui().depCardOrigAte->text(), QString());
    QVERIFY(ui().rbtTodosDiet->isChecked());
    QVERIFY(!ui().BtnDieta->isEnabled());
    QVERIFY(ui().rdbAcrescentar->isChecked());
    QCOMPARE(ui().nedArredonda->text(), QStringLiteral("1,000"));
    QCOMPARE(ui().panArredonda->isVisible(), semArredondamento == 0);
    QVERIFY(ui().nedArredonda->isVisible());
    // the hints name the keys
    QCOMPARE(s.sbtImportExport->toolTip(), QStringLiteral("Importar (Ctrl+Enter)"));
    QCOMPARE(ui().btnServico->toolTip(), QStringLiteral("Pesquisar (F4)"));
    QCOMPARE(s.sbtImportExport->focusPolicy(), Qt::NoFocus);
    QVERIFY(!ui().pgcGrid->tabBar()->isVisible());
    // the grid's columns, widths and titles
    const QAbstractItemModel *model = ui().dbgPadrao->model();
    QCOMPARE(model->columnCount(), 4);
    const QStringList titles{QStringLiteral("Data"), QStringLiteral("Dieta"),
                             QStringLiteral("Tipo de Prato"), QStringLiteral("Prato")};
    for (int c = 0; c < 4; ++c)
        QCOMPARE(model->headerData(c, Qt::Horizontal).toString(), titles.at(c));
    // the dish name takes the free width, the specified one at least
    QVERIFY(ui().dbgPadrao->columnWidth(3) >= 157);
    QCOMPARE(ui().dbgPadrao->columnWidth(2), 103);
    QCOMPARE(model->rowCount(), 0); // the preview waits for the grid
    // the destination day is loaded, with the all-diets list
    QCOMPARE(unitValues().ListaDietas, QStringLiteral("_0001_0002_"));
    QVERIFY(s.logic().cdsCardaDia.active());
}

void TestScreen::panelToGridLoadsThePreviewAndLeavingClosesIt()
{
    TfrmImpoCardHosp &s = open();
    typeDate(ui().depCardOrig, QStringLiteral("04/03/2024"));
    moveFocus(ui().depCardOrigAte->lineEdit());
    QCOMPARE(ui().edtDiaCardapio->text(), QStringLiteral("Segunda"));
    QTest::keyClicks(ui().depCardOrigAte->lineEdit(), QStringLiteral("05/03/2024"));
    QCOMPARE(ui().edtDiaCardapioAte->text(), QStringLiteral("Terça"));
    QSignalSpy loads(&s.logic().cdsCardOrigem, &RecordSet::contentChanged);
    moveFocus(ui().dbgPadrao);
    // the end date's exit, the panel's exit (check and load) and the grid's enter (load again)
    QTRY_COMPARE(loads.count(), 2);
    QCOMPARE(ui().dbgPadrao->model()->rowCount(), 12);
    QCOMPARE(ui().dbgPadrao->model()->index(0, 0).data().toString(), QStringLiteral("04/03/2024"));
    QVERIFY(m_f->presenter.errors.isEmpty());

    moveFocus(ui().nedArredonda);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 0);
    QVERIFY(!s.logic().cdsCardOrigem.active());
    // re-entering loads it again from the server
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 12);
}

void TestScreen::servicePaddingAndMessages_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");
    QTest::newRow("padded") << QStringLiteral("2") << QStringLiteral("00002")
                            << QStringLiteral("JANTAR") << QString();
    QTest::newRow("blank after the code")
        << QStringLiteral("2 ") << QStringLiteral("00002") << QStringLiteral("JANTAR") << QString();
    QTest::newRow("full code") << QStringLiteral("00001") << QStringLiteral("00001")
                               << QStringLiteral("ALMOÇO") << QString();
    QTest::newRow("unknown") << QStringLiteral("9") << QStringLiteral("00009") << QString()
                             << msg("SERV_NAO_CAD");
    QTest::newRow("empty is left alone") << QString() << QString() << QString() << QString();
}

void TestScreen::servicePaddingAndMessages()
{
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(QString, name);
    QFETCH(QString, error);
    open();
    moveFocus(ui().medCdServico);
    ui().medCdServico->selectAll();
    QTest::keyClick(ui().medCdServico, Qt::Key_Backspace);
    QTest::keyClicks(ui().medCdServico, typed);
    moveFocus(ui().depCardOrig->lineEdit());
    QTRY_COMPARE(ui().medCdServico->text(), shown);
    QCOMPARE(ui().edtNmServico->text(), name);
    QCOMPARE(m_f->presenter.errors, error.isEmpty() ? QStringList() : QStringList{error});
    // after an error the focus is back on the service code
    QCOMPARE(QApplication::focusWidget() == ui().medCdServico, !error.isEmpty());
}

void TestScreen::typingTheServiceClosesThePreview()
{
    open();
    typeDate(ui().depCardOrig, QStringLiteral("04/03/2024"));
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 6);
    // a key typed in the service (through a direct focus move that runs no exit)
    ui().medCdServico->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(ui().medCdServico, Qt::Key_End);
    QTest::keyClick(ui().medCdServico, Qt::Key_Backspace);
    QCOMPARE(ui().dbgPadrao->model()->rowCount(), 0);
    QCOMPARE(ui().edtNmServico->text(), QString());
}

void TestScreen::invalidTypedDateKeepsTheFocus()
{
    open();
    typeDate(ui().depCardOrig, QStringLiteral("31/02/2024"));
    moveFocus(ui().depCardOrigAte->lineEdit());
    QTRY_COMPARE(m_f->presenter.errors,
                 QStringList{text("DATE_INVALID").arg(QStringLiteral("31/02/2024"))});
    QCOMPARE(QApplication::focusWidget(), ui().depCardOrig->lineEdit());
}

void TestScreen::rangeErrorKeepsTheFocusOnTheEndDate()
{
    open();
    typeDate(ui().depCardOrig, QStringLiteral("28/02/2024"));
    typeDate(ui().depCardOrigAte, QStringLiteral("01/03/2024"));
    QSignalSpy loads(&m_screen->logic().cdsCardOrigem, &RecordSet::contentChanged);
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(m_f->presenter.errors, QStringList{msg("Mes_Igual")});
    QCOMPARE(QApplication::focusWidget(), ui().depCardOrigAte->lineEdit());
    QCOMPARE(loads.count(), 0); // nothing was loaded
}

void TestScreen::pickerSetsTheStartDate()
{
    open();
    typeDate(ui().depCardOrig, QStringLiteral("20/03/2024"));
    const QString end = ui().depCardOrigAte->text();
    m_f->presenter.nextChoice = 1;
    QTest::mouseClick(ui().btpDataCard, Qt::LeftButton);
    QCOMPARE(m_f->presenter.titles, QStringList{msg("cardapios")});
    const PickList list = m_f->presenter.lists.first();
    QCOMPARE(list.titles,
             (QStringList{QStringLiteral("Data do Cardápio"), QStringLiteral("Dia da Semana")}));
    QCOMPARE(list.rows.size(), 3);
    QCOMPARE(list.rows.at(0), (QStringList{QStringLiteral("04/03/2024"), QStringLiteral("seg")}));
    QCOMPARE(ui().depCardOrig->GetDate(), QDate(2024, 3, 5));
    QCOMPARE(ui().edtDiaCardapio->text(), QStringLiteral("Terça"));
    QCOMPARE(ui().depCardOrigAte->text(), end);
    // cancelling changes nothing
    m_f->presenter.nextChoice = -1;
    QTest::mouseClick(ui().btpDataCard, Qt::LeftButton);
    QCOMPARE(ui().depCardOrig->GetDate(), QDate(2024, 3, 5));
}

void TestScreen::selectionChangedWhileTheGridHasTheFocus_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QDate>("sourceDay");
    QTest::addColumn<QStringList>("dietsStored");
    QTest::newRow("dates picker") << QStringLiteral("date") << ImportFixture::march(5)
                                  << QStringList{QStringLiteral("0001")};
    QTest::newRow("diet picker") << QStringLiteral("diet") << ImportFixture::march(4)
                                 << QStringList{QStringLiteral("0002")};
}

void TestScreen::selectionChangedWhileTheGridHasTheFocus()
{
    QFETCH(QString, change);
    QFETCH(QDate, sourceDay);
    QFETCH(QStringList, dietsStored);
    TfrmImpoCardHosp &s = open();
    // "Lista" with LIVRE picked, 04/03 in "De", the preview loaded by entering the grid
    QTest::mouseClick(ui().rbtListDiet, Qt::LeftButton);
    m_f->presenter.nextPicks = {0};
    QTest::mouseClick(ui().BtnDieta, Qt::LeftButton);
    typeDate(ui().depCardOrig, QStringLiteral("04/03/2024"));
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 3);

    // a button that takes no focus changes the selection while the grid keeps it
    if (change == QLatin1String("date")) {
        m_f->presenter.nextChoice = 1;
        QTest::mouseClick(ui().btpDataCard, Qt::LeftButton);
    } else {
        m_f->presenter.nextPicks = {1};
        QTest::mouseClick(ui().BtnDieta, Qt::LeftButton);
    }
    QCOMPARE(QApplication::focusWidget(), ui().dbgPadrao);
    // the preview follows at once
    QCOMPARE(ui().dbgPadrao->model()->rowCount(), 3);
    QCOMPARE(ui().dbgPadrao->model()->index(0, 0).data().toString(), shortDate(sourceDay));
    QCOMPARE(ui().dbgPadrao->model()->index(0, 1).data().toString(),
             dietsStored.first() == QLatin1String("0001") ? QStringLiteral("LIVRE")
                                                          : QStringLiteral("BRANDA"));

    QTest::mouseClick(s.sbtImportExport, Qt::LeftButton);
    QCOMPARE(m_f->presenter.informations, QStringList{msg("SUCESSO")});
    QCOMPARE(s.logic().report().entries.first().sourceDay, sourceDay);
    for (const char *diet : {"0001", "0002"}) {
        const bool stored = dietsStored.contains(QLatin1String(diet));
        QCOMPARE(m_f->dishesOf(ImportFixture::april(1), QLatin1String(diet)).isEmpty(), !stored);
    }
}

void TestScreen::aFailedCheckClosesThePreview()
{
    TfrmImpoCardHosp &s = open();
    typeDate(ui().depCardOrig, QStringLiteral("04/03/2024"));
    typeDate(ui().depCardOrigAte, QStringLiteral("05/03/2024"));
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 12);
    const int before = storedDishes(m_f->db);
    // the picker puts "De" after "Até": the reload fails and takes the focus out of
    // the grid, and the preview goes with it
    m_f->presenter.nextChoice = 2;
    QTest::mouseClick(ui().btpDataCard, Qt::LeftButton);
    QCOMPARE(m_f->presenter.errors, QStringList{msg("DTFIN_MENOR")});
    QCOMPARE(QApplication::focusWidget(), ui().depCardOrigAte->lineEdit());
    QCOMPARE(ui().dbgPadrao->model()->rowCount(), 0);
    // the corrected range is not imported on the old preview
    ui().depCardOrigAte->lineEdit()->clear();
    QTest::keyClicks(ui().depCardOrigAte->lineEdit(), QStringLiteral("06/03/2024"));
    QTest::mouseClick(s.sbtImportExport, Qt::LeftButton);
    QCOMPARE(m_f->presenter.errors.last(), msg("NAO_HA_CARD"));
    QVERIFY(m_f->presenter.informations.isEmpty());
    QCOMPARE(storedDishes(m_f->db), before);
    // the preview of the corrected range is
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 6);
    QTest::mouseClick(s.sbtImportExport, Qt::LeftButton);
    QCOMPARE(m_f->presenter.informations, QStringList{msg("SUCESSO")});
    QCOMPARE(s.logic().report().entries.first().sourceDay, ImportFixture::march(6));
    QCOMPARE(storedDishes(m_f->db), before + 6);
}

void TestScreen::exitChecksOfABatchOfFocusMoves_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown service, two tabs")
        << QStringLiteral("service") << QStringLiteral("9\t\t") << msg("SERV_NAO_CAD");
    QTest::newRow("unreadable end date, two tabs")
        << QStringLiteral("end") << QStringLiteral("03/03/202\t\t")
        << text("DATE_INVALID").arg(QStringLiteral("03/03/202"));
}

void TestScreen::exitChecksOfABatchOfFocusMoves()
{
    QFETCH(QString, field);
    QFETCH(QString, keys);
    QFETCH(QString, error);
    TfrmImpoCardHosp &s = open();
    typeDate(ui().depCardOrig, QStringLiteral("04/03/2024"));
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 6);
    QLineEdit *edit =
        field == QLatin1String("service") ? ui().medCdServico : ui().depCardOrigAte->lineEdit();
    moveFocus(edit);
    edit->selectAll();
    const int before = storedDishes(m_f->db);

    KeyBatch batch;
    batch.post(keys);
    QCoreApplication::processEvents();
    QTest::qWait(50);
    // the first move's exit ran and failed; the second move's did not run on top of it
    QCOMPARE(m_f->presenter.errors, QStringList{error});
    QCOMPARE(QApplication::focusWidget(), edit);
    // and the import does not run on what the field shows
    QTest::mouseClick(s.sbtImportExport, Qt::LeftButton);
    QVERIFY(m_f->presenter.informations.isEmpty());
    QCOMPARE(m_f->presenter.errors.size(), 2);
    QCOMPARE(storedDishes(m_f->db), before);
}

void TestScreen::ctrlDeleteIsSwallowed()
{
    open();
    QLineEdit *edit = ui().medCdServico;
    edit->setFocus(Qt::OtherFocusReason);
    edit->setCursorPosition(0);
    QTest::keyClick(edit, Qt::Key_Delete, Qt::ControlModifier);
    QCOMPARE(edit->text(), QStringLiteral("00001"));
    QTest::keyClick(edit, Qt::Key_Delete, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(edit->text(), QStringLiteral("00001"));
    QTest::keyClick(edit, Qt::Key_Delete);
    QCOMPARE(edit->text(), QStringLiteral("0001"));
}

void TestScreen::anotherWindowIsNotAnExit()
{
    open();
    ui().medCdServico->setFocus(Qt::OtherFocusReason);
    ui().medCdServico->setText(QStringLiteral("9"));
    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QApplication::setActiveWindow(m_screen.get());
    QVERIFY(QTest::qWaitForWindowActive(m_screen.get()));
    QTest::qWait(50);
    QVERIFY(m_f->presenter.errors.isEmpty());
    QCOMPARE(ui().medCdServico->text(), QStringLiteral("9"));
}

void TestScreen::importThroughTheButton_data()
{
    QTest::addColumn<bool>("keyboard");
    QTest::newRow("the mouse") << false;
    QTest::newRow("the keyboard alone") << true;
}

namespace {
ImportReportDialog *reportWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<ImportReportDialog *>(w); dialog && dialog->isVisible())
            return dialog;
    }
    return nullptr;
}
} // namespace

void TestScreen::importThroughTheButton()
{
    QFETCH(bool, keyboard);
    // the same choices through the command line, on a database seeded alike
    TestDatabase twin;
    ImportFixture::seed(twin);
    QProcess cli;
    cli.start(qEnvironmentVariable("ZOV_BIN_DIR") + QStringLiteral("/zov-import"),
              {QStringLiteral("--db"), twin.url(), QStringLiteral("--branch"), QStringLiteral("B1"),
               QStringLiteral("--service"), QStringLiteral("1"), QStringLiteral("--date"),
               QStringLiteral("2024-04-01"), QStringLiteral("--from"), QStringLiteral("2024-03-04"),
               QStringLiteral("--to"), QStringLiteral("2024-03-05"), QStringLiteral("--mode"),
               QStringLiteral("overwrite")});
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), 0);

    TfrmImpoCardHosp &s = open();
    if (keyboard) {
        // Alt and the underlined letter, the dates typed, Tab to the grid, Ctrl+Enter
        const auto key = [](int k, Qt::KeyboardModifiers m = Qt::NoModifier) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(k), m);
        };
        key(Qt::Key_D, Qt::AltModifier);
        key(Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("04/03/2024"));
        key(Qt::Key_T, Qt::AltModifier);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("05/03/2024"));
        key(Qt::Key_B, Qt::AltModifier);
        QTRY_VERIFY(ui().rdbSobrepor->isChecked()); // a mnemonic clicks a little later
        const auto inGrid = [this] {
            const QWidget *w = QApplication::focusWidget();
            return w && (w == ui().dbgPadrao || ui().dbgPadrao->isAncestorOf(w));
        };
        for (int tabs = 0; tabs < 20 && !inGrid(); ++tabs)
            key(Qt::Key_Tab);
        QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 12);
        key(Qt::Key_Return, Qt::ControlModifier);
        QTRY_COMPARE(m_f->presenter.informations, QStringList{msg("SUCESSO")});
    } else {
        typeDate(ui().depCardOrig, QStringLiteral("04/03/2024"));
        typeDate(ui().depCardOrigAte, QStringLiteral("05/03/2024"));
        ui().rdbSobrepor->setChecked(true);
        moveFocus(ui().dbgPadrao);
        QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 12);
        QTest::mouseClick(s.sbtImportExport, Qt::LeftButton);
    }
    QCOMPARE(m_f->presenter.informations, QStringList{msg("SUCESSO")});
    QVERIFY(m_f->presenter.errors.isEmpty());
    QCOMPARE(s.result(), int(QDialog::Accepted));
    QVERIFY(!s.isVisible());
    QCOMPARE(m_f->dishesOf(ImportFixture::april(2), QStringLiteral("0002")),
             QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
    QCOMPARE(s.lblProgresso->text(), QString());
    QCOMPARE(s.pgbProgresso->value(), 0);
    // the report names the run, to be copied for an undo later
    QTRY_VERIFY(reportWindow());
    const QString runId = reportWindow()->report().runId;
    QVERIFY(!runId.isEmpty());
    QCOMPARE(reportWindow()->findChild<QLineEdit *>(QStringLiteral("runId"))->text(), runId);
    reportWindow()->close();

    // the screen stored what the command line stored
    const QString stored = QStringLiteral(
        "SELECT C.CDFILIAL, C.DTCARDAPIO, C.CDDIETPAD, C.NRSEQPRATCAR, C.CDFILAUXPRAT, C.CDPRATO, "
        "C.NMPRATO, "
        "C.VRPECONSCARD, C.CDTIPOPRAT, C.NMTIPOPRAT, C.NRORDPRATCAR, C.CDSERVFILI FROM COMPCARD C");
    QCOMPARE(queryRows(twin.url(), stored), queryRows(m_f->db.url(), stored));
}

void TestScreen::simulateShowsThePreviewAndStoresNothing()
{
    const QString everything =
        QStringLiteral("SELECT (SELECT COUNT(*) FROM CARDADIA), (SELECT COUNT(*) FROM COMPCARD), "
                       "(SELECT COUNT(*) FROM CARDSEQ)");
    const QStringList before = queryRows(m_f->db.url(), everything);
    TfrmImpoCardHosp &s = open();
    typeDate(ui().depCardOrig, QStringLiteral("04/03/2024"));
    typeDate(ui().depCardOrigAte, QStringLiteral("06/03/2024"));
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 18);

    QTest::mouseClick(s.sbtSimular, Qt::LeftButton);
    QTRY_VERIFY(reportWindow());
    ImportReportDialog *preview = reportWindow();
    QCOMPARE(preview->windowTitle(), text("REPORT_PREVIEW_TITLE"));
    QVERIFY(preview->report().preview);
    QVERIFY(!preview->undoButton()->isVisible());
    // three days by two diets; the first cell's dishes are listed below
    QCOMPARE(preview->overview()->rowCount(), 3);
    QCOMPARE(preview->overview()->columnCount(), 2);
    QCOMPARE(preview->overview()->verticalHeaderItem(0)->text(),
             QStringLiteral("01/04/2024 Segunda (de 04/03/2024)"));
    QCOMPARE(preview->details()->rowCount(), 3);
    QCOMPARE(preview->details()->item(0, 1)->text(), text("REPORT_COPIED"));
    // nothing stored, no closing dialog, the screen still open
    QCOMPARE(queryRows(m_f->db.url(), everything), before);
    QVERIFY(m_f->presenter.informations.isEmpty());
    QVERIFY(s.isVisible());

    // the CSV: a header, three dishes and a total per cell; a folder that is not
    // there is named in the error
    QTemporaryDir dir;
    // a name typed without ".csv" gets it; the file starts with UTF-8's byte-order mark
    QVERIFY(preview->saveCsv(dir.filePath(QStringLiteral("preview"))));
    QFile csv(dir.filePath(QStringLiteral("preview.csv")));
    QCOMPARE(m_f->presenter.informations,
             QStringList{text("REPORT_SAVED").arg(QDir::toNativeSeparators(csv.fileName()))});
    m_f->presenter.informations.clear();
    QVERIFY(csv.open(QIODevice::ReadOnly));
    QCOMPARE(csv.read(3), QByteArray("\xEF\xBB\xBF"));
    const QStringList lines = QString::fromUtf8(csv.readAll()).trimmed().split(QLatin1Char('\n'));
    // head, dishes, days and diets, summary: each part after an empty line
    QCOMPARE(lines.size(), 3 + 18 + 2 + 6 + 1 + preview->report().summary().size());
    QVERIFY(lines.first().startsWith(text("REPORT_CSV_HEAD")));
    QCOMPARE(lines.at(2), text("REPORT_CSV_HEADER"));
    QVERIFY(lines.at(3).startsWith(QStringLiteral("01/04/2024;04/03/2024;0001;")));
    QVERIFY(lines.at(3).endsWith(text("REPORT_SIMULATED")));
    const QString nowhere = dir.filePath(QStringLiteral("missing/preview.csv"));
    QVERIFY(!preview->saveCsv(nowhere));
    QCOMPARE(m_f->presenter.errors.size(), 1);
    QVERIFY(m_f->presenter.errors.first().contains(nowhere));
    preview->close();

    QTRY_VERIFY(!reportWindow());

    // the real import closes the screen and leaves its report open
    QTest::mouseClick(s.sbtImportExport, Qt::LeftButton);
    QCOMPARE(m_f->presenter.informations, QStringList{msg("SUCESSO")});
    QVERIFY(!s.isVisible());
    QTRY_VERIFY(reportWindow());
    ImportReportDialog *done = reportWindow();
    QCOMPARE(done->windowTitle(), text("REPORT_TITLE"));
    QCOMPARE(done->report().entries.size(), 6);
    QCOMPARE(queryRows(m_f->db.url(), QStringLiteral("SELECT COUNT(*) FROM COMPCARD")).first(),
             QString::number(before.first().section(QLatin1Char('|'), 1, 1).toInt() + 18));

    // its "Desfazer importação" asks first, naming the days and diets; a no changes
    // nothing, a yes puts the menus back (the screen is closed: the window has its own
    // connection)
    QVERIFY(done->undoButton()->isVisible());
    m_f->presenter.confirmAnswer = false;
    QTest::mouseClick(done->undoButton(), Qt::LeftButton);
    QCOMPARE(m_f->presenter.questions.size(), 1);
    QVERIFY2(m_f->presenter.questions.first().contains(
                 QStringLiteral("01/04/2024 Segunda: dietas 0001, 0002")),
             qPrintable(m_f->presenter.questions.first()));
    QVERIFY(queryRows(m_f->db.url(), everything) != before);
    m_f->presenter.confirmAnswer = true;
    QTest::mouseClick(done->undoButton(), Qt::LeftButton);
    QCOMPARE(m_f->presenter.informations.last(),
             text("UNDO_DONE").arg(countText("COUNT_RESTORED", 6)));
    QCOMPARE(queryRows(m_f->db.url(), everything).first().section(QLatin1Char('|'), 0, 1),
             before.first().section(QLatin1Char('|'), 0, 1));
    QVERIFY(!done->undoButton()->isEnabled());
    delete done;
}

void TestScreen::aStoppedImportShowsAReportThatTakesInput()
{
    // the database refuses the main dish of April 2nd: April 1st is stored, then the
    // run stops and the screen stays open in its modal loop
    m_f->db.refuseDishes(QStringLiteral("NEW.CDPRATO = 'P1' AND NEW.DTCARDAPIO = '2024-04-02'"),
                         QStringLiteral("prato recusado"));
    TfrmImpoCardHosp &s = open();
    typeDate(ui().depCardOrig, QStringLiteral("04/03/2024"));
    typeDate(ui().depCardOrigAte, QStringLiteral("06/03/2024"));
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 18);
    // as the host runs it: application-modal
    s.hide();
    s.setWindowModality(Qt::ApplicationModal);
    s.show();
    QVERIFY(QTest::qWaitForWindowExposed(&s));
    QTest::mouseClick(s.sbtImportExport, Qt::LeftButton);
    QCOMPARE(m_f->presenter.errors.size(), 1);
    QVERIFY(s.isVisible());
    QTRY_VERIFY(reportWindow());
    ImportReportDialog *report = reportWindow();
    QVERIFY(!report->report().finished);
    QVERIFY(QTest::qWaitForWindowExposed(report));
    // a click that goes through the window system, where a modal screen would hold it
    QAbstractButton *close =
        report->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::NoButton);
    for (QAbstractButton *b : report->findChild<QDialogButtonBox *>()->buttons()) {
        if (b->text() == text("REPORT_CLOSE"))
            close = b;
    }
    QVERIFY(close);
    QTest::mouseClick(report->windowHandle(), Qt::LeftButton, {},
                      close->mapTo(report, close->rect().center()));
    QTRY_VERIFY2(!reportWindow(), "the report of a stopped import does not take input");
}

void TestScreen::f1OpensTheHelpPage()
{
    TfrmImpoCardHosp &s = open();
    QString shown;
    QTimer::singleShot(100, this, [&] {
        auto *help = s.findChild<QDialog *>(QStringLiteral("help12011119"));
        if (!help)
            return;
        if (auto *browser = help->findChild<QTextBrowser *>())
            shown = browser->toPlainText();
        help->reject();
    });
    QTest::keyClick(ui().medCdServico, Qt::Key_F1);
    QVERIFY(shown.contains(QStringLiteral("Importação de Cardapio do Dia")));
    QVERIFY(shown.contains(QStringLiteral("12011119")));
}

void TestScreen::inputIsHeldBackDuringAnImport()
{
    TfrmImpoCardHosp &s = open();
    typeDate(ui().depCardOrig, QStringLiteral("04/03/2024"));
    moveFocus(ui().dbgPadrao);
    QTRY_COMPARE(ui().dbgPadrao->model()->rowCount(), 6);
    const QString lastDish = ui().dbgPadrao->model()->index(5, 3).data().toString();
    bool checked = false;
    QStringList captions;
    connect(&s.logic(), &ImpoCardHosp::changed, this, [&](ImpoCardHosp::Control c) {
        if (c != ImpoCardHosp::lblProgresso || checked || s.logic().progressCaption().isEmpty())
            return;
        checked = true;
        captions.append(s.lblProgresso->text());
        QVERIFY(!s.sbtImportExport->isEnabled());
        // a close request and a typed key wait until the import is over
        s.close();
        QVERIFY(s.isVisible());
        QTest::keyClick(ui().medCdServico, Qt::Key_Backspace);
        QCOMPARE(ui().medCdServico->text(), QStringLiteral("00001"));
        // the grid keeps the preview while the run walks the source through its filters
        QCOMPARE(ui().dbgPadrao->model()->rowCount(), 6);
        QCOMPARE(ui().dbgPadrao->model()->index(5, 3).data().toString(), lastDish);
    });
    QTest::mouseClick(s.sbtImportExport, Qt::LeftButton);
    QVERIFY(checked);
    QVERIFY(captions.first().startsWith(QStringLiteral("Importando:")));
    QCOMPARE(s.result(), int(QDialog::Accepted));
}

void TestScreen::searchListFromTheKeyboard_data()
{
    QTest::addColumn<bool>("multiple");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("keys"); // to the filter; Space to the list; Todas a click
    QTest::addColumn<QList<int>>("picked");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("filter, Enter: the first row left")
        << false << QStringLiteral("jan") << QStringList{QStringLiteral("Return")} << QList<int>{1}
        << true;
    QTest::newRow("Down from the filter")
        << false << QStringLiteral("0000")
        << QStringList{QStringLiteral("Down"), QStringLiteral("Return")} << QList<int>{1} << true;
    QTest::newRow("nothing left: OK keeps the list")
        << false << QStringLiteral("xyz") << QStringList{QStringLiteral("Return")} << QList<int>{}
        << false;
    QTest::newRow("Space marks the current row")
        << true << QString()
        << QStringList{QStringLiteral("Down"), QStringLiteral("Space"), QStringLiteral("Return")}
        << QList<int>{1} << true;
    QTest::newRow("Space in the filter marks too")
        << true << QString()
        << QStringList{QStringLiteral("Down"), QStringLiteral("FilterSpace"),
                       QStringLiteral("Return")}
        << QList<int>{1} << true;
    QTest::newRow("Todas marks the rows shown")
        << true << QStringLiteral("ceia")
        << QStringList{QStringLiteral("Todas"), QStringLiteral("Return")} << QList<int>{2} << true;
}

void TestScreen::searchListFromTheKeyboard()
{
    QFETCH(bool, multiple);
    QFETCH(QString, filter);
    QFETCH(QStringList, keys);
    QFETCH(QList<int>, picked);
    QFETCH(bool, accepted);
    PickList list;
    list.titles = QStringList{QStringLiteral("Código"), QStringLiteral("Nome")};
    list.rows = {QStringList{QStringLiteral("00001"), QStringLiteral("ALMOÇO")},
                 QStringList{QStringLiteral("00002"), QStringLiteral("JANTAR")},
                 QStringList{QStringLiteral("00003"), QStringLiteral("CEIA")}};
    PesquisaDialog dialog(QStringLiteral("Serviço"), list, multiple);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QTest::keyClicks(dialog.filter(), filter);
    for (const QString &key : std::as_const(keys)) {
        if (key == QLatin1String("Todas"))
            QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("btnTodas")),
                              Qt::LeftButton);
        else if (key == QLatin1String("Space"))
            QTest::keyClick(dialog.table(), Qt::Key_Space);
        else if (key == QLatin1String("FilterSpace"))
            QTest::keyClick(dialog.filter(), Qt::Key_Space);
        else
            QTest::keyClick(dialog.filter(),
                            key == QLatin1String("Down") ? Qt::Key_Down : Qt::Key_Return);
    }
    QCOMPARE(dialog.picked(), picked);
    QCOMPARE(dialog.result() == QDialog::Accepted, accepted);
    QCOMPARE(dialog.isVisible(), !accepted);
    if (multiple)
        QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("lblMarcadas"))->text(),
                 text("PICK_COUNT").arg(picked.size()).arg(3));
}

void TestScreen::everyControlHasAName()
{
    const QStringList onScreen = unnamedControls(&open());
    QVERIFY2(onScreen.isEmpty(), qPrintable(onScreen.join(QStringLiteral(", "))));
    // the report window of a run over two months, with an undo to offer
    ImportReport r;
    r.runId = QStringLiteral("r1");
    r.batches = 2;
    ImportReport::DayDiet e;
    e.diet = QStringLiteral("0001");
    e.stored = true;
    for (const QDate &day : {QDate(2024, 3, 31), QDate(2024, 4, 1)}) {
        e.day = day;
        r.entries.append(e);
    }
    ImportReportDialog report(r);
    report.offerUndo([](const QString &) { return UndoReport(); });
    report.show();
    const QStringList inReport = unnamedControls(&report);
    QVERIFY2(inReport.isEmpty(), qPrintable(inReport.join(QStringLiteral(", "))));
    // each month's days under its heading; the first day is the current cell
    QCOMPARE(report.overview()->rowCount(), 4);
    QCOMPARE(report.overview()->verticalHeaderItem(2)->text(), QStringLiteral("Abril de 2024"));
    QCOMPARE(report.overview()->currentRow(), 1);
    // Tab leaves the tables
    QVERIFY(QTest::qWaitForWindowActive(&report));
    report.overview()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(report.overview(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), report.details());
    QTest::keyClick(report.details(), Qt::Key_Tab);
    QVERIFY(QApplication::focusWidget() != report.details());
}

void TestScreen::outcomeColoursDifferInLightness_data()
{
    QTest::addColumn<QColor>("one");
    QTest::addColumn<QColor>("other");
    QTest::addColumn<double>("least");
    const QColor nothing = shadeColours(Shade::Nothing).background,
                 some = shadeColours(Shade::Some).background,
                 all = shadeColours(Shade::All).background;
    QTest::newRow("nothing, some") << nothing << some << 3.0;
    QTest::newRow("some, all") << some << all << 3.0;
    QTest::newRow("nothing, all") << nothing << all << 3.0;
    QTest::newRow("some among the details' plain rows") << some << QColor(Qt::white) << 3.0;
    QTest::newRow("text on nothing") << shadeColours(Shade::Nothing).text << nothing << 4.5;
}

void TestScreen::outcomeColoursDifferInLightness()
{
    QFETCH(QColor, one);
    QFETCH(QColor, other);
    QFETCH(double, least);
    QVERIFY2(contrastRatio(one, other) >= least,
             qPrintable(QString::number(contrastRatio(one, other))));
}

QTEST_MAIN(TestScreen)
#include "tst_screen.moc"
