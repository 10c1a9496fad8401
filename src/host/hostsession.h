#pragma once

#include <QSqlDatabase>
#include <QString>

namespace zov {

class BusyIndicator;
class CommandLine;
struct DatabaseConfig;
class Presenter;

// What a program that runs the screen sets up around it, zov-host and zov-import alike:
// the login context (operator, server address, CA, token) from the options, the host's
// own database connection, which the screen's queries use, and the presenter and busy
// indicator the screen speaks through. All of it goes with the session.
class HostSession
{
public:
    explicit HostSession(QString connectionName);
    ~HostSession();
    HostSession(const HostSession &) = delete;
    HostSession &operator=(const HostSession &) = delete;

    // --server, --ca and --token-file (readServerOptions), then --operator (readOperator),
    // into the login context; empty when they are sound, else the mistake in Portuguese.
    static QString readOptions(const CommandLine &options);
    // Opens the host's connection to `db` and names it in the login context; throws
    // zov::Error with a clear text.
    QSqlDatabase open(const DatabaseConfig &db);
    // The server the screen calls, when it is not the one of the options.
    void useServer(const QString &host, int port);
    void show(Presenter *presenter, BusyIndicator *busy = nullptr);

private:
    QString m_connection;
};

} // namespace zov
