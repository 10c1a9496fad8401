#include "daydigest.h"

#include <QCryptographicHash>

namespace zov {

QString dayEntry(qint64 slot, const QString &dish)
{
    return QString::number(slot) + QLatin1Char(':') + dish;
}

QString headerEntry(const QVariant &diners)
{
    const bool none = !diners.isValid() || diners.isNull();
    return QStringLiteral("diners:") +
           (none ? QStringLiteral("null") : QString::number(diners.toDouble(), 'g', 17));
}

QString DaySeen::toText() const
{
    return branch + QLatin1Char('|') + number + QLatin1Char('|') + day.toString(Qt::ISODate) +
           QLatin1Char('|') + diet + QLatin1Char('=') + digest;
}

DaySeen DaySeen::fromText(const QString &text)
{
    DaySeen seen;
    const QString where = text.section(QLatin1Char('='), 0, 0);
    seen.digest = text.section(QLatin1Char('='), 1);
    seen.branch = where.section(QLatin1Char('|'), 0, 0);
    seen.number = where.section(QLatin1Char('|'), 1, 1);
    seen.day = QDate::fromString(where.section(QLatin1Char('|'), 2, 2), Qt::ISODate);
    seen.diet = where.section(QLatin1Char('|'), 3, 3);
    return seen;
}

QString dayDigest(QStringList slotsAndDishes)
{
    slotsAndDishes.sort();
    slotsAndDishes.removeDuplicates();
    return QString::fromLatin1(
        QCryptographicHash::hash(slotsAndDishes.join(QLatin1Char('\n')).toUtf8(),
                                 QCryptographicHash::Sha1)
            .toHex());
}

} // namespace zov
