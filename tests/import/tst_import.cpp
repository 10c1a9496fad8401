// The import command driven through the screen's logic against the real server on
// a loopback port, over a fresh SQLite database per test.

#include "callmetadata.h"
#include "dates.h"
#include "importfixture.h"
#include "messages.h"
#include "operators.h"
#include "runundo.h"
#include "streamwindows.h"
#include "texts.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace zov;
using namespace zov::test;

namespace {
QString msg(const char *key)
{
    return TMessages::Msg(QLatin1String(key));
}
const QDate M4 = QDate(2024, 3, 4);
const QDate M5 = QDate(2024, 3, 5);
const QDate M6 = QDate(2024, 3, 6);
} // namespace

class TestImport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void checksStopWithTheirMessage_data();
    void checksStopWithTheirMessage();
    void roundingBoundsPass_data();
    void roundingBoundsPass();
    void appendCreatesHeadersAndDishes();
    void secondAppendAddsNothing();
    void dayMappingSkipsNonWorkingDays_data();
    void dayMappingSkipsNonWorkingDays();
    void pairingOfSourcesAndSlots_data();
    void pairingOfSourcesAndSlots();
    void appendKeepsTakenSlotsOverwriteReplacesThem();
    void perCapitaRounding_data();
    void perCapitaRounding();
    void existingHeadersAreRefilledOrStamped();
    void shiftEstimatesFollowWeekdayAndHolidayColumn();
    void dishesLeftOutEndWithAWarning_data();
    void dishesLeftOutEndWithAWarning();
    void oneBatchPerDayAndDiet_data();
    void oneBatchPerDayAndDiet();
    void progressCaptionAndBar();
    void failedOverwriteBatchLeavesTheDayAsItWas();
    void overwriteClearsDietsWithoutSourceDishes();
    void errorRunRestoresEntryDay();
    void otherSourceServiceFindsDestinationHeaders();
    void repeatedDishCodeIsCopiedOnce();
    void clickDuringRunIsIgnored();
    void busyIndicatorHiddenWhenStoringFails();
    void listOfDietsLimitsTheImport();
    void appendRespectsDishesStoredDuringTheRun();
    void theStreamStoresWhatSingleCallsStore_data();
    void theStreamStoresWhatSingleCallsStore();
    void undoPutsTheDaysBack_data();
    void undoPutsTheDaysBack();
    void secondWriterDuringTheRun_data();
    void secondWriterDuringTheRun();
    void operatorDisabledDuringTheRun();
    void referenceMonthOtherThanTheDays();
    void cycleOverMonths_data();
    void streamWindowsFollowTheLink_data();
    void streamWindowsFollowTheLink();
    void cycleOverMonths();
};

// --- checks ---------------------------------------------------------------------

void TestImport::checksStopWithTheirMessage_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<QDate>("from");
    QTest::addColumn<QDate>("to");
    QTest::addColumn<QString>("diets");
    QTest::addColumn<double>("rounding");
    QTest::addColumn<bool>("closePreview");
    QTest::addColumn<int>("extraShifts");
    QTest::addColumn<QString>("message"); // empty: the run completes
    QTest::addColumn<int>("focus");       // -1: no focus move

    const int none = -1;
    QTest::newRow("service empty") << QString() << M4 << QDate() << QString() << 1.0 << false << 0
                                   << msg("SERV_DEVE") << int(ImpoCardHosp::medCdServico);
    QTest::newRow("service unknown")
        << QStringLiteral("99") << M4 << QDate() << QString() << 1.0 << false << 0
        << msg("SERV_NAO_CAD") << int(ImpoCardHosp::medCdServico);
    QTest::newRow("start date empty")
        << QStringLiteral("00001") << QDate() << QDate() << QString() << 1.0 << false << 0
        << msg("Data_inf") << int(ImpoCardHosp::depCardOrig);
    QTest::newRow("range over two months")
        << QStringLiteral("00001") << QDate(2024, 2, 28) << M4 << QString() << 1.0 << false << 0
        << msg("Mes_Igual") << int(ImpoCardHosp::depCardOrigAte);
    QTest::newRow("same day, years apart")
        << QStringLiteral("00001") << QDate(2023, 3, 4) << M4 << QString() << 1.0 << false << 0
        << msg("Mes_Igual") << int(ImpoCardHosp::depCardOrigAte);
    QTest::newRow("end before start")
        << QStringLiteral("00001") << M6 << M4 << QString() << 1.0 << false << 0
        << msg("DTFIN_MENOR") << int(ImpoCardHosp::depCardOrigAte);
    QTest::newRow("no diet picked")
        << QStringLiteral("00001") << M4 << QDate() << QStringLiteral("") << 1.0 << false << 0
        << msg("diet_inf") << none;
    QTest::newRow("preview closed") << QStringLiteral("00001") << M4 << QDate() << QString() << 1.0
                                    << true << 0 << msg("NAO_HA_CARD") << none;
    QTest::newRow("rounding 10") << QStringLiteral("00001") << M4 << QDate() << QString() << 10.0
                                 << false << 0 << msg("ARRE_DEVE") << none;
    QTest::newRow("rounding negative") << QStringLiteral("00001") << M4 << QDate() << QString()
                                       << -0.001 << false << 0 << msg("ARRE_DEVE") << none;
    QTest::newRow("five shifts") << QStringLiteral("00001") << M4 << QDate() << QString() << 1.0
                                 << false << 3 << msg("TURNO_MAIOR") << none;
    // the shifts are read only to create or refill a header: 1 April's headers have
    // diners and are only stamped
    QTest::newRow("five shifts, headers only stamped")
        << QStringLiteral("00001") << M4 << QDate() << QString() << 1.0 << false << 3 << QString()
        << none;
}

void TestImport::checksStopWithTheirMessage()
{
    QFETCH(QString, service);
    QFETCH(QDate, from);
    QFETCH(QDate, to);
    QFETCH(QString, diets);
    QFETCH(double, rounding);
    QFETCH(bool, closePreview);
    QFETCH(int, extraShifts);
    QFETCH(QString, message);
    QFETCH(int, focus);

    ImportFixture f;
    for (int i = 0; i < extraShifts; ++i)
        f.db.addShift(QStringLiteral("B1"), QStringLiteral("00001"), QString::number(3 + i),
                      {1, 1, 1, 1, 1, 1, 1, 1});
    if (message.isEmpty()) {
        f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(1),
                       QStringLiteral("0001"), QStringLiteral("900"), 150);
        f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(1),
                       QStringLiteral("0002"), QStringLiteral("901"), 80);
    }
    ImpoCardHosp &s = f.open(f.april(1));
    // the preview is loaded with a sound range first, as the user would have seen it
    try {
        f.choose(M4, {}, true, rounding, diets);
    } catch (const AbortError &) {
    }
    if (closePreview)
        s.pgcGridExit();
    s.setServiceText(service);
    s.setStartDate(from);
    s.setEndDate(to);
    const QStringList headers = f.db.dump(QStringLiteral("CARDADIA"));
    const QStringList dishes = f.db.dump(QStringLiteral("COMPCARD"));
    if (message.isEmpty()) {
        QVERIFY2(f.import(), qPrintable(f.presenter.errors.join(QLatin1Char('\n'))));
        QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")),
                 QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
        return;
    }

    QVERIFY(!f.import());
    QCOMPARE(f.presenter.errors, QStringList{message});
    if (focus >= 0)
        QCOMPARE(f.focusMoves.value(0), ImpoCardHosp::Control(focus));
    else
        QVERIFY(f.focusMoves.isEmpty());
    QCOMPARE(f.db.dump(QStringLiteral("CARDADIA")), headers);
    QCOMPARE(f.db.dump(QStringLiteral("COMPCARD")), dishes);
    QVERIFY(s.importEnabled());
    QCOMPARE(s.modalResult(), 0);
}

void TestImport::roundingBoundsPass_data()
{
    QTest::addColumn<double>("rounding");
    QTest::newRow("zero") << 0.0;
    QTest::newRow("9.999") << 9.999;
}

void TestImport::roundingBoundsPass()
{
    QFETCH(double, rounding);
    ImportFixture f;
    f.open(f.april(1));
    f.choose(M4, {}, true, rounding);
    QVERIFY(f.import());
    QCOMPARE(f.presenter.informations, QStringList{msg("SUCESSO")});
}

// --- the run ----------------------------------------------------------------------

