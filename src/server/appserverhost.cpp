#include "appserverhost.h"

#include "appserver.grpc.pb.h"
#include "dispatcher.h"
#include "error.h"
#include "texts.h"

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
    explicit AppServerService(Dispatcher &dispatcher)
        : m_dispatcher(dispatcher)
    {}

    grpc::Status Invoke(grpc::ServerContext *context, const rpc::Call *call,
                        rpc::Reply *reply) override
    {
        CallContext callContext;
        callContext.batchId = metadata(context, "zov-batch-id").left(100);
        callContext.peer = QString::fromStdString(context->peer());
        return m_dispatcher.invoke(*call, reply, callContext);
    }

private:
    Dispatcher &m_dispatcher;
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

void AppServerHost::start()
{
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
    m_service = std::make_unique<AppServerService>(*m_dispatcher);
    grpc::ServerBuilder builder;
    builder.AddListeningPort(m_options.listen.toStdString(), grpc::InsecureServerCredentials(),
                             &m_port);
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
