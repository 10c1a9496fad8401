#include "messages.h"

#include "dates.h"
#include "keyedtexts.h"

namespace zov {

namespace {
const KeyedTexts &table()
{
    static const KeyedTexts messages(QStringLiteral(":/zov/data/messages.txt"));
    return messages;
}
} // namespace

QString TMessages::Msg(const QString &key)
{
    return table().value(key);
}

bool TMessages::contains(const QString &key)
{
    return table().contains(key);
}

QStringList TMessages::keys()
{
    return table().keys();
}

QString TMessages::dataInval(const QDate &date)
{
    QString text = Msg(QStringLiteral("DATAINVAL"));
    text.replace(QLatin1String("%S"), shortDate(date));
    return text;
}

} // namespace zov