void TestImport::appendCreatesHeadersAndDishes()
{
    ImportFixture f;
    ImpoCardHosp &s = f.open(f.april(1)); // a Monday
    f.choose(M4, M5);
    QVERIFY(f.import());
    QCOMPARE(f.presenter.informations, QStringList{msg("SUCESSO")});
    QVERIFY(f.presenter.warnings.isEmpty());
    QCOMPARE(s.modalResult(), 1);

    for (const QDate &day : {f.april(1), f.april(2)}) {
        QCOMPARE(f.dishesOf(day, QStringLiteral("0001")),
                 QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
        QCOMPARE(f.dishesOf(day, QStringLiteral("0002")),
                 QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
        QCOMPARE(
            f.headerValue(day, QStringLiteral("0001"), QStringLiteral("QTCOMESTICAR")).toDouble(),
            150.0);
        QCOMPARE(
            f.headerValue(day, QStringLiteral("0002"), QStringLiteral("QTCLIESTICAR")).toDouble(),
            60.0);
        QCOMPARE(
            f.headerValue(day, QStringLiteral("0002"), QStringLiteral("QTDOAESTICAR")).toDouble(),
            5.0);
        QCOMPARE(
            f.headerValue(day, QStringLiteral("0001"), QStringLiteral("CDOPERADOR")).toString(),
            QStringLiteral("PLANEJADOR"));
        QCOMPARE(f.headerValue(day, QStringLiteral("0001"), QStringLiteral("DTMESCARD")).toString(),
                 QStringLiteral("2024-04-01"));
        QCOMPARE(
            f.headerValue(day, QStringLiteral("0001"), QStringLiteral("DTULTATUACAR")).toString(),
            QStringLiteral("2024-03-20"));
    }
    QCOMPARE(f.db.count(QStringLiteral("CARDADIA"), QStringLiteral("DTCARDAPIO >= '2024-04-01'")),
             4);
    // every new menu number is new to the branch
    QCOMPARE(f.db.scalar(QStringLiteral("SELECT COUNT(DISTINCT NRCARDAPIO) FROM CARDADIA")).toInt(),
             f.db.count(QStringLiteral("CARDADIA")));
    // the composed ordering text and the service taken from the header
    QCOMPARE(
        f.db.scalar(QStringLiteral(
                        "SELECT NMTIPOPRAT || '/' || CDSERVFILI FROM COMPCARD WHERE "
                        "DTCARDAPIO = '2024-04-01' AND NRSEQPRATCAR = 13 AND CDDIETPAD = '0001'"))
            .toString(),
        QStringLiteral("00102PRATO PRINCIPAL/00001"));
    // the source is untouched
    QCOMPARE(f.db.count(QStringLiteral("COMPCARD"), QStringLiteral("DTCARDAPIO < '2024-04-01'")),
             18);
    QCOMPARE(s.progressPosition(), 0);
    QCOMPARE(s.progressCaption(), QString());
}

void TestImport::secondAppendAddsNothing()
{
    ImportFixture f;
    f.open(f.april(1));
    f.choose(M4, M6);
    QVERIFY(f.import());
    const QStringList headers = f.db.dump(QStringLiteral("COMPCARD"));
    f.open(f.april(1));
    f.choose(M4, M6);
    QVERIFY(f.import());
    QCOMPARE(f.db.dump(QStringLiteral("COMPCARD")), headers);
    QCOMPARE(f.db.count(QStringLiteral("CARDADIA"), QStringLiteral("DTCARDAPIO >= '2024-04-01'")),
             6);
}

void TestImport::dayMappingSkipsNonWorkingDays_data()
{
    QTest::addColumn<QDate>("destination");
    QTest::addColumn<QList<QDate>>("holidays");
    QTest::addColumn<QString>("planningFlag");
    QTest::addColumn<QStringList>(
        "expected"); // per destination day from `destination`, the source dish day

    const QDate a1(2024, 4, 1), a2(2024, 4, 2), a3(2024, 4, 3), a4(2024, 4, 4);
    QTest::newRow("no holiday") << a1 << QList<QDate>{} << QStringLiteral("S")
                                << QStringList{QStringLiteral("2024-04-01"),
                                               QStringLiteral("2024-04-02"),
                                               QStringLiteral("2024-04-03")};
    QTest::newRow("holiday in the middle")
        << a1 << QList<QDate>{a2} << QStringLiteral("S")
        << QStringList{QStringLiteral("2024-04-01"), QStringLiteral("2024-04-03")};
    QTest::newRow("destination day is a holiday")
        << a1 << QList<QDate>{a1} << QStringLiteral("S")
        << QStringList{QStringLiteral("2024-04-02"), QStringLiteral("2024-04-03")};
    QTest::newRow("holiday but days planned")
        << a1 << QList<QDate>{a2} << QStringLiteral("N")
        << QStringList{QStringLiteral("2024-04-01"), QStringLiteral("2024-04-02"),
                       QStringLiteral("2024-04-03")};
    QTest::newRow("two holidays") << a2 << QList<QDate>{a3, a4} << QStringLiteral("S")
                                  << QStringList{QStringLiteral("2024-04-02")};
}

void TestImport::dayMappingSkipsNonWorkingDays()
{
    QFETCH(QDate, destination);
    QFETCH(QList<QDate>, holidays);
    QFETCH(QString, planningFlag);
    QFETCH(QStringList, expected);
    ImportFixture f;
    f.db.exec(QStringLiteral("UPDATE PARAMPLANEJA SET IDCARDIAUTIL = ?"), {planningFlag});
    for (const QDate &day : holidays)
        f.db.addHoliday(QStringLiteral("B1"), day);
    f.open(destination);
    f.choose(M4, M6);
    QVERIFY(f.import());
    QStringList days;
    QSqlQuery q(f.db.db());
    q.exec(QStringLiteral(
        "SELECT DISTINCT DTCARDAPIO FROM COMPCARD WHERE DTCARDAPIO >= '2024-04-01' ORDER BY 1"));
    while (q.next())
        days.append(q.value(0).toString());
    QCOMPARE(days, expected);
    // a skipped day gets no header either
    QCOMPARE(f.db.count(QStringLiteral("CARDADIA"), QStringLiteral("DTCARDAPIO >= '2024-04-01'")),
             expected.size() * 2);
}

void TestImport::pairingOfSourcesAndSlots_data()
{
    QTest::addColumn<QList<int>>("saladSlots"); // slot numbers of the April salad slots, in order
    QTest::addColumn<QString>("expected");      // the LIVRE dishes of 1 April

    QTest::newRow("equal counts") << QList<int>{11, 12}
                                  << QStringLiteral("11:S1:40;12:S2:40;13:P1:100");
    QTest::newRow("more sources than slots")
        << QList<int>{11} << QStringLiteral("11:S1:40;13:P1:100");
    QTest::newRow("fewer sources than slots")
        << QList<int>{11, 12, 14} << QStringLiteral("11:S1:40;12:S2:40;13:P1:100");
    QTest::newRow("slot number 0 passed over")
        << QList<int>{0, 12} << QStringLiteral("12:S2:40;13:P1:100");
    QTest::newRow("no salad slot") << QList<int>{} << QStringLiteral("13:P1:100");
}

void TestImport::pairingOfSourcesAndSlots()
{
    QFETCH(QList<int>, saladSlots);
    QFETCH(QString, expected);
    ImportFixture f;
    f.db.exec(QStringLiteral(
        "DELETE FROM CNFCAMES WHERE DTREFECNFMES = '2024-04-01' AND CDTIPOPRAT = '01'"));
    int order = 1;
    for (const int seq : saladSlots)
        f.db.addSlot(QStringLiteral("B1"), QStringLiteral("00001"), f.april(1), seq,
                     QStringLiteral("01"), order++);
    f.open(f.april(1));
    f.choose(M4);
    QVERIFY(f.import());
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")), expected);
}

void TestImport::appendKeepsTakenSlotsOverwriteReplacesThem()
{
    for (const bool append : {true, false}) {
        ImportFixture f;
        f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(1),
                       QStringLiteral("0001"), QStringLiteral("900"), 150);
        f.db.addDish(QStringLiteral("B1"), QStringLiteral("900"), QStringLiteral("0001"), 11,
                     QStringLiteral("X9"), QStringLiteral("PEPINO"), QStringLiteral("01"), 30, 1,
                     f.april(1), QStringLiteral("00001"));
        f.db.addDish(QStringLiteral("B1"), QStringLiteral("900"), QStringLiteral("0001"), 77,
                     QStringLiteral("X8"), QStringLiteral("FORA DA GRADE"), QStringLiteral("02"),
                     30, 9, f.april(1), QStringLiteral("00001"));
        f.open(f.april(1));
        f.choose(M4, {}, append);
        QVERIFY(f.import());
        if (append) {
            QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")),
                     QStringLiteral("11:X9:30;12:S2:40;13:P1:100;77:X8:30"));
        } else {
            QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")),
                     QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
        }
        // the existing header keeps its number either way
        QCOMPARE(f.headerValue(f.april(1), QStringLiteral("0001"), QStringLiteral("NRCARDAPIO"))
                     .toString(),
                 QStringLiteral("900"));
    }
}

