#include "rpcconnection.h"

#include "consiste.h"

#include "appserver.grpc.pb.h"
#include "batchprotocol.h"
#include "callfigures.h"
#include "callmetadata.h"
#include "error.h"
#include "hostcontext.h"
#include "signatures.h"
#include "texts.h"
#include "wire.h"

#include <QFile>
#include <QLoggingCategory>
#include <QUuid>
#include <grpcpp/grpcpp.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace zov {

struct RpcConnection::Stub
{
    std::unique_ptr<rpc::AppServer::Stub> stub;
};

Q_LOGGING_CATEGORY(lcRpc, "zov.rpc")

namespace {
constexpr int kMaxReplyBytes = 512 * 1024 * 1024;
constexpr int kMaxCallBytes = 4 * 1024 * 1024; // what the server takes
} // namespace

RpcConnection::RpcConnection() = default;
RpcConnection::~RpcConnection() = default;

RpcConnection::Options RpcConnection::loginOptions()
{
    Options options;
    options.host = WebURL();
    options.port = WebPort();
    options.deadlineMs = loginContext().deadlineMs;
    options.caFile = loginContext().caFile;
    options.token = loginContext().token;
    options.operatorCode = Operador();
    return options;
}

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
    // a credential never travels in clear text off this machine
    if (!m_options.token.isEmpty() && m_options.caFile.isEmpty() &&
        !resolvesToLoopbackOnly(m_options.host))
        throw Error(text("RPC_TOKEN_NEEDS_TLS").arg(address()));
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
    // a server that restarts (a couple of seconds) is found again within a second, not
    // after gRPC's backoff of up to two minutes
    arguments.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 100);
    arguments.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, 100);
    arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 1000);
    // (the minimal client stack is not used: without its deadline filter a call to a
    // server that stopped answering waited for the keepalive, not for its deadline)
    auto channel = grpc::CreateCustomChannel(address().toStdString(), credentials, arguments);
    const auto deadline = std::chrono::system_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!channel->WaitForConnected(deadline)) {
        // a server that takes the connection and then fails the handshake is up: the
        // secure connection is what failed (a certificate, a name, TLS on one side only)
        if (acceptsConnections(m_options.host, m_options.port))
            throw Error(
                m_options.caFile.isEmpty()
                    ? text("RPC_PLAIN_REFUSED").arg(address())
                    : text("RPC_TLS_FAILED").arg(address(), m_options.caFile, m_options.host));
        throw Error(text("RPC_UNREACHABLE").arg(address()));
    }
    m_channel = channel;
    m_stub = std::make_unique<Stub>();
    m_stub->stub = rpc::AppServer::NewStub(m_channel);
}

void RpcConnection::close()
{
    m_stub.reset();
    m_channel.reset();
}

namespace {

// The server of a reply with these headers takes a step's reads as one call.
bool offersStepReads(const std::multimap<grpc::string_ref, grpc::string_ref> &headers)
{
    const auto offered = headers.find(kStepReadsKey.name.data());
    return offered != headers.end() && offered->second == "1";
}

// The connection, not the call, failed: the server went away or a balancer in between
// reset the request (an HTTP/2 RST_STREAM when the server behind it died), or a server
// that began to stop cancelled a call that reached it then (this client cancels only a
// stream it gave up on, which is told apart). Nothing tells the call was not run, so
// only calls that may run twice are sent again: reads, and batches, which the server
// stores once by their ids.
bool connectionLost(const grpc::Status &status)
{
    return status.error_code() == grpc::StatusCode::UNAVAILABLE ||
           status.error_code() == grpc::StatusCode::CANCELLED ||
           (status.error_code() == grpc::StatusCode::INTERNAL &&
            status.error_message().find("RST_STREAM") != std::string::npos);
}

} // namespace

