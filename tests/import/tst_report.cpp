// The import report checked against what the database holds after the same run,
// the dry run checked against the database it must not touch and against the real
// run that follows it, and the portions the rounding adds.

#include "dates.h"
#include "importfixture.h"
#include "messages.h"
#include "sqlsession.h"
#include "texts.h"

#include <QSet>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace zov;
using namespace zov::test;

namespace {

const QDate M4 = QDate(2024, 3, 4);
const QDate M5 = QDate(2024, 3, 5);
const QDate M6 = QDate(2024, 3, 6);
const QString B1 = QStringLiteral("B1");
const QString Lunch = QStringLiteral("00001");
const QString Livre = QStringLiteral("0001");
const QString Branda = QStringLiteral("0002");

using Outcome = ImportReport::Outcome;

// The dish rows of a menu as "slot:dish".
QSet<QString> menuRows(const TestDatabase &db, const QString &number, const QString &diet)
{
    QSqlQuery q(db.db());
    q.prepare(QStringLiteral("SELECT NRSEQPRATCAR, CDPRATO FROM COMPCARD WHERE CDFILIAL = ? AND "
                             "NRCARDAPIO = ? AND CDDIETPAD = ?"));
    q.addBindValue(B1);
    q.addBindValue(number);
    q.addBindValue(diet);
    q.exec();
    QSet<QString> rows;
    while (q.next())
        rows.insert(QStringLiteral("%1:%2").arg(q.value(0).toInt()).arg(q.value(1).toString()));
    return rows;
}

QStringList tables(const TestDatabase &db)
{
    QSqlQuery q(db.db());
    q.exec(db.postgres() ? QStringLiteral("SELECT table_name FROM information_schema.tables "
                                          "WHERE table_schema = current_schema()")
                         : QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' "
                                          "AND name NOT LIKE 'sqlite_%'"));
    QStringList names;
    while (q.next())
        names.append(q.value(0).toString());
    names.sort();
    return names;
}

QMap<QString, QStringList> everyRow(const TestDatabase &db)
{
    QMap<QString, QStringList> all;
    for (const QString &table : tables(db))
        all.insert(table, db.dump(table));
    return all;
}

int count(const ImportReport &r, Outcome outcome)
{
    int n = 0;
    for (const ImportReport::DayDiet &e : r.entries) {
        for (const ImportReport::Dish &d : e.dishes)
            n += d.outcome == outcome ? 1 : 0;
    }
    return n;
}

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reportMatchesTheDatabase_data();
    void reportMatchesTheDatabase();
    void dryRunStoresNothingAndForetellsTheRun_data();
    void dryRunStoresNothingAndForetellsTheRun();
    void roundingCostPerDayAndDiet_data();
    void roundingCostPerDayAndDiet();
    void stoppedRunReportsWhatWasStored();
    void csvKeepsEveryDishOnItsLine_data();
    void csvKeepsEveryDishOnItsLine();
    void textGroupsTheDaysByMonth_data();
    void textGroupsTheDaysByMonth();
    void reportFileIsWholeOrNotAtAll_data();
    void reportFileIsWholeOrNotAtAll();
    void dryRunSessionCannotWrite();
};

// --- the report against the database ----------------------------------------------