void TestImport::perCapitaRounding_data()
{
    QTest::addColumn<double>("diners");
    QTest::addColumn<double>("perCapita");
    QTest::addColumn<double>("rounding");
    QTest::addColumn<int>("semArredondamento");
    QTest::addColumn<double>("expected");

    QTest::newRow("49.5 rounds up to 50") << 150.0 << 33.0 << 1.0 << 0 << 100.0 / 3.0;
    QTest::newRow("4.8 fives become 5") << 80.0 << 30.0 << 5.0 << 0 << 31.25;
    QTest::newRow("whole count kept") << 200.0 << 25.0 << 1.0 << 0 << 25.0;
    QTest::newRow("half portions") << 10.0 << 33.0 << 0.5 << 0 << 35.0;
    QTest::newRow("binary fraction 161") << 250.0 << 64.4 << 1.0 << 0 << 64.4;
    QTest::newRow("binary fraction 0.1") << 100.0 << 30.0 << 0.1 << 0 << 30.0;
    QTest::newRow("rounding 0 copies") << 150.0 << 33.0 << 0.0 << 0 << 33.0;
    QTest::newRow("rounding off copies") << 150.0 << 33.0 << 5.0 << 1 << 33.0;
    QTest::newRow("a fraction under a half rounds up") << 100.0 << 4.2 << 1.0 << 0 << 5.0;
    QTest::newRow("4.2 fives become 5") << 70.0 << 30.0 << 5.0 << 0 << 2500.0 / 70.0;
    QTest::newRow("ten decimals round up") << 100.0 << 49.0000000004 << 1.0 << 0 << 50.0;
    QTest::newRow("a tiny per capita is one portion") << 100.0 << 1e-10 << 1.0 << 0 << 1.0;
}

void TestImport::perCapitaRounding()
{
    QFETCH(double, diners);
    QFETCH(double, perCapita);
    QFETCH(double, rounding);
    QFETCH(int, semArredondamento);
    QFETCH(double, expected);
    ImportFixture f;
    f.db.exec(QStringLiteral("UPDATE ESTIDIETA SET QTCOMESTICAR = ? WHERE CDDIETPAD = '0001'"),
              {diners});
    f.db.exec(QStringLiteral("UPDATE COMPCARD SET VRPECONSCARD = ? WHERE CDPRATO = 'P1'"),
              {perCapita});
    ImpoCardHosp &s = f.open(f.april(1), semArredondamento);
    QCOMPARE(s.roundingStripVisible(), semArredondamento == 0);
    f.choose(M4, {}, true, rounding, QStringLiteral("_0001_"));
    QVERIFY(f.import());
    const double stored =
        f.db.scalar(QStringLiteral("SELECT VRPECONSCARD FROM COMPCARD WHERE DTCARDAPIO = "
                                   "'2024-04-01' AND CDPRATO = 'P1'"))
            .toDouble();
    QVERIFY2(qAbs(stored - expected) < 1e-9, qPrintable(QString::number(stored, 'g', 17)));
    // the dish's portions are a whole multiple of the rounding value
    if (semArredondamento == 0 && rounding > 0) {
        const double portions = diners * stored / 100.0 / rounding;
        QVERIFY(qAbs(portions - std::round(portions)) < 1e-6);
    }
}

void TestImport::existingHeadersAreRefilledOrStamped()
{
    ImportFixture f;
    // 1 April LIVRE: estimates 0 (refilled); BRANDA: 33 diners (only stamped)
    f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(1),
                   QStringLiteral("0001"), QStringLiteral("900"), 0, QDate(2024, 3, 1));
    f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(1),
                   QStringLiteral("0002"), QStringLiteral("901"), 33, QDate(2024, 3, 1));
    f.db.exec(
        QStringLiteral("UPDATE CARDADIA SET QTESTITURNO3 = 7 WHERE NRCARDAPIO IN ('900', '901')"));
    f.open(f.april(1));
    f.choose(M4);
    QVERIFY(f.import());
    const QString livre = QStringLiteral("0001"), branda = QStringLiteral("0002");
    // refilled: estimates and shifts from the tables, keys and number kept
    QCOMPARE(f.headerValue(f.april(1), livre, QStringLiteral("QTCOMESTICAR")).toDouble(), 150.0);
    QCOMPARE(f.headerValue(f.april(1), livre, QStringLiteral("QTFUNESTICAR")).toDouble(), 30.0);
    QCOMPARE(f.headerValue(f.april(1), livre, QStringLiteral("QTESTITURNO1")).toDouble(), 11.0);
    QCOMPARE(f.headerValue(f.april(1), livre, QStringLiteral("QTESTITURNO3")).toDouble(), 7.0);
    QCOMPARE(f.headerValue(f.april(1), livre, QStringLiteral("NRCARDAPIO")).toString(),
             QStringLiteral("900"));
    QCOMPARE(f.headerValue(f.april(1), livre, QStringLiteral("DTMESCARD")).toString(),
             QStringLiteral("2024-03-01"));
    QCOMPARE(f.headerValue(f.april(1), livre, QStringLiteral("CDOPERADOR")).toString(),
             QStringLiteral("PLANEJADOR"));
    // stamped: estimates as they were
    QCOMPARE(f.headerValue(f.april(1), branda, QStringLiteral("QTCOMESTICAR")).toDouble(), 33.0);
    QVERIFY(f.headerValue(f.april(1), branda, QStringLiteral("QTESTITURNO1")).isNull());
    QCOMPARE(f.headerValue(f.april(1), branda, QStringLiteral("CDOPERADOR")).toString(),
             QStringLiteral("PLANEJADOR"));
    QCOMPARE(f.headerValue(f.april(1), branda, QStringLiteral("DTULTATUACAR")).toString(),
             QStringLiteral("2024-03-20"));
    // 33 diners at 40 per hundred are 13.2, rounded up to 14 portions
    QCOMPARE(f.dishesOf(f.april(1), branda).section(QLatin1Char(';'), 0, 0),
             QStringLiteral("11:S1:%1").arg(14 * 100 / 33.0, 0, 'g', 10));
}

void TestImport::shiftEstimatesFollowWeekdayAndHolidayColumn()
{
    ImportFixture f;
    // 7 April 2024 is a Sunday, 13 April a Saturday, 10 April a Wednesday listed in FERICARD
    f.db.addFeriCard(QStringLiteral("B1"), QDate(2024, 4, 10));
    const QList<QPair<QDate, QPair<double, double>>> cases = {{QDate(2024, 4, 7), {10, 20}},
                                                              {QDate(2024, 4, 13), {16, 26}},
                                                              {QDate(2024, 4, 10), {99, 199}}};
    for (const auto &[day, shifts] : cases) {
        f.open(day);
        f.choose(M4, {}, true, 1, QStringLiteral("_0001_"));
        QVERIFY(f.import());
        QCOMPARE(
            f.headerValue(day, QStringLiteral("0001"), QStringLiteral("QTESTITURNO1")).toDouble(),
            shifts.first);
        QCOMPARE(
            f.headerValue(day, QStringLiteral("0001"), QStringLiteral("QTESTITURNO2")).toDouble(),
            shifts.second);
        QVERIFY(
            f.headerValue(day, QStringLiteral("0001"), QStringLiteral("QTESTITURNO3")).isNull());
    }
}

void TestImport::dishesLeftOutEndWithAWarning_data()
{
    QTest::addColumn<bool>("noDiners");    // no diners for BRANDA on Tuesdays
    QTest::addColumn<bool>("noMainSlots"); // April has no slot of the main dish's type
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QString>("livre");
    const QString full = QStringLiteral("11:S1:40;12:S2:40;13:P1:100");
    const QString salads = QStringLiteral("11:S1:40;12:S2:40");
    QTest::newRow("no diners") << true << false << msg("COMEN_ZERO") << full;
    QTest::newRow("a type without slots") << false << true << msg("SEM_POSICAO") << salads;
    QTest::newRow("both: the slots are named") << true << true << msg("SEM_POSICAO") << salads;
}

