#include "database.h"
#include "demoseed.h"
#include "error.h"
#include "schema.h"

#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <tuple>

using namespace zov;

namespace {

const QStringList kTables = {
    QStringLiteral("FILIAL"),   QStringLiteral("SERVICO"),      QStringLiteral("DIETPADR"),
    QStringLiteral("DIETSERV"), QStringLiteral("TURNOSERV"),    QStringLiteral("FERIFILI"),
    QStringLiteral("FERICARD"), QStringLiteral("PARAMPLANEJA"), QStringLiteral("TIPOPRAT"),
    QStringLiteral("PRATO"),    QStringLiteral("CNFCAMES"),     QStringLiteral("CARDADIA"),
    QStringLiteral("COMPCARD"), QStringLiteral("ESTIDIETA"),    QStringLiteral("CARDSEQ")};

// The first column of the first row; -1 when the query fails or returns nothing.
QVariant value(QSqlDatabase &db, const QString &sql, const QVariantList &values = {})
{
    QSqlQuery q(db);
    q.prepare(sql);
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec() || !q.next()) {
        qWarning("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
        return -1;
    }
    return q.value(0);
}

// Row counts and a few sums of every table: equal fingerprints, nothing written.
QStringList fingerprint(QSqlDatabase &db)
{
    QStringList result;
    for (const QString &table : kTables)
        result.append(value(db, QStringLiteral("SELECT COUNT(*) FROM ") + table).toString());
    result.append(value(db, QStringLiteral("SELECT TOTAL(QTCOMESTICAR) FROM CARDADIA")).toString());
    result.append(value(db, QStringLiteral("SELECT TOTAL(NRSEQPRATCAR) FROM COMPCARD")).toString());
    return result;
}

} // namespace