void TestReport::reportMatchesTheDatabase_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("append");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("copied");
    QTest::addColumn<int>("slotTaken");
    QTest::addColumn<int>("noSlot");
    QTest::addColumn<int>("noDiners");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<int>("noType");
    QTest::addColumn<QString>("closing");
    const QString ok = QStringLiteral("SUCESSO");

    // three source days, two diets, three dishes each
    QTest::newRow("empty days") << "" << true << 6 << 18 << 0 << 0 << 0 << 0 << 0 << ok;
    QTest::newRow("taken slot, append")
        << "taken" << true << 6 << 17 << 1 << 0 << 0 << 0 << 0 << ok;
    QTest::newRow("taken slot, overwrite")
        << "taken" << false << 6 << 18 << 0 << 0 << 0 << 0 << 0 << ok;
    QTest::newRow("more salads than slots")
        << "extra" << true << 6 << 18 << 0 << 2 << 0 << 0 << 0 << ok;
    QTest::newRow("non-working day") << "holiday" << true << 4 << 12 << 0 << 0 << 0 << 1 << 0 << ok;
    QTest::newRow("no diners") << "nodiners" << true << 6 << 15 << 0 << 0 << 3 << 0 << 0
                               << QStringLiteral("COMEN_ZERO");
    // the same append again stores nothing and says so
    QTest::newRow("second append")
        << "again" << true << 6 << 0 << 18 << 0 << 0 << 0 << 0 << QStringLiteral("NADA_IMPORTAR");
    // a source dish without a dish type is not copied, and is named
    QTest::newRow("a dish without type")
        << "notype" << true << 6 << 17 << 0 << 0 << 0 << 0 << 1 << ok;
}