void TestImport::dishesLeftOutEndWithAWarning()
{
    QFETCH(bool, noDiners);
    QFETCH(bool, noMainSlots);
    QFETCH(QString, warning);
    QFETCH(QString, livre);
    ImportFixture f;
    if (noDiners)
        f.db.exec(QStringLiteral(
            "UPDATE ESTIDIETA SET QTCOMESTICAR = 0 WHERE CDDIETPAD = '0002' AND NRDIASEMANA = 3"));
    if (noMainSlots)
        f.db.exec(QStringLiteral(
            "DELETE FROM CNFCAMES WHERE CDTIPOPRAT = '02' AND DTREFECNFMES = '2024-04-01'"));
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M5);
    QVERIFY(f.import());
    // the message, then how many dishes stayed out and why
    QCOMPARE(f.presenter.warnings.size(), 1);
    const QStringList said = f.presenter.warnings.first().split(QLatin1Char('\n'));
    QCOMPARE(said.first(), warning);
    QCOMPARE(said.value(1), s.report().leftOutLine());
    QVERIFY(said.value(1).contains(noMainSlots ? QStringLiteral("o mês de abril não tem posição")
                                               : QStringLiteral("comensais estimados")));
    QVERIFY(f.presenter.informations.isEmpty());
    QCOMPARE(s.modalResult(), 1);
    QCOMPARE(f.dishesOf(f.april(2), QStringLiteral("0001")), livre);
    if (noDiners) {
        QCOMPARE(f.dishesOf(f.april(2), QStringLiteral("0002")), QString());
        QCOMPARE(unitValues().DiaSemComensais, QStringLiteral("S"));
    }

    // a clean run after it ends with success, not with the earlier warning
    if (noMainSlots)
        return;
    f.open(f.april(8));
    f.choose(M4);
    QVERIFY(f.import());
    QCOMPARE(f.presenter.informations, QStringList{msg("SUCESSO")});
    QVERIFY(f.presenter.warnings.isEmpty());
}

void TestImport::oneBatchPerDayAndDiet_data()
{
    QTest::addColumn<int>("fullDay"); // a destination day whose slots are all taken; 0: none
    QTest::newRow("every day copied") << 0;
    // a day that gets no dish, whose header had its diners, stores nothing, wherever it
    // falls in the run
    QTest::newRow("nothing to copy on the first day") << 1;
    QTest::newRow("nothing to copy in the middle") << 2;
    QTest::newRow("nothing to copy on the last day") << 3;
}

void TestImport::oneBatchPerDayAndDiet()
{
    QFETCH(int, fullDay);
    ImportFixture f;
    if (fullDay > 0) {
        f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(fullDay),
                       QStringLiteral("0001"), QStringLiteral("900"), 150);
        for (int slot = 11; slot <= 13; ++slot)
            f.db.addDish(QStringLiteral("B1"), QStringLiteral("900"), QStringLiteral("0001"), slot,
                         QStringLiteral("X%1").arg(slot), QStringLiteral("OUTRO"),
                         slot == 13 ? QStringLiteral("02") : QStringLiteral("01"), 30, slot - 10,
                         f.april(fullDay), QStringLiteral("00001"));
    }
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M6);
    QVERIFY(f.import());
    QCOMPARE(s.report().batches, fullDay > 0 ? 5 : 6);
    QCOMPARE(s.cdsCardaDia.ChangeCount(), 0);
    QCOMPARE(s.cdsCompCardCache.ChangeCount(), 0);
    for (const ImportReport::DayDiet &e : s.report().entries)
        QCOMPARE(e.stored, !e.unchanged);
    if (fullDay > 0) {
        QCOMPARE(
            f.headerValue(f.april(fullDay), QStringLiteral("0001"), QStringLiteral("CDOPERADOR"))
                .toString(),
            QStringLiteral("SEED"));
        QCOMPARE(f.dishesOf(f.april(fullDay), QStringLiteral("0001")),
                 QStringLiteral("11:X11:30;12:X12:30;13:X13:30"));
    }
}

void TestImport::progressCaptionAndBar()
{
    ImportFixture f;
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M5);
    QStringList captions;
    int highest = 0;
    QObject::connect(&s, &ImpoCardHosp::changed, [&](ImpoCardHosp::Control c) {
        if (c == ImpoCardHosp::lblProgresso)
            captions.append(s.progressCaption());
        if (c == ImpoCardHosp::pgbProgresso)
            highest = std::max(highest, s.progressPosition());
        QVERIFY(s.progressPosition() <= s.progressMaximum());
    });
    QCOMPARE(s.cdsCardOrigem.RecordCount(), 12);
    QVERIFY(f.import());
    QVERIFY(captions.contains(QStringLiteral("Importando:SALADA - ALFACE")));
    QVERIFY(captions.contains(QStringLiteral("Importando:PRATO PRINCIPAL - FRANGO")));
    QCOMPARE(captions.at(captions.size() - 2), msg("BASE"));
    QCOMPARE(captions.constLast(), QString());
    QCOMPARE(highest, 12);
    QCOMPARE(s.progressPosition(), 0);
}

void TestImport::failedOverwriteBatchLeavesTheDayAsItWas()
{
    ImportFixture f;
    for (const QDate &day : {f.april(1), f.april(2)}) {
        const QString nr = day == f.april(1) ? QStringLiteral("900") : QStringLiteral("901");
        f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), day, QStringLiteral("0001"),
                       nr, 150);
        f.db.addDish(QStringLiteral("B1"), nr, QStringLiteral("0001"), 11, QStringLiteral("X9"),
                     QStringLiteral("PEPINO"), QStringLiteral("01"), 30, 1, day,
                     QStringLiteral("00001"));
    }
    // the database refuses the main dish on 2 April
    f.db.refuseDishes(QStringLiteral("NEW.CDPRATO = 'P1' AND NEW.DTCARDAPIO = '2024-04-02'"),
                      QStringLiteral("prato recusado"));
    ImpoCardHosp &s = f.open(f.april(1));
    const QString before = f.dishesOf(f.april(2), QStringLiteral("0001"));
    QCOMPARE(before, QStringLiteral("11:X9:30"));
    f.choose(M4, M5, false, 1, QStringLiteral("_0001_"));
    QVERIFY(!f.import());
    QCOMPARE(f.presenter.errors.size(), 1);
    QVERIFY(f.presenter.errors.first().contains(QStringLiteral("prato recusado")));
    QVERIFY(f.presenter.errors.first().size() > 10);
    // the earlier batch stays, the refused day is exactly as it was
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")),
             QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
    QCOMPARE(f.dishesOf(f.april(2), QStringLiteral("0001")), before);
    QCOMPARE(s.report().batches, 1);
    QCOMPARE(s.modalResult(), 0);
    QVERIFY(f.presenter.informations.isEmpty());
}

void TestImport::overwriteClearsDietsWithoutSourceDishes()
{
    ImportFixture f;
    f.db.exec(QStringLiteral(
        "DELETE FROM COMPCARD WHERE CDDIETPAD = '0002' AND DTCARDAPIO = '2024-03-04'"));
    f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(1),
                   QStringLiteral("0002"), QStringLiteral("900"), 80);
    f.db.addDish(QStringLiteral("B1"), QStringLiteral("900"), QStringLiteral("0002"), 11,
                 QStringLiteral("X9"), QStringLiteral("PEPINO"), QStringLiteral("01"), 30, 1,
                 f.april(1), QStringLiteral("00001"));
    f.open(f.april(1));
    f.choose(M4, {}, false);
    QVERIFY(f.import());
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0002")), QString());
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")),
             QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
}

void TestImport::errorRunRestoresEntryDay()
{
    ImportFixture f;
    f.db.refuseDishes(QStringLiteral("NEW.DTCARDAPIO = '2024-04-02'"),
                      QStringLiteral("recusado pelo banco"));
    f.open(f.april(1));
    f.choose(M4, M5);
    QVERIFY(!f.import());
    QCOMPARE(unitValues().DtCardapio, f.april(1));
    // the next run maps from the entry day again: 4 March is 1 April
    f.db.allowDishes();
    f.presenter.clear();
    QVERIFY(f.import());
    QCOMPARE(f.dishesOf(f.april(2), QStringLiteral("0001")),
             QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
    QCOMPARE(f.db.count(QStringLiteral("CARDADIA"), QStringLiteral("DTCARDAPIO = '2024-04-03'")),
             0);
}

void TestImport::otherSourceServiceFindsDestinationHeaders()
{
    ImportFixture f;
    f.addSourceDay(QDate(2024, 3, 11), QStringLiteral("00002"));
    f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(1),
                   QStringLiteral("0001"), QStringLiteral("900"), 150);
    ImpoCardHosp &s = f.open(f.april(1));
    s.setServiceText(QStringLiteral("2"));
    s.medCdServicoExit();
    QCOMPARE(s.serviceText(), QStringLiteral("00002"));
    QCOMPARE(s.serviceName(), QStringLiteral("JANTAR"));
    f.choose(QDate(2024, 3, 11));
    QVERIFY(f.import());
    QCOMPARE(f.db.count(QStringLiteral("CARDADIA"), QStringLiteral("DTCARDAPIO = '2024-04-01'")),
             2);
    QCOMPARE(
        f.headerValue(f.april(1), QStringLiteral("0001"), QStringLiteral("NRCARDAPIO")).toString(),
        QStringLiteral("900"));
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")),
             QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
}

