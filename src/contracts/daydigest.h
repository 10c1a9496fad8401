#pragma once

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace zov {

// A digest of what a day's decisions rest on: the dishes of the menu number in its
// header's diet, as "slot:dish" entries, and the header's diner count when the
// header was there already. The import sends the digest of the day it decided on
// with each batch; the server stores the batch only when the day still holds
// exactly that, so that no batch is built on a day another writer changed.
QString dayDigest(QStringList entries);
QString dayEntry(qint64 slot, const QString &dish);
QString headerEntry(const QVariant &diners);

// The metadata that carries it: "branch|menu number|YYYY-MM-DD|diet=digest".
struct DaySeen
{
    QString branch;
    QString number;
    QDate day; // the destination day and diet, for the refusal's text
    QString diet;
    QString digest;
    QString toText() const;
    static DaySeen fromText(const QString &text); // "branch|number=digest" also reads
};

} // namespace zov
