#pragma once

#include <QString>
#include <QStringList>

namespace zov {

// A digest of the dishes a menu holds, as "slot:dish" entries. The import sends the
// digest of the day it decided on with each batch; the server stores the batch only
// when the day still holds exactly those dishes, so that no batch is built on a day
// another run changed in between.
QString dayDigest(QStringList slotsAndDishes);
QString dayEntry(qint64 slot, const QString &dish);

} // namespace zov
