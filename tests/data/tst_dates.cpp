// The dates of the suite: day numbers, pt-BR display whatever the machine's locale,
// weekday names, month bounds.

#include "dates.h"

#include <QLocale>
#include <QtTest>

using namespace zov;

class TestDates : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void dayNumbers_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<double>("day");
        QTest::newRow("day zero") << QDate(1899, 12, 30) << 0.0;
        QTest::newRow("day one") << QDate(1899, 12, 31) << 1.0;
        QTest::newRow("1900") << QDate(1900, 1, 1) << 2.0;
        QTest::newRow("1 March 1900") << QDate(1900, 3, 1) << 61.0;
        QTest::newRow("leap day") << QDate(2024, 2, 29) << 45351.0;
        QTest::newRow("31/03/2024") << QDate(2024, 3, 31) << 45382.0;
        QTest::newRow("before day zero") << QDate(1899, 12, 28) << -2.0;
    }

    void dayNumbers()
    {
        QFETCH(QDate, date);
        QFETCH(double, day);
        QCOMPARE(dayNumber(date), day);
        QCOMPARE(dateFromDayNumber(day), date);
        // the time of day is dropped, on either side of day zero
        const double time = day >= 0 ? 0.25 : -0.25;
        QCOMPARE(dateFromDayNumber(day + time), date);
        QCOMPARE(dateFromDayNumber(day + 3 * time), date);
    }

    void emptyDates()
    {
        QCOMPARE(dayNumber(QDate()), 0.0);
        QCOMPARE(orZero(QDate()), QDate(1899, 12, 30));
        QCOMPARE(orZero(QDate(2024, 3, 31)), QDate(2024, 3, 31));
        QCOMPARE(shortDate(QDate()), QString());
        QCOMPARE(NomeSemana(QDate()), QString());
    }

    void weekdays_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shortName");
        const char *names[] = {"Domingo", "Segunda", "Terça", "Quarta",
                               "Quinta",  "Sexta",   "Sábado"};
        const char *shortNames[] = {"dom", "seg", "ter", "qua", "qui", "sex", "sáb"};
        for (int i = 0; i < 7; ++i) {
            const QDate date(2024, 3, 3 + i); // 3 March 2024 is a Sunday
            QTest::newRow(names[i])
                << date << QString::fromUtf8(names[i]) << QString::fromUtf8(shortNames[i]);
        }
    }

    void weekdays()
    {
        QFETCH(QDate, date);
        QFETCH(QString, name);
        QFETCH(QString, shortName);
        for (const QLocale &locale : {QLocale(QLocale::English, QLocale::UnitedStates),
                                      QLocale(QLocale::German, QLocale::Germany),
                                      QLocale(QLocale::Portuguese, QLocale::Brazil)}) {
            QLocale::setDefault(locale);
            QCOMPARE(NomeSemana(date), name);
            QCOMPARE(shortWeekdayName(date), shortName);
            QCOMPARE(NomeSemana(date.addDays(-7 * 52)), name);
        }
    }

    void months_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QDate>("first");
        QTest::addColumn<QDate>("last");
        QTest::newRow("leap February")
            << QDate(2024, 2, 10) << QDate(2024, 2, 1) << QDate(2024, 2, 29);
        QTest::newRow("February") << QDate(2023, 2, 28) << QDate(2023, 2, 1) << QDate(2023, 2, 28);
        QTest::newRow("1900 is not leap")
            << QDate(1900, 2, 15) << QDate(1900, 2, 1) << QDate(1900, 2, 28);
        QTest::newRow("2000 is leap")
            << QDate(2000, 2, 1) << QDate(2000, 2, 1) << QDate(2000, 2, 29);
        QTest::newRow("December") << QDate(2024, 12, 1) << QDate(2024, 12, 1)
                                  << QDate(2024, 12, 31);
        QTest::newRow("April") << QDate(2024, 4, 30) << QDate(2024, 4, 1) << QDate(2024, 4, 30);
    }

    void months()
    {
        QFETCH(QDate, date);
        QFETCH(QDate, first);
        QFETCH(QDate, last);
        QCOMPARE(firstDayOfMonth(date), first);
        QCOMPARE(UltimoDiaMes(date), last);
    }

    void shortDates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDate>("date"); // null: refused
        QTest::newRow("plain") << "31/03/2024" << QDate(2024, 3, 31);
        QTest::newRow("leading zeros") << "05/01/2024" << QDate(2024, 1, 5);
        QTest::newRow("day zero") << "30/12/1899" << QDate(1899, 12, 30);
        QTest::newRow("a year before 1000") << "01/02/0999" << QDate(999, 2, 1);
        QTest::newRow("blanks around") << " 29/02/2024 " << QDate(2024, 2, 29);
        QTest::newRow("with time") << "31/03/2024 10:30:00" << QDate(2024, 3, 31);
        QTest::newRow("with something else") << "31/03/2024 lixo" << QDate();
        QTest::newRow("31 February") << "31/02/2024" << QDate();
        QTest::newRow("29 February, not leap") << "29/02/2023" << QDate();
        QTest::newRow("ISO") << "2024-03-31" << QDate();
        QTest::newRow("month first") << "03/31/2024" << QDate();
        QTest::newRow("two-digit year") << "31/03/24" << QDate();
        QTest::newRow("dashes") << "31-03-2024" << QDate();
        QTest::newRow("empty") << "" << QDate();
    }

    void shortDates()
    {
        QFETCH(QString, text);
        QFETCH(QDate, date);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(parseShortDate(text), date);
        if (date.isValid()) {
            QCOMPARE(parseShortDate(shortDate(date)), date);
            QCOMPARE(shortDate(date).size(), 10);
            QCOMPARE(shortDate(date), date.toString(QStringLiteral("dd/MM/yyyy")));
            QCOMPARE(isoDate(date), date.toString(Qt::ISODate));
        }
    }
};

QTEST_GUILESS_MAIN(TestDates)
#include "tst_dates.moc"
