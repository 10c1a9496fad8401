#pragma once

#include "error.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>

namespace zov {

// Options of the project's command lines: "--name value" and "--flag". Unknown
// options, a missing value and a repeated option are errors in Portuguese.
class CommandLine
{
public:
    // `valued` and `flags` are the option names without the leading dashes.
    CommandLine(const QStringList &valued, const QStringList &flags);
    // the same with the names in one text each, separated by blanks: "db server"
    CommandLine(const char *valued, const char *flags);

    // Parses the arguments after the program name; false with error() set on a
    // fault. Words that are not options are kept in positional().
    bool parse(const QStringList &arguments);
    QString error() const { return m_error; }

    bool has(const QString &name) const
    {
        return m_values.contains(name) || m_flagsSet.contains(name);
    }
    QString value(const QString &name, const QString &fallback = {}) const;
    // The values of a configuration file, "name = value" a line, for the options the
    // command line did not give: the command line wins. A '#' at the start of a line or
    // after a blank starts a comment. The file may hold `fileOptions` (by default this
    // command line's options but "config"); those this command line does not know are
    // passed over. Empty when the file is sound, else what is wrong (file, line) in
    // Portuguese.
    QString readDefaults(const QString &file, const QStringList &fileOptions = {});
    const QStringList &positional() const { return m_positional; }
    // The first of `required` left out, else the first word that is not an option, as
    // the mistake in Portuguese; empty when there is neither.
    QString missingOrStray(const QStringList &required) const;

private:
    QStringList m_valuedOrder;
    QSet<QString> m_valued;
    QSet<QString> m_flags;
    QHash<QString, QString> m_values;
    QSet<QString> m_flagsSet;
    QStringList m_positional;
    QString m_error;
};

struct LoginContext;

// "host:port" taken apart; false when it is not one (no host, a port out of 1..65535).
bool parseHostPort(const QString &address, QString *host, int *port);

// The options of every client of the application server, into `login`: --server
// HOST:PORT (when given), --ca FILE and --token-file FILE (its first token). Empty when
// they are sound, else what is wrong, in Portuguese.
QString readServerOptions(const CommandLine &options, LoginContext &login);

// The operator of an operator's `token` (from --token-file); else --operator, else the
// system's login name, at most 12 characters. Empty with `problem` set when there is
// none, it is too long, or --operator names another than the token's owner.
QString readOperator(const CommandLine &options, const QString &token, QString *problem);

// --help and --version, as every program answers them: true when one was asked for and
// its text written to `out` (the caller exits 0). The help is the usage, as a mistake
// prints it too, then `details`: what the program does, each option with its default,
// the exit codes. help2man makes the manual pages of both.
bool answeredHelpOrVersion(const QStringList &arguments, const QString &usage,
                           const QString &details, QTextStream &out);
// True when the arguments ask for --help (-h) or --version: a program with windows
// answers them without a display.
bool asksForHelpOrVersion(int argc, char **argv);

// A mistake on the command line: runTool writes its text (when there is one) and, unless
// the usage is left out, the program's usage under it, and ends with 64.
class UsageError : public Error
{
public:
    enum class Usage { Shown, Left };
    explicit UsageError(QString text, Usage usage = Usage::Shown)
        : Error(std::move(text))
        , m_usage(usage)
    {}
    bool showsUsage() const { return m_usage == Usage::Shown; }

private:
    Usage m_usage;
};

// The frame of every program's main: --help and --version answered (exit 0), else
// `body` runs with the arguments after the program's name and gives the exit code. A
// UsageError ends it with 64, any other zov::Error with 1, its text on standard error.
// The usage and details are the keys of the program's texts (USAGE_DB, ...).
using ToolBody =
    std::function<int(const QStringList &arguments, QTextStream &out, QTextStream &err)>;
int runTool(const QStringList &arguments, const char *usageKey, const char *detailsKey,
            const ToolBody &body);

// Progress on a terminal's standard error: the percentage and a caption on one line,
// rewritten at most ten times a second; nothing when standard error is not a terminal.
// The line is ended when the progress goes.
class TerminalProgress
{
public:
    explicit TerminalProgress(QTextStream &err);
    ~TerminalProgress();
    // true when a new line is due: the caller reads its figures only then
    bool due() const;
    void show(int position, int maximum, const QString &caption);
    // The work is over: the line goes, so that what is said next has a line of its own.
    void finish();

private:
    QTextStream &m_err;
    QElapsedTimer m_timer;
    bool m_enabled;
    bool m_shown = false;
};

} // namespace zov
