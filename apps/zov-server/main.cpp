// zov-server: the application server rdmImpCardZov over an SQLite file or a
// PostgreSQL database, on a socket (127.0.0.1:8211 unless --listen says otherwise).

#include "allocator.h"
#include "appserverhost.h"
#include "callmetadata.h"
#include "commandline.h"
#include "error.h"
#include "serverlog.h"
#include "serveroptions.h"
#include "texts.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTextStream>

#include <csignal>
#include <pthread.h>

Q_LOGGING_CATEGORY(lcServer, "zov.server")

namespace {

sigset_t stopSignals;

// The options into the server's; throws UsageError for a mistake.
zov::AppServerHost::Options readOptions(zov::CommandLine &options, const QStringList &arguments,
                                        int *graceSeconds)
{
    using zov::UsageError;
    const bool parsed = options.parse(arguments);
    // --config FILE: the options the command line leaves out
    if (parsed && options.has(QStringLiteral("config"))) {
        if (const QString problem = options.readDefaults(options.value(QStringLiteral("config")));
            !problem.isEmpty())
            throw UsageError(problem, UsageError::Usage::Left);
    }
    // a whole number in a range, or -1
    const auto number = [&](const char *name, int fallback, int low, int high) {
        if (!options.has(QLatin1String(name)))
            return fallback;
        bool ok = false;
        const int value = options.value(QLatin1String(name)).toInt(&ok);
        return ok && value >= low && value <= high ? value : -1;
    };
    const int threads = number("threads", 16, 2, 256);
    *graceSeconds = number("grace", 30, 0, 3600);
    if (!parsed || !options.has(QStringLiteral("db")) || !options.positional().isEmpty() ||
        threads < 0 || *graceSeconds < 0)
        throw UsageError(!options.error().isEmpty()         ? options.error()
                         : threads < 0 || *graceSeconds < 0 ? zov::text("SERVER_BAD_NUMBER")
                                                            : QString());
    zov::AppServerHost::Options host;
    host.listen = options.value(QStringLiteral("listen"), host.listen);
    host.tlsCertFile = options.value(QStringLiteral("tls-cert"));
    host.tlsKeyFile = options.value(QStringLiteral("tls-key"));
    host.tokenFile = options.value(QStringLiteral("token-file"));
    if (!host.tokenFile.isEmpty()) {
        // a token file that cannot serve is a mistake on the command line
        try {
            zov::readTokenFile(host.tokenFile);
        } catch (const zov::Error &e) {
            throw UsageError(e.text(), UsageError::Usage::Left);
        }
    }
    host.threads = threads;
    host.metricsAddress = options.value(QStringLiteral("metrics"));
    return host;
}

int run(const QStringList &arguments, QTextStream &, QTextStream &err)
{
    zov::CommandLine options(zov::serverOptions() + QStringList{QStringLiteral("config")},
                             {QStringLiteral("check")});
    int graceSeconds = 0;
    const zov::AppServerHost::Options hostOptions = readOptions(options, arguments, &graceSeconds);
    zov::AppServerHost host(zov::DatabaseConfig::parse(options.value(QStringLiteral("db"))),
                            hostOptions);
    if (options.has(QStringLiteral("check"))) {
        // --check: the database, the files and the address are sound; nothing is
        // served, and the port may be held by the server this check comes before
        if (host.check())
            err << zov::text("SERVER_CHECK_PORT_IN_USE").arg(hostOptions.listen) << Qt::endl;
        err << zov::text("SERVER_CHECKED").arg(hostOptions.listen) << Qt::endl;
        err << host.credentialMode() << Qt::endl;
        return 0;
    }
    try {
        host.start();
        qCInfo(lcServer).noquote() << zov::text("SERVER_STARTED").arg(host.address());
        qCInfo(lcServer).noquote() << host.credentialMode();
        int signal = 0;
        // the log goes to standard error, which the service manager keeps: there is no
        // file to reopen on SIGHUP
        while (sigwait(&stopSignals, &signal) == 0 && signal == SIGHUP)
            qCInfo(lcServer).noquote() << zov::text("SERVER_SIGHUP");
        qCInfo(lcServer).noquote() << zov::text("SERVER_STOPPING");
        host.stop(graceSeconds * 1000);
        qCInfo(lcServer).noquote() << zov::text("SERVER_STOPPED");
    } catch (const zov::Error &e) {
        // a check answers the one who runs it; a server that cannot start says it in its log
        qCCritical(lcServer).noquote() << e.text();
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // SIGINT and SIGTERM (stop) and SIGHUP (a terminal closed, a log rotated: the
    // server goes on) are taken by sigwait: block them before any thread starts
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    zov::tuneAllocator();

    QCoreApplication app(argc, argv);
    zov::installServerLog();
    return zov::runTool(app.arguments(), "USAGE_SERVER", "USAGE_SERVER_DETAILS", run);
}
