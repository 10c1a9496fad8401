// zov-import: the menu import from the command line, with the screen's own rules.

#include "allocator.h"
#include "appserverhost.h"
#include "commandline.h"
#include "consiste.h"
#include "hostcontext.h"
#include "hostsession.h"
#include "impocardhosp.h"
#include "importrunner.h"
#include "rpcconnection.h"
#include "runstats.h"
#include "runundo.h"
#include "schema.h"
#include "texts.h"

#include <QCoreApplication>

#include <future>

using namespace zov;

namespace {

// What every command needs before it talks to the server: the report file open, the
// host's connection to a database of the current schema, and the server (without
// --server, one inside this process on a free loopback port).
struct Session
{
    Session(const CommandLine &options, QTextStream &out, QTextStream &err)
        : presenter(out, err)
        , report(options.value(QStringLiteral("report")))
    {
        host.show(&presenter);
        const DatabaseConfig db = DatabaseConfig::parse(options.value(QStringLiteral("db")));
        // the server starts, with its own look at the database, while the host's
        // connection opens; what the host finds wrong is said first, as before
        std::future<std::unique_ptr<AppServerHost>> starting;
        if (!options.has(QStringLiteral("server")))
            starting =
                std::async(std::launch::async, [db] { return AppServerHost::startInProcess(db); });
        QSqlDatabase connection = host.open(db);
        requireCurrentSchema(connection, db);
        if (starting.valid()) {
            embedded = starting.get();
            host.useServer(QStringLiteral("127.0.0.1"), embedded->port());
        }
    }

    HostSession host{QStringLiteral("zov-import-host")};
    StreamPresenter presenter;
    ReportFile report;
    std::unique_ptr<AppServerHost> embedded;
};

int import(const CommandLine &options, const ImportRequest &request, QTextStream &out,
           QTextStream &err)
{
    Session session(options, out, err);
    if (const QString unknown = request.unknownCode(); !unknown.isEmpty())
        throw UsageError(unknown);
    RunStats stats; // (outlives the screen's connection, which counts its calls in it)
    ImpoCardHosp screen;
    ImportRunner runner(screen);
    TerminalProgress progress(err);
    bool clicked = false;
    // the job's progress on the terminal, the figures of --stats below
    QObject::connect(&screen, &ImpoCardHosp::runStarted, [&progress](ImportRun *job) {
        allocatorForRun();
        QObject::connect(job, &ImportRun::progress,
                         [&progress](int position, int maximum, const QString &caption) {
                             if (progress.due())
                                 progress.show(position, maximum, caption);
                         });
        QObject::connect(job, &ImportRun::finished, [&progress] { progress.finish(); });
    });
    // the figures count the import command, from the click on
    const ImportRunner::Outcome outcome = runner.run(request, [&] {
        clicked = true;
        stats.start(screen.connection());
    });
    if (!runner.errorText().isEmpty())
        err << runner.errorText() << Qt::endl;
    if (const QString settled = runner.settleLostBatches(); !settled.isEmpty())
        err << settled << Qt::endl;
    // the report tells what was stored also when the run stopped on an error; a command
    // stopped before the import leaves an earlier report as it was
    const bool saved = !clicked || session.report.save(runner.report(), out, err);
    if (const ImportRun *job = screen.lastRun(); options.has(QStringLiteral("stats")))
        stats.write(options.value(QStringLiteral("stats")), job);
    // a dry run shows no closing dialog: what it would say, with what it would leave out
    if (request.dryRun && runner.report().finished)
        out << text("CLI_DRY_RUN_DONE").arg(runner.report().closingMessage()) << Qt::endl;
    // a report that could not be saved ends the command with 1, whatever the import did
    return saved ? static_cast<int>(outcome) : 1;
}

// --list-runs and --undo: the runs the server keeps, and the undo of one.
int undo(const CommandLine &options, QTextStream &out, QTextStream &err)
{
    Session session(options, out, err);
    RpcConnection server;
    server.setOptions(RpcConnection::loginOptions());
    server.open();
    RunUndo runs(server);
    const QString branch = options.value(QStringLiteral("branch"));
    if (options.has(QStringLiteral("list-runs"))) {
        try {
            for (const RunSummary &run : runs.list(branch))
                out << run.toLine() << Qt::endl;
        } catch (const ServerTextError &e) {
            // an operator may list only their branches' runs
            err << e.text() << Qt::endl;
            return 2;
        }
        return 0;
    }
    UndoReport report;
    try {
        report = runs.undo(options.value(QStringLiteral("undo")), branch,
                           options.has(QStringLiteral("dry-run")));
    } catch (const ServerTextError &e) {
        err << e.text() << Qt::endl;
        return 2;
    }
    for (const QString &line : report.leftLines())
        err << line << Qt::endl;
    if (!session.report.onTerminal())
        out << report.closingText() << Qt::endl;
    if (!session.report.save(report, out, err))
        return 1;
    return report.complete() ? 0 : 2;
}

int run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    CommandLine options("db server branch service date month from to until align source-service "
                        "diets mode "
                        "rounding operator ca token-file stats report undo",
                        "no-rounding dry-run list-runs");
    const bool parsed = options.parse(arguments);
    const bool history =
        parsed && (options.has(QStringLiteral("undo")) || options.has(QStringLiteral("list-runs")));
    QString problem = history ? undoOptionsProblem(options) : options.error();
    const ImportRequest request =
        parsed && !history ? ImportRequest::fromOptions(options, &problem) : ImportRequest();
    if (problem.isEmpty())
        problem = HostSession::readOptions(options);
    if (problem.isEmpty() && options.has(QStringLiteral("db")))
        problem = DatabaseConfig::problem(options.value(QStringLiteral("db")));
    if (!problem.isEmpty())
        throw UsageError(problem);
    return history ? undo(options, out, err) : import(options, request, out, err);
}

} // namespace

int main(int argc, char *argv[])
{
    tuneAllocator();
    allocatorBeforeRun();
    QCoreApplication app(argc, argv);
    sayLostConnectionsOnce();
    return runTool(app.arguments(), "USAGE_IMPORT", "USAGE_IMPORT_DETAILS", run);
}
