#include "rpcconnection.h"

#include "appserver.grpc.pb.h"
#include "callmetadata.h"
#include "error.h"
#include "signatures.h"
#include "texts.h"
#include "wire.h"

#include <QFile>
#include <QUuid>
#include <grpcpp/grpcpp.h>

#include <thread>

namespace zov {

struct RpcConnection::Stub
{
    std::unique_ptr<rpc::AppServer::Stub> stub;
};

namespace {
constexpr int kMaxReplyBytes = 512 * 1024 * 1024;
constexpr int kMaxCallBytes = 4 * 1024 * 1024; // what the server takes
} // namespace

RpcConnection::RpcConnection() = default;
RpcConnection::~RpcConnection() = default;

void RpcConnection::setOptions(const Options &options)
{
    m_options = options;
}

QString RpcConnection::address() const
{
    return QStringLiteral("%1:%2").arg(m_options.host).arg(m_options.port);
}

void RpcConnection::setMetadata(const QString &key, const QString &value)
{
    for (int i = 0; i < m_metadata.size(); ++i) {
        if (m_metadata.at(i).first == key) {
            if (value.isEmpty())
                m_metadata.removeAt(i);
            else
                m_metadata[i].second = value;
            return;
        }
    }
    if (!value.isEmpty())
        m_metadata.append({key, value});
}

void RpcConnection::open(int timeoutMs)
{
    close();
    // a token gRPC cannot carry would abort the process at the first call
    if (!m_options.token.isEmpty() && !isSendableToken(m_options.token))
        throw Error(text("TOKEN_NOT_SENDABLE").arg(text("TOKEN_OF_THE_CONNECTION")));
    std::shared_ptr<grpc::ChannelCredentials> credentials;
    if (!m_options.caFile.isEmpty()) {
        QFile ca(m_options.caFile);
        if (!ca.open(QIODevice::ReadOnly))
            throw Error(text("RPC_CA_UNREADABLE").arg(m_options.caFile));
        grpc::SslCredentialsOptions ssl;
        ssl.pem_root_certs = ca.readAll().toStdString();
        credentials = grpc::SslCredentials(ssl);
    } else {
        credentials = grpc::InsecureChannelCredentials();
    }
    grpc::ChannelArguments arguments;
    arguments.SetMaxReceiveMessageSize(kMaxReplyBytes);
    arguments.SetMaxSendMessageSize(kMaxCallBytes);
    arguments.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, 60000);
    arguments.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, 20000);
    // one connection of its own, not shared with other channels of the process
    arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    // (the minimal client stack is not used: without its deadline filter a call to a
    // server that stopped answering waited for the keepalive, not for its deadline)
    auto channel = grpc::CreateCustomChannel(address().toStdString(), credentials, arguments);
    const auto deadline = std::chrono::system_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!channel->WaitForConnected(deadline))
        throw Error(text("RPC_UNREACHABLE").arg(address()));
    m_channel = channel;
    m_stub = std::make_unique<Stub>();
    m_stub->stub = rpc::AppServer::NewStub(m_channel);
    m_calls = 0;
    m_durations.clear();
}

void RpcConnection::close()
{
    m_stub.reset();
    m_channel.reset();
}

