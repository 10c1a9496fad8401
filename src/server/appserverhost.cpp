#include "appserverhost.h"

#include "appserver.grpc.pb.h"
#include "dispatcher.h"
#include "error.h"
#include "texts.h"

#include <QFile>
#include <QSqlDatabase>
#include <QUuid>
#include <grpcpp/grpcpp.h>

namespace zov {

namespace {
constexpr int kMaxCallBytes = 16 * 1024 * 1024;
constexpr int kMaxReplyBytes = 512 * 1024 * 1024;

QString metadata(const grpc::ServerContext *context, const char *key)
{
    const auto &meta = context->client_metadata();
    const auto it = meta.find(key);
    return it == meta.end()
               ? QString()
               : QString::fromUtf8(it->second.data(), static_cast<qsizetype>(it->second.size()));
}
} // namespace

class AppServerService final : public rpc::AppServer::Service
{
public:
    AppServerService(Dispatcher &dispatcher, const QString &token)
        : m_dispatcher(dispatcher)
        , m_token(token.isEmpty() ? QByteArray() : "Bearer " + token.toUtf8())
    {}

    grpc::Status Invoke(grpc::ServerContext *context, const rpc::Call *call,
                        rpc::Reply *reply) override
    {
        // the credential is checked before any method runs; it is never logged
        if (!m_token.isEmpty() && !sameSecret(metadataBytes(context, "authorization"), m_token)) {
            qCWarning(lcCalls).noquote()
                << QString::fromStdString(call->method()).left(60) << "unauthenticated"
                << QString::fromStdString(context->peer());
            return {grpc::StatusCode::UNAUTHENTICATED, text("RPC_BAD_CREDENTIAL").toStdString()};
        }
        CallContext callContext;
        callContext.batchId = metadata(context, "zov-batch-id").left(100);
        callContext.operatorCode = metadata(context, "zov-operator").left(12);
        callContext.daySeen = metadata(context, "zov-day-seen").left(200);
        callContext.peer = QString::fromStdString(context->peer());
        callContext.dryRun = metadata(context, "zov-dry-run").left(64);
        callContext.configMonth = metadata(context, "zov-config-month").left(40);
        // the acknowledgement: a client in a dry run stops when a server does not
        // send it back (a server that does not know dry runs would store everything)
        if (!callContext.dryRun.isEmpty())
            context->AddInitialMetadata("zov-dry-run", callContext.dryRun.toStdString());
        callContext.changedByRefOnly = metadata(context, "zov-by-ref") == QLatin1String("changed");
        return m_dispatcher.invoke(*call, reply, callContext);
    }

private:
    static QByteArray metadataBytes(const grpc::ServerContext *context, const char *key)
    {
        const auto &meta = context->client_metadata();
        const auto it = meta.find(key);
        return it == meta.end()
                   ? QByteArray()
                   : QByteArray(it->second.data(), static_cast<qsizetype>(it->second.size()));
    }

    // compares in time that does not depend on where the texts differ
    static bool sameSecret(const QByteArray &given, const QByteArray &expected)
    {
        unsigned char difference = given.size() == expected.size() ? 0 : 1;
        for (qsizetype i = 0; i < expected.size(); ++i)
            difference |=
                static_cast<unsigned char>(expected.at(i) ^ (i < given.size() ? given.at(i) : 0));
        return difference == 0;
    }

    Dispatcher &m_dispatcher;
    const QByteArray m_token;
};

AppServerHost::AppServerHost(const DatabaseConfig &config, const Options &options)
    : m_config(config)
    , m_options(options)
{}

AppServerHost::~AppServerHost()
{
    stop();
}

QString AppServerHost::address() const
{
    const QString host = m_options.listen.section(QLatin1Char(':'), 0, -2);
    return QStringLiteral("%1:%2").arg(host).arg(m_port);
}

bool AppServerHost::isLoopback(const QString &listen)
{
    const QString host = listen.section(QLatin1Char(':'), 0, -2);
    return host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost") ||
           host == QLatin1String("[::1]") || host.startsWith(QLatin1String("127."));
}

namespace {
QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(text("SERVER_UNREADABLE_FILE").arg(path));
    return file.readAll();
}
} // namespace

void AppServerHost::start()
{
    // anything but loopback is reached over the network: only with TLS and a token
    const bool tls = !m_options.tlsCertFile.isEmpty() || !m_options.tlsKeyFile.isEmpty();
    if (tls && (m_options.tlsCertFile.isEmpty() || m_options.tlsKeyFile.isEmpty()))
        throw Error(text("SERVER_TLS_INCOMPLETE"));
    if (!isLoopback(m_options.listen) && (!tls || m_options.token.isEmpty()))
        throw Error(text("SERVER_NEEDS_TLS").arg(m_options.listen));
    std::shared_ptr<grpc::ServerCredentials> credentials = grpc::InsecureServerCredentials();
    if (tls) {
        grpc::SslServerCredentialsOptions ssl;
        ssl.pem_key_cert_pairs.push_back({readFile(m_options.tlsKeyFile).toStdString(),
                                          readFile(m_options.tlsCertFile).toStdString()});
        credentials = grpc::SslServerCredentials(ssl);
    }
    {
        const QString name =
            QStringLiteral("zov-server-check-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
        {
            QSqlDatabase db = openDatabase(m_config, name, OpenMode::MustExist);
            const QString problem = schemaProblem(db);
            db.close();
            if (!problem.isEmpty()) {
                db = QSqlDatabase();
                QSqlDatabase::removeDatabase(name);
                throw Error(text("DB_WRONG_SCHEMA").arg(m_config.display(), problem));
            }
        }
        QSqlDatabase::removeDatabase(name);
    }
    m_dispatcher = std::make_unique<Dispatcher>(m_config, m_options.menuNumberBlock);
    m_service = std::make_unique<AppServerService>(*m_dispatcher, m_options.token);
    grpc::ServerBuilder builder;
    builder.AddListeningPort(m_options.listen.toStdString(), credentials, &m_port);
    builder.SetMaxReceiveMessageSize(kMaxCallBytes);
    builder.SetMaxSendMessageSize(kMaxReplyBytes);
    builder.RegisterService(m_service.get());
    // one completion queue polled by one thread at a time keeps a call on one thread
    // from the socket to the reply; more threads are started as calls overlap
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::NUM_CQS, 1);
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MIN_POLLERS, 1);
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MAX_POLLERS, 2);
    m_server = builder.BuildAndStart();
    if (!m_server || m_port == 0) {
        m_server.reset();
        throw Error(text("SERVER_LISTEN_FAILED").arg(m_options.listen));
    }
}

void AppServerHost::stop(int graceMs)
{
    if (m_server) {
        m_server->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(graceMs));
        m_server->Wait();
        m_server.reset();
    }
    m_service.reset();
    m_dispatcher.reset();
}

void AppServerHost::wait()
{
    if (m_server)
        m_server->Wait();
}

} // namespace zov
