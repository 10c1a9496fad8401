#include "texts.h"

#include "keyedtexts.h"

#include <cmath>

namespace zov {

namespace {
const KeyedTexts &table()
{
    static const KeyedTexts texts(QStringLiteral(":/zov/data/texts.txt"));
    return texts;
}
} // namespace

QString text(const char *key)
{
    return table().value(QString::fromLatin1(key));
}

QString countText(const char *key, double count, const QString &shown)
{
    const bool singular = std::fabs(count) >= 1 && std::fabs(count) < 2;
    const QString name = QString::fromLatin1(key) + (singular ? QStringLiteral("_1") : QString());
    return table().value(name).arg(shown.isNull() ? QString::number(count, 'g', 15) : shown);
}

} // namespace zov