void TestReport::reportMatchesTheDatabase()
{
    QFETCH(QString, setup);
    QFETCH(bool, append);
    QFETCH(int, entries);
    QFETCH(int, copied);
    QFETCH(int, slotTaken);
    QFETCH(int, noSlot);
    QFETCH(int, noDiners);
    QFETCH(int, skipped);
    QFETCH(int, noType);
    QFETCH(QString, closing);

    ImportFixture f;
    if (setup == QLatin1String("taken")) {
        f.db.addHeader(B1, Lunch, f.april(1), Livre, QStringLiteral("900"), 150);
        f.db.addDish(B1, QStringLiteral("900"), Livre, 11, QStringLiteral("X9"),
                     QStringLiteral("PEPINO"), QStringLiteral("01"), 30, 1, f.april(1), Lunch);
        f.db.addDish(B1, QStringLiteral("900"), Livre, 77, QStringLiteral("X8"),
                     QStringLiteral("FORA DA GRADE"), QStringLiteral("02"), 30, 9, f.april(1),
                     Lunch);
    } else if (setup == QLatin1String("extra")) {
        // a third salad on the 4th for both diets; April has two salad slots
        for (const QString &diet : {Livre, Branda}) {
            const QString nr = f.db.scalar(QStringLiteral("SELECT NRCARDAPIO FROM CARDADIA WHERE "
                                                          "DTCARDAPIO = ? AND CDDIETPAD = ?"),
                                           {M4, diet})
                                   .toString();
            f.db.addDish(B1, nr, diet, 4, QStringLiteral("S3"), QStringLiteral("RÚCULA"),
                         QStringLiteral("01"), 30, 3, M4, Lunch);
        }
    } else if (setup == QLatin1String("holiday")) {
        f.db.addHoliday(B1, f.april(2));
    } else if (setup == QLatin1String("nodiners")) {
        // no diners for BRANDA on Tuesdays (April 2nd)
        f.db.exec(QStringLiteral("UPDATE ESTIDIETA SET QTCOMESTICAR = 0 WHERE CDDIETPAD = '0002' "
                                 "AND NRDIASEMANA = 3"));
    } else if (setup == QLatin1String("notype")) {
        f.db.exec(QStringLiteral("UPDATE COMPCARD SET CDTIPOPRAT = NULL WHERE CDPRATO = 'P1' AND "
                                 "DTCARDAPIO = '2024-03-05' AND CDDIETPAD = '0001'"));
    } else if (setup == QLatin1String("again")) {
        f.open(f.april(1));
        f.choose(M4, M6);
        QVERIFY(f.import());
    }
    ImpoCardHosp &s = f.open(f.april(1));
    // the menus as they are before the run (the entry values name the service)
    QMap<QString, QSet<QString>> before;
    for (const QString &diet : {Livre, Branda}) {
        for (int day = 1; day <= 3; ++day) {
            const QString nr =
                f.headerValue(f.april(day), diet, QStringLiteral("NRCARDAPIO")).toString();
            before.insert(nr + QLatin1Char('/') + diet, menuRows(f.db, nr, diet));
        }
    }

    f.choose(M4, M6, append, 1);
    QVERIFY(f.import());
    const ImportReport &r = s.report();
    QVERIFY(r.finished);
    QVERIFY(!r.preview);
    QCOMPARE(r.entries.size(), entries);
    QCOMPARE(count(r, Outcome::Copied), copied);
    QCOMPARE(count(r, Outcome::SlotTaken), slotTaken);
    QCOMPARE(count(r, Outcome::NoSlot), noSlot);
    QCOMPARE(count(r, Outcome::NoDiners), noDiners);
    QCOMPARE(r.skippedDays.size(), skipped);
    QCOMPARE(count(r, Outcome::NoType), noType);
    // every source dish of the run is in the report, copied or left out
    int dishes = 0;
    for (const ImportReport::DayDiet &e : r.entries) {
        dishes += static_cast<int>(e.dishes.size());
        QCOMPARE(e.dishes.size(),
                 s.cdsCardOrigem
                     .valuesWhere(QStringLiteral("DTCARDAPIO;CDDIETPAD"), {e.sourceDay, e.diet},
                                  {QStringLiteral("CDPRATO")})
                     .size());
    }
    QCOMPARE(r.totals().copied + r.totals().left, dishes);
    QCOMPARE(r.closingText, TMessages::Msg(closing));
    for (const QDate &d : r.skippedDays)
        QVERIFY(f.headerValue(d, Livre, QStringLiteral("NRCARDAPIO")).isNull());

    int stored = 0;
    for (const ImportReport::DayDiet &e : r.entries) {
        const QString where = QStringLiteral("%1 %2").arg(shortDate(e.day), e.diet);
        const QString number =
            f.headerValue(e.day, e.diet, QStringLiteral("NRCARDAPIO")).toString();
        stored += e.stored ? 1 : 0;
        if (!e.stored) {
            // what the run did not store is not in the database
            if (e.header == ImportReport::Header::Created)
                QVERIFY2(number.isEmpty(), qPrintable(where));
            QCOMPARE(e.copied(), 0);
            continue;
        }
        QCOMPARE(number, e.menuNumber);
        QCOMPARE(f.headerValue(e.day, e.diet, QStringLiteral("QTCOMESTICAR")).toDouble(), e.diners);
        QCOMPARE(f.headerValue(e.day, e.diet, QStringLiteral("QTESTITURNO1")).toDouble(),
                 e.shifts.value(0));
        QCOMPARE(f.headerValue(e.day, e.diet, QStringLiteral("QTESTITURNO2")).toDouble(),
                 e.shifts.value(1));

        // the menu holds what it held (unless cleared) and exactly the copied dishes more
        QSet<QString> expected =
            e.cleared ? QSet<QString>() : before.value(number + QLatin1Char('/') + e.diet);
        if (e.cleared)
            QCOMPARE(e.removed, before.value(number + QLatin1Char('/') + e.diet).size());
        for (const ImportReport::Dish &d : e.dishes) {
            if (d.outcome != Outcome::Copied)
                continue;
            expected.insert(QStringLiteral("%1:%2").arg(d.slot).arg(d.dish));
            const double stored =
                f.db.scalar(QStringLiteral("SELECT VRPECONSCARD FROM COMPCARD "
                                           "WHERE CDFILIAL = ? AND NRCARDAPIO = ? "
                                           "AND NRSEQPRATCAR = ?"),
                            {B1, number, d.slot})
                    .toDouble();
            QVERIFY2(qAbs(stored - d.perCapitaAfter) < 1e-9, qPrintable(where));
        }
        QCOMPARE(menuRows(f.db, number, e.diet), expected);
    }
    QVERIFY(stored > 0 || copied == 0);
    // a run that stored nothing is no run to undo
    if (stored == 0)
        QCOMPARE(f.db.count(QStringLiteral("IMPORTACAO"),
                            QStringLiteral("IDIMPORTACAO = '%1'").arg(r.runId)),
                 0);
}

