// zov-server: the application server rdmImpCardZov over an SQLite file or a
// PostgreSQL database, on a socket (127.0.0.1:8211 unless --listen says otherwise).

#include "allocator.h"
#include "appserverhost.h"
#include "commandline.h"
#include "error.h"
#include "texts.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>
#include <pthread.h>

int main(int argc, char *argv[])
{
    // SIGINT and SIGTERM are taken by sigwait below: block them before any thread starts
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    zov::tuneAllocator();

    QCoreApplication app(argc, argv);
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-ddThh:mm:ss.zzz} %{category} %{message}"));
    QTextStream err(stderr);
    zov::CommandLine options({QStringLiteral("db"), QStringLiteral("listen"),
                              QStringLiteral("tls-cert"), QStringLiteral("tls-key"),
                              QStringLiteral("token-file")},
                             {QStringLiteral("check")});
    if (!options.parse(app.arguments().mid(1)) || !options.has(QStringLiteral("db")) ||
        !options.positional().isEmpty()) {
        if (!options.error().isEmpty())
            err << options.error() << Qt::endl;
        err << zov::text("USAGE_SERVER") << Qt::endl;
        return 64;
    }
    zov::AppServerHost::Options hostOptions;
    hostOptions.listen = options.value(QStringLiteral("listen"), hostOptions.listen);
    hostOptions.tlsCertFile = options.value(QStringLiteral("tls-cert"));
    hostOptions.tlsKeyFile = options.value(QStringLiteral("tls-key"));
    if (options.has(QStringLiteral("token-file"))) {
        QFile token(options.value(QStringLiteral("token-file")));
        if (!token.open(QIODevice::ReadOnly)) {
            err << zov::text("CLI_BAD_TOKEN_FILE").arg(token.fileName()) << Qt::endl;
            return 64;
        }
        hostOptions.token = QString::fromUtf8(token.readAll()).trimmed();
        if (hostOptions.token.isEmpty()) {
            err << zov::text("CLI_BAD_TOKEN_FILE").arg(token.fileName()) << Qt::endl;
            return 64;
        }
    }
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
        sigwait(&stopSignals, &signal);
        err << zov::text("SERVER_STOPPING") << Qt::endl;
        host.stop();
        err << zov::text("SERVER_STOPPED") << Qt::endl;
    } catch (const zov::Error &e) {
        err << e.text() << Qt::endl;
        return 1;
    }
    return 0;
}
