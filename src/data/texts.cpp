#include "texts.h"

#include "keyedtexts.h"

namespace zov {

QString text(const char *key)
{
    static const KeyedTexts table(QStringLiteral(":/zov/data/texts.txt"));
    return table.value(QString::fromLatin1(key));
}

} // namespace zov