// --- the dry run ----------------------------------------------------------------------

void TestReport::dryRunStoresNothingAndForetellsTheRun_data()
{
    QTest::addColumn<bool>("append");
    QTest::addColumn<bool>("earlierRun"); // the server has handed out numbers before
    QTest::newRow("append, fresh server") << true << false;
    QTest::newRow("overwrite, fresh server") << false << false;
    QTest::newRow("append after a real run") << true << true;
    QTest::newRow("overwrite after a real run") << false << true;
}

void TestReport::dryRunStoresNothingAndForetellsTheRun()
{
    QFETCH(bool, append);
    QFETCH(bool, earlierRun);
    ImportFixture f;
    // a day with dishes of its own, so that an overwrite would remove some
    f.db.addHeader(B1, Lunch, f.april(2), Livre, QStringLiteral("900"), 150);
    f.db.addDish(B1, QStringLiteral("900"), Livre, 11, QStringLiteral("X9"),
                 QStringLiteral("PEPINO"), QStringLiteral("01"), 30, 1, f.april(2), Lunch);
    if (earlierRun) {
        f.open(f.april(15));
        f.choose(M4);
        QVERIFY(f.import());
    }
    const QMap<QString, QStringList> before = everyRow(f.db);

    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M6, append, 7);
    QSignalSpy closed(&s, &ImpoCardHosp::modalResultChanged);
    s.setDryRun(true);
    QVERIFY(f.import());
    const ImportReport preview = s.report();
    QVERIFY(preview.preview);
    QVERIFY(preview.finished);
    QCOMPARE(preview.entries.size(), 6);
    QVERIFY(preview.batches > 0);
    // the screen stays open and shows no closing dialog
    QCOMPARE(closed.count(), 0);
    QCOMPARE(s.modalResult(), 0);
    QVERIFY(f.presenter.informations.isEmpty());
    QVERIFY(f.presenter.warnings.isEmpty());
    // not a row of any table changed, the number sequence included
    QCOMPARE(everyRow(f.db), before);

    // the real run from the same screen does what the preview said, numbers included
    s.setDryRun(false);
    QVERIFY(f.import());
    ImportReport real = s.report();
    QVERIFY(!real.preview);
    QCOMPARE(closed.count(), 1);
    // the real run has an id to be undone by; the preview, none
    QVERIFY(!real.runId.isEmpty() && preview.runId.isEmpty());
    real.preview = true;
    real.runId.clear();
    real.startedAt = preview.startedAt; // a moment later
    for (ImportReport::DayDiet &e : real.entries)
        QVERIFY(e.stored);
    QCOMPARE(QString::fromUtf8(real.toJson()), QString::fromUtf8(preview.toJson()));
    QVERIFY(everyRow(f.db) != before);
}

// --- the cost of rounding ---------------------------------------------------------------

void TestReport::roundingCostPerDayAndDiet_data()
{
    QTest::addColumn<double>("rounding");
    QTest::addColumn<int>("semArredondamento");
    QTest::addColumn<double>("livre");  // 150 diners: salads of 60 portions, main dish 150
    QTest::addColumn<double>("branda"); // 80 diners: salads of 32 portions, main dish 80

    QTest::newRow("1") << 1.0 << 0 << 0.0 << 0.0;
    QTest::newRow("7") << 7.0 << 0 << 10.0 << 10.0;   // 63, 63, 154 / 35, 35, 84
    QTest::newRow("2.5") << 2.5 << 0 << 0.0 << 1.0;   // 60, 60, 150 / 32.5, 32.5, 80
    QTest::newRow("9.5") << 9.5 << 0 << 15.0 << 17.5; // 66.5, 66.5, 152 / 38, 38, 85.5
    QTest::newRow("0") << 0.0 << 0 << 0.0 << 0.0;     // no rounding
    QTest::newRow("7, rounding off") << 7.0 << 1 << 0.0 << 0.0;
}

