#include "daydigest.h"

#include <QCryptographicHash>

namespace zov {

QString dayEntry(qint64 slot, const QString &dish)
{
    return QString::number(slot) + QLatin1Char(':') + dish;
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
