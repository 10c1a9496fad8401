#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace zov {

// A table of "KEY|text" lines read from a UTF-8 resource, in file order.
class KeyedTexts
{
public:
    explicit KeyedTexts(const QString &resourcePath);

    bool contains(const QString &key) const { return m_texts.contains(key); }
    QString value(const QString &key) const;
    const QStringList &keys() const { return m_keys; }

private:
    QHash<QString, QString> m_texts;
    QStringList m_keys;
};

} // namespace zov
