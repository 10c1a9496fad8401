#pragma once

#include <QDate>
#include <QString>

namespace zov {

// Dates of the suite: day numbers count days since 30/12/1899 (day 0); an empty
// date edit reads as day 0. Display is dd/MM/yyyy whatever the machine's locale.

QDate zeroDate();                    // 30/12/1899
QDate dateFromDayNumber(double day); // the fraction (time of day) is dropped
double dayNumber(const QDate &date); // a null date is day 0
QDate orZero(const QDate &date);     // a null date becomes 30/12/1899

QString shortDate(const QDate &date);      // dd/MM/yyyy, empty for a null date
QString isoDate(const QDate &date);        // yyyy-MM-dd, empty for a null date
QDate parseIsoDate(QStringView text);      // exactly yyyy-MM-dd; null if not a date
QDate parseShortDate(const QString &text); // dd/MM/yyyy (time part allowed); null if not a date

// The weekday as the database numbers it: 1 = Sunday .. 7 = Saturday (0 for no date).
int weekdayNumber(const QDate &date);
QString NomeSemana(const QDate &date);       // "Domingo", "Segunda", ... "Sábado"
QString shortWeekdayName(const QDate &date); // "dom", "seg", ... "sáb"
QDate UltimoDiaMes(const QDate &date);
// The month reference of the system is the 1st of a month: the one of `date`'s month, and
// whether `date` is one (a null or invalid date is not).
QDate firstDayOfMonth(const QDate &date);
bool isFirstOfMonth(const QDate &date);

} // namespace zov
