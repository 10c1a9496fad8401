// The screen module as the host loads it: IniProc by name from the shared library.

#include "error.h"
#include "importfixture.h"
#include "tdateeditplus.h"
#include "workbench.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLibrary>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

using namespace zov;
using namespace zov::test;

namespace {
// an entry the module takes: branch, service, day, month, a text, diets, rounding flag
QVariantList goodEntry()
{
    return {QStringLiteral("B1"),
            QStringLiteral("00001"),
            QDate(2024, 4, 1),
            QDate(2024, 4, 1),
            QString(),
            QStringLiteral("T"),
            0};
}
} // namespace

class TestModule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void nullEntryDoesNothing();
    void badEntriesAreRefusedBeforeAnythingIsStored_data();
    void badEntriesAreRefusedBeforeAnythingIsStored();
    void entryValuesOpenTheScreen_data();
    void entryValuesOpenTheScreen();
    void aNewEntryFreesTheClosedScreen();
    void theStartWindowOpensTheScreenAndComesBack_data();
    void theStartWindowOpensTheScreenAndComesBack();
    void theStartWindowUndoesARunOfItsHistory_data();
    void theStartWindowUndoesARunOfItsHistory();

private:
    QWidget *screen() const { return m_screen ? qobject_cast<QWidget *>(*m_screen) : nullptr; }
    // Calls IniProc; while the modal screen runs, `whileOpen` looks at it and closes it.
    void enter(const QVariant &entry, const std::function<void(QWidget *)> &whileOpen = {});

    QLibrary m_module;
    void (*m_iniProc)(const QVariant &) = nullptr;
    QObject **m_screen = nullptr;
};

void TestModule::initTestCase()
{
    m_module.setFileName(qEnvironmentVariable("ZOV_BIN_DIR") +
                         QStringLiteral("/../lib/libzov11119.so"));
    QVERIFY2(m_module.load(), qPrintable(m_module.errorString()));
    m_iniProc = reinterpret_cast<void (*)(const QVariant &)>(m_module.resolve("IniProc"));
    m_screen = reinterpret_cast<QObject **>(m_module.resolve("frmImpoCardHosp"));
    QVERIFY(m_iniProc);
    QVERIFY(m_screen);
    QVERIFY(m_module.resolve("CriaImpoCardHosp"));
}

void TestModule::enter(const QVariant &entry, const std::function<void(QWidget *)> &whileOpen)
{
    QTimer::singleShot(0, this, [this, whileOpen] {
        QWidget *shown = screen();
        if (!shown)
            return;
        QApplication::setActiveWindow(shown);
        if (!QTest::qWaitForWindowActive(shown))
            qWarning("the screen did not become active");
        QTest::qWait(100);
        if (whileOpen)
            whileOpen(shown);
        if (auto *dialog = qobject_cast<QDialog *>(shown))
            dialog->reject();
    });
    m_iniProc(entry);
}

void TestModule::nullEntryDoesNothing()
{
    QObject *before = *m_screen;
    m_iniProc(QVariant());
    QCOMPARE(*m_screen, before);
}

void TestModule::badEntriesAreRefusedBeforeAnythingIsStored_data()
{
    QTest::addColumn<QVariant>("entry");
    const QVariantList good = goodEntry();
    QTest::newRow("six elements") << QVariant(good.mid(0, 6));
    QTest::newRow("not an array") << QVariant(QStringLiteral("B1"));
    QVariantList badDate = good;
    badDate[2] = QStringLiteral("ontem");
    QTest::newRow("date that is not a date") << QVariant(badDate);
    QVariantList badFlag = good;
    badFlag[6] = QStringLiteral("sim");
    QTest::newRow("flag that is not a number") << QVariant(badFlag);
    QVariantList nested = good;
    nested[0] = QVariantList{QStringLiteral("B1")};
    QTest::newRow("array where a text goes") << QVariant(nested);
    // a branch longer than its field is refused, not cut to a branch nobody gave
    QVariantList longBranch = good;
    longBranch[0] = QStringLiteral("B1234");
    QTest::newRow("branch longer than its field") << QVariant(longBranch);
}

void TestModule::badEntriesAreRefusedBeforeAnythingIsStored()
{
    QFETCH(QVariant, entry);
    ImportFixture f;
    QObject *before = *m_screen;
    QVERIFY_THROWS_EXCEPTION(Error, m_iniProc(entry));
    QCOMPARE(*m_screen, before);
}