void TestImport::repeatedDishCodeIsCopiedOnce()
{
    ImportFixture f;
    // two salads of one code with different names and values on 4 March
    f.db.exec(QStringLiteral(
        "UPDATE COMPCARD SET CDPRATO = 'S1', VRPECONSCARD = 60 WHERE CDPRATO = 'S2' AND "
        "DTCARDAPIO = '2024-03-04'"));
    f.open(f.april(1));
    f.choose(M4, {}, false, 1, QStringLiteral("_0001_"));
    QVERIFY(f.import());
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")),
             QStringLiteral("11:S1:40;12:S1:60;13:P1:100"));
    QCOMPARE(f.db.scalar(QStringLiteral(
                             "SELECT NMPRATO FROM COMPCARD WHERE DTCARDAPIO = '2024-04-01' AND "
                             "NRSEQPRATCAR = 12"))
                 .toString(),
             QStringLiteral("TOMATE"));
}

void TestImport::clickDuringRunIsIgnored()
{
    ImportFixture f;
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M5);
    int clicks = 0;
    s.setMessagePump([&] {
        QVERIFY(!s.importEnabled());
        if (clicks++ == 3)
            s.sbtImportExportClick(); // the user clicks again while the run pumps messages
    });
    QVERIFY(f.import());
    QVERIFY(clicks > 3);
    QCOMPARE(f.presenter.informations.size(), 1);
    QCOMPARE(s.report().batches, 4);
    QVERIFY(s.importEnabled());
}

namespace {
class CountingBusy : public BusyIndicator
{
public:
    void show(int) override { ++shown; }
    void hide() override { ++hidden; }
    int shown = 0;
    int hidden = 0;
};
} // namespace

void TestImport::busyIndicatorHiddenWhenStoringFails()
{
    ImportFixture f;
    CountingBusy busy;
    setBusyIndicator(&busy);
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4);
    // the server goes away in the middle of the run, before the first batch
    s.setMessagePump([&] { f.server.reset(); });
    QVERIFY(!f.import());
    setBusyIndicator(nullptr);
    QCOMPARE(f.presenter.errors.size(), 1);
    QVERIFY(f.presenter.errors.first().contains(QStringLiteral("127.0.0.1")));
    QVERIFY(busy.shown > 0);
    QCOMPARE(busy.hidden, busy.shown);
    QVERIFY(s.importEnabled());
}

void TestImport::listOfDietsLimitsTheImport()
{
    ImportFixture f;
    f.open(f.april(1));
    f.choose(M4, {}, true, 1, QStringLiteral("_0002_"));
    QVERIFY(f.import());
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")), QString());
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0002")),
             QStringLiteral("11:S1:40;12:S2:40;13:P1:100"));
    QCOMPARE(unitValues().ListaDietas, QStringLiteral("_0002_"));
}

void TestImport::appendRespectsDishesStoredDuringTheRun()
{
    ImportFixture f;
    f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(2),
                   QStringLiteral("0001"), QStringLiteral("900"), 150);
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M5, true, 1, QStringLiteral("_0001_"));
    // another planner stores a salad on 2 April after the run loaded the destination
    bool stored = false;
    s.setMessagePump([&] {
        if (stored)
            return;
        stored = true;
        f.db.addDish(QStringLiteral("B1"), QStringLiteral("900"), QStringLiteral("0001"), 11,
                     QStringLiteral("X9"), QStringLiteral("PEPINO"), QStringLiteral("01"), 30, 1,
                     f.april(2), QStringLiteral("00001"));
    });
    QVERIFY2(f.import(), qPrintable(f.presenter.errors.join(QLatin1Char('\n'))));
    // the day check rows carry the destination day, so the taken slot is seen and kept
    QCOMPARE(f.dishesOf(f.april(2), QStringLiteral("0001")),
             QStringLiteral("11:X9:30;12:S2:40;13:P1:100"));
}

void TestImport::secondWriterDuringTheRun_data()
{
    QTest::addColumn<bool>("append");
    QTest::addColumn<QString>("before"); // what the day holds before the run, besides its header
    QTest::addColumn<QString>("change"); // what another planner stores while the run works
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("column"); // a header column and the value it keeps
    QTest::addColumn<QString>("value");
    // the dishes of a refused day, as the other planner left them
    QTest::addColumn<QString>("left");
    const QString x9 = QStringLiteral(
        "INSERT INTO COMPCARD (CDFILIAL, NRCARDAPIO, CDDIETPAD, NRSEQPRATCAR, CDPRATO, NMPRATO, "
        "CDTIPOPRAT, VRPECONSCARD, NRORDPRATCAR, DTCARDAPIO, CDSERVFILI) VALUES ('B1', '900', "
        "'%1', %2, 'X9', 'PEPINO', '01', 30, 1, '2024-04-02', '00001')");
    const QString removed = QStringLiteral("DELETE FROM COMPCARD WHERE NRCARDAPIO = '900'");
    const QString diners =
        QStringLiteral("UPDATE CARDADIA SET QTCOMESTICAR = 200 WHERE NRCARDAPIO = '900'");
    const QString effective =
        QStringLiteral("UPDATE CARDADIA SET QTCOMEFETCAR = 140 WHERE NRCARDAPIO = '900'");
    const QString stamped =
        QStringLiteral("UPDATE CARDADIA SET CDOPERADOR = 'OUTRO' WHERE NRCARDAPIO = '900'");
    // the run would keep slot 11 empty on a day it did not see
    QTest::newRow("a dish removed") << true << x9.arg(QStringLiteral("0001")).arg(11) << removed
                                    << true << QString() << QString() << QString();
    // the run's per-capita values rest on 150 diners
    QTest::newRow("the diners changed")
        << true << QString() << diners << true << QStringLiteral("QTCOMESTICAR")
        << QStringLiteral("200") << QString();
    // a column the run does not write keeps the other planner's value
    QTest::newRow("the effective diners changed")
        << true << QString() << effective << false << QStringLiteral("QTCOMEFETCAR")
        << QStringLiteral("140") << QString();
    // the stamp is not written over another planner's
    QTest::newRow("stamped by another planner")
        << true << QString() << stamped << true << QStringLiteral("CDOPERADOR")
        << QStringLiteral("OUTRO") << QString();
    // a dish row of the menu filed under another diet does not refuse the day, run
    // after run
    QTest::newRow("a dish of the menu under another diet")
        << true << x9.arg(QStringLiteral("0002")).arg(5) << QString() << false << QString()
        << QString() << QString();
    // an overwrite removes what it saw of the day: not what another planner stored since
    QTest::newRow("overwrite: a dish removed")
        << false << x9.arg(QStringLiteral("0001")).arg(11) << removed << true << QString()
        << QString() << QString();
    QTest::newRow("overwrite: a dish added")
        << false << QString() << x9.arg(QStringLiteral("0001")).arg(11) << true << QString()
        << QString() << QStringLiteral("11:X9:30");
    QTest::newRow("overwrite: the diners changed")
        << false << QString() << diners << true << QStringLiteral("QTCOMESTICAR")
        << QStringLiteral("200") << QString();
    QTest::newRow("overwrite: the effective diners changed")
        << false << QString() << effective << false << QStringLiteral("QTCOMEFETCAR")
        << QStringLiteral("140") << QString();
    QTest::newRow("overwrite: stamped by another planner")
        << false << QString() << stamped << true << QStringLiteral("CDOPERADOR")
        << QStringLiteral("OUTRO") << QString();
    QTest::newRow("overwrite: a dish of the menu under another diet")
        << false << x9.arg(QStringLiteral("0002")).arg(5) << QString() << false << QString()
        << QString() << QString();
}