// The calls of a run on one stream. A writer thread sends them as they come, a reader
// thread takes the answers, which come in the order of the calls.
class RpcStream : public CallStream
{
public:
    explicit RpcStream(RpcConnection &connection)
        : m_connection(connection)
    {
        const RpcConnection::Options &o = connection.m_options;
        if (!o.token.isEmpty())
            m_context.AddMetadata("authorization", "Bearer " + o.token.toStdString());
        if (!o.operatorCode.isEmpty())
            m_context.AddMetadata(kOperatorKey.name.data(),
                                  encodeMetadataValue(o.operatorCode).toStdString());
        m_context.AddMetadata(kCallDeadlineKey.name.data(), std::to_string(o.deadlineMs));
        m_context.AddMetadata(kPacketColumnsKey.name.data(), "1");
        m_context.AddMetadata(kJoinedTextsKey.name.data(), "1");
        for (const auto &[key, value] : connection.m_metadata) {
            m_context.AddMetadata(key.toStdString(), encodeMetadataValue(value).toStdString());
            if (key == kDryRunKey.name)
                m_dryRunId = encodeMetadataValue(value);
        }
        m_stream = connection.m_stub->stub->InvokeStream(&m_context);
        m_writer = std::thread([this] { write(); });
        m_reader = std::thread([this] { read(); });
    }

