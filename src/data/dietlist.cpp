#include "dietlist.h"

#include "layout.h"

namespace zov {

QString allDiets()
{
    return QStringLiteral("T");
}

QString dietList(const QStringList &codes)
{
    const QChar mark = QLatin1Char('_');
    return codes.isEmpty() ? QString(mark) : mark + codes.join(mark) + mark;
}

bool dietListNames(const QString &list, const QString &code)
{
    return !code.isEmpty() && list.contains(QLatin1Char('_') + code + QLatin1Char('_'));
}

QStringList dietListCodes(const QString &list)
{
    return list.split(QLatin1Char('_'), Qt::SkipEmptyParts);
}

bool isDietCode(const QString &code)
{
    return !code.isEmpty() && code.size() <= codeWidth(QStringLiteral("CDDIETPAD")) &&
           !code.contains(QLatin1Char('_'));
}

} // namespace zov