void TestModule::entryValuesOpenTheScreen_data()
{
    QTest::addColumn<QVariant>("day");
    QTest::addColumn<QVariant>("month");
    QTest::addColumn<int>("flag");
    QTest::addColumn<QString>("branch");
    QTest::addColumn<QString>("service");
    const QString b1 = QStringLiteral("B1");
    const QString one = QStringLiteral("1");
    QTest::newRow("dates") << QVariant(QDate(2024, 4, 2)) << QVariant(QDate(2024, 4, 1)) << 0 << b1
                           << one;
    // 2 April 2024 is day 45384, 1 April day 45383; a time of day is dropped
    QTest::newRow("day numbers") << QVariant(45384.5) << QVariant(45383) << 1 << b1 << one;
    QTest::newRow("day numbers as text")
        << QVariant(QStringLiteral("45384")) << QVariant(QStringLiteral("45383")) << 1 << b1 << one;
    // the codes as the edits hold them: the branch in capitals, no blanks around
    QTest::newRow("codes in lower case and with blanks")
        << QVariant(QDate(2024, 4, 2)) << QVariant(QDate(2024, 4, 1)) << 0 << QStringLiteral("b1 ")
        << QStringLiteral(" 1 ");
}

void TestModule::entryValuesOpenTheScreen()
{
    QFETCH(QVariant, day);
    QFETCH(QVariant, month);
    QFETCH(int, flag);
    QFETCH(QString, branch);
    QFETCH(QString, service);
    ImportFixture f;
    QString branchShown, serviceShown, start, weekday, branchName;
    bool strip = false;
    enter(QVariantList{branch, service, day, month, QString(), QStringLiteral("T"), flag},
          [&](QWidget *shown) {
              branchShown = shown->findChild<QLineEdit *>(QStringLiteral("medCdFilial"))->text();
              serviceShown = shown->findChild<QLineEdit *>(QStringLiteral("medCdServico"))->text();
              branchName = shown->findChild<QLineEdit *>(QStringLiteral("edtNmFilial"))->text();
              start = shown->findChild<QWidget *>(QStringLiteral("depCardOrig"))
                          ->findChild<QLineEdit *>(QStringLiteral("edit"))
                          ->text();
              weekday = shown->findChild<QLineEdit *>(QStringLiteral("edtDiaCardapio"))->text();
              strip = shown->findChild<QWidget *>(QStringLiteral("panArredonda"))->isVisible();
          });
    QVERIFY(screen());
    QCOMPARE(branchShown, QStringLiteral("B1"));
    QCOMPARE(serviceShown, QStringLiteral("00001"));
    QCOMPARE(branchName, QStringLiteral("HOSPITAL DE TESTE"));
    QCOMPARE(start, QStringLiteral("02/04/2024"));
    QCOMPARE(weekday, QStringLiteral("Terça"));
    QCOMPARE(strip, flag == 0);
}

void TestModule::aNewEntryFreesTheClosedScreen()
{
    ImportFixture f;
    const QVariantList entry = goodEntry();
    enter(entry);
    const QPointer<QWidget> first = screen();
    QVERIFY(first);
    QVERIFY(!first->isVisible());
    // a refused entry leaves the closed screen where it is
    QVERIFY_THROWS_EXCEPTION(Error, m_iniProc(QVariantList{QStringLiteral("B1")}));
    QCOMPARE(screen(), first.data());
    enter(entry);
    QVERIFY(screen());
    QVERIFY(screen() != first.data());
    QVERIFY2(first.isNull(), "the closed screen of the earlier entry is still alive");
}

void TestModule::theStartWindowOpensTheScreenAndComesBack_data()
{
    QTest::addColumn<QString>("branch");
    QTest::addColumn<QString>("service");
    QTest::addColumn<QDate>("day");
    QTest::addColumn<QString>("serviceShown");
    QTest::addColumn<QString>("weekday");
    // codes typed as a planner types them, or the lists' items as picked
    QTest::newRow("typed codes") << QStringLiteral("b1") << QStringLiteral("2") << QDate(2024, 4, 2)
                                 << QStringLiteral("00002") << QStringLiteral("Terça");
    QTest::newRow("picked items") << QStringLiteral("B1 - HOSPITAL DE TESTE")
                                  << QStringLiteral("00001 - ALMOÇO") << QDate(2024, 4, 15)
                                  << QStringLiteral("00001") << QStringLiteral("Segunda");
}