    ~RpcStream() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_closing = true;
        }
        m_wake.notify_all();
        m_context.TryCancel();
        m_writer.join();
        m_reader.join();
    }

    int send(Method method, const QVariantList &args, const Metadata &own) override
    {
        Pending call{method, args, std::string(), own, Clock::now()};
        // a batch goes with the caller's id when it gives one, else with one of its own
        for (qsizetype i = 0; i < call.own.size(); ++i) {
            if (call.own.at(i).first == kBatchIdKey.name) {
                call.batchId = call.own.at(i).second.toStdString();
                call.own.removeAt(i);
                break;
            }
        }
        if (isBatch(method) && call.batchId.empty())
            call.batchId = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
        std::unique_lock lock(m_mutex);
        const int position = static_cast<int>(m_calls.size());
        m_calls.push_back(std::move(call));
        m_answers.emplace_back();
        if (m_oneByOne) {
            lock.unlock();
            makeOneByOne(position);
        } else {
            m_toWrite.push_back(position);
            m_wake.notify_all();
        }
        return position;
    }

    bool waitFor(int position, int ms) override
    {
        std::unique_lock lock(m_mutex);
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (m_answers.at(position).in || m_ended || m_oneByOne)
                return true;
            // silent for a call's deadline since the last answer or the oldest call
            // waiting for one: given up
            const auto waiting = std::max(m_lastArrival, m_calls.at(m_received).sent);
            const auto giveUp =
                waiting + std::chrono::milliseconds(m_connection.m_options.deadlineMs);
            if (Clock::now() >= giveUp) {
                m_silent = true;
                m_context.TryCancel();
                m_arrived.wait(lock, [this] { return m_ended; });
                return true;
            }
            if (Clock::now() >= until)
                return false;
            m_arrived.wait_until(lock, std::min(until, giveUp));
        }
    }

    QVariant answer(int position) override
    {
        while (!waitFor(position, 100)) {
        }
        std::unique_lock lock(m_mutex);
        Answer &a = m_answers.at(position);
        // an answer is handed over once: its memory goes with it
        if (a.taken)
            throw Error(text("RPC_BAD_REPLY")
                            .arg(methodName(m_calls.at(position).method), m_connection.address()));
        if (!a.in) {
            // the stream ended before this answer
            const grpc::Status status = m_status;
            // a server without the stream, or with every line for streams taken, ran none
            // of its calls: they go one by one
            const bool lost =
                connectionLost(status) ||
                (m_received == 0 && (status.error_code() == grpc::StatusCode::UNIMPLEMENTED ||
                                     status.error_code() == grpc::StatusCode::RESOURCE_EXHAUSTED));
            if (m_silent)
                throwFor(position, grpc::Status(grpc::StatusCode::DEADLINE_EXCEEDED, ""));
            if (!lost && !m_oneByOne)
                throwFor(position, status.ok()
                                       ? grpc::Status(grpc::StatusCode::UNAVAILABLE, "stream ended")
                                       : status);
            m_oneByOne = true;
            lock.unlock();
            for (int p = m_received; p <= position; ++p)
                makeOneByOne(p);
            lock.lock();
        }
        if (a.failed)
            std::rethrow_exception(a.failed);
        if (a.reply.status_code() != 0)
            throwFor(position, grpc::Status(static_cast<grpc::StatusCode>(a.reply.status_code()),
                                            a.reply.status_message()));
        m_connection.throwDatabaseFailure(a.reply, methodName(m_calls.at(position).method));
        // a server that does not confirm the dry run would keep what it does
        if (!m_dryRunId.isEmpty() && !m_oneByOne) {
            const auto &answered = m_context.GetServerInitialMetadata();
            const auto ack = answered.find(kDryRunKey.name.data());
            if (ack == answered.end() ||
                QByteArray(ack->second.data(), qsizetype(ack->second.size())) != m_dryRunId)
                throw Error(
                    text("RPC_DRY_RUN_IGNORED")
                        .arg(m_connection.address(), methodName(m_calls.at(position).method)));
        }
        try {
            a.taken = true;
            QVariant value =
                a.reply.has_value() ? takeFromWire(a.reply.mutable_value()) : QVariant();
            a.reply = rpc::Reply(); // its memory goes now, not with the stream
            return value;
        } catch (const Error &e) {
            throw Error(text("RPC_BAD_REPLY_DETAIL")
                            .arg(methodName(m_calls.at(position).method), m_connection.address(),
                                 e.text()));
        }
    }

    bool offersStepReads() override
    {
        std::lock_guard lock(m_mutex);
        if (m_oneByOne)
            return false;
        // the stream's server says so with its first answer, whose headers are then in;
        // until then the server of the connection's single calls does
        if (!m_stepReadsKnown && m_received > 0) {
            m_stepReadsKnown = true;
            m_stepReads = zov::offersStepReads(m_context.GetServerInitialMetadata());
        }
        return m_stepReadsKnown ? m_stepReads : m_connection.m_stepReads.load();
    }

    void finish() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_finishing = true;
        }
        m_wake.notify_all();
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Pending
    {
        Method method;
        QVariantList args; // kept until answered: a lost answer is asked for again
        std::string batchId;
        Metadata own;
        Clock::time_point sent;
    };
    struct Answer
    {
        bool in = false;
        rpc::Reply reply;
        std::exception_ptr failed; // made one by one, and it failed
        bool taken = false;
    };

    [[noreturn]] void throwFor(int position, const grpc::Status &status)
    {
        // refused for who sent it, before it ran: known not stored
        const auto code = status.error_code();
        if (code == grpc::StatusCode::UNAUTHENTICATED ||
            code == grpc::StatusCode::PERMISSION_DENIED) {
            try {
                m_connection.throwStatus(status, methodName(m_calls.at(position).method));
            } catch (const Error &e) {
                throw AccessRefusal(e.text(), e.details());
            }
        }
        m_connection.throwStatus(status, methodName(m_calls.at(position).method));
    }

    void write()
    {
        for (;;) {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_closing || m_finishing || !m_toWrite.empty(); });
            if (m_closing)
                return;
            if (m_toWrite.empty()) { // finishing, everything sent
                lock.unlock();
                m_stream->WritesDone();
                return;
            }
            const int position = m_toWrite.front();
            m_toWrite.pop_front();
            const Pending &p = m_calls.at(position);
            rpc::Call call;
            call.set_method(methodName(p.method).toStdString());
            for (const QVariant &arg : p.args)
                toWire(arg, call.add_args());
            if (!p.batchId.empty())
                (*call.mutable_metadata())[kBatchIdKey.name.data()] = p.batchId;
            for (const auto &[key, value] : p.own)
                (*call.mutable_metadata())[key.toStdString()] = value.toStdString();
            lock.unlock();
            if (!m_stream->Write(call))
                return; // the stream broke: the reader learns how
        }
    }

    void read()
    {
        rpc::Reply reply;
        while (m_stream->Read(&reply)) {
            std::lock_guard lock(m_mutex);
            Answer &a = m_answers.at(m_received);
            a.reply = std::move(reply);
            a.in = true;
            // its arguments are not needed any more
            m_calls[m_received].args.clear();
            ++m_received;
            if (m_connection.m_figures) // (counted as answered: a call made again is not)
                ++m_connection.m_figures->streamed;
            m_lastArrival = Clock::now();
            m_arrived.notify_all();
            reply = rpc::Reply();
        }
        const grpc::Status status = m_stream->Finish();
        std::lock_guard lock(m_mutex);
        m_status = status;
        m_ended = true;
        m_arrived.notify_all();
        m_wake.notify_all();
    }

    // The call at `position` as a single call, unless it has its answer: a batch with
    // its own id (a server that stored it answers from its record), and no batch after
    // a refused one.
    void makeOneByOne(int position)
    {
        std::unique_lock lock(m_mutex);
        if (m_answers.at(position).in || m_answers.at(position).failed)
            return;
        Pending p = m_calls.at(position);
        lock.unlock();
        Answer a;
        a.in = true;
        const bool batch = isBatch(p.method);
        if (batch && !m_batches.mayGo()) {
            a.reply.mutable_value()->set_text(m_batches.refusal().toStdString());
        } else if (m_gone) {
            // the server did not answer the call before for as long as it could wait:
            // the ones after it are not made to wait as long again each
            a.in = false;
            a.failed = m_gone;
        } else {
            try {
                QVariant value =
                    m_connection.invokeWith(methodName(p.method), p.args, p.batchId, p.own);
                toWire(value, a.reply.mutable_value());
                if (batch)
                    m_batches.noteAnswer(value);
            } catch (const DatabaseFailure &e) {
                a.in = false;
                a.failed = std::current_exception(); // a database failure stays one
                if (batch)
                    m_batches.noteFailure(e.text());
            } catch (const Error &e) {
                a.in = false;
                a.failed = std::current_exception();
                m_gone = a.failed;
                if (batch)
                    m_batches.noteFailure(e.text());
            }
        }
        lock.lock();
        m_answers[position] = std::move(a);
    }

    RpcConnection &m_connection;
    grpc::ClientContext m_context;
    std::unique_ptr<grpc::ClientReaderWriter<rpc::Call, rpc::Reply>> m_stream;
    std::thread m_writer;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_wake;    // for the writer
    std::condition_variable m_arrived; // for the caller
    std::deque<Pending> m_calls;
    std::deque<Answer> m_answers;
    std::deque<int> m_toWrite;
    int m_received = 0;
    Clock::time_point m_lastArrival = Clock::now();
    bool m_ended = false;
    bool m_silent = false;
    bool m_oneByOne = false;
    bool m_stepReadsKnown = false;
    bool m_stepReads = false;
    bool m_finishing = false;
    bool m_closing = false;
    grpc::Status m_status;
    BatchGate m_batches;       // of the calls made one by one
    std::exception_ptr m_gone; // the failure of a call made one by one
    QByteArray m_dryRunId;
};

