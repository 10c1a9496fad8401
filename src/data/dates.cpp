#include "dates.h"

#include "texts.h"

#include <QStringList>
#include <QTime>
#include <cmath>

namespace zov {

QDate zeroDate()
{
    return QDate(1899, 12, 30);
}

QDate dateFromDayNumber(double day)
{
    // the fraction is the time of day, also before day 0: -1.25 is 29/12/1899 06:00
    return zeroDate().addDays(static_cast<qint64>(std::trunc(day)));
}

double dayNumber(const QDate &date)
{
    return date.isValid() ? static_cast<double>(zeroDate().daysTo(date)) : 0.0;
}

QDate orZero(const QDate &date)
{
    return date.isValid() ? date : zeroDate();
}

QString shortDate(const QDate &date)
{
    return date.isValid() ? date.toString(QStringLiteral("dd/MM/yyyy")) : QString();
}

QDate parseShortDate(const QString &text)
{
    const QString t = text.trimmed();
    const QStringList parts = t.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.isEmpty() || parts.size() > 2)
        return {};
    if (parts.size() == 2 && !QTime::fromString(parts.at(1), QStringLiteral("H:mm:ss")).isValid() &&
        !QTime::fromString(parts.at(1), QStringLiteral("H:mm")).isValid())
        return {};
    QDate date = QDate::fromString(parts.first(), QStringLiteral("dd/MM/yyyy"));
    if (!date.isValid())
        date = QDate::fromString(parts.first(), QStringLiteral("d/M/yyyy"));
    return date;
}

namespace {
// Weekday names come from the resource, Sunday first.
QStringList namesFromResource(const char *key)
{
    const QStringList names = text(key).split(QLatin1Char(','));
    Q_ASSERT(names.size() == 7);
    return names;
}

int sundayFirstIndex(const QDate &date)
{
    return date.dayOfWeek() % 7; // Qt: Monday 1 .. Sunday 7
}
} // namespace

QString NomeSemana(const QDate &date)
{
    static const QStringList names = namesFromResource("WEEKDAYS");
    return date.isValid() ? names.at(sundayFirstIndex(date)) : QString();
}

QString shortWeekdayName(const QDate &date)
{
    static const QStringList names = namesFromResource("WEEKDAYS_SHORT");
    return date.isValid() ? names.at(sundayFirstIndex(date)) : QString();
}

QDate UltimoDiaMes(const QDate &date)
{
    return QDate(date.year(), date.month(), date.daysInMonth());
}

QDate firstDayOfMonth(const QDate &date)
{
    return QDate(date.year(), date.month(), 1);
}

} // namespace zov