void TestModule::theStartWindowOpensTheScreenAndComesBack()
{
    QFETCH(QString, branch);
    QFETCH(QString, service);
    QFETCH(QDate, day);
    QFETCH(QString, serviceShown);
    QFETCH(QString, weekday);
    ImportFixture f;
    QVariantList entries;
    QString serviceOnScreen, startOnScreen, weekdayOnScreen;
    bool benchHidden = false;
    Workbench bench([&](const QVariant &entry) {
        entries.append(entry);
        enter(entry, [&](QWidget *shown) {
            benchHidden = !bench.isVisible();
            serviceOnScreen = shown->findChild<QLineEdit *>(QStringLiteral("medCdServico"))->text();
            startOnScreen = shown->findChild<QWidget *>(QStringLiteral("depCardOrig"))
                                ->findChild<QLineEdit *>(QStringLiteral("edit"))
                                ->text();
            weekdayOnScreen =
                shown->findChild<QLineEdit *>(QStringLiteral("edtDiaCardapio"))->text();
        });
    });
    bench.show();
    auto *branchBox = bench.findChild<QComboBox *>(QStringLiteral("branch"));
    auto *serviceBox = bench.findChild<QComboBox *>(QStringLiteral("service"));
    auto *dayEdit = bench.findChild<TDateEditPlus *>(QStringLiteral("day"));
    branchBox->setEditText(branch);
    serviceBox->setEditText(service);
    dayEdit->SetDate(day);
    QCOMPARE(bench.findChild<QLabel *>(QStringLiteral("weekday"))->text(), weekday);
    QTest::mouseClick(bench.findChild<QPushButton *>(QStringLiteral("open")), Qt::LeftButton);
    QVERIFY2(f.presenter.errors.isEmpty(), qPrintable(f.presenter.errors.join(u'\n')));
    QCOMPARE(entries.size(), 1);
    const QVariantList entry = entries.first().toList();
    QCOMPARE(entry.mid(0, 4), (QVariantList{QStringLiteral("B1"), serviceShown, day,
                                            QDate(day.year(), day.month(), 1)}));
    QVERIFY(benchHidden);
    QCOMPARE(serviceOnScreen, serviceShown);
    QCOMPARE(startOnScreen, day.toString(QStringLiteral("dd/MM/yyyy")));
    QCOMPARE(weekdayOnScreen, weekday);
    // back, with the choices as they were: the next import needs no new start
    QVERIFY(bench.isVisible());
    QCOMPARE(branchBox->currentText(), branch);
    QCOMPARE(serviceBox->currentText(), service);
    QCOMPARE(dayEdit->GetDate(), day);
}

void TestModule::theStartWindowUndoesARunOfItsHistory_data()
{
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("confirmed") << true;
    QTest::newRow("declined") << false;
}

void TestModule::theStartWindowUndoesARunOfItsHistory()
{
    QFETCH(bool, confirmed);
    ImportFixture f;
    f.open(ImportFixture::april(1));
    f.choose(ImportFixture::march(4));
    QVERIFY(f.import());
    const QString imported = f.dishesOf(ImportFixture::april(1), QStringLiteral("0001"));
    QVERIFY(!imported.isEmpty());
    Workbench bench([](const QVariant &) {});
    auto *history = bench.findChild<QTableWidget *>(QStringLiteral("history"));
    QCOMPARE(history->rowCount(), 1);
    const auto cell = [history](int column) { return history->item(0, column)->text(); };
    QCOMPARE(cell(3), QStringLiteral("00001 - ALMOÇO"));
    QCOMPARE(cell(4), QStringLiteral("01/04/2024"));
    QCOMPARE(cell(5), QStringLiteral("Acrescentar"));
    QCOMPARE(cell(6), QStringLiteral("2")); // two diets of one day
    QCOMPARE(cell(8), QStringLiteral("não desfeita"));
    auto *undo = bench.findChild<QPushButton *>(QStringLiteral("undo"));
    QVERIFY(undo->isEnabled());
    f.presenter.clear();
    f.presenter.confirmAnswer = confirmed;
    undo->click();
    QCOMPARE(f.presenter.questions.size(), 1);
    QVERIFY2(f.presenter.questions.first().contains(bench.runs().first().id),
             qPrintable(f.presenter.questions.first()));
    QVERIFY2(f.presenter.errors.isEmpty(), qPrintable(f.presenter.errors.join(u'\n')));
    QCOMPARE(f.dishesOf(ImportFixture::april(1), QStringLiteral("0001")).isEmpty(), confirmed);
    QCOMPARE(cell(8), confirmed ? QStringLiteral("desfeita por PLANEJADOR")
                                : QStringLiteral("não desfeita"));
    QCOMPARE(undo->isEnabled(), !confirmed);
    QCOMPARE(f.presenter.informations,
             confirmed
                 ? QStringList{QStringLiteral(
                       "Importação desfeita: 2 dias e dietas voltaram ao que eram antes dela.")}
                 : QStringList());
}

QTEST_MAIN(TestModule)
#include "tst_module.moc"
