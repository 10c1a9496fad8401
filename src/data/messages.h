#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

namespace zov {

// The screen's message table: ordered "key|text" lines kept as data in the
// resource messages.txt.
class TMessages
{
public:
    // The text of the line whose key is `key`; the key in brackets when the table
    // lacks it (no caller of this screen asks for such a key).
    static QString Msg(const QString &key);
    static bool contains(const QString &key);
    static QStringList keys();

    // DATAINVAL: the %S placeholder replaced by the date as dd/MM/yyyy.
    static QString dataInval(const QDate &date);
};

} // namespace zov
