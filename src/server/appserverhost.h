#pragma once

#include "backup.h"
#include "database.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <mutex>

namespace grpc {
class Server;
class ServerCredentials;
class Service;
} // namespace grpc

namespace zov {

class Dispatcher;
class AppServerService;
class DatabaseProbe;
class MetricsEndpoint;
class ServerMetrics;

// The application server on a socket: the gRPC service over a dispatcher. Calls run
// on gRPC's thread pool, each thread with its own database connection.
class AppServerHost
{
public:
    struct Options
    {
        QString listen = QStringLiteral("127.0.0.1:8211"); // port 0 picks a free one
        int menuNumberBlock = 16;
        QString tlsCertFile; // TLS with this certificate and key when given
        QString tlsKeyFile;
        QString token;     // every call must carry it ("authorization: Bearer <token>")
        QString tokenFile; // or one of the tokens of this file, one a line
        // Calls served at once, each on a thread with its own database connection:
        // the server holds at most this many connections. A call beyond it is
        // refused with RESOURCE_EXHAUSTED (the clients try again shortly).
        int threads = 16;
        // Calls of more than 1 MB converted at once; the others wait their turn.
        int largeCalls = 1;
        // False answers InvokeStream UNIMPLEMENTED, as a build from before the stream
        // did (for the tests of its clients).
        bool offerStream = true;
        // False leaves a stream's first answer without zov-step-reads, as a build from
        // before GetPassoDestino did: its clients send a step's reads one by one.
        bool offerStepReads = true;
        // A stream whose caller sends nothing for this long while the server waits for
        // its next call, or stops reading while the server writes an answer, is ended.
        // Half the threads at most serve streams; a call beyond the limits is refused.
        int streamIdleMs = 60000;
        int streamStallMs = 30000;
        // The metrics in Prometheus's text format on HOST:PORT/metrics; none when empty.
        QString metricsAddress;
        // How often the database is asked whether it answers: while it does not, the
        // health check says NOT_SERVING.
        int healthProbeMs = 2000;
    };

    // True when `listen` names the loopback interface only.
    static bool isLoopback(const QString &listen);

    AppServerHost(const DatabaseConfig &config, const Options &options);
    // A server inside this process, for a program that wants one of its own: started on a
    // free loopback port, its log silent. Throws zov::Error as start() does.
    static std::unique_ptr<AppServerHost> startInProcess(const DatabaseConfig &config);
    ~AppServerHost();

    // Checks the database (it must exist and have the schema) and starts
    // listening. Throws zov::Error with a clear text.
    void start();
    // Everything start() checks, without listening: the address must be one this
    // machine can listen on; true when it is taken now (by the server that runs, before
    // a restart), which is no fault of the configuration.
    bool check();
    // How calls are told apart, as start() or check() found it: operators, the shared
    // token while operators come in, the shared token alone, or nothing (loopback).
    const QString &credentialMode() const { return m_credentialMode; }
    int port() const { return m_port; }
    int metricsPort() const;
    QString address() const;

    // Stops taking calls; calls under way finish within `graceMs`, and one still
    // waiting on the database by then is cut off from it.
    void stop(int graceMs = 30000);
    // Blocks until the server has stopped.
    void wait();

private:
    // the credentials, the TLS files and the database, as start() and check() need them
    void prepare();
    // SERVING while a thread is free and the database answers
    void updateHealth(bool full, bool databaseUp);

    DatabaseConfig m_config;
    QStringList m_tokens;
    QString m_credentialMode;
    std::shared_ptr<grpc::ServerCredentials> m_credentials;
    Options m_options;
    DatabaseHold m_hold;
    std::unique_ptr<Dispatcher> m_dispatcher;
    std::unique_ptr<AppServerService> m_service;
    std::unique_ptr<grpc::Server> m_server;
    std::unique_ptr<grpc::Service> m_reflection;
    std::unique_ptr<ServerMetrics> m_metrics;
    std::unique_ptr<MetricsEndpoint> m_metricsEndpoint;
    std::unique_ptr<DatabaseProbe> m_probe;
    std::mutex m_healthMutex;
    bool m_full = false;
    bool m_databaseUp = true;
    int m_port = 0;
};

} // namespace zov
