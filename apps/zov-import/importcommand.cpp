#include "importcommand.h"

#include "appserverhost.h"
#include "callfigures.h"
#include "commandline.h"
#include "consiste.h"
#include "dates.h"
#include "error.h"
#include "hostcontext.h"
#include "impocardhosp.h"
#include "importrunner.h"
#include "layout.h"
#include "rpcconnection.h"
#include "runundo.h"
#include "schema.h"
#include "texts.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <unistd.h>

namespace zov {

namespace {

const QString kConnection = QStringLiteral("zov-import-host");

// The options into a request; the request checks itself afterwards.
QString readRequest(const CommandLine &options, ImportRequest *r)
{
    for (const char *required : {"db", "branch", "service", "date", "from"}) {
        if (!options.has(QLatin1String(required)))
            return text("CLI_MISSING_OPTION").arg(QLatin1String(required));
    }
    if (!options.positional().isEmpty())
        return text("CLI_UNKNOWN_OPTION").arg(options.positional().first().left(80));
    for (const char *name : {"date", "from", "to", "month"}) {
        if (options.has(QLatin1String(name)) &&
            !parseIsoDate(options.value(QLatin1String(name))).isValid())
            return text("CLI_BAD_DATE")
                .arg(QLatin1String(name), options.value(QLatin1String(name)).left(40));
    }
    r->branch = options.value(QStringLiteral("branch"));
    r->service = options.value(QStringLiteral("service"));
    r->sourceService = options.value(QStringLiteral("source-service"));
    r->day = parseIsoDate(options.value(QStringLiteral("date")));
    r->month = parseIsoDate(options.value(QStringLiteral("month")));
    r->from = parseIsoDate(options.value(QStringLiteral("from")));
    r->to = parseIsoDate(options.value(QStringLiteral("to")));
    r->noRounding = options.has(QStringLiteral("no-rounding"));
    r->dryRun = options.has(QStringLiteral("dry-run"));
    const QString diets = options.value(QStringLiteral("diets"), QStringLiteral("all"));
    if (diets != QLatin1String("all"))
        r->diets = diets.split(QLatin1Char(','));
    const QString mode = options.value(QStringLiteral("mode"), QStringLiteral("append"));
    if (mode != QLatin1String("append") && mode != QLatin1String("overwrite"))
        return text("CLI_BAD_MODE").arg(mode.left(40));
    r->append = mode == QLatin1String("append");
    if (options.has(QStringLiteral("rounding"))) {
        bool ok = false;
        r->rounding = options.value(QStringLiteral("rounding"))
                          .replace(QLatin1Char(','), QLatin1Char('.'))
                          .toDouble(&ok);
        if (!ok)
            return text("CLI_BAD_ROUNDING").arg(options.value(QStringLiteral("rounding")).left(40));
    }
    return r->problem();
}

// Progress on a terminal: the bar and the caption, at most ten times a second.
class TerminalProgress
{
public:
    TerminalProgress(QTextStream &err, const ImpoCardHosp &screen)
        : m_err(err)
        , m_screen(screen)
        , m_enabled(isatty(STDERR_FILENO))
    {
        m_timer.start();
    }
    ~TerminalProgress()
    {
        if (m_shown)
            m_err << QLatin1Char('\n') << Qt::flush;
    }
    void update()
    {
        if (!m_enabled || m_timer.elapsed() < 100)
            return;
        m_timer.restart();
        m_shown = true;
        const int max = std::max(1, m_screen.progressMaximum());
        m_err << QStringLiteral("\r\x1b[K%1%  %2")
                     .arg(100 * m_screen.progressPosition() / max, 3)
                     .arg(m_screen.progressCaption().left(70))
              << Qt::flush;
    }

private:
    QTextStream &m_err;
    const ImpoCardHosp &m_screen;
    QElapsedTimer m_timer;
    bool m_enabled;
    bool m_shown = false;
};

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Figures of the run for measurements: the remote calls and how long they took, the
// CPU time of this thread (the screen's logic, without the server), the slot pairs.
void writeStats(const QString &file, const ImpoCardHosp &screen, double cpuSeconds,
                const CallFigures *figures)
{
    QJsonObject stats;
    if (figures) {
        std::vector<qint64> durations = figures->microseconds;
        qint64 total = 0;
        for (const qint64 d : durations)
            total += d;
        std::sort(durations.begin(), durations.end());
        stats.insert(QStringLiteral("calls"), static_cast<qint64>(durations.size()));
        stats.insert(QStringLiteral("streamedCalls"),
                     static_cast<qint64>(figures->streamed.load()));
        stats.insert(QStringLiteral("callSeconds"), static_cast<double>(total) / 1e6);
        stats.insert(QStringLiteral("callMedianMicroseconds"),
                     durations.empty() ? 0.0
                                       : static_cast<double>(durations[durations.size() / 2]));
    }
    stats.insert(QStringLiteral("clientCpuSeconds"), cpuSeconds);
    if (const ImportRun *run = screen.lastRun()) {
        stats.insert(QStringLiteral("slotPairs"), static_cast<qint64>(run->slotPairsVisited()));
        stats.insert(QStringLiteral("batches"), run->report().batches);
    }
    QFile out(file);
    if (out.open(QIODevice::WriteOnly))
        out.write(QJsonDocument(stats).toJson());
}

// The report, whole or not at all: "-" prints the table, a name ending in .csv gets
// the CSV, any other the JSON. False, with the cause on `err`, when it could not be saved.
template<typename Report>
bool saveReport(QSaveFile &file, const QString &name, const Report &report, QTextStream &out,
                QTextStream &err)
{
    if (name == QLatin1String("-")) {
        out << report.toText() << Qt::flush;
        return true;
    }
    if (!file.isOpen())
        return true;
    const QByteArray bytes = name.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)
                                 ? report.toCsv()
                                 : report.toJson();
    errno = 0;
    // a short write (a full disk, a file size limit) is a failure too: the old file stays
    const bool whole = file.write(bytes) == bytes.size();
    const int cause = errno;
    if (!whole)
        file.cancelWriting();
    if (whole && file.commit())
        return true;
    err << text("CLI_BAD_REPORT_FILE")
               .arg(name,
                    cause != 0 ? QString::fromLocal8Bit(std::strerror(cause)) : file.errorString())
        << Qt::endl;
    return false;
}

// What every command needs before it talks to the server: the report file open (a path
// that cannot be written stops the command before anything is stored), the database
// with the current schema, and the server (without --server, one inside this process
// on a free loopback port). An exit code when the command cannot go on.
struct Preparation
{
    QSaveFile reportFile;
    std::unique_ptr<AppServerHost> embedded;
    std::optional<int> prepare(const CommandLine &options, QTextStream &err)
    {
        const QString reportName = options.value(QStringLiteral("report"));
        reportFile.setFileName(reportName);
        if (!reportName.isEmpty() && reportName != QLatin1String("-") &&
            !reportFile.open(QIODevice::WriteOnly)) {
            err << text("CLI_BAD_REPORT_FILE").arg(reportName, reportFile.errorString())
                << Qt::endl;
            return 64;
        }
        const DatabaseConfig db = DatabaseConfig::parse(options.value(QStringLiteral("db")));
        QSqlDatabase host = openDatabase(db, kConnection);
        if (const QString problem = schemaProblem(host); !problem.isEmpty()) {
            err << text("DB_WRONG_SCHEMA").arg(db.display(), problem) << Qt::endl;
            return 1;
        }
        LoginContext &login = loginContext();
        login.connectionName = kConnection;
        if (!options.has(QStringLiteral("server"))) {
            QLoggingCategory::setFilterRules(QStringLiteral("zov.server.*=false"));
            AppServerHost::Options serverOptions;
            serverOptions.listen = QStringLiteral("127.0.0.1:0");
            embedded = std::make_unique<AppServerHost>(db, serverOptions);
            embedded->start();
            login.webUrl = QStringLiteral("127.0.0.1");
            login.webPort = embedded->port();
        }
        return std::nullopt;
    }
};

int importRun(const CommandLine &options, const ImportRequest &request, QTextStream &out,
              QTextStream &err)
{
    Preparation preparation;
    if (const auto code = preparation.prepare(options, err))
        return *code;
    if (const QString unknown = request.unknownCode(); !unknown.isEmpty()) {
        err << unknown << Qt::endl << text("USAGE_IMPORT") << Qt::endl;
        return 64;
    }
    const QString reportName = options.value(QStringLiteral("report"));
    QSaveFile &reportFile = preparation.reportFile;

    CallFigures figures; // (outlives the screen's connection)
    const CallFigures *counted = nullptr;
    ImpoCardHosp screen;
    TerminalProgress progress(err, screen);
    screen.setMessagePump([&progress] { progress.update(); });
    ImportRunner runner(screen);
    // the figures count the import command, from the click on
    double cpuBefore = 0;
    bool clicked = false;
    const ImportRunner::Outcome outcome = runner.run(request, [&] {
        clicked = true;
        cpuBefore = threadCpuSeconds();
        if (auto *rpc = dynamic_cast<RpcConnection *>(screen.connection())) {
            rpc->countCallsIn(&figures);
            counted = &figures;
        }
    });
    if (!runner.errorText().isEmpty())
        err << runner.errorText() << Qt::endl;
    // batches whose answer never came: the server is asked again a little later, when
    // it may be answering again, so that the report says the truth
    if (const int unknown = screen.report().unknownCount(); unknown > 0) {
        const int storedBefore = screen.report().storedCount();
        // (once: a server that is gone would make every question wait for its deadline)
        QThread::msleep(2000);
        screen.lastRun()->askAboutLostBatches();
        if (const int left = screen.report().unknownCount(); left < unknown) {
            const int stored = screen.report().storedCount() - storedBefore;
            err << text("BATCHES_SETTLED")
                       .arg(countText("COUNT_STORED", stored),
                            countText("COUNT_NOT_STORED", unknown - left - stored))
                << Qt::endl;
        }
    }
    // the report tells what was stored also when the run stopped on an error; a command
    // stopped before the import leaves an earlier report as it was
    const bool reportSaved =
        !clicked || saveReport(reportFile, reportName, runner.report(), out, err);
    if (options.has(QStringLiteral("stats")))
        writeStats(options.value(QStringLiteral("stats")), screen, threadCpuSeconds() - cpuBefore,
                   counted);
    // a dry run shows no closing dialog: what it would say, with what it would leave out
    if (request.dryRun && runner.report().finished)
        out << text("CLI_DRY_RUN_DONE").arg(runner.report().closingMessage()) << Qt::endl;
    // a report that could not be saved ends the command with 1, whatever the import did
    return reportSaved ? static_cast<int>(outcome) : 1;
}

// --list-runs and --undo: the runs the server keeps, and the undo of one.
int undoCommand(const CommandLine &options, QTextStream &out, QTextStream &err)
{
    Preparation preparation;
    if (const auto code = preparation.prepare(options, err))
        return *code;
    RpcConnection server;
    server.setOptions(RpcConnection::loginOptions());
    server.open();
    RunUndo undo(server);
    const QString branch = options.value(QStringLiteral("branch"));
    if (options.has(QStringLiteral("list-runs"))) {
        for (const RunSummary &run : undo.list(branch))
            out << run.toLine() << Qt::endl;
        return 0;
    }
    UndoReport report;
    try {
        report = undo.undo(options.value(QStringLiteral("undo")), branch,
                           options.has(QStringLiteral("dry-run")));
    } catch (const ServerTextError &e) {
        err << e.text() << Qt::endl;
        return 2;
    }
    for (const QString &line : report.leftLines())
        err << line << Qt::endl;
    const QString reportName = options.value(QStringLiteral("report"));
    if (reportName != QLatin1String("-"))
        out << report.closingText() << Qt::endl;
    if (!saveReport(preparation.reportFile, reportName, report, out, err))
        return 1;
    return report.complete() ? 0 : 2;
}

// With --list-runs or --undo only the options that tell where and who go.
QString undoUsageProblem(const CommandLine &options)
{
    const QString command =
        options.has(QStringLiteral("undo")) ? QStringLiteral("undo") : QStringLiteral("list-runs");
    QStringList refused{
        QStringLiteral("service"),     QStringLiteral("date"), QStringLiteral("month"),
        QStringLiteral("from"),        QStringLiteral("to"),   QStringLiteral("source-service"),
        QStringLiteral("diets"),       QStringLiteral("mode"), QStringLiteral("rounding"),
        QStringLiteral("no-rounding"), QStringLiteral("stats")};
    if (command == QLatin1String("list-runs"))
        refused << QStringLiteral("undo") << QStringLiteral("report") << QStringLiteral("dry-run");
    for (const QString &option : std::as_const(refused)) {
        if (options.has(option))
            return text("CLI_UNDO_OPTION").arg(option, command);
    }
    if (!options.has(QStringLiteral("db")))
        return text("CLI_MISSING_OPTION").arg(QStringLiteral("db"));
    if (!options.positional().isEmpty())
        return text("CLI_UNKNOWN_OPTION").arg(options.positional().first().left(80));
    const QString branch = options.value(QStringLiteral("branch"));
    if (options.has(QStringLiteral("branch")) &&
        (branch.trimmed().isEmpty() || branch.size() > codeWidth(QStringLiteral("CDFILIAL"))))
        return text("CLI_BAD_BRANCH").arg(branch.left(40));
    return {};
}

} // namespace

