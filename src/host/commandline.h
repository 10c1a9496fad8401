#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

namespace zov {

// Options of the project's command lines: "--name value" and "--flag". Unknown
// options, a missing value and a repeated option are errors in Portuguese.
class CommandLine
{
public:
    // `valued` and `flags` are the option names without the leading dashes.
    CommandLine(const QStringList &valued, const QStringList &flags);

    // Parses the arguments after the program name; false with error() set on a
    // fault. Words that are not options are kept in positional().
    bool parse(const QStringList &arguments);
    QString error() const { return m_error; }

    bool has(const QString &name) const
    {
        return m_values.contains(name) || m_flagsSet.contains(name);
    }
    QString value(const QString &name, const QString &fallback = {}) const;
    const QStringList &positional() const { return m_positional; }

private:
    QSet<QString> m_valued;
    QSet<QString> m_flags;
    QHash<QString, QString> m_values;
    QSet<QString> m_flagsSet;
    QStringList m_positional;
    QString m_error;
};

} // namespace zov
