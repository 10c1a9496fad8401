// zov-server: the application server rdmImpCardZov over an SQLite file or a
// PostgreSQL database, on a socket (127.0.0.1:8211 unless --listen says otherwise).

#include "allocator.h"
#include "appserverhost.h"
#include "callmetadata.h"
#include "commandline.h"
#include "error.h"
#include "serveroptions.h"
#include "texts.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>
#include <pthread.h>

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
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-ddThh:mm:ss.zzz} %{category} %{message}"));
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
    try {
        zov::AppServerHost host(zov::DatabaseConfig::parse(options.value(QStringLiteral("db"))),
                                hostOptions);
        host.start();
        if (options.has(QStringLiteral("check"))) {
            // --check: the database, the files and the address are sound; nothing is served
            err << zov::text("SERVER_CHECKED").arg(host.address()) << Qt::endl;
            host.stop();
            return 0;
        }
        err << zov::text("SERVER_STARTED").arg(host.address()) << Qt::endl;
        int signal = 0;
        // the log goes to standard error, which the service manager keeps: there is no
        // file to reopen on SIGHUP
        while (sigwait(&stopSignals, &signal) == 0 && signal == SIGHUP)
            err << zov::text("SERVER_SIGHUP") << Qt::endl;
        err << zov::text("SERVER_STOPPING") << Qt::endl;
        host.stop(graceSeconds * 1000);
        err << zov::text("SERVER_STOPPED") << Qt::endl;
    } catch (const zov::Error &e) {
        err << e.text() << Qt::endl;
        return 1;
    }
    return 0;
}