QVariant RpcConnection::invoke(const QString &method, QVariantList &args)
{
    const MethodSignature *signature = findSignature(method);
    if (m_checkSignatures) {
        if (!signature)
            throw Error(text("RPC_UNKNOWN_METHOD").arg(method));
        const QString problem = checkArguments(*signature, args);
        if (!problem.isEmpty())
            throw Error(problem);
    }
    if (!m_stub)
        throw Error(text("RPC_NOT_OPEN").arg(address()));

    // Messages live in an arena: a call allocates thousands of small values, freed at
    // once. The two answers that carry a whole month are read outside it, so that
    // their rows can be freed one by one as they are converted.
    const bool large = signature && signature->largeReply;
    google::protobuf::Arena arena;
    auto *call = google::protobuf::Arena::CreateMessage<rpc::Call>(&arena);
    call->set_method(method.toStdString());
    for (const QVariant &arg : args)
        toWire(arg, call->add_args());
    rpc::Reply heapReply;
    rpc::Reply &reply =
        large ? heapReply : *google::protobuf::Arena::CreateMessage<rpc::Reply>(&arena);

    // A batch carries an id of its own: when its reply is lost (the deadline passes or
    // the connection drops) it is sent again with the same id, and a server that
    // stored it already answers from its record instead of storing it twice.
    const bool batch = signature && signature->id == Method::SetImportacao;
    const std::string batchId =
        batch ? QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString() : std::string();
    const int attempts = batch ? 3 : 1;
    QByteArray dryRunId;
    for (const auto &pair : m_metadata) {
        if (pair.first == QLatin1String("zov-dry-run"))
            dryRunId = encodeMetadataValue(pair.second);
    }
    bool dryRunAcknowledged = false;
    grpc::Status status;
    // a server busy with as many calls as it serves at once did not run this one: it
    // is sent again after a pause, for as long as its deadline allows
    const auto callStarted = std::chrono::steady_clock::now();
    int busyPause = 50;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() +
                             std::chrono::milliseconds(m_options.deadlineMs));
        if (!m_options.token.isEmpty())
            context.AddMetadata("authorization", "Bearer " + m_options.token.toStdString());
        // texts go encoded: gRPC takes printable ASCII only (see callmetadata.h)
        if (!m_options.operatorCode.isEmpty())
            context.AddMetadata("zov-operator",
                                encodeMetadataValue(m_options.operatorCode).toStdString());
        if (batch)
            context.AddMetadata("zov-batch-id", batchId);
        // the arguments are kept here: only a by-reference argument that the server
        // changed needs to come back
        context.AddMetadata("zov-by-ref", "changed");
        for (const auto &pair : m_metadata)
            context.AddMetadata(pair.first.toStdString(),
                                encodeMetadataValue(pair.second).toStdString());
        reply.Clear();
        ++m_calls;
        const auto started = std::chrono::steady_clock::now();
        status = m_stub->stub->Invoke(&context, *call, &reply);
        if (status.ok() && !dryRunId.isEmpty()) {
            const auto &answered = context.GetServerInitialMetadata();
            const auto ack = answered.find("zov-dry-run");
            dryRunAcknowledged =
                ack != answered.end() &&
                QByteArray(ack->second.data(), qsizetype(ack->second.size())) == dryRunId;
        }
        m_durations.push_back(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - started)
                                  .count());
        // (a message too large is refused with the same code, and is not sent again)
        const std::string &why = status.error_message();
        const bool busy =
            why.find("Threadpool") != std::string::npos || why == text("SERVER_BUSY").toStdString();
        if (status.error_code() == grpc::StatusCode::RESOURCE_EXHAUSTED && busy &&
            std::chrono::steady_clock::now() + std::chrono::milliseconds(busyPause) <
                callStarted + std::chrono::milliseconds(m_options.deadlineMs)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(busyPause));
            busyPause = std::min(busyPause * 2, 1000);
            --attempt;
            continue;
        }
        const bool lost = status.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED ||
                          status.error_code() == grpc::StatusCode::UNAVAILABLE;
        if (!lost || attempt == attempts)
            break;
        // a lost deadline is tried once more; a dropped connection twice, after a pause
        if (status.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED && attempt == 2)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200 * attempt));
    }
    if (!status.ok()) {
        const QString detail = QString::fromStdString(status.error_message());
        switch (status.error_code()) {
        case grpc::StatusCode::UNAVAILABLE:
            throw Error(text("RPC_UNAVAILABLE").arg(address(), detail));
        case grpc::StatusCode::DEADLINE_EXCEEDED:
            throw Error(text("RPC_DEADLINE")
                            .arg(address(), method)
                            .arg(QString::number(m_options.deadlineMs / 1000.0, 'f', 1)
                                     .replace(QLatin1Char('.'), QLatin1Char(','))));
        case grpc::StatusCode::UNAUTHENTICATED:
            throw Error(text("RPC_UNAUTHENTICATED").arg(address()));
        default:
            throw Error(text("RPC_REFUSED").arg(method, address(), detail));
        }
    }
    // A server that does not know dry runs would have kept what this call did. The
    // run's first calls only read, so a dry run stops there, before any write.
    if (!dryRunId.isEmpty() && !dryRunAcknowledged)
        throw Error(text("RPC_DRY_RUN_IGNORED").arg(address(), method));
    try {
        QVariant value = reply.has_value() ? takeFromWire(reply.mutable_value()) : QVariant();
        QVariantList written = args;
        for (const auto &[position, v] : reply.by_ref()) {
            if (position < 0 || position >= args.size() ||
                (signature && !signature->params.at(position).byRef))
                throw Error(text("RPC_BAD_REPLY").arg(method, address()));
            written[position] = fromWire(v);
        }
        // what comes back must still be what the method takes
        if (signature && m_checkSignatures && !checkArguments(*signature, written).isEmpty())
            throw Error(text("RPC_BAD_REPLY").arg(method, address()));
        args = written;
        return value;
    } catch (const Error &e) {
        throw Error(text("RPC_BAD_REPLY_DETAIL").arg(method, address(), e.text()));
    }
}

} // namespace zov
