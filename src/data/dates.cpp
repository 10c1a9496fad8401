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

namespace {

// Dates are read and written by hand: Qt's format parser costs microseconds a date,
// and packets carry thousands of them.
int number(QStringView digits)
{
    int n = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        n = n * 10 + (c.unicode() - '0');
    }
    return digits.isEmpty() ? -1 : n;
}

// writes `value` in `width` digits at `out`, and returns what follows them
QChar *putDigits(QChar *out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i, value /= 10)
        out[i] = QChar(u'0' + value % 10);
    return out + width;
}

} // namespace

// (the year, month and day are taken at once: each of QDate's own accessors works
// them all out again)
QString shortDate(const QDate &date)
{
    int year = 0, month = 0, day = 0;
    date.getDate(&year, &month, &day);
    if (!date.isValid() || year < 1 || year > 9999)
        return date.isValid() ? date.toString(QStringLiteral("dd/MM/yyyy")) : QString();
    QString out(10, Qt::Uninitialized);
    QChar *at = putDigits(out.data(), day, 2);
    *at++ = QLatin1Char('/');
    at = putDigits(at, month, 2);
    *at++ = QLatin1Char('/');
    putDigits(at, year, 4);
    return out;
}

QString isoDate(const QDate &date)
{
    int year = 0, month = 0, day = 0;
    date.getDate(&year, &month, &day);
    if (!date.isValid() || year < 1 || year > 9999)
        return date.isValid() ? date.toString(Qt::ISODate) : QString();
    QString out(10, Qt::Uninitialized);
    QChar *at = putDigits(out.data(), year, 4);
    *at++ = QLatin1Char('-');
    at = putDigits(at, month, 2);
    *at++ = QLatin1Char('-');
    putDigits(at, day, 2);
    return out;
}

QDate parseIsoDate(QStringView text)
{
    if (text.size() != 10 || text.at(4) != QLatin1Char('-') || text.at(7) != QLatin1Char('-'))
        return {};
    const int y = number(text.mid(0, 4)), m = number(text.mid(5, 2)), d = number(text.mid(8, 2));
    return y < 0 || m < 0 || d < 0 ? QDate() : QDate(y, m, d);
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
    // d/M/yyyy, with or without leading zeros
    const QStringView date(parts.first());
    const qsizetype first = date.indexOf(QLatin1Char('/'));
    const qsizetype second = first < 0 ? -1 : date.indexOf(QLatin1Char('/'), first + 1);
    if (first < 1 || first > 2 || second - first < 2 || second - first > 3 ||
        date.size() - second != 5)
        return {};
    const int d = number(date.mid(0, first)), m = number(date.mid(first + 1, second - first - 1)),
              y = number(date.mid(second + 1));
    return d < 0 || m < 0 || y < 0 ? QDate() : QDate(y, m, d);
}

namespace {
// Weekday names come from the resource, Sunday first.
QStringList namesFromResource(const char *key)
{
    const QStringList names = text(key).split(QLatin1Char(','));
    Q_ASSERT(names.size() == 7);
    return names;
}

} // namespace

int weekdayNumber(const QDate &date)
{
    return date.isValid() ? date.dayOfWeek() % 7 + 1 : 0; // Qt: Monday 1 .. Sunday 7
}

QString NomeSemana(const QDate &date)
{
    static const QStringList names = namesFromResource("WEEKDAYS");
    return date.isValid() ? names.at(weekdayNumber(date) - 1) : QString();
}

QString shortWeekdayName(const QDate &date)
{
    static const QStringList names = namesFromResource("WEEKDAYS_SHORT");
    return date.isValid() ? names.at(weekdayNumber(date) - 1) : QString();
}

QDate UltimoDiaMes(const QDate &date)
{
    return QDate(date.year(), date.month(), date.daysInMonth());
}

QDate firstDayOfMonth(const QDate &date)
{
    return QDate(date.year(), date.month(), 1);
}

bool isFirstOfMonth(const QDate &date)
{
    return date.isValid() && date.day() == 1;
}

} // namespace zov