int runImportCommand(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    if (answeredHelpOrVersion(arguments, text("USAGE_IMPORT"), text("USAGE_IMPORT_DETAILS"), out))
        return 0;
    CommandLine options(
        {QStringLiteral("db"), QStringLiteral("server"), QStringLiteral("branch"),
         QStringLiteral("service"), QStringLiteral("date"), QStringLiteral("month"),
         QStringLiteral("from"), QStringLiteral("to"), QStringLiteral("source-service"),
         QStringLiteral("diets"), QStringLiteral("mode"), QStringLiteral("rounding"),
         QStringLiteral("operator"), QStringLiteral("ca"), QStringLiteral("token-file"),
         QStringLiteral("stats"), QStringLiteral("report"), QStringLiteral("undo")},
        {QStringLiteral("no-rounding"), QStringLiteral("dry-run"), QStringLiteral("list-runs")});
    ImportRequest request;
    LoginContext &login = loginContext();
    const bool parsed = options.parse(arguments);
    const bool history =
        parsed && (options.has(QStringLiteral("undo")) || options.has(QStringLiteral("list-runs")));
    QString problem = !parsed   ? options.error()
                      : history ? undoUsageProblem(options)
                                : readRequest(options, &request);
    if (problem.isEmpty())
        problem = readServerOptions(options, login);
    if (problem.isEmpty())
        login.operador = readOperator(options, &problem);
    if (problem.isEmpty() && options.has(QStringLiteral("db"))) {
        try {
            DatabaseConfig::parse(options.value(QStringLiteral("db")));
        } catch (const Error &e) {
            problem = e.text();
        }
    }
    if (!problem.isEmpty()) {
        err << problem << Qt::endl << text("USAGE_IMPORT") << Qt::endl;
        return 64;
    }
    StreamPresenter presenter(out, err);
    setPresenter(&presenter);
    int code = 1;
    try {
        code = history ? undoCommand(options, out, err) : importRun(options, request, out, err);
    } catch (const Error &e) {
        err << e.text() << Qt::endl;
    }
    setPresenter(nullptr);
    QSqlDatabase::removeDatabase(kConnection);
    return code;
}

} // namespace zov