class TestDemoSeed : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_connections = 0;
    QSqlDatabase m_march; // seeded once with March 2024 and only read

    QSqlDatabase freshDatabase()
    {
        const QString name = QStringLiteral("demo%1").arg(++m_connections);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(m_dir.filePath(name + QStringLiteral(".db")));
        if (!db.open())
            qFatal("cannot open %s", qPrintable(db.databaseName()));
        applySchema(db);
        QSqlQuery(db).exec(QStringLiteral("PRAGMA foreign_keys=ON"));
        return db;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_march = freshDatabase();
        seedDemo(m_march, QDate(2024, 3, 1));
    }

    void counts_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        const int any = 1000000;
        QTest::newRow("branches") << "SELECT COUNT(*) FROM FILIAL" << 2 << 2;
        QTest::newRow("services") << "SELECT COUNT(*) FROM SERVICO" << 6 << 6;
        QTest::newRow("services the search offers")
            << "SELECT COUNT(*) FROM SERVICO WHERE IDTIPOSERV = 'D' AND "
               "(IDTPSERVHOSP IS NULL OR IDTPSERVHOSP = '0')"
            << 4 << 4;
        QTest::newRow("diets") << "SELECT COUNT(*) FROM DIETPADR" << 8 << any;
        QTest::newRow("dish types") << "SELECT COUNT(*) FROM TIPOPRAT" << 6 << any;
        QTest::newRow("dishes") << "SELECT COUNT(*) FROM PRATO" << 60 << any;
        QTest::newRow("shifts") << "SELECT COUNT(*) FROM TURNOSERV" << 8 << 12;
        QTest::newRow("HC01 plans on workdays")
            << "SELECT COUNT(*) FROM PARAMPLANEJA WHERE CDFILIAL = 'HC01' AND IDCARDIAUTIL = 'S'"
            << 1 << 1;
        QTest::newRow("HC01 menus")
            << "SELECT COUNT(*) FROM CARDADIA WHERE CDFILIAL = 'HC01'" << 31 * 20 << 31 * 20;
        QTest::newRow("HN02 menus")
            << "SELECT COUNT(*) FROM CARDADIA WHERE CDFILIAL = 'HN02'" << 31 << any;
        QTest::newRow("dishes of the menus")
            << "SELECT COUNT(*) FROM COMPCARD" << 31 * 20 * 5 << any;
    }

    void counts()
    {
        QFETCH(QString, sql);
        QFETCH(int, minimum);
        QFETCH(int, maximum);
        const int count = value(m_march, sql).toInt();
        QVERIFY2(count >= minimum && count <= maximum, qPrintable(QString::number(count)));
    }

    // Each query counts the rows that break a rule.
    void invariants_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::newRow("dish without its header")
            << "SELECT COUNT(*) FROM COMPCARD P LEFT JOIN CARDADIA C ON C.CDFILIAL = P.CDFILIAL "
               "AND "
               "C.NRCARDAPIO = P.NRCARDAPIO AND C.CDDIETPAD = P.CDDIETPAD AND C.DTCARDAPIO = "
               "P.DTCARDAPIO AND C.CDSERVFILI = P.CDSERVFILI WHERE C.NRCARDAPIO IS NULL";
        QTest::newRow("dish outside the slots of its month")
            << "SELECT COUNT(*) FROM COMPCARD P JOIN CARDADIA C ON C.CDFILIAL = P.CDFILIAL AND "
               "C.NRCARDAPIO = P.NRCARDAPIO LEFT JOIN CNFCAMES M ON M.CDFILIAL = P.CDFILIAL AND "
               "M.CDSERVFILI = P.CDSERVFILI AND M.DTREFECNFMES = C.DTMESCARD AND M.NRSEQCNFMES = "
               "P.NRSEQPRATCAR AND M.CDTIPOPRAT = P.CDTIPOPRAT AND M.NRORDCNFMES = P.NRORDPRATCAR "
               "WHERE M.NRSEQCNFMES IS NULL";
        QTest::newRow("dish unlike the catalogue")
            << "SELECT COUNT(*) FROM COMPCARD P LEFT JOIN PRATO D ON D.CDFILAUXPRAT = "
               "P.CDFILAUXPRAT "
               "AND D.CDPRATO = P.CDPRATO AND D.NMPRATO = P.NMPRATO AND D.CDTIPOPRAT = "
               "P.CDTIPOPRAT "
               "AND D.VRPECONSPAD = P.VRPECONSCARD WHERE D.CDPRATO IS NULL";
        QTest::newRow("type label")
            << "SELECT COUNT(*) FROM COMPCARD P JOIN TIPOPRAT T ON "
               "T.CDTIPOPRAT = P.CDTIPOPRAT WHERE P.NMTIPOPRAT <> "
               "printf('%03d', P.NRORDPRATCAR) || T.CDTIPOPRAT || T.NMTIPOPRAT";
        QTest::newRow("free diet with an empty slot")
            << "SELECT COUNT(*) FROM CARDADIA C WHERE C.CDDIETPAD = '0001' AND (SELECT COUNT(*) "
               "FROM "
               "COMPCARD P WHERE P.CDFILIAL = C.CDFILIAL AND P.NRCARDAPIO = C.NRCARDAPIO) <> "
               "(SELECT "
               "COUNT(*) FROM CNFCAMES M WHERE M.CDFILIAL = C.CDFILIAL AND M.CDSERVFILI = "
               "C.CDSERVFILI AND M.DTREFECNFMES = C.DTMESCARD)";
        QTest::newRow("same main dish two days running")
            << "SELECT COUNT(*) FROM COMPCARD A JOIN COMPCARD B ON B.CDFILIAL = A.CDFILIAL AND "
               "B.CDSERVFILI = A.CDSERVFILI AND B.CDDIETPAD = A.CDDIETPAD AND B.NRSEQPRATCAR = "
               "A.NRSEQPRATCAR AND B.DTCARDAPIO = date(A.DTCARDAPIO, '+1 day') WHERE "
               "A.CDTIPOPRAT = '02' AND A.CDPRATO = B.CDPRATO";
        QTest::newRow("salad on a liquid diet")
            << "SELECT COUNT(*) FROM COMPCARD WHERE CDDIETPAD = '0004' AND CDTIPOPRAT = '01'";
        QTest::newRow("menu number not a positive integer")
            << "SELECT COUNT(*) FROM CARDADIA WHERE CAST(CAST(NRCARDAPIO AS INTEGER) AS TEXT) <> "
               "NRCARDAPIO OR CAST(NRCARDAPIO AS INTEGER) < 1";
        QTest::newRow("menu number beyond the sequence")
            << "SELECT COUNT(*) FROM CARDADIA C LEFT JOIN CARDSEQ S ON S.CDFILIAL = C.CDFILIAL "
               "WHERE S.NRULTCARD IS NULL OR CAST(C.NRCARDAPIO AS INTEGER) > S.NRULTCARD";
        QTest::newRow("estimate parts not summing up")
            << "SELECT COUNT(*) FROM ESTIDIETA WHERE QTCLIESTICAR + QTFUNESTICAR + QTDOAESTICAR <> "
               "QTCOMESTICAR OR QTCLIESTICAR < 1 OR QTFUNESTICAR < 1 OR QTDOAESTICAR < 1";
        QTest::newRow("diet without seven estimates")
            << "SELECT COUNT(*) FROM DIETSERV D JOIN SERVICO S ON S.CDFILIAL = D.CDFILIAL AND "
               "S.CDSERVFILI = D.CDSERVFILI WHERE S.IDTIPOSERV = 'D' AND (SELECT COUNT(*) FROM "
               "ESTIDIETA E WHERE E.CDFILIAL = D.CDFILIAL AND E.CDSERVFILI = D.CDSERVFILI AND "
               "E.CDDIETPAD = D.CDDIETPAD) <> 7";
        QTest::newRow("menu not estimated for its weekday")
            << "SELECT COUNT(*) FROM CARDADIA C LEFT JOIN ESTIDIETA E ON E.CDFILIAL = C.CDFILIAL "
               "AND "
               "E.CDSERVFILI = C.CDSERVFILI AND E.CDDIETPAD = C.CDDIETPAD AND E.NRDIASEMANA = "
               "CAST(strftime('%w', C.DTCARDAPIO) AS INTEGER) + 1 AND E.QTCOMESTICAR = "
               "C.QTCOMESTICAR "
               "AND E.QTCLIESTICAR = C.QTCLIESTICAR AND E.QTFUNESTICAR = C.QTFUNESTICAR AND "
               "E.QTDOAESTICAR = C.QTDOAESTICAR WHERE E.CDDIETPAD IS NULL";
        QTest::newRow("first shift not from its day")
            << "SELECT COUNT(*) FROM CARDADIA C JOIN TURNOSERV T ON T.CDFILIAL = C.CDFILIAL AND "
               "T.CDSERVFILI = C.CDSERVFILI AND T.CDTURNO = '1' WHERE C.QTESTITURNO1 IS NOT CASE "
               "WHEN EXISTS (SELECT 1 FROM FERICARD F WHERE F.CDFILIAL = C.CDFILIAL AND "
               "F.DTFERICARD = C.DTCARDAPIO) THEN T.QTCOMESTTFER ELSE CASE strftime('%w', "
               "C.DTCARDAPIO) WHEN '0' THEN T.QTCOMESTTDOM WHEN '1' THEN T.QTCOMESTTSEG WHEN '2' "
               "THEN T.QTCOMESTTTER WHEN '3' THEN T.QTCOMESTTQUA WHEN '4' THEN T.QTCOMESTTQUI WHEN "
               "'5' THEN T.QTCOMESTTSEX ELSE T.QTCOMESTTSAB END END";
        QTest::newRow("Good Friday not on the holiday column")
            << "SELECT 1 - COUNT(*) FROM CARDADIA C JOIN TURNOSERV T ON T.CDFILIAL = C.CDFILIAL "
               "AND "
               "T.CDSERVFILI = C.CDSERVFILI AND T.CDTURNO = '1' WHERE C.CDFILIAL = 'HC01' AND "
               "C.CDSERVFILI = '00001' AND C.CDDIETPAD = '0001' AND C.DTCARDAPIO = '2024-03-29' "
               "AND "
               "C.QTESTITURNO1 = T.QTCOMESTTFER AND T.QTCOMESTTFER <> T.QTCOMESTTSEX";
        QTest::newRow("accents not kept as characters")
            << "SELECT COUNT(*) FROM SERVICO WHERE CDSERVFILI = '00001' AND (NMSERVICO <> 'ALMOÇO' "
               "OR "
               "length(NMSERVICO) <> 6)";
        // every text column filled and within its width
        const QList<std::tuple<const char *, const char *, int>> widths = {
            {"FILIAL", "NMFILIAL", 30},     {"SERVICO", "CDSERVFILI", 5},
            {"DIETPADR", "DSDIETPAD", 50},  {"CARDADIA", "DSDIETPAD", 54},
            {"CARDADIA", "CDOPERADOR", 12}, {"TIPOPRAT", "NMTIPOPRAT", 15},
            {"PRATO", "CDPRATO", 10},       {"COMPCARD", "NMPRATO", 40},
            {"COMPCARD", "NMTIPOPRAT", 38}};
        for (const auto &[table, column, width] : widths)
            QTest::addRow("width of %s.%s", table, column)
                << QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 IS NULL OR length(%2) NOT "
                                  "BETWEEN 1 AND %3")
                       .arg(QLatin1String(table), QLatin1String(column))
                       .arg(width);
    }

    void invariants()
    {
        QFETCH(QString, sql);
        QCOMPARE(value(m_march, sql).toInt(), 0);
    }

    void menusCoverTheMonth_data()
    {
        QTest::addColumn<QDate>("month");
        QTest::newRow("leap February") << QDate(2024, 2, 1);
        QTest::newRow("February") << QDate(2023, 2, 1);
        QTest::newRow("April") << QDate(2024, 4, 1);
        QTest::newRow("December") << QDate(2024, 12, 1);
    }

    void menusCoverTheMonth()
    {
        QFETCH(QDate, month);
        QSqlDatabase db = freshDatabase();
        seedDemo(db, month);
        const QDate last = month.addDays(month.daysInMonth() - 1);
        // every day for each diet of each diet service of HC01
        QCOMPARE(value(db,
                       QStringLiteral(
                           "SELECT COUNT(*) FROM DIETSERV D JOIN SERVICO S ON S.CDFILIAL = "
                           "D.CDFILIAL AND S.CDSERVFILI = D.CDSERVFILI WHERE D.CDFILIAL = 'HC01' "
                           "AND S.IDTIPOSERV = 'D' AND (SELECT COUNT(DISTINCT C.DTCARDAPIO) FROM "
                           "CARDADIA C WHERE C.CDFILIAL = D.CDFILIAL AND C.CDSERVFILI = "
                           "D.CDSERVFILI AND C.CDDIETPAD = D.CDDIETPAD AND C.DTCARDAPIO BETWEEN ? "
                           "AND ?) <> ?"),
                       {month, last, month.daysInMonth()})
                     .toInt(),
                 0);
        // and nothing outside the month or for the service the search does not offer
        QCOMPARE(
            value(db,
                  QStringLiteral("SELECT COUNT(*) FROM CARDADIA WHERE DTCARDAPIO NOT BETWEEN ? "
                                 "AND ? OR DTMESCARD <> ? OR DTULTATUACAR <> DTCARDAPIO OR "
                                 "CDSERVFILI = '00003'"),
                  {month, last, month})
                .toInt(),
            0);
        // 9 to 12 slots in this month and the next for the 2 diet services of the 2 branches
        QCOMPARE(value(db,
                       QStringLiteral("SELECT COUNT(*) FROM (SELECT 1 FROM CNFCAMES GROUP BY "
                                      "CDFILIAL, CDSERVFILI, DTREFECNFMES HAVING COUNT(*) BETWEEN "
                                      "9 AND 12 AND DTREFECNFMES IN (?, ?))"),
                       {month, month.addMonths(1)})
                     .toInt(),
                 8);
    }

    void holidays_data()
    {
        QTest::addColumn<QDate>("month");
        QTest::addColumn<QList<QDate>>("easters"); // of the month's year and the next month's
        QTest::newRow("2024") << QDate(2024, 3, 1) << QList<QDate>{QDate(2024, 3, 31)};
        QTest::newRow("turn of 2024")
            << QDate(2024, 12, 1) << QList<QDate>{QDate(2024, 3, 31), QDate(2025, 4, 20)};
        QTest::newRow("2000, Good Friday on 21/04")
            << QDate(2000, 4, 1) << QList<QDate>{QDate(2000, 4, 23)};
        QTest::newRow("2019") << QDate(2019, 6, 1) << QList<QDate>{QDate(2019, 4, 21)};
        QTest::newRow("2023") << QDate(2023, 2, 1) << QList<QDate>{QDate(2023, 4, 9)};
        QTest::newRow("2026") << QDate(2026, 1, 1) << QList<QDate>{QDate(2026, 4, 5)};
    }

    void holidays()
    {
        QFETCH(QDate, month);
        QFETCH(QList<QDate>, easters);
        QSqlDatabase db = freshDatabase();
        seedDemo(db, month);
        QSet<QDate> expected;
        for (const QDate &easter : easters) {
            // Carnival Monday and Tuesday, Good Friday, Corpus Christi
            for (int offset : {-48, -47, -2, 60})
                expected.insert(easter.addDays(offset));
            for (const auto &[m, d] : QList<QPair<int, int>>{{1, 1},
                                                             {4, 21},
                                                             {5, 1},
                                                             {9, 7},
                                                             {10, 12},
                                                             {11, 2},
                                                             {11, 15},
                                                             {11, 20},
                                                             {12, 25}})
                expected.insert(QDate(easter.year(), m, d));
        }
        const QString count = QStringLiteral("SELECT COUNT(*) FROM %1 WHERE CDFILIAL = ?");
        for (const char *branch : {"HC01", "HN02"})
            QCOMPARE(
                value(db, count.arg(QLatin1String("FERIFILI")), {QLatin1String(branch)}).toInt(),
                expected.size());
        QCOMPARE(value(db, count.arg(QLatin1String("FERICARD")), {QStringLiteral("HC01")}).toInt(),
                 expected.size());
        QCOMPARE(value(db, count.arg(QLatin1String("FERICARD")), {QStringLiteral("HN02")}).toInt(),
                 0);
        for (const QDate &day : expected) {
            const QString iso = day.toString(Qt::ISODate); // how SQLite keeps a date
            QVERIFY2(value(db, QStringLiteral("SELECT COUNT(*) FROM FERIFILI WHERE DTFERIFILI = ?"),
                           {iso})
                             .toInt() == 2,
                     qPrintable(iso));
        }
    }

    void secondSeedChangesNothing()
    {
        QSqlDatabase db = freshDatabase();
        seedDemo(db, QDate(2024, 5, 1));
        const QStringList before = fingerprint(db);
        try {
            seedDemo(db, QDate(2024, 6, 1));
            QFAIL("a database with branches was seeded again");
        } catch (const Error &e) {
            QVERIFY2(!e.text().startsWith(QLatin1Char('[')), qPrintable(e.text())); // a known text
        }
        QCOMPARE(fingerprint(db), before);
    }

    void refusesMonthNotOnFirstDay_data()
    {
        QTest::addColumn<QDate>("month");
        QTest::newRow("middle") << QDate(2024, 3, 15);
        QTest::newRow("last day") << QDate(2024, 3, 31);
        QTest::newRow("invalid") << QDate();
    }

    void refusesMonthNotOnFirstDay()
    {
        QFETCH(QDate, month);
        QSqlDatabase db = freshDatabase();
        QVERIFY_THROWS_EXCEPTION(Error, seedDemo(db, month));
        QCOMPARE(value(db, QStringLiteral("SELECT COUNT(*) FROM FILIAL")).toInt(), 0);
    }

    void failureLeavesNothing()
    {
        QSqlDatabase db = freshDatabase();
        // the menu sequences are written last; a row already there makes them fail
        QVERIFY(QSqlQuery(db).exec(QStringLiteral("INSERT INTO CARDSEQ VALUES ('HC01', 0)")));
        QVERIFY_THROWS_EXCEPTION(Error, seedDemo(db, QDate(2024, 3, 1)));
        QStringList expected(kTables.size() + 2, QStringLiteral("0"));
        expected[kTables.indexOf(QStringLiteral("CARDSEQ"))] = QStringLiteral("1");
        QCOMPARE(fingerprint(db), expected);
    }
};

QTEST_GUILESS_MAIN(TestDemoSeed)
#include "tst_demoseed.moc"