std::unique_ptr<CallStream> RpcConnection::openStream()
{
    if (!m_stub)
        throw Error(text("RPC_NOT_OPEN").arg(address()));
    return std::make_unique<RpcStream>(*this);
}

QVariant RpcConnection::invoke(const QString &method, QVariantList &args)
{
    return invokeWith(method, args, {}, {});
}

void RpcConnection::throwStatus(const grpc::Status &status, const QString &method) const
{
    const QString detail = QString::fromStdString(status.error_message());
    // for support, under "Detalhes"
    const int code = static_cast<int>(status.error_code());
    const char *name = statusCodeName(code);
    const QString codeName =
        name ? QStringLiteral("%1 (%2)").arg(QLatin1String(name)).arg(code) : QString::number(code);
    const QString details = text("RPC_DETAILS").arg(method, address(), codeName, detail);
    switch (status.error_code()) {
    case grpc::StatusCode::UNAVAILABLE:
        throw Error(text("RPC_UNAVAILABLE").arg(address(), detail), details);
    case grpc::StatusCode::DEADLINE_EXCEEDED:
    case grpc::StatusCode::CANCELLED:
        throw Error(text("RPC_DEADLINE")
                        .arg(address(), method)
                        .arg(QString::number(m_options.deadlineMs / 1000.0, 'f', 1)
                                 .replace(QLatin1Char('.'), QLatin1Char(','))),
                    details);
    case grpc::StatusCode::UNAUTHENTICATED:
        // a server of operators says why (a disabled operator, a missing credential)
        if (!detail.isEmpty() && detail != text("RPC_BAD_CREDENTIAL"))
            throw Error(text("RPC_UNAUTHENTICATED_WHY").arg(address(), detail), details);
        throw Error(text("RPC_UNAUTHENTICATED").arg(address()), details);
    case grpc::StatusCode::PERMISSION_DENIED:
        // the server's own words name the operator, the branch and what was refused;
        // a refusal of the server, as its texts are
        throw ServerTextError(detail, details);
    case grpc::StatusCode::UNIMPLEMENTED:
        throw Error(text("RPC_UNIMPLEMENTED").arg(method, address()), details);
    default:
        throw Error(text("RPC_REFUSED").arg(method, address(), detail), details);
    }
}

