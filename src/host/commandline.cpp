#include "commandline.h"

#include "texts.h"

namespace zov {

CommandLine::CommandLine(const QStringList &valued, const QStringList &flags)
    : m_valued(valued.cbegin(), valued.cend())
    , m_flags(flags.cbegin(), flags.cend())
{}

bool CommandLine::parse(const QStringList &arguments)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (!arg.startsWith(QLatin1String("--"))) {
            m_positional.append(arg);
            continue;
        }
        QString name = arg.mid(2);
        QString inlineValue;
        bool hasInline = false;
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); eq > 0) {
            inlineValue = name.mid(eq + 1);
            name = name.left(eq);
            hasInline = true;
        }
        if (m_flags.contains(name) && !hasInline) {
            m_flagsSet.insert(name);
            continue;
        }
        if (!m_valued.contains(name)) {
            m_error = text("CLI_UNKNOWN_OPTION").arg(arg.left(80));
            return false;
        }
        if (m_values.contains(name)) {
            m_error = text("CLI_REPEATED_OPTION").arg(name);
            return false;
        }
        if (hasInline) {
            m_values.insert(name, inlineValue);
        } else if (i + 1 < arguments.size()) {
            m_values.insert(name, arguments.at(++i));
        } else {
            m_error = text("CLI_MISSING_VALUE").arg(name);
            return false;
        }
    }
    return true;
}

QString CommandLine::value(const QString &name, const QString &fallback) const
{
    return m_values.value(name, fallback);
}

} // namespace zov