void TestReport::roundingCostPerDayAndDiet()
{
    QFETCH(double, rounding);
    QFETCH(int, semArredondamento);
    QFETCH(double, livre);
    QFETCH(double, branda);
    ImportFixture f;
    ImpoCardHosp &s = f.open(f.april(1), semArredondamento);
    f.choose(M4, {}, true, rounding);
    QVERIFY(f.import());
    const ImportReport &r = s.report();
    QCOMPARE(r.entries.size(), 2);
    for (const ImportReport::DayDiet &e : r.entries) {
        const double expected = e.diet == Livre ? livre : branda;
        QVERIFY2(qAbs(e.roundingCost() - expected) < 1e-9,
                 qPrintable(QStringLiteral("%1: %2").arg(e.diet).arg(e.roundingCost())));
        // the stored per-capita values give the portions the report shows
        for (const ImportReport::Dish &d : e.dishes) {
            const double v = f.db.scalar(QStringLiteral("SELECT VRPECONSCARD FROM COMPCARD WHERE "
                                                        "CDFILIAL = ? AND NRCARDAPIO = ? AND "
                                                        "NRSEQPRATCAR = ?"),
                                         {B1, e.menuNumber, d.slot})
                                 .toDouble();
            QVERIFY(qAbs(e.diners * v / 100 - d.portionsAfter) < 1e-6);
        }
    }
    // the JSON and the CSV carry the totals
    const QByteArray json = r.toJson();
    QVERIFY(json.contains("\"roundingCost\""));
    const QStringList csv = QString::fromUtf8(r.toCsv()).split(QLatin1Char('\n'));
    // who ran it, when and how; then, each after an empty line, the dishes (three per
    // diet), the days and diets with their totals, and the summary
    QVERIFY(csv.first().contains(r.runId) && csv.first().contains(QStringLiteral("PLANEJADOR")));
    QCOMPARE(csv.at(2), text("REPORT_CSV_HEADER"));
    QCOMPARE(csv.mid(9, 2), (QStringList{QString(), text("REPORT_CSV_DAYS_HEADER")}));
    // dishes, copied, the portions the rounding added, none removed, stored
    QVERIFY(csv.at(11).endsWith(QStringLiteral(";3;3;%1,000;;sim").arg(livre)));
    QCOMPARE(csv.at(13), QString());
    QCOMPARE(csv.at(14), QStringLiteral("Resumo;") + ImportReport::csvField(r.summary().first()));
}

// --- a run stopped by the server ----------------------------------------------------------