void RpcConnection::throwDatabaseFailure(const rpc::Reply &reply, const QString &method) const
{
    if (m_rawAnswers || reply.answer_kind() != "database" || !reply.value().has_text())
        return;
    const QString said = QString::fromStdString(reply.value().text());
    throw DatabaseFailure(
        said, text("RPC_DETAILS").arg(method, address(), text("RPC_DATABASE_FAILED"), said));
}

namespace {

// When a call is sent again. A server busy with as many calls as it serves at once did
// not run it: it goes again after a pause, for as long as its deadline allows. A
// connection refused or dropped (a server restarting, a balancer that lost its server)
// is tried again, a little later each time, for as long as the deadline allows: every
// call may run twice (reads; GetPrxCardapio at worst leaves a gap in the numbers; an
// undo restores each day once; a batch is stored once by its id). A batch whose
// deadline passed is sent once more, with the same id.
struct Retries
{
    std::chrono::steady_clock::time_point deadline;
    std::chrono::milliseconds limit; // the call's deadline
    bool batch;
    int busyPause = 50;
    int lostPause = 100;
    int lostConnections = 0;
    bool lateOnce = false;

    // the time an attempt is given: the whole deadline first, then what is left of it
    // but at least a few seconds
    std::chrono::milliseconds give(bool first) const
    {
        if (first)
            return limit;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return std::max(left, std::min(limit, std::chrono::milliseconds(5000)));
    }
    bool pauseFits(int ms) const
    {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms) < deadline;
    }
    // Whether the call goes again after `status` (after the pause it takes).
    bool again(const grpc::Status &status)
    {
        // (a message too large is refused with the same code, and is not sent again)
        const std::string &why = status.error_message();
        const bool busy =
            why.find("Threadpool") != std::string::npos || why == text("SERVER_BUSY").toStdString();
        if (status.error_code() == grpc::StatusCode::RESOURCE_EXHAUSTED && busy &&
            pauseFits(busyPause)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(busyPause));
            busyPause = std::min(busyPause * 2, 1000);
            return true;
        }
        if (status.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED && batch && !lateOnce) {
            lateOnce = true;
            return true;
        }
        if (connectionLost(status) && pauseFits(lostPause)) {
            ++lostConnections;
            std::this_thread::sleep_for(std::chrono::milliseconds(lostPause));
            lostPause = std::min(lostPause * 2, 1000);
            return true;
        }
        return false;
    }
};

} // namespace

