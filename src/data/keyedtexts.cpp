#include "keyedtexts.h"

#include <QFile>

namespace zov {

KeyedTexts::KeyedTexts(const QString &resourcePath)
{
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("resource %s is missing from the build", qPrintable(resourcePath));
    const QString all = QString::fromUtf8(file.readAll());
    for (const QString &line : all.split(QLatin1Char('\n'))) {
        const qsizetype bar = line.indexOf(QLatin1Char('|'));
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || bar <= 0)
            continue;
        const QString key = line.left(bar);
        QString value = line.mid(bar + 1);
        if (value.endsWith(QLatin1Char('\r')))
            value.chop(1);
        value.replace(QLatin1String("\\n"), QLatin1String("\n"));
        if (!m_texts.contains(key))
            m_keys.append(key);
        m_texts.insert(key, value);
    }
}

QString KeyedTexts::value(const QString &key) const
{
    const auto it = m_texts.constFind(key);
    return it == m_texts.cend() ? QStringLiteral("[%1]").arg(key) : it.value();
}

} // namespace zov
