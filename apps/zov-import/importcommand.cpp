#include "importcommand.h"

#include "appserverhost.h"
#include "callmetadata.h"
#include "commandline.h"
#include "consiste.h"
#include "database.h"
#include "dates.h"
#include "error.h"
#include "hostcontext.h"
#include "impocardhosp.h"
#include "messages.h"
#include "rpcconnection.h"
#include "texts.h"

#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <unistd.h>

namespace zov {

namespace {

const QString kConnection = QStringLiteral("zov-import-host");

// Errors go to standard error; the closing dialog's text to standard output.
class StreamPresenter : public Presenter
{
public:
    StreamPresenter(QTextStream &out, QTextStream &err)
        : m_out(out)
        , m_err(err)
    {}
    void showError(const QString &text) override { m_err << text << Qt::endl; }
    void showInformation(const QString &text) override { m_out << text << Qt::endl; }
    void showWarning(const QString &text) override { m_out << text << Qt::endl; }
    int choose(const QString &, const PickList &, const QString &) override { return -1; }
    bool chooseMany(const QString &, const PickList &, const QList<int> &, QList<int> *) override
    {
        return false;
    }

private:
    QTextStream &m_out;
    QTextStream &m_err;
};

struct Request
{
    DatabaseConfig db;
    QString server;
    QString branch;
    QString service;
    QString sourceService;
    QDate date;
    QDate month;
    QDate from;
    QDate to;
    bool allDiets = true;
    QString dietList;
    bool append = true;
    double rounding = 1.0;
    bool noRounding = false;
    QString operatorCode;
    QString caFile;
    QString token;
    QString statsFile;
    QString reportFile;
    bool dryRun = false;
};

QDate isoDate(const QString &text)
{
    return zov::parseIsoDate(text);
}

// Reads the command line; an empty text when it is sound, else what is wrong.
QString readRequest(const CommandLine &options, Request *r)
{
    for (const char *required : {"db", "branch", "service", "date", "from"}) {
        if (!options.has(QLatin1String(required)))
            return text("CLI_MISSING_OPTION").arg(QLatin1String(required));
    }
    if (!options.positional().isEmpty())
        return text("CLI_UNKNOWN_OPTION").arg(options.positional().first().left(80));
    try {
        r->db = DatabaseConfig::parse(options.value(QStringLiteral("db")));
    } catch (const Error &e) {
        return e.text();
    }
    r->branch = options.value(QStringLiteral("branch"));
    r->service = options.value(QStringLiteral("service"));
    r->sourceService = options.value(QStringLiteral("source-service"), r->service);
    if (r->branch.isEmpty() || r->branch.size() > 4)
        return text("CLI_BAD_BRANCH").arg(r->branch.left(40));
    if (r->service.isEmpty() || r->service.size() > 5 || r->sourceService.size() > 5)
        return text("CLI_BAD_SERVICE")
            .arg(r->service.size() > 5 ? r->service.left(40) : r->sourceService.left(40));
    r->service = Ajusta(r->service, 5);
    if (!r->sourceService.isEmpty())
        r->sourceService = Ajusta(r->sourceService, 5);
    for (const char *name : {"date", "from", "to", "month"}) {
        if (options.has(QLatin1String(name)) &&
            !isoDate(options.value(QLatin1String(name))).isValid())
            return text("CLI_BAD_DATE")
                .arg(QLatin1String(name), options.value(QLatin1String(name)).left(40));
    }
    r->date = isoDate(options.value(QStringLiteral("date")));
    r->from = isoDate(options.value(QStringLiteral("from")));
    r->to =
        options.has(QStringLiteral("to")) ? isoDate(options.value(QStringLiteral("to"))) : QDate();
    r->month = options.has(QStringLiteral("month"))
                   ? isoDate(options.value(QStringLiteral("month")))
                   : QDate(r->date.year(), r->date.month(), 1);
    if (r->month.day() != 1)
        return text("CLI_BAD_MONTH").arg(options.value(QStringLiteral("month")));
    const QString diets = options.value(QStringLiteral("diets"), QStringLiteral("all"));
    if (diets != QLatin1String("all")) {
        r->allDiets = false;
        QStringList codes;
        for (const QString &code : diets.split(QLatin1Char(','))) {
            if (code.isEmpty() || code.size() > 4 || code.contains(QLatin1Char('_')))
                return text("CLI_BAD_DIET").arg(code.left(40));
            codes.append(code);
        }
        r->dietList = QLatin1Char('_') + codes.join(QLatin1Char('_')) + QLatin1Char('_');
    }
    const QString mode = options.value(QStringLiteral("mode"), QStringLiteral("append"));
    if (mode != QLatin1String("append") && mode != QLatin1String("overwrite"))
        return text("CLI_BAD_MODE").arg(mode.left(40));
    r->append = mode == QLatin1String("append");
    if (options.has(QStringLiteral("rounding"))) {
        bool ok = false;
        QString value = options.value(QStringLiteral("rounding"));
        value.replace(QLatin1Char(','), QLatin1Char('.'));
        r->rounding = value.toDouble(&ok);
        if (!ok || !std::isfinite(r->rounding))
            return text("CLI_BAD_ROUNDING").arg(options.value(QStringLiteral("rounding")).left(40));
        // the screen's edit holds three decimals: 9.9999 never reaches the import there
        const double thousandths = r->rounding * 1000;
        if (std::fabs(thousandths - std::round(thousandths)) >
            1e-6 * std::max(1.0, std::fabs(thousandths)))
            return text("CLI_ROUNDING_DECIMALS")
                .arg(options.value(QStringLiteral("rounding")).left(40));
    }
    r->noRounding = options.has(QStringLiteral("no-rounding"));
    // every stored header names who stored it: never an empty operator
    r->operatorCode = options.value(QStringLiteral("operator"), systemLoginName().left(12));
    if (r->operatorCode.trimmed().isEmpty())
        return text("CLI_NO_OPERATOR");
    if (r->operatorCode.size() > 12)
        return text("CLI_BAD_OPERATOR").arg(r->operatorCode.left(40));
    r->server = options.value(QStringLiteral("server"));
    r->statsFile = options.value(QStringLiteral("stats"));
    r->reportFile = options.value(QStringLiteral("report"));
    r->dryRun = options.has(QStringLiteral("dry-run"));
    r->caFile = options.value(QStringLiteral("ca"));
    if (options.has(QStringLiteral("token-file"))) {
        try {
            r->token = readTokenFile(options.value(QStringLiteral("token-file"))).first();
        } catch (const Error &e) {
            return e.text();
        }
    }
    return {};
}

bool exists(const QString &sql, const QVariantList &values)
{
    QSqlQuery q(QSqlDatabase::database(kConnection));
    q.prepare(sql);
    for (const QVariant &v : values)
        q.addBindValue(v);
    return q.exec() && q.next();
}

// Progress on a terminal: the caption and the bar, at most ten times a second.
class TerminalProgress
{
public:
    TerminalProgress(QTextStream &err, const ImpoCardHosp &screen)
        : m_err(err)
        , m_screen(screen)
    {
        m_enabled = isatty(STDERR_FILENO);
        m_timer.start();
    }
    ~TerminalProgress()
    {
        if (m_enabled && m_shown)
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
    bool m_enabled = false;
    bool m_shown = false;
};

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

RpcConnection *rpcOf(const ImpoCardHosp &screen)
{
    return dynamic_cast<RpcConnection *>(screen.connection());
}

// Figures of the import command for measurements: the remote calls it made, how
// long they took, the CPU time of this thread (the screen's logic, without the
// server) and the slot pairs it visited.
void writeStats(const QString &file, const ImpoCardHosp &screen, double cpuSeconds,
                long callsBefore)
{
    QJsonObject stats;
    if (RpcConnection *rpc = rpcOf(screen)) {
        std::vector<qint64> durations(rpc->callMicroseconds().begin() + callsBefore,
                                      rpc->callMicroseconds().end());
        qint64 total = 0;
        for (const qint64 d : durations)
            total += d;
        std::sort(durations.begin(), durations.end());
        stats.insert(QStringLiteral("calls"), static_cast<qint64>(durations.size()));
        stats.insert(QStringLiteral("callSeconds"), static_cast<double>(total) / 1e6);
        stats.insert(QStringLiteral("callMedianMicroseconds"),
                     durations.empty() ? 0.0
                                       : static_cast<double>(durations[durations.size() / 2]));
    }
    stats.insert(QStringLiteral("clientCpuSeconds"), cpuSeconds);
    stats.insert(QStringLiteral("slotPairs"), static_cast<qint64>(screen.slotPairsVisited()));
    stats.insert(QStringLiteral("batches"), screen.batchesStored());
    QFile out(file);
    if (out.open(QIODevice::WriteOnly))
        out.write(QJsonDocument(stats).toJson());
}

int importRun(const Request &r, QTextStream &out, QTextStream &err)
{
    // The report's file is opened first: a path that cannot be written stops the
    // command before anything is stored. It replaces the file only once it is whole;
    // a command that stops before the import leaves an earlier report as it was.
    // "-" prints the table on standard output; a name ending in .csv gets the CSV.
    const bool reportToTerminal = r.reportFile == QLatin1String("-");
    QSaveFile reportFile(r.reportFile);
    if (!r.reportFile.isEmpty() && !reportToTerminal && !reportFile.open(QIODevice::WriteOnly)) {
        err << text("CLI_BAD_REPORT_FILE").arg(r.reportFile, reportFile.errorString()) << Qt::endl;
        return 64;
    }
    QSqlDatabase db = openDatabase(r.db, kConnection, OpenMode::MustExist);
    const QString problem = schemaProblem(db);
    if (!problem.isEmpty()) {
        err << text("DB_WRONG_SCHEMA").arg(r.db.display(), problem) << Qt::endl;
        return 1;
    }
    if (!exists(QStringLiteral("SELECT 1 FROM FILIAL WHERE CDFILIAL = ?"), {r.branch})) {
        err << text("CLI_UNKNOWN_BRANCH").arg(r.branch) << Qt::endl
            << text("USAGE_IMPORT") << Qt::endl;
        return 64;
    }
    if (!exists(QStringLiteral("SELECT 1 FROM SERVICO WHERE CDFILIAL = ? AND CDSERVFILI = ?"),
                {r.branch, r.service})) {
        err << text("CLI_UNKNOWN_SERVICE").arg(r.service, r.branch) << Qt::endl
            << text("USAGE_IMPORT") << Qt::endl;
        return 64;
    }

    LoginContext &login = loginContext();
    login.operador = r.operatorCode;
    login.connectionName = kConnection;
    login.caFile = r.caFile;
    login.token = r.token;
    std::unique_ptr<AppServerHost> embedded;
    if (r.server.isEmpty()) {
        // the application server inside this process, on a free loopback port
        QLoggingCategory::setFilterRules(QStringLiteral("zov.server.*=false"));
        AppServerHost::Options options;
        options.listen = QStringLiteral("127.0.0.1:0");
        embedded = std::make_unique<AppServerHost>(r.db, options);
        embedded->start();
        login.webUrl = QStringLiteral("127.0.0.1");
        login.webPort = embedded->port();
    } else {
        login.webUrl = r.server.section(QLatin1Char(':'), 0, -2);
        login.webPort = r.server.section(QLatin1Char(':'), -1).toInt();
    }

    storeEntryValues(r.branch, r.service, r.date, r.month, QString(), QString(),
                     r.noRounding ? 1 : 0);
    ImpoCardHosp screen;
    TerminalProgress progress(err, screen);
    screen.setMessagePump([&progress] { progress.update(); });

    // creation and first activation
    screen.FormCreate();
    screen.FormActivate();
    // what the planner types and picks
    if (r.sourceService != screen.serviceText()) {
        screen.setServiceText(r.sourceService);
        screen.medCdServicoExit();
    }
    screen.setStartDate(r.from);
    if (r.to.isValid()) {
        screen.setEndDate(r.to);
        screen.depCardOrigAteExit();
    }
    if (r.allDiets) {
        screen.setDietChoice(true, false);
    } else {
        screen.setDietChoice(false, true);
        unitValues().DietasEscolhidas = r.dietList; // as the multi-select returns them
    }
    screen.grbDietaExit();
    screen.setMode(r.append);
    screen.setRounding(r.rounding);
    // leaving the selection panel for the grid, then the import command
    screen.panOrigemExit();
    const double cpuBefore = threadCpuSeconds();
    const long callsBefore = rpcOf(screen) ? rpcOf(screen)->callCount() : 0;
    screen.setDryRun(r.dryRun);
    // the report tells what was stored also when the run stops on an error
    bool reportLost = false;
    const auto writeReport = [&] {
        if (reportToTerminal) {
            out << screen.report().toText() << Qt::flush;
        } else if (reportFile.isOpen()) {
            const bool csv = r.reportFile.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive);
            const QByteArray report = csv ? screen.report().toCsv() : screen.report().toJson();
            errno = 0;
            // a short write (a full disk, a file size limit) is a failure too: the old
            // file stays and nothing half-written takes its place
            const bool whole = reportFile.write(report) == report.size();
            const int cause = errno;
            if (!whole)
                reportFile.cancelWriting();
            if (!whole || !reportFile.commit()) {
                const QString why = cause != 0 ? QString::fromLocal8Bit(std::strerror(cause))
                                               : reportFile.errorString();
                err << text("CLI_BAD_REPORT_FILE").arg(r.reportFile, why) << Qt::endl;
                reportLost = true;
            }
        }
    };
    try {
        screen.sbtImportExportClick();
    } catch (...) {
        writeReport();
        if (!reportLost)
            throw;
        // a report that could not be saved ends the command with 1, whatever the
        // import did; the import's own message still goes out
        try {
            throw;
        } catch (const AbortError &) {
        } catch (const Error &e) {
            err << e.text() << Qt::endl;
        }
        return 1;
    }
    writeReport();
    if (!r.statsFile.isEmpty())
        writeStats(r.statsFile, screen, threadCpuSeconds() - cpuBefore, callsBefore);
    if (r.dryRun) {
        if (!screen.report().finished)
            return 1;
        out << text("CLI_DRY_RUN_DONE").arg(screen.report().closingText) << Qt::endl;
    } else if (screen.modalResult() != 1) {
        return 1;
    }
    if (reportLost)
        return 1;
    // a warning closed the run: dishes were left out (no slot of their type, no diners)
    return screen.report().closingText == TMessages::Msg(QStringLiteral("SUCESSO")) ? 0 : 3;
}

} // namespace

int runImportCommand(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    CommandLine options(
        {QStringLiteral("db"), QStringLiteral("server"), QStringLiteral("branch"),
         QStringLiteral("service"), QStringLiteral("date"), QStringLiteral("month"),
         QStringLiteral("from"), QStringLiteral("to"), QStringLiteral("source-service"),
         QStringLiteral("diets"), QStringLiteral("mode"), QStringLiteral("rounding"),
         QStringLiteral("operator"), QStringLiteral("ca"), QStringLiteral("token-file"),
         QStringLiteral("stats"), QStringLiteral("report")},
        {QStringLiteral("no-rounding"), QStringLiteral("dry-run")});
    Request request;
    QString problem = options.parse(arguments) ? readRequest(options, &request) : options.error();
    if (!problem.isEmpty()) {
        err << problem << Qt::endl << text("USAGE_IMPORT") << Qt::endl;
        return 64;
    }
    StreamPresenter presenter(out, err);
    setPresenter(&presenter);
    int code = 1;
    try {
        code = importRun(request, out, err);
    } catch (const AbortError &e) {
        // MensErro has shown the text already
        code = e.kind() == AbortKind::Failure ? 1 : 2;
    } catch (const ServerTextError &e) {
        err << e.text() << Qt::endl;
        code = 2;
    } catch (const Error &e) {
        err << e.text() << Qt::endl;
        code = 1;
    }
    setPresenter(nullptr);
    QSqlDatabase::removeDatabase(kConnection);
    return code;
}

} // namespace zov