void TestReport::stoppedRunReportsWhatWasStored()
{
    ImportFixture f;
    // the database refuses the main dish of April 2nd
    f.db.refuseDishes(QStringLiteral("NEW.CDPRATO = 'P1' AND NEW.DTCARDAPIO = '2024-04-02'"),
                      QStringLiteral("prato recusado"));
    ImpoCardHosp &s = f.open(f.april(1));
    f.choose(M4, M6);
    QVERIFY(!f.import());
    const ImportReport &r = s.report();
    QVERIFY(!r.finished);
    QCOMPARE(r.batches, 2); // April 1st, both diets
    for (const ImportReport::DayDiet &e : r.entries) {
        const QString number =
            f.headerValue(e.day, e.diet, QStringLiteral("NRCARDAPIO")).toString();
        QCOMPARE(e.stored, e.day == f.april(1));
        QCOMPARE(menuRows(f.db, number, e.diet).size(), e.stored ? e.copied() : 0);
    }
    // the totals count what was stored; the refused batch's dishes are named apart
    const ImportReport::Totals t = r.totals();
    QCOMPARE(t.copied,
             f.db.count(QStringLiteral("COMPCARD"), QStringLiteral("DTCARDAPIO >= '2024-04-01'")));
    int refused = 0;
    for (const ImportReport::DayDiet &e : r.entries)
        refused += e.stored ? 0 : e.copied();
    QVERIFY(refused > 0);
    QCOMPARE(t.notStored, refused);
    QVERIFY(r.toText().contains(countText("REPORT_NOT_STORED_DISHES", refused)));
    // the footnote says the batch was refused, and why
    const QString refusal = r.entries.constLast().refusal;
    QVERIFY2(refusal.contains(QStringLiteral("prato recusado")), qPrintable(refusal));
    QVERIFY(r.toText().contains(text("REPORT_TEXT_REFUSED").arg(refusal)));
    QVERIFY(!r.toText().contains(text("REPORT_TEXT_UNSENT")));
}

void TestReport::csvKeepsEveryDishOnItsLine_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("field");
    QTest::newRow("plain") << "ARROZ"
                           << ";ARROZ;";
    QTest::newRow("semicolon") << "ARROZ; FEIJÃO"
                               << ";\"ARROZ; FEIJÃO\";";
    QTest::newRow("quotes") << "ARROZ \"SOLTINHO\""
                            << ";\"ARROZ \"\"SOLTINHO\"\"\";";
    QTest::newRow("line feed") << "ARROZ\nCOM ALHO"
                               << ";\"ARROZ\nCOM ALHO\";";
    QTest::newRow("carriage return") << "ARROZ\rCOM ALHO"
                                     << ";\"ARROZ\rCOM ALHO\";";
    QTest::newRow("the diet's name beside its code") << "ARROZ"
                                                     << "01/04/2024;;0001;LIVRE;";
}

void TestReport::csvKeepsEveryDishOnItsLine()
{
    QFETCH(QString, name);
    QFETCH(QString, field);
    ImportReport r;
    r.finished = true;
    ImportReport::DayDiet e;
    e.day = QDate(2024, 4, 1);
    e.diet = QStringLiteral("0001");
    e.stored = true;
    r.dietNames.insert(e.diet, QStringLiteral("LIVRE"));
    ImportReport::Dish d;
    d.slot = 1;
    d.name = name;
    e.dishes.append(d);
    r.entries.append(e);
    const QString csv = QString::fromUtf8(r.toCsv());
    QVERIFY2(csv.contains(field), qPrintable(csv));
}

void TestReport::textGroupsTheDaysByMonth_data()
{
    QTest::addColumn<QList<QDate>>("days");
    QTest::addColumn<QList<QDate>>("skipped");
    QTest::addColumn<QStringList>("headings"); // "heading|the first day below it"
    QTest::newRow("one month: no heading")
        << QList<QDate>{M4, M5, M6} << QList<QDate>{QDate(2024, 3, 7)} << QStringList();
    QTest::newRow("two months") << QList<QDate>{QDate(2024, 3, 30), QDate(2024, 3, 31),
                                                QDate(2024, 4, 1)}
                                << QList<QDate>()
                                << QStringList{"Março de 2024|30/03/2024",
                                               "Abril de 2024|01/04/2024"};
    QTest::newRow("a skipped day opens the second month")
        << QList<QDate>{QDate(2024, 3, 31)} << QList<QDate>{QDate(2024, 4, 1)}
        << QStringList{"Março de 2024|31/03/2024", "Abril de 2024|01/04/2024"};
}