QVariant RpcConnection::invokeWith(const QString &method, QVariantList &args, std::string batchId,
                                   const CallStream::Metadata &own)
{
    const MethodSignature *signature = checkedSignature(method, args);
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
    const bool batch = signature && signature->batch;
    batchId = batch ? batchIdOf(std::move(batchId), own) : std::string();
    const QByteArray dryRunId = dryRunIdSent();
    bool dryRunAcknowledged = false;
    grpc::Status status;
    const auto callStarted = std::chrono::steady_clock::now();
    Retries retries{callStarted + std::chrono::milliseconds(m_options.deadlineMs),
                    std::chrono::milliseconds(m_options.deadlineMs), batch};
    for (bool first = true;; first = false) {
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + retries.give(first));
        // after a lost connection the call waits for the channel to connect again
        if (retries.lostConnections > 0)
            context.set_wait_for_ready(true);
        addMetadata(context, batchId, own);
        reply.Clear();
        const auto started = std::chrono::steady_clock::now();
        status = m_stub->stub->Invoke(&context, *call, &reply);
        if (status.ok() && !dryRunId.isEmpty()) {
            const auto &answered = context.GetServerInitialMetadata();
            const auto ack = answered.find(kDryRunKey.name.data());
            dryRunAcknowledged =
                ack != answered.end() &&
                QByteArray(ack->second.data(), qsizetype(ack->second.size())) == dryRunId;
        }
        const auto took = std::chrono::steady_clock::now() - started;
        if (status.ok()) {
            m_stepReads = offersStepReads(context.GetServerInitialMetadata());
            const qint64 ns = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
            for (qint64 least = m_leastCallNs.load();
                 (least < 0 || ns < least) && !m_leastCallNs.compare_exchange_weak(least, ns);) {
            }
        }
        if (m_figures)
            m_figures->microseconds.push_back(
                std::chrono::duration_cast<std::chrono::microseconds>(took).count());
        if (!retries.again(status))
            break;
    }
    if (status.ok() && retries.lostConnections > 0)
        qCInfo(lcRpc).noquote() << text("RPC_SERVER_BACK")
                                       .arg(address(),
                                            QString::number(
                                                std::chrono::duration<double>(
                                                    std::chrono::steady_clock::now() - callStarted)
                                                    .count(),
                                                'f', 1)
                                                .replace(QLatin1Char('.'), QLatin1Char(',')));
    if (!status.ok())
        throwStatus(status, method);
    // A server that does not know dry runs would have kept what this call did. The
    // run's first calls only read, so a dry run stops there, before any write.
    if (!dryRunId.isEmpty() && !dryRunAcknowledged)
        throw Error(text("RPC_DRY_RUN_IGNORED").arg(address(), method));
    throwDatabaseFailure(reply, method);
    return readReply(reply, method, signature, args);
}

const MethodSignature *RpcConnection::checkedSignature(const QString &method,
                                                       const QVariantList &args) const
{
    const MethodSignature *signature = findSignature(method);
    if (m_checkSignatures) {
        if (!signature)
            throw Error(text("RPC_UNKNOWN_METHOD").arg(method));
        const QString problem = checkArguments(*signature, args);
        if (!problem.isEmpty())
            throw Error(problem);
    }
    return signature;
}

QByteArray RpcConnection::dryRunIdSent() const
{
    QByteArray dryRunId;
    for (const auto &pair : m_metadata) {
        if (pair.first == kDryRunKey.name)
            dryRunId = encodeMetadataValue(pair.second);
    }
    return dryRunId;
}

std::string RpcConnection::batchIdOf(std::string batchId, const CallStream::Metadata &own) const
{
    // the caller's id of the batch, when it gives one
    for (const auto &pairs : {own, CallStream::Metadata(m_metadata)}) {
        for (const auto &[key, value] : pairs) {
            if (batchId.empty() && key == kBatchIdKey.name)
                batchId = value.toStdString();
        }
    }
    if (batchId.empty())
        batchId = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    return batchId;
}

void RpcConnection::addMetadata(grpc::ClientContext &context, const std::string &batchId,
                                const CallStream::Metadata &own) const
{
    if (!m_options.token.isEmpty())
        context.AddMetadata("authorization", "Bearer " + m_options.token.toStdString());
    // texts go encoded: gRPC takes printable ASCII only (see callmetadata.h)
    if (!m_options.operatorCode.isEmpty())
        context.AddMetadata(kOperatorKey.name.data(),
                            encodeMetadataValue(m_options.operatorCode).toStdString());
    if (!batchId.empty())
        context.AddMetadata(kBatchIdKey.name.data(), batchId);
    // the arguments are kept here: only a by-reference argument that the server
    // changed needs to come back
    context.AddMetadata(kByRefKey.name.data(), kByRefChanged.data());
    // packets may come column by column, a fraction of the size and the work
    context.AddMetadata(kPacketColumnsKey.name.data(), "1");
    context.AddMetadata(kJoinedTextsKey.name.data(), "1");
    for (const auto &pair : m_metadata) {
        if (pair.first != kBatchIdKey.name)
            context.AddMetadata(pair.first.toStdString(),
                                encodeMetadataValue(pair.second).toStdString());
    }
    for (const auto &[key, value] : own) {
        if (key != kBatchIdKey.name)
            context.AddMetadata(key.toStdString(), encodeMetadataValue(value).toStdString());
    }
}

QVariant RpcConnection::readReply(rpc::Reply &reply, const QString &method,
                                  const MethodSignature *signature, QVariantList &args) const
{
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
