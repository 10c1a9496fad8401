// The screen module as the host loads it: IniProc by name from the shared library.

#include "error.h"
#include "importfixture.h"

#include <QDialog>
#include <QLibrary>
#include <QLineEdit>
#include <QPointer>
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

QTEST_MAIN(TestModule)
#include "tst_module.moc"
