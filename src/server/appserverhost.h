#pragma once

#include "database.h"

#include <QString>
#include <memory>

namespace grpc {
class Server;
}

namespace zov {

class Dispatcher;
class AppServerService;

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
        QString token; // every call must carry it ("authorization: Bearer <token>")
    };

    // True when `listen` names the loopback interface only.
    static bool isLoopback(const QString &listen);

    AppServerHost(const DatabaseConfig &config, const Options &options);
    ~AppServerHost();

    // Checks the database (it must exist and have the schema) and starts
    // listening. Throws zov::Error with a clear text.
    void start();
    int port() const { return m_port; }
    QString address() const;

    // Stops taking calls; calls under way finish (at most `graceMs`).
    void stop(int graceMs = 30000);
    // Blocks until the server has stopped.
    void wait();

private:
    DatabaseConfig m_config;
    Options m_options;
    std::unique_ptr<Dispatcher> m_dispatcher;
    std::unique_ptr<AppServerService> m_service;
    std::unique_ptr<grpc::Server> m_server;
    int m_port = 0;
};

} // namespace zov