void TestImport::secondWriterDuringTheRun()
{
    QFETCH(bool, append);
    QFETCH(QString, before);
    QFETCH(QString, change);
    QFETCH(bool, refused);
    QFETCH(QString, column);
    QFETCH(QString, value);
    QFETCH(QString, left);
    ImportFixture f;
    f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(2),
                   QStringLiteral("0001"), QStringLiteral("900"), 150);
    if (!before.isEmpty())
        f.db.exec(before);
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M5, append, 1, QStringLiteral("_0001_"));
    // the other planner stores after this run loaded the destination
    bool stored = change.isEmpty();
    s.setMessagePump([&] {
        if (!stored)
            f.db.exec(change);
        stored = true;
    });
    const QString full = QStringLiteral("11:S1:40;12:S2:40;13:P1:100");
    QCOMPARE(f.import(), !refused);
    // 1 April is stored either way
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")), full);
    if (!column.isEmpty())
        QCOMPARE(f.headerValue(f.april(2), QStringLiteral("0001"), column).toString(), value);
    if (!refused) {
        QCOMPARE(f.dishesOf(f.april(2), QStringLiteral("0001")), full);
        return;
    }
    // 2 April is as the other planner left it, and the text says what was not stored
    QCOMPARE(f.presenter.errors.size(), 1);
    const QString &error = f.presenter.errors.first();
    QVERIFY2(error.contains(QStringLiteral("02/04/2024, dieta 0001")) &&
                 error.contains(QStringLiteral("outra gravação alterou o cardápio 900")),
             qPrintable(error));
    QCOMPARE(f.dishesOf(f.april(2), QStringLiteral("0001")), left);
    QVERIFY(!s.report().entries.last().refusal.isEmpty());
    // run again, it sees the day as it is and fills it
    f.presenter.clear();
    f.open(f.april(1));
    f.choose(M4, M5, append, 1, QStringLiteral("_0001_"));
    QVERIFY2(f.import(), qPrintable(f.presenter.errors.join(QLatin1Char('\n'))));
    QVERIFY(!f.dishesOf(f.april(2), QStringLiteral("0001")).isEmpty());
}

// The planner's operator is disabled while the run works: the batches the server then
// refuses are known not stored, and the text says what stays
void TestImport::operatorDisabledDuringTheRun()
{
    ImportFixture f;
    QTemporaryDir dir;
    {
        SqlSession session(f.db.config(), QStringLiteral("operators"));
        OperatorRecord planner;
        planner.code = QStringLiteral("PLANEJADOR");
        planner.name = QStringLiteral("Planejadora");
        planner.branches = QStringList{QStringLiteral("B1")};
        addOperator(session, planner, dir.filePath(QStringLiteral("token")));
    }
    loginContext().token = readTokenFile(dir.filePath(QStringLiteral("token"))).first();
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M6, false, 1, QStringLiteral("_0001_0002_"));
    bool disabled = false;
    // as soon as the first batch is on its way
    s.setMessagePump([&] {
        const auto &entries = s.report().entries;
        if (!disabled && std::any_of(entries.cbegin(), entries.cend(),
                                     [](const auto &e) { return !e.batchId.isEmpty(); })) {
            f.db.exec(QStringLiteral("UPDATE OPERADOR SET FLATIVO = 'N'"));
            disabled = true;
        }
    });
    QVERIFY(!f.import());
    QVERIFY(disabled);
    QVERIFY2(f.presenter.errors.join(QLatin1Char('\n')).contains(QStringLiteral("desativado")),
             qPrintable(f.presenter.errors.join(QLatin1Char('\n'))));
    // nothing "talvez gravado": each day and diet is stored, or refused and empty
    int refused = 0;
    for (const auto &e : s.report().entries) {
        QVERIFY(!e.unknown);
        QCOMPARE(!f.dishesOf(e.day, e.diet).isEmpty(), e.stored);
        refused += e.refusal.isEmpty() ? 0 : 1;
    }
    QVERIFY(refused > 0);
    QVERIFY2(f.presenter.errors.join(QLatin1Char('\n')).contains(QStringLiteral("zov-db operator")),
             "the text says what to do about it");
}

