#include "commandline.h"

#include "callmetadata.h"
#include "error.h"
#include "hostcontext.h"
#include "layout.h"
#include "texts.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <unistd.h>

namespace zov {

CommandLine::CommandLine(const QStringList &valued, const QStringList &flags)
    : m_valuedOrder(valued)
    , m_valued(valued.cbegin(), valued.cend())
    , m_flags(flags.cbegin(), flags.cend())
{}

CommandLine::CommandLine(const char *valued, const char *flags)
    : CommandLine(QString::fromLatin1(valued).split(QLatin1Char(' '), Qt::SkipEmptyParts),
                  QString::fromLatin1(flags).split(QLatin1Char(' '), Qt::SkipEmptyParts))
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

namespace {

// A '#' that starts the line or follows a blank starts a comment; one inside a value
// (a password in a PostgreSQL URL) is part of it.
QString withoutComment(const QString &line)
{
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line.at(i) == QLatin1Char('#') && (i == 0 || line.at(i - 1).isSpace()))
            return line.left(i);
    }
    return line;
}

} // namespace

QString CommandLine::readDefaults(const QString &path, const QStringList &fileOptions)
{
    QStringList known = fileOptions;
    if (known.isEmpty()) {
        known = m_valuedOrder;
        known.removeAll(QStringLiteral("config"));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return text("CONFIG_UNREADABLE").arg(path, file.errorString());
    QHash<QString, QString> read;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = withoutComment(QString::fromUtf8(file.readLine())).trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString name = line.left(eq).trimmed();
        if (eq <= 0 || !known.contains(name))
            return text("CONFIG_BAD_LINE")
                .arg(path)
                .arg(number)
                .arg(line.left(80), known.join(QStringLiteral(", ")));
        if (read.contains(name))
            return text("CONFIG_REPEATED").arg(path).arg(number).arg(name);
        read.insert(name, line.mid(eq + 1).trimmed());
    }
    for (auto it = read.cbegin(); it != read.cend(); ++it) {
        // another program's options (zov-db reads the server's file) are passed over
        if (m_valued.contains(it.key()) && !m_values.contains(it.key()) && !it.value().isEmpty())
            m_values.insert(it.key(), it.value());
    }
    return {};
}

QString CommandLine::value(const QString &name, const QString &fallback) const
{
    return m_values.value(name, fallback);
}

QString CommandLine::missingOrStray(const QStringList &required) const
{
    for (const QString &name : required) {
        if (!has(name))
            return text("CLI_MISSING_OPTION").arg(name);
    }
    if (!m_positional.isEmpty())
        return text("CLI_UNKNOWN_OPTION").arg(m_positional.first().left(80));
    return {};
}

bool parseHostPort(const QString &address, QString *host, int *port)
{
    bool ok = false;
    const QString h = address.section(QLatin1Char(':'), 0, -2);
    const int p = address.section(QLatin1Char(':'), -1).toInt(&ok);
    if (!address.contains(QLatin1Char(':')) || h.isEmpty() || !ok || p <= 0 || p > 65535)
        return false;
    *host = h;
    *port = p;
    return true;
}

QString readServerOptions(const CommandLine &options, LoginContext &login)
{
    if (options.has(QStringLiteral("server"))) {
        const QString server = options.value(QStringLiteral("server"));
        if (!parseHostPort(server, &login.webUrl, &login.webPort))
            return text("CLI_BAD_SERVER").arg(server.left(80));
    }
    login.caFile = options.value(QStringLiteral("ca"));
    if (options.has(QStringLiteral("token-file"))) {
        try {
            login.token = readTokenFile(options.value(QStringLiteral("token-file"))).first();
        } catch (const Error &e) {
            return e.text();
        }
    }
    return {};
}

QString readOperator(const CommandLine &options, const QString &token, QString *problem)
{
    // every stored header names who stored it: never an empty operator
    const int width = codeWidth(QStringLiteral("CDOPERADOR"));
    // an operator's token says who works: --operator may only repeat it (a file of
    // someone else's, taken by mistake, is said before anything is sent)
    const QString owner = parseOperatorToken(token).operatorCode;
    if (!owner.isEmpty() && options.has(QStringLiteral("operator")) &&
        options.value(QStringLiteral("operator")) != owner) {
        *problem = text("CLI_OPERATOR_NOT_TOKEN")
                       .arg(options.value(QStringLiteral("token-file")), owner,
                            options.value(QStringLiteral("operator")).left(40));
        return {};
    }
    const QString code =
        !owner.isEmpty() ? owner
                         : options.value(QStringLiteral("operator"), systemLoginName().left(width));
    if (code.trimmed().isEmpty())
        *problem = text("CLI_NO_OPERATOR");
    else if (code.size() > width)
        *problem = text("CLI_BAD_OPERATOR").arg(code.left(40));
    return problem->isEmpty() ? code : QString();
}

bool answeredHelpOrVersion(const QStringList &arguments, const QString &usage,
                           const QString &details, QTextStream &out)
{
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
        out << usage << "\n\n" << details << Qt::endl;
        return true;
    }
    if (arguments.contains(QLatin1String("--version"))) {
        out << QCoreApplication::applicationName() << ' ' << QStringLiteral(ZOV_VERSION)
            << Qt::endl;
        return true;
    }
    return false;
}

bool asksForHelpOrVersion(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--help") == 0 || qstrcmp(argv[i], "-h") == 0 ||
            qstrcmp(argv[i], "--version") == 0)
            return true;
    }
    return false;
}

int runTool(const QStringList &arguments, const char *usageKey, const char *detailsKey,
            const ToolBody &body)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (answeredHelpOrVersion(arguments, text(usageKey), text(detailsKey), out))
        return 0;
    try {
        return body(arguments.mid(1), out, err);
    } catch (const UsageError &e) {
        if (!e.text().isEmpty())
            err << e.text() << Qt::endl;
        if (e.showsUsage())
            err << text(usageKey) << Qt::endl;
        return 64;
    } catch (const Error &e) {
        err << e.text() << Qt::endl;
        return 1;
    }
}

TerminalProgress::TerminalProgress(QTextStream &err)
    : m_err(err)
    , m_enabled(isatty(STDERR_FILENO))
{
    m_timer.start();
}

TerminalProgress::~TerminalProgress()
{
    finish();
}

void TerminalProgress::finish()
{
    if (m_shown)
        m_err << QStringLiteral("\r\x1b[K") << Qt::flush;
    m_shown = false;
}

bool TerminalProgress::due() const
{
    return m_enabled && m_timer.elapsed() >= 100;
}

void TerminalProgress::show(int position, int maximum, const QString &caption)
{
    m_timer.restart();
    m_shown = true;
    m_err << QStringLiteral("\r\x1b[K%1%  %2")
                 .arg(100 * position / std::max(1, maximum), 3)
                 .arg(caption.left(70))
          << Qt::flush;
}

} // namespace zov