void TestReport::textGroupsTheDaysByMonth()
{
    QFETCH(QList<QDate>, days);
    QFETCH(QList<QDate>, skipped);
    QFETCH(QStringList, headings);
    ImportReport r;
    ImportReport::DayDiet e;
    e.diet = Livre;
    for (const QDate &day : days) {
        e.day = day;
        r.entries.append(e);
    }
    r.skippedDays = skipped;
    QCOMPARE(r.grid().rows.size(), days.size() + skipped.size() + headings.size());
    const QString shown = r.toText();
    const QStringList lines = shown.split(QLatin1Char('\n'));
    qsizetype at = 0;
    for (const QString &heading : std::as_const(headings)) {
        at = lines.indexOf(heading.section(QLatin1Char('|'), 0, 0), at);
        QVERIFY2(at > 0 && lines.at(at + 1).startsWith(heading.section(QLatin1Char('|'), 1)),
                 qPrintable(shown));
    }
}

void TestReport::reportFileIsWholeOrNotAtAll_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("sizeLimit"); // bytes a file of this process may hold, 0: any
    QTest::addColumn<bool>("csv");
    QTest::newRow("csv, with a byte-order mark") << "report.csv" << 0 << true;
    QTest::newRow("csv in capitals") << "REPORT.CSV" << 0 << true;
    QTest::newRow("json") << "report.json" << 0 << false;
    QTest::newRow("a full disk leaves the old file") << "report.csv" << 16 << true;
}

void TestReport::reportFileIsWholeOrNotAtAll()
{
    QFETCH(QString, name);
    QFETCH(int, sizeLimit);
    QFETCH(bool, csv);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
    old.close();
    ImportReport r;
    r.finished = true;
    ImportReport::DayDiet e;
    e.day = QDate(2024, 4, 1);
    e.diet = QStringLiteral("0001");
    ImportReport::Dish d;
    d.name = QStringLiteral("FEIJÃO");
    e.dishes.append(d);
    r.entries.append(e);
    QSaveFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit limited = before;
    if (sizeLimit > 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        limited.rlim_cur = static_cast<rlim_t>(sizeLimit);
    }
    setrlimit(RLIMIT_FSIZE, &limited);
    const QString problem = saveReport(file, r);
    setrlimit(RLIMIT_FSIZE, &before);
    QVERIFY(old.open(QIODevice::ReadOnly));
    const QByteArray stored = old.readAll();
    if (sizeLimit > 0) {
        QVERIFY(!problem.isEmpty());
        QCOMPARE(stored, QByteArray("old"));
        return;
    }
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(stored, csv ? QByteArray("\xEF\xBB\xBF") + r.toCsv() : r.toJson());
}

// --- the server side of a dry run ---------------------------------------------------------

void TestReport::dryRunSessionCannotWrite()
{
    ImportFixture f;
    SqlSession session(f.db.config(), QStringLiteral("dry-run-session"));
    const QString insert =
        QStringLiteral("INSERT INTO TIPOPRAT (CDTIPOPRAT, NMTIPOPRAT) VALUES (?, ?)");
    session.setDryRun(true);
    // outside a transaction a write is refused
    QVERIFY_THROWS_EXCEPTION(SqlFailure,
                             session.exec(insert, {QStringLiteral("09"), QStringLiteral("SOPA")}));
    // inside one it is undone, whatever asked for the commit
    {
        WriteTransaction t(session);
        session.exec(insert, {QStringLiteral("09"), QStringLiteral("SOPA")});
        t.commit();
    }
    QCOMPARE(f.db.count(QStringLiteral("TIPOPRAT"), QStringLiteral("CDTIPOPRAT = '09'")), 0);
    // the same session, out of the dry run, writes again
    session.setDryRun(false);
    {
        WriteTransaction t(session);
        session.exec(insert, {QStringLiteral("09"), QStringLiteral("SOPA")});
        t.commit();
    }
    QCOMPARE(f.db.count(QStringLiteral("TIPOPRAT"), QStringLiteral("CDTIPOPRAT = '09'")), 1);
}

QTEST_GUILESS_MAIN(TestReport)
#include "tst_report.moc"