void TestImport::referenceMonthOtherThanTheDays()
{
    // 1 April imported with March as the month reference: the slots of March (1, 2, 3)
    // are filled, and the day check rows come from the same configuration
    ImportFixture f;
    ImpoCardHosp &s = f.open(f.april(1), 0, QStringLiteral("00001"), QDate(2024, 3, 1));
    f.choose(M4, {}, true, 1, QStringLiteral("_0001_"));
    QVERIFY(f.import());
    QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")),
             QStringLiteral("1:S1:40;2:S2:40;3:P1:100"));
    QStringList slots;
    for (s.adqVerifCardaDia.First(); !s.adqVerifCardaDia.Eof(); s.adqVerifCardaDia.Next())
        slots.append(s.adqVerifCardaDia.FieldByName(QStringLiteral("NRSEQPRATCAR")).asString());
    QCOMPARE(slots, (QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")}));
    QCOMPARE(
        f.headerValue(f.april(1), QStringLiteral("0001"), QStringLiteral("DTMESCARD")).toString(),
        QStringLiteral("2024-03-01"));
}

namespace {
// April 2nd already has a menu with a dish of its own; with "refused" the database
// refuses the main dish of April 3rd, so a run stops in the middle
void seedRunFaults(ImportFixture &f, const QString &fault)
{
    f.db.addHeader(QStringLiteral("B1"), QStringLiteral("00001"), f.april(2),
                   QStringLiteral("0001"), QStringLiteral("900"), 150);
    f.db.addDish(QStringLiteral("B1"), QStringLiteral("900"), QStringLiteral("0001"), 11,
                 QStringLiteral("X9"), QStringLiteral("PEPINO"), QStringLiteral("01"), 30, 1,
                 f.april(2), QStringLiteral("00001"));
    if (fault == QLatin1String("refused"))
        f.db.refuseDishes(QStringLiteral("NEW.CDPRATO = 'P1' AND NEW.DTCARDAPIO = '2024-04-03'"),
                          QStringLiteral("prato recusado"));
}
} // namespace

// The calls of a run travel on one stream, a step's reads as one call; a server from
// before that call takes them one by one on the stream, one from before the stream one
// by one. All store the same rows and end the same way, a refusal or a day changed in
// the middle included.
void TestImport::theStreamStoresWhatSingleCallsStore_data()
{
    QTest::addColumn<bool>("append");
    QTest::addColumn<QString>("fault");
    QTest::newRow("append") << true << QString();
    QTest::newRow("overwrite") << false << QString();
    QTest::newRow("a batch refused in the middle") << true << QStringLiteral("refused");
    QTest::newRow("a day changed in the middle") << true << QStringLiteral("changed");
}

void TestImport::theStreamStoresWhatSingleCallsStore()
{
    QFETCH(bool, append);
    QFETCH(QString, fault);
    QStringList outcome[3];
    for (const int server : {0, 1, 2}) {
        ImportFixture f(server < 2, server == 0);
        seedRunFaults(f, fault);
        ImpoCardHosp &s = f.open(f.april(1));
        f.choose(M4, M6, append);
        bool changed = fault != QLatin1String("changed");
        s.setMessagePump([&] {
            if (!changed)
                f.db.exec(QStringLiteral("DELETE FROM COMPCARD WHERE NRCARDAPIO = '900'"));
            changed = true;
        });
        const bool completed = f.import();
        QStringList &o = outcome[server];
        // the messages name the run, whose id is new each time
        o << QString::number(completed)
          << QStringList(f.presenter.errors)
                 .replaceInStrings(s.report().runId, QStringLiteral("ID"))
          << f.presenter.informations;
        for (const ImportReport::DayDiet &e : s.report().entries)
            o << QStringLiteral("%1 %2 %3 %4")
                     .arg(shortDate(e.day), e.diet)
                     .arg(e.stored)
                     .arg(e.refusal);
        o << f.db.dump(QStringLiteral("CARDADIA")) << f.db.dump(QStringLiteral("COMPCARD"));
    }
    QCOMPARE(outcome[0], outcome[2]);
    QCOMPARE(outcome[1], outcome[2]);
    QVERIFY(outcome[0].first() == QLatin1String(fault.isEmpty() ? "1" : "0"));
}

// An undo puts every day and diet of a run back as it was: headers it created go,
// dishes an overwrite removed come back with their values, a header it stamped gets its
// operator and date back; a day changed since the run is left alone.
void TestImport::undoPutsTheDaysBack_data()
{
    QTest::addColumn<bool>("append");
    QTest::addColumn<QString>("fault");
    QTest::newRow("append: headers created and stamped") << true << QString();
    QTest::newRow("overwrite: removed dishes come back") << false << QString();
    QTest::newRow("a run stopped by a refused batch") << true << QStringLiteral("refused");
    QTest::newRow("a day changed since the run") << false << QStringLiteral("changed");
    QTest::newRow("undone twice") << false << QStringLiteral("twice");
    QTest::newRow("a dry run of the undo") << false << QStringLiteral("dry");
    QTest::newRow("a damaged record") << false << QStringLiteral("damaged");
    // the database stays busy with another writer after two batches: the stop says what
    // stays stored, and the undo takes it back
    QTest::newRow("a busy database stops the run") << false << QStringLiteral("busy");
    // the same append again stores nothing, is no run, and leaves the first one undoable
    QTest::newRow("repeated with nothing to add") << true << QStringLiteral("again");
}

void TestImport::undoPutsTheDaysBack()
{
    QFETCH(bool, append);
    QFETCH(QString, fault);
    ImportFixture f;
    seedRunFaults(f, fault);
    const auto menus = [&] {
        return f.db.dump(QStringLiteral("CARDADIA")) + f.db.dump(QStringLiteral("COMPCARD"));
    };
    const QStringList before = menus();
    const int headersBefore = f.db.count(QStringLiteral("CARDADIA"));
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M6, append);
    const bool busy = fault == QLatin1String("busy");
    bool held = false;
    if (busy)
        s.setMessagePump([&] {
            // in the fifth of the six days and diets, once the first ones are stored
            if (!held && s.report().entries.size() >= 5) {
                while (f.db.count(QStringLiteral("LOTEIMPORT")) == 0)
                    QThread::msleep(5);
                f.db.holdWriteLock();
                held = true;
            }
        });
    QCOMPARE(f.import(), fault != QLatin1String("refused") && !busy);
    if (busy) {
        f.db.release();
        const QString said = f.presenter.errors.last();
        QVERIFY2(said.contains(QStringLiteral("nada deste dia e dieta foi gravado")) &&
                     said.contains(QStringLiteral("ocupado")),
                 qPrintable(said));
        QVERIFY2(
            said.contains(
                countText("RUN_KEPT", s.report().storedCount()).section(QLatin1Char(','), 0, 0)) &&
                said.contains(s.report().runId),
            qPrintable(said));
        QCOMPARE(s.report().batches, f.db.count(QStringLiteral("LOTEIMPORT")));
    }
    const ImportReport run = s.report();
    QVERIFY(run.batches > 0);
    if (fault == QLatin1String("again")) {
        ImpoCardHosp &second = f.open(f.april(1));
        f.choose(M4, M6, append);
        QVERIFY(f.import());
        QCOMPARE(second.report().batches, 0);
        QCOMPARE(second.report().closingText, msg("NADA_IMPORTAR"));
        QCOMPARE(RunUndo(*second.connection()).list(QString()).size(), 1);
    }
    if (fault == QLatin1String("changed"))
        f.db.exec(QStringLiteral("UPDATE COMPCARD SET VRPECONSCARD = 55 WHERE NRCARDAPIO = '900'"));
    const QStringList after = menus();

    RunUndo undo(*f.screen->connection());
    if (fault == QLatin1String("damaged")) {
        // the latest record cut short: it is not read as "there was no header"
        f.db.exec(QStringLiteral("UPDATE IMPORTACAODIA SET DSANTES = '{\"added\":[' WHERE "
                                 "NRORDEM = (SELECT MAX(NRORDEM) FROM IMPORTACAODIA)"));
        QVERIFY_THROWS_EXCEPTION(ServerTextError, undo.undo(run.runId, QString(), false));
        QCOMPARE(menus(), after);
        return;
    }
    const bool dry = fault == QLatin1String("dry");
    UndoReport done = undo.undo(run.runId, QString(), dry);
    QCOMPARE(done.entries.size(), run.batches);
    if (fault == QLatin1String("twice")) {
        QCOMPARE(done.count(UndoReport::Outcome::Restored), run.batches);
        done = undo.undo(run.runId, QStringLiteral("B1"), false);
        QCOMPARE(done.count(UndoReport::Outcome::AlreadyUndone), run.batches);
        QCOMPARE(done.closingText(), text("UNDO_WAS_UNDONE").arg(run.runId));
    }
    if (dry) {
        QCOMPARE(menus(), after);
        QCOMPARE(done.count(UndoReport::Outcome::Restored), run.batches);
    } else if (fault == QLatin1String("changed")) {
        // April 2nd, diet 0001 stays as the other writer left it; the rest is undone
        QVERIFY(!done.complete());
        QCOMPARE(done.leftLines().size(), 1);
        QVERIFY(
            done.leftLines().first().startsWith(QStringLiteral("02/04/2024 Terça, dieta 0001")));
        QCOMPARE(f.dishesOf(f.april(2), QStringLiteral("0001")),
                 QStringLiteral("11:S1:55;12:S2:55;13:P1:55"));
        QCOMPARE(f.db.count(QStringLiteral("CARDADIA")), headersBefore);
        QCOMPARE(f.dishesOf(f.april(1), QStringLiteral("0001")), QString());
    } else {
        QVERIFY(done.complete());
        QCOMPARE(menus(), before);
    }
    // the numbers handed out stay used
    QVERIFY(f.db.count(QStringLiteral("CARDSEQ")) > 0);
}

void TestImport::streamWindowsFollowTheLink_data()
{
    QTest::addColumn<double>("roundTripMs"); // negative: none timed
    QTest::addColumn<bool>("fittedAtStart"); // as the run does, before its first step
    QTest::addColumn<double>("elapsedMs");
    QTest::addColumn<double>("waitedMs");
    QTest::addColumn<int>("stepsDone");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("batches");
    QTest::newRow("near the server") << 0.3 << true << 50.0 << 0.0 << 100 << 32 << 16;
    QTest::newRow("no round trip timed") << -1.0 << true << 50.0 << 0.0 << 100 << 32 << 16;
    QTest::newRow("10 ms, before the first step") << 10.0 << true << 0.0 << 0.0 << 0 << 40 << 40;
    QTest::newRow("100 ms, before the first step")
        << 100.0 << true << 0.0 << 0.0 << 0 << 400 << 400;
    // slow steps later on do not take back what the link was given
    QTest::newRow("100 ms, then steps of 5 ms")
        << 100.0 << true << 500.0 << 0.0 << 100 << 400 << 400;
    QTest::newRow("100 ms, steps of 5 ms") << 100.0 << false << 500.0 << 0.0 << 100 << 40 << 40;
    // the time spent waiting for the link is not the steps' own
    QTest::newRow("100 ms, steps of 1 ms between waits")
        << 100.0 << false << 1000.0 << 900.0 << 100 << 200 << 200;
    QTest::newRow("a link of 2 s") << 2000.0 << true << 0.0 << 0.0 << 0 << 1024 << 1024;
}

void TestImport::streamWindowsFollowTheLink()
{
    QFETCH(double, roundTripMs);
    QFETCH(bool, fittedAtStart);
    QFETCH(double, elapsedMs);
    QFETCH(double, waitedMs);
    QFETCH(int, stepsDone);
    StreamWindows w;
    w.noteRoundTrip(static_cast<qint64>(roundTripMs * 1e6));
    if (fittedAtStart)
        w.fit(0, 0);
    w.waitedNs = static_cast<qint64>(waitedMs * 1e6);
    w.fit(static_cast<qint64>(elapsedMs * 1e6), stepsDone);
    QTEST(int(w.steps), "steps");
    QTEST(int(w.batches), "batches");
}

QTEST_GUILESS_MAIN(TestImport)
#include "tst_import.moc"

