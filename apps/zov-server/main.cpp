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

int main(int argc, char *argv[])
{
    // SIGINT and SIGTERM (stop) and SIGHUP (a terminal closed, a log rotated: the
    // server goes on) are taken by sigwait below: block them before any thread starts
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    zov::tuneAllocator();

    QCoreApplication app(argc, argv);
    zov::installServerLog();
    QTextStream err(stderr);
    QTextStream out(stdout);
    if (zov::answeredHelpOrVersion(app.arguments(), zov::text("USAGE_SERVER"),
                                   zov::text("USAGE_SERVER_DETAILS"), out))
        return 0;
    zov::CommandLine options(zov::serverOptions() + QStringList{QStringLiteral("config")},
                             {QStringLiteral("check")});
    const bool parsed = options.parse(app.arguments().mid(1));
    // --config FILE: the options the command line leaves out
    if (parsed && options.has(QStringLiteral("config"))) {
        if (const QString problem = options.readDefaults(options.value(QStringLiteral("config")));
            !problem.isEmpty()) {
            err << problem << Qt::endl;
            return 64;
        }
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
    const int graceSeconds = number("grace", 30, 0, 3600);
    if (!parsed || !options.has(QStringLiteral("db")) || !options.positional().isEmpty() ||
        threads < 0 || graceSeconds < 0) {
        if (!options.error().isEmpty())
            err << options.error() << Qt::endl;
        else if (threads < 0 || graceSeconds < 0)
            err << zov::text("SERVER_BAD_NUMBER") << Qt::endl;
        err << zov::text("USAGE_SERVER") << Qt::endl;
        return 64;
    }
    zov::AppServerHost::Options hostOptions;
    hostOptions.listen = options.value(QStringLiteral("listen"), hostOptions.listen);
    hostOptions.tlsCertFile = options.value(QStringLiteral("tls-cert"));
    hostOptions.tlsKeyFile = options.value(QStringLiteral("tls-key"));
    hostOptions.tokenFile = options.value(QStringLiteral("token-file"));
    if (!hostOptions.tokenFile.isEmpty()) {
        // a token file that cannot serve is a mistake on the command line
        try {
            zov::readTokenFile(hostOptions.tokenFile);
        } catch (const zov::Error &e) {
            err << e.text() << Qt::endl;
            return 64;
        }
    }
    hostOptions.threads = threads;
    hostOptions.metricsAddress = options.value(QStringLiteral("metrics"));
    bool serving = false;
    try {
        zov::AppServerHost host(zov::DatabaseConfig::parse(options.value(QStringLiteral("db"))),
                                hostOptions);
        if (options.has(QStringLiteral("check"))) {
            // --check: the database, the files and the address are sound; nothing is
            // served, and the port may be held by the server this check comes before
            if (host.check())
                err << zov::text("SERVER_CHECK_PORT_IN_USE").arg(hostOptions.listen) << Qt::endl;
            err << zov::text("SERVER_CHECKED").arg(hostOptions.listen) << Qt::endl;
            return 0;
        }
        serving = true;
        host.start();
        qCInfo(lcServer).noquote() << zov::text("SERVER_STARTED").arg(host.address());
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
        if (serving)
            qCCritical(lcServer).noquote() << e.text();
        else
            err << e.text() << Qt::endl;
        return 1;
    }
    return 0;
}