void TestImport::cycleOverMonths_data()
{
    QTest::addColumn<QDate>("destination");
    QTest::addColumn<QDate>("to"); // the cycle is 4 March to this day
    QTest::addColumn<QDate>("until");
    QTest::addColumn<bool>("align");
    QTest::addColumn<bool>("append");
    QTest::addColumn<bool>("planned"); // 7 May holds a soup in slot 21 before the run
    QTest::addColumn<int>("stopAt");   // the database busy from this day and diet on; 0: never
    QTest::addColumn<QString>("message");

    // a week's cycle whose 4th to 6th hold menus, from Monday 22 April to Tuesday 11 June (the
    // first repetition within April, as the range check asks)
    const QDate d(2024, 4, 22), m10(2024, 3, 10), e(2024, 6, 11);
    QTest::newRow("append, lined up by weekday")
        << d << m10 << e << true << true << false << 0 << QString();
    QTest::newRow("append keeps a day planned before")
        << d << m10 << e << false << true << true << 0 << QString();
    QTest::newRow("overwrite replaces a day planned before")
        << d << m10 << e << false << false << true << 0 << QString();
    QTest::newRow("append stopped half-way, run again")
        << d << m10 << e << false << true << false << 12 << QString();
    QTest::newRow("overwrite stopped half-way, run again")
        << d << m10 << e << false << false << true << 12 << QString();
    QTest::newRow("until before the destination day")
        << d << m10 << QDate(2024, 4, 21) << false << true << false << 0
        << text("CYCLE_UNTIL_BEFORE")
               .arg(QStringLiteral("21/04/2024"), QStringLiteral("22/04/2024 Segunda"));
    QTest::newRow("until more than a year later")
        << d << m10 << QDate(2025, 4, 23) << false << true << false << 0
        << text("CYCLE_TOO_LONG")
               .arg(QStringLiteral("23/04/2025"), QStringLiteral("22/04/2024 Segunda"));
    QTest::newRow("a month without slots")
        << d << m10 << QDate(2024, 7, 2) << false << true << false << 0
        << msg("MES_SEM_POSICAO").arg(QStringLiteral("07/2024"), QStringLiteral("00001 ALMOÇO"));
    QTest::newRow("lined up, another weekday")
        << QDate(2024, 4, 23) << m10 << e << true << true << false << 0
        << text("CYCLE_ALIGN_WEEKDAY")
               .arg(QStringLiteral("23/04/2024 Terça"), QStringLiteral("04/03/2024 Segunda"));
    QTest::newRow("lined up, not whole weeks")
        << d << QDate(2024, 3, 9) << e << true << true << false << 0
        << text("CYCLE_ALIGN_LENGTH").arg(countText("CYCLE_DAYS", 6));
    // the period would copy the cycle over its own source days
    QTest::newRow("period over the source days")
        << QDate(2024, 3, 1) << m10 << QDate(2024, 3, 20) << false << true << false << 0
        << msg("MESMO_CARD");
}

void TestImport::cycleOverMonths()
{
    QFETCH(QDate, destination);
    QFETCH(QDate, to);
    QFETCH(QDate, until);
    QFETCH(bool, align);
    QFETCH(bool, append);
    QFETCH(bool, planned);
    QFETCH(int, stopAt);
    QFETCH(QString, message);
    ImportFixture f;
    const QString b = QLatin1String(ImportFixture::kBranch), lunch = QLatin1String(f.kLunch);
    // each day of the cycle has its own main dish; May has one salad slot, June three slots
    // of its own, and 1 May is a holiday
    for (const auto &[day, dish] : {std::pair{M5, "P2"}, std::pair{M6, "P3"}})
        f.db.exec(QStringLiteral("UPDATE COMPCARD SET CDPRATO = ? WHERE DTCARDAPIO = ? AND "
                                 "CDPRATO = 'P1'"),
                  {QLatin1String(dish), day});
    const QDate may(2024, 5, 1), june(2024, 6, 1);
    f.db.addSlot(b, lunch, may, 21, QStringLiteral("01"), 1);
    f.db.addSlot(b, lunch, may, 23, QStringLiteral("02"), 1);
    for (const auto &[seq, type, order] : {std::tuple{31, "01", 1}, {32, "01", 2}, {33, "02", 1}})
        f.db.addSlot(b, lunch, june, seq, QLatin1String(type), order);
    f.db.addHoliday(b, may);
    const QDate planDay(2024, 5, 7);
    if (planned) {
        f.db.addHeader(b, lunch, planDay, QStringLiteral("0001"), QStringLiteral("950"), 150, may);
        f.db.addDish(b, QStringLiteral("950"), QStringLiteral("0001"), 21, QStringLiteral("XX"),
                     QStringLiteral("SOPA"), QStringLiteral("01"), 30, 1, planDay, lunch);
    }
    const auto menus = [&] {
        return f.db.dump(QStringLiteral("CARDADIA")) + f.db.dump(QStringLiteral("COMPCARD"));
    };
    const QStringList before = menus();
    const auto run = [&](bool dryRun, const std::function<void()> &pump = {}) {
        ImpoCardHosp &s = f.open(destination);
        f.request.until = until;
        f.request.alignWeekday = align;
        f.choose(M4, to, append);
        s.setDryRun(dryRun);
        if (pump)
            s.setMessagePump(pump);
        return f.import();
    };
    const auto shape = [&] {
        QJsonObject o = QJsonDocument::fromJson(f.screen->report().toJson()).object();
        for (const char *key : {"head", "preview", "startedAt", "runId", "closingText", "summary"})
            o.remove(QLatin1String(key));
        return o;
    };
    if (!message.isEmpty()) {
        QVERIFY(!run(false));
        QCOMPARE(f.presenter.errors, QStringList{message});
        // the cycle's own checks point at "Repetir até"
        if (message.contains(QStringLiteral("Repetir até")) ||
            message.contains(QStringLiteral("alinhar")))
            QCOMPARE(f.focusMoves, QList{ImpoCardHosp::depRepetirAte});
        QCOMPARE(menus(), before);
        return;
    }

    QVERIFY2(run(true), qPrintable(f.presenter.errors.join(u'\n')));
    QCOMPARE(menus(), before);
    const QJsonObject dryRun = shape();
    if (stopAt > 0) {
        bool held = false;
        QVERIFY(!run(false, [&] {
            if (!held && f.screen->report().entries.size() >= stopAt) {
                while (f.db.count(QStringLiteral("LOTEIMPORT")) == 0)
                    QThread::msleep(5);
                f.db.holdWriteLock();
                held = true;
            }
        }));
        f.db.release();
        QVERIFY(f.screen->report().storedCount() > 0);
        QVERIFY(menus() != before);
    }
    QVERIFY2(run(false), qPrintable(f.presenter.errors.join(u'\n')));
    if (stopAt == 0)
        QCOMPARE(shape(), dryRun);

    // by hand: a day of the cycle without a menu and the holiday get nothing; each month
    // its own slots and month reference
    const auto apr = [](const char *p) {
        return QStringLiteral("11:S1:40;12:S2:40;13:%1:100").arg(QLatin1String(p));
    };
    const auto mayDishes = [](const char *p) {
        return QStringLiteral("21:S1:40;23:%1:100").arg(QLatin1String(p));
    };
    const auto jun = [](const char *p) {
        return QStringLiteral("31:S1:40;32:S2:40;33:%1:100").arg(QLatin1String(p));
    };
    QStringList expected{
        QStringLiteral("2024-04-22 ") + apr("P1"), QStringLiteral("2024-04-23 ") + apr("P2"),
        QStringLiteral("2024-04-24 ") + apr("P3"), QStringLiteral("2024-04-29 ") + apr("P1"),
        QStringLiteral("2024-04-30 ") + apr("P2")};
    for (int monday : {6, 13, 20, 27}) {
        for (const char *p : {"P1", "P2", "P3"})
            expected.append(QDate(2024, 5, monday + int(p[1] - '1')).toString(Qt::ISODate) + u' ' +
                            mayDishes(p));
    }
    for (const auto &[day, p] : {std::pair{3, "P1"}, {4, "P2"}, {5, "P3"}, {10, "P1"}, {11, "P2"}})
        expected.append(QDate(2024, 6, day).toString(Qt::ISODate) + u' ' + jun(p));
    if (planned)
        expected[6] = QStringLiteral("2024-05-07 ") +
                      (append ? QStringLiteral("21:XX:30;23:P2:100") : mayDishes("P2"));
    QStringList days;
    QSqlQuery q(f.db.db());
    q.exec(QStringLiteral("SELECT DTCARDAPIO, DTMESCARD FROM CARDADIA WHERE CDDIETPAD = '0001' "
                          "AND CDSERVFILI = '00001' AND DTCARDAPIO >= '2024-04-01' ORDER BY 1"));
    while (q.next()) {
        const QDate day = q.value(0).toDate();
        QVERIFY2(q.value(1).toDate() == firstDayOfMonth(day), qPrintable(day.toString()));
        days.append(day.toString(Qt::ISODate) + u' ' + f.dishesOf(day, QStringLiteral("0001")));
    }
    QCOMPARE(days, expected);
    const QStringList after = menus();
    const QString runId = f.screen->report().runId;
    if (append) {
        // the same append again adds nothing
        QVERIFY(run(false));
        QCOMPARE(menus(), after);
    }
    if (stopAt == 0) {
        // the undo of the run takes back every month
        RunUndo(*f.screen->connection()).undo(runId, QString(), false);
        QCOMPARE(menus(), before);
    }
}
