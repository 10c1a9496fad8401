#include "appserverhost.h"
#include "schema.h"

#include "appserver.grpc.pb.h"
#include "batchprotocol.h"
#include "callmetadata.h"
#include "dispatcher.h"
#include "error.h"
#include "layout.h"
#include "reflectionv1.h"
#include "servermetrics.h"
#include "statementwatchdog.h"
#include "texts.h"
#include "tlsfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <grpcpp/ext/proto_server_reflection_plugin.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/resource_quota.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace zov {

namespace {
// A call carries a batch of one day and diet (a few kilobytes) or a few codes; 4 MB
// holds tens of thousands of dish rows. Parsed and converted, a call takes many times
// its size: the limit is what bounds the memory of the calls served at once.
constexpr int kMaxCallBytes = 4 * 1024 * 1024;
constexpr int kMaxReplyBytes = 512 * 1024 * 1024;
constexpr size_t kLargeCallBytes = 1024 * 1024;
// what gRPC's own buffers may take, all calls together
constexpr size_t kTransportMemoryBytes = 256 * 1024 * 1024;

QString metadata(const grpc::ServerContext *context, const MetadataKey &key)
{
    const auto &meta = context->client_metadata();
    const auto it = meta.find(key.name.data());
    return it == meta.end() ? QString()
                            : decodeMetadataValue(QByteArray(
                                  it->second.data(), static_cast<qsizetype>(it->second.size())));
}
// What the server keeps of the value of `key`.
QString kept(const grpc::ServerContext *context, const MetadataKey &key)
{
    return key.kept(metadata(context, key));
}
// The same of a value a call of a stream carries alone (not percent-encoded).
template<typename Map>
void keep(const Map &own, const MetadataKey &key, QString *into)
{
    if (const auto it = own.find(key.name.data()); it != own.end())
        *into = key.kept(QString::fromStdString(it->second));
}
// The caller's address as the server saw it. Behind a balancer that names whom it
// forwards (X-Forwarded-For: the last address, the one the balancer itself added), that
// address comes first and the balancer's after it; a caller that names an address of
// its own making cannot hide its own, which is always there.
QString callerOf(const grpc::ServerContext *context)
{
    const QString peer = QString::fromStdString(context->peer());
    const auto &meta = context->client_metadata();
    const auto it = meta.find("x-forwarded-for");
    if (it == meta.end())
        return peer;
    const QString forwarded =
        QString::fromLatin1(it->second.data(), qsizetype(std::min<size_t>(it->second.size(), 400)))
            .section(QLatin1Char(','), -1)
            .trimmed();
    const bool address = !forwarded.isEmpty() && forwarded.size() <= 47 &&
                         std::all_of(forwarded.cbegin(), forwarded.cend(), [](QChar c) {
                             return c.isDigit() ||
                                    (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
                                    (c >= QLatin1Char('A') && c <= QLatin1Char('F')) ||
                                    c == QLatin1Char('.') || c == QLatin1Char(':');
                         });
    return address ? text("LOG_FORWARDED").arg(forwarded, peer) : peer;
}
} // namespace

// Calls of more than a megabyte take many times their size once converted: only a
// few are converted at once, so that eight of them do not take the memory of eight.
class LargeCallGate
{
public:
    explicit LargeCallGate(int slots)
        : m_free(std::max(1, slots))
    {}
    // False when no slot freed up before `deadline`.
    bool enter(std::chrono::system_clock::time_point deadline)
    {
        std::unique_lock lock(m_mutex);
        if (!m_freed.wait_until(lock, deadline, [this] { return m_free > 0; }))
            return false;
        --m_free;
        return true;
    }
    void leave()
    {
        {
            std::lock_guard lock(m_mutex);
            ++m_free;
        }
        m_freed.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_freed;
    int m_free;
};

// The streams open at a time: one that sends nothing for the idle limit while the
// server waits for its next call, or whose caller stops reading while the server
// writes an answer, is ended (cancelled), so that a caller's manners never hold a
// thread that other planners need.
class StreamWatch
{
public:
    using Clock = std::chrono::steady_clock;
    struct Entry
    {
        grpc::ServerContext *context;
        // since when the server waits for the next call with none to run, and an answer
        // waits for the caller to take it; unset while it does not
        std::optional<Clock::time_point> waiting;
        std::optional<Clock::time_point> writing;
        const char *ended = nullptr; // why the watch ended it
    };

    StreamWatch(std::chrono::milliseconds idle, std::chrono::milliseconds stall)
        : m_idle(idle)
        , m_stall(stall)
        , m_thread([this] { watch(); })
    {}
    ~StreamWatch()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Entry *add(grpc::ServerContext *context)
    {
        std::lock_guard lock(m_mutex);
        m_entries.push_back(std::make_unique<Entry>(Entry{context, {}, {}, nullptr}));
        return m_entries.back().get();
    }
    void remove(Entry *entry)
    {
        std::lock_guard lock(m_mutex);
        std::erase_if(m_entries, [entry](const auto &e) { return e.get() == entry; });
    }
    void waiting(Entry *entry, bool on) { mark(&Entry::waiting, entry, on); }
    void writing(Entry *entry, bool on) { mark(&Entry::writing, entry, on); }
    const char *endedWhy(Entry *entry)
    {
        std::lock_guard lock(m_mutex);
        return entry->ended;
    }

private:
    void mark(std::optional<Clock::time_point> Entry::*since, Entry *entry, bool on)
    {
        std::lock_guard lock(m_mutex);
        if (on != (entry->*since).has_value())
            entry->*since = on ? std::optional(Clock::now()) : std::nullopt;
    }
    void watch()
    {
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            m_wake.wait_for(lock, std::chrono::milliseconds(200));
            const auto now = Clock::now();
            for (const auto &e : m_entries) {
                if (e->ended)
                    continue;
                if (e->writing && now - *e->writing > m_stall)
                    e->ended = "not reading";
                else if (e->waiting && !e->writing && now - *e->waiting > m_idle)
                    e->ended = "idle";
                if (e->ended)
                    e->context->TryCancel();
            }
        }
    }

    const std::chrono::milliseconds m_idle;
    const std::chrono::milliseconds m_stall;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<std::unique_ptr<Entry>> m_entries;
    bool m_stopping = false;
    std::thread m_thread;
};

// Threads that serve the second lane of the streams, one a stream at most: each keeps
// its database session from one stream to the next.
class StreamSides
{
public:
    explicit StreamSides(int threads)
    {
        for (int i = 0; i < std::max(1, threads); ++i)
            m_threads.emplace_back([this] { serve(); });
    }
    ~StreamSides()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        for (std::thread &t : m_threads)
            t.join();
    }
    void run(std::function<void()> task)
    {
        {
            std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_wake.notify_one();
    }

private:
    void serve()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_tasks.empty())
                return;
            std::function<void()> task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

// A stream's two lanes. A side thread reads the calls; a read of a step ahead that the
// caller marked, it runs at once itself, in the order of those reads; every other
// call goes to the stream's own thread, which runs them in their order. So the reads
// ahead run beside the batches before them, and nothing else changes its order: a
// call never runs before one sent ahead of it on its own lane, and a call of the
// stream's lane never before a read sent ahead of it (the side reads on only after
// running one). The answers go back in the order of the calls, written by whichever
// lane finds the next one ready.
class StreamLanes
{
public:
    using Stream = grpc::ServerReaderWriter<rpc::Reply, rpc::Call>;
    using Run = std::function<void(rpc::Call &, rpc::Reply &)>;
    StreamLanes(grpc::ServerContext *context, Stream *stream, StreamWatch &watch,
                StreamWatch::Entry *entry)
        : m_context(context)
        , m_stream(stream)
        , m_watch(watch)
        , m_entry(entry)
    {}

    // The side's work: reads every call, runs `ahead` ones with `runAhead`.
    void read(const std::function<bool(const rpc::Call &)> &ahead, const Run &runAhead)
    {
        for (;;) {
            rpc::Call call;
            {
                std::lock_guard lock(m_mutex);
                m_reading = true;
                noteWaiting();
            }
            const bool read = !m_context->IsCancelled() && !broken() && m_stream->Read(&call);
            std::unique_lock lock(m_mutex);
            m_reading = false;
            noteWaiting();
            if (!read || m_broken)
                break;
            const quint64 seq = m_nextSeq++;
            if (!ahead(call)) {
                // a few wait, converted as they came (one of more than a megabyte alone),
                // while the ones before them run; beyond that the caller waits, as the
                // transport's own flow control makes it
                const bool large = call.ByteSizeLong() > kLargeCallBytes;
                m_own.push_back({seq, std::move(call)});
                m_changed.notify_all();
                m_changed.wait(lock, [&] {
                    return m_broken || (large ? m_own.empty() : m_own.size() < kWaiting);
                });
                if (m_broken)
                    break;
                continue;
            }
            // its answer waits for those of the calls before it: so many wait at most
            m_changed.wait(lock, [this] { return m_broken || m_ready.size() < kReadyAtMost; });
            if (m_broken)
                break;
            ++m_running;
            lock.unlock();
            rpc::Reply reply;
            runAhead(call, reply);
            lock.lock();
            --m_running;
            m_changed.notify_all();
            lock.unlock();
            if (!answer(seq, std::move(reply)))
                break;
        }
        std::lock_guard lock(m_mutex);
        m_readEnded = true;
        noteWaiting();
        m_changed.notify_all();
    }

    // The stream's own lane: the next call for it, or false at the end of the calls.
    bool next(quint64 *seq, rpc::Call *call)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_own.empty() || m_readEnded || m_broken; });
        if (m_own.empty() || m_broken)
            return false;
        *seq = m_own.front().first;
        call->Swap(&m_own.front().second);
        m_own.pop_front();
        ++m_running;
        noteWaiting();
        m_changed.notify_all();
        return true;
    }
    void ran()
    {
        std::lock_guard lock(m_mutex);
        --m_running;
        noteWaiting();
        m_changed.notify_all();
    }

    // Puts the answer of call `seq` in its place; false once the stream broke.
    bool answer(quint64 seq, rpc::Reply &&reply)
    {
        std::unique_lock lock(m_mutex);
        if (m_broken)
            return false;
        m_ready.emplace(seq, std::move(reply));
        // one writer at a time, the answers in the order of the calls
        while (!m_writerBusy && !m_broken && !m_ready.empty() &&
               m_ready.begin()->first == m_nextWrite) {
            m_writerBusy = true;
            rpc::Reply next = std::move(m_ready.begin()->second);
            m_ready.erase(m_ready.begin());
            // an answer with the next one ready behind it, written right after it, waits
            // for it in the transport: a batch's answer and those of the reads after it
            // go out together. Not the stream's first: it carries the stream's headers,
            // and a write of them held back this way never completes (the caller would
            // wait for the first answer until its deadline).
            grpc::WriteOptions options;
            if (m_nextWrite > 0 && !m_ready.empty() && m_ready.begin()->first == m_nextWrite + 1)
                options.set_buffer_hint();
            lock.unlock();
            m_watch.writing(m_entry, true);
            const bool written = m_stream->Write(next, options);
            m_watch.writing(m_entry, false);
            lock.lock();
            m_writerBusy = false;
            ++m_nextWrite;
            m_changed.notify_all();
            if (!written)
                m_broken = true;
        }
        return !m_broken;
    }

    // After the stream's own lane is done: the side stops reading and finishes.
    void close()
    {
        bool ended;
        {
            std::lock_guard lock(m_mutex);
            ended = m_readEnded;
        }
        // a side still waiting for the caller is stopped: the stream is over
        if (!ended)
            m_context->TryCancel();
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_readEnded && m_running == 0; });
    }
    bool broken()
    {
        std::lock_guard lock(m_mutex);
        return m_broken;
    }

private:
    static constexpr size_t kWaiting = 16;
    static constexpr size_t kReadyAtMost = 1024;

    // The server waits for the caller: nothing to run, nothing running.
    void noteWaiting() { m_watch.waiting(m_entry, m_reading && m_own.empty() && m_running == 0); }

    grpc::ServerContext *m_context;
    Stream *m_stream;
    StreamWatch &m_watch;
    StreamWatch::Entry *m_entry;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<quint64, rpc::Call>> m_own;
    std::map<quint64, rpc::Reply> m_ready;
    quint64 m_nextSeq = 0;
    quint64 m_nextWrite = 0;
    int m_running = 0;
    bool m_reading = false;
    bool m_readEnded = false;
    bool m_broken = false;
    bool m_writerBusy = false;
};

// How many calls run at once: at most the server's threads, and of those at most a
// share streams, so that single calls (the screen's reads) always find a thread. A
// call over the limit is refused at once, and said in the log with who made it; the
// health check says NOT_SERVING while every thread is taken.
class CallAdmission
{
public:
    CallAdmission(int calls, int streams)
        : m_maxCalls(calls)
        , m_maxStreams(streams)
    {}
    void onFull(std::function<void(bool full)> changed) { m_changed = std::move(changed); }
    bool enter(bool stream)
    {
        std::lock_guard lock(m_mutex);
        if (m_calls >= m_maxCalls || (stream && m_streams >= m_maxStreams))
            return false;
        ++m_calls;
        m_streams += stream ? 1 : 0;
        report();
        return true;
    }
    void leave(bool stream)
    {
        std::lock_guard lock(m_mutex);
        --m_calls;
        m_streams -= stream ? 1 : 0;
        report();
    }
    int maxStreams() const { return m_maxStreams; }

private:
    void report()
    {
        const bool full = m_calls >= m_maxCalls;
        if (full != m_full && m_changed)
            m_changed(full);
        m_full = full;
    }
    const int m_maxCalls;
    const int m_maxStreams;
    std::mutex m_mutex;
    int m_calls = 0;
    int m_streams = 0;
    bool m_full = false;
    std::function<void(bool)> m_changed;
};

// A stream's place among the calls served, from its admission to its end: counted in the
// metrics while it lasts, and its watch and admission given back when it ends.
struct StreamSeat
{
    CallAdmission &admission;
    StreamWatch &watch;
    StreamWatch::Entry *entry;
    ServerMetrics &metrics;
    StreamSeat(CallAdmission &a, StreamWatch &w, StreamWatch::Entry *e, ServerMetrics &m)
        : admission(a)
        , watch(w)
        , entry(e)
        , metrics(m)
    {
        ++metrics.callsInUse;
        ++metrics.streamsInUse;
    }
    ~StreamSeat()
    {
        --metrics.callsInUse;
        --metrics.streamsInUse;
        watch.remove(entry);
        admission.leave(true);
    }
    StreamSeat(const StreamSeat &) = delete;
    StreamSeat &operator=(const StreamSeat &) = delete;
};

class AppServerService final : public rpc::AppServer::Service
{
public:
    // `readsAhead`: the reads of a step ahead run beside the batches before them, each
    // round trip to the database on a connection of its own. Not for SQLite on the
    // same machine, where both lanes would take the processor the batches need.
    AppServerService(Dispatcher &dispatcher, const QStringList &tokens,
                     const AppServerHost::Options &options, ServerMetrics &metrics, bool readsAhead)
        : m_dispatcher(dispatcher)
        , m_metrics(metrics)
        , m_largeCalls(options.largeCalls)
        , m_offerStream(options.offerStream)
        , m_offerStepReads(options.offerStepReads)
        // one thread of the pool stays for the health check and the refusals; of the
        // others at most half serve streams
        , m_admission(std::max(1, options.threads - 1), std::max(1, options.threads - 1) / 2)
        , m_streams(std::chrono::milliseconds(options.streamIdleMs),
                    std::chrono::milliseconds(options.streamStallMs))
        , m_sides(m_admission.maxStreams())
        , m_readsAhead(readsAhead)
        , m_idleMs(options.streamIdleMs)
        , m_stallMs(options.streamStallMs)
    {
        for (const QString &token : tokens)
            m_tokens.append("Bearer " + token.toUtf8());
    }

    CallAdmission &admission() { return m_admission; }

    grpc::Status Invoke(grpc::ServerContext *context, const rpc::Call *call,
                        rpc::Reply *reply) override
    {
        return measured(false, [&] { return invoke(context, call, reply); });
    }

    grpc::Status InvokeStream(grpc::ServerContext *context,
                              grpc::ServerReaderWriter<rpc::Reply, rpc::Call> *stream) override
    {
        return measured(true, [&] { return invokeStream(context, stream); });
    }

private:
    template<typename Call>
    grpc::Status measured(bool stream, Call &&call)
    {
        const auto begun = std::chrono::steady_clock::now();
        m_metrics.started(stream);
        const grpc::Status status = call();
        m_metrics.handled(
            stream, status.error_code(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
        return status;
    }

    grpc::Status invoke(grpc::ServerContext *context, const rpc::Call *call, rpc::Reply *reply)
    {
        if (!authenticated(context))
            return refusedCredentials(context);
        if (!m_admission.enter(false))
            return refusedForCapacity(context, false);
        struct Leave
        {
            CallAdmission &a;
            std::atomic<int> &inUse;
            ~Leave()
            {
                --inUse;
                a.leave(false);
            }
        } leave{m_admission, m_metrics.callsInUse};
        ++m_metrics.callsInUse;
        CallContext callContext = contextOf(context);
        callContext.changedByRefOnly = metadata(context, kByRefKey) == kByRefChanged;
        // its client's runs may then send a step's reads as one call
        if (m_offerStepReads)
            context->AddInitialMetadata(kStepReadsKey.name.data(), "1");
        limitTo(callContext, context->deadline());
        return gatedInvoke(*call, reply, callContext, context->deadline());
    }

    // The calls of a stream run in two lanes (StreamLanes): the reads of a step ahead
    // beside the rest, each lane in its order. Each call has the time of a single call
    // (the client's deadline, sent as zov-call-deadline-ms).
    grpc::Status invokeStream(grpc::ServerContext *context,
                              grpc::ServerReaderWriter<rpc::Reply, rpc::Call> *stream)
    {
        if (!m_offerStream) // as a build from before the stream
            return {grpc::StatusCode::UNIMPLEMENTED, "InvokeStream"};
        if (!authenticated(context))
            return refusedCredentials(context);
        if (!m_admission.enter(true))
            return refusedForCapacity(context, true);
        // with the stream's first answer: its client may then send a step's reads as one
        if (m_offerStepReads)
            context->AddInitialMetadata(kStepReadsKey.name.data(), "1");
        StreamWatch::Entry *watched = m_streams.add(context);
        const StreamSeat seat{m_admission, m_streams, watched, m_metrics};
        const CallContext streamContext = contextOf(context);
        bool ok = false;
        const int callMs = metadata(context, kCallDeadlineKey).toInt(&ok);
        const auto perCall = std::chrono::milliseconds(ok && callMs > 0 ? callMs : 30000);
        BatchGate batches;
        // one call of the stream, with the time of a single call
        const auto run = [&](rpc::Call &call, rpc::Reply &reply) {
            CallContext callContext = streamContext;
            callContext.changedByRefOnly = true; // the client keeps its arguments
            keep(call.metadata(), kBatchIdKey, &callContext.batchId);
            keep(call.metadata(), kDaySeenKey, &callContext.daySeen);
            const auto deadline =
                std::min(context->deadline(), std::chrono::system_clock::now() + perCall);
            limitTo(callContext, deadline);
            grpc::Status status;
            try {
                status = gatedInvoke(call, &reply, callContext, deadline);
            } catch (const std::exception &e) { // out of memory, say: this call only
                status = {grpc::StatusCode::INTERNAL,
                          text("SERVER_CALL_FAILED")
                              .arg(logSafe(QString::fromStdString(call.method())),
                                   QString::fromLocal8Bit(e.what()))
                              .toStdString()};
            }
            if (!status.ok()) {
                reply.Clear();
                reply.set_status_code(status.error_code());
                reply.set_status_message(status.error_message());
            }
            return status;
        };
        StreamLanes lanes(context, stream, m_streams, watched);
        // the side's own: it may still be setting it when this thread goes on
        auto sideDone = std::make_shared<std::promise<void>>();
        // on every way out the side is stopped and waited for: it uses the lanes
        struct SideEnd
        {
            StreamLanes &lanes;
            std::future<void> ended;
            ~SideEnd()
            {
                lanes.close();
                ended.wait();
            }
        } sideEnd{lanes, sideDone->get_future()};
        m_sides.run([this, &lanes, &run, done = sideDone] {
            // its connection opens while the stream's first calls run on the other lane
            m_dispatcher.openSessionAhead();
            lanes.read(
                [this](const rpc::Call &call) {
                    if (!m_readsAhead)
                        return false;
                    const auto mark = call.metadata().find(kAheadKey.name.data());
                    if (mark == call.metadata().end() || mark->second != "1")
                        return false;
                    const MethodSignature *signature =
                        findSignature(QString::fromStdString(call.method()));
                    return signature && signature->ahead;
                },
                [&run](rpc::Call &call, rpc::Reply &reply) { run(call, reply); });
            done->set_value();
        });
        quint64 seq = 0;
        rpc::Call call;
        while (lanes.next(&seq, &call)) {
            rpc::Reply reply;
            const bool batch = isBatch(QString::fromStdString(call.method()));
            if (batch && !batches.mayGo()) {
                reply.mutable_value()->set_text(batches.refusal().toStdString());
                reply.set_answer_kind(batches.refusalKind());
            } else {
                const grpc::Status status = run(call, reply);
                if (batch && !status.ok())
                    batches.noteFailure(QString::fromStdString(status.error_message()));
                else if (batch && reply.value().has_text())
                    batches.noteAnswer(QString::fromStdString(reply.value().text()),
                                       reply.answer_kind());
            }
            lanes.ran();
            if (!lanes.answer(seq, std::move(reply)))
                break;
        }
        if (const char *why = m_streams.endedWhy(watched)) {
            const bool idle = qstrcmp(why, "idle") == 0;
            const QString said = text(idle ? "STREAM_IDLE_ENDED" : "STREAM_STALLED_ENDED")
                                     .arg((idle ? m_idleMs : m_stallMs) / 1000);
            qCWarning(lcCalls).noquote()
                << said << text("LOG_FROM").arg(logSafe(callerOf(context)));
            return {grpc::StatusCode::DEADLINE_EXCEEDED, said.toStdString()};
        }
        return grpc::Status::OK;
    }

    // The shared token is checked here; an operator's token goes on to the dispatcher,
    // which compares it with the operator's credentials in the database.
    bool authenticated(const grpc::ServerContext *context) const
    {
        const QByteArray given = metadataBytes(context, "authorization");
        return m_tokens.isEmpty() || anyToken(given) ||
               !parseOperatorToken(bearerOf(given)).operatorCode.isEmpty();
    }
    bool sharedToken(const grpc::ServerContext *context) const
    {
        return !m_tokens.isEmpty() && anyToken(metadataBytes(context, "authorization"));
    }
    static QString bearerOf(const QByteArray &header)
    {
        return header.startsWith("Bearer ") ? QString::fromLatin1(header.mid(7)) : QString();
    }

    // The credential is checked before any method runs; it is never logged, and of a
    // call without it nothing the caller chose is: a fixed line and the peer.
    grpc::Status refusedCredentials(const grpc::ServerContext *context)
    {
        m_metrics.refused("credentials");
        qCWarning(lcCredentials).noquote()
            << "unauthenticated call refused from" << logSafe(callerOf(context));
        return {grpc::StatusCode::UNAUTHENTICATED, text("RPC_BAD_CREDENTIAL").toStdString()};
    }

    // Every thread the server may use is taken: the caller is told to try again, and
    // the log says who was refused.
    grpc::Status refusedForCapacity(const grpc::ServerContext *context, bool stream)
    {
        m_metrics.refused("capacity");
        qCWarning(lcCalls).noquote()
            << text(stream ? "SERVER_STREAM_REFUSED_LOG" : "SERVER_CALL_REFUSED_LOG")
            << text("LOG_FROM").arg(logSafe(callerOf(context)));
        return {grpc::StatusCode::RESOURCE_EXHAUSTED,
                text(stream ? "SERVER_STREAMS_BUSY" : "SERVER_BUSY").toStdString()};
    }

    CallContext contextOf(grpc::ServerContext *context) const
    {
        CallContext callContext;
        callContext.credential = bearerOf(metadataBytes(context, "authorization"));
        callContext.sharedToken = sharedToken(context);
        callContext.batchId = kept(context, kBatchIdKey);
        callContext.operatorCode =
            metadata(context, kOperatorKey).left(codeWidth(QStringLiteral("CDOPERADOR")));
        callContext.daySeen = kept(context, kDaySeenKey);
        callContext.peer = callerOf(context);
        callContext.dryRun = kept(context, kDryRunKey);
        callContext.configMonth = kept(context, kConfigMonthKey);
        callContext.runId = kept(context, kRunIdKey);
        callContext.runMode = kept(context, kRunModeKey);
        callContext.runSource = kept(context, kRunSourceKey);
        callContext.packetColumns = metadata(context, kPacketColumnsKey) == QLatin1String("1");
        callContext.joinedTexts = metadata(context, kJoinedTextsKey) == QLatin1String("1");
        // the acknowledgement: a client in a dry run stops when a server does not
        // send it back (a server that does not know dry runs would store everything)
        if (!callContext.dryRun.isEmpty())
            context->AddInitialMetadata(kDryRunKey.name.data(),
                                        encodeMetadataValue(callContext.dryRun).toStdString());
        return callContext;
    }

    // The caller has stopped waiting by its deadline: a statement still running a
    // second later is abandoned (a call without a deadline gets ten minutes).
    static void limitTo(CallContext &callContext, std::chrono::system_clock::time_point deadline)
    {
        const auto left = std::min<std::chrono::system_clock::duration>(
            std::max<std::chrono::system_clock::duration>(
                deadline - std::chrono::system_clock::now(), {}),
            std::chrono::minutes(10));
        callContext.deadline =
            std::chrono::steady_clock::now() +
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(left);
        callContext.statementLimit = callContext.deadline + std::chrono::seconds(1);
    }

    // the size is known before anything is converted
    grpc::Status gatedInvoke(const rpc::Call &call, rpc::Reply *reply,
                             const CallContext &callContext,
                             std::chrono::system_clock::time_point deadline)
    {
        if (call.ByteSizeLong() <= kLargeCallBytes)
            return m_dispatcher.invoke(call, reply, callContext);
        const auto waitUntil =
            std::min(deadline, std::chrono::system_clock::now() + std::chrono::seconds(60));
        if (!m_largeCalls.enter(waitUntil))
            return {grpc::StatusCode::RESOURCE_EXHAUSTED, text("SERVER_BUSY").toStdString()};
        struct Leave
        {
            LargeCallGate &gate;
            ~Leave() { gate.leave(); }
        } leave{m_largeCalls};
        return m_dispatcher.invoke(call, reply, callContext);
    }

    static QByteArray metadataBytes(const grpc::ServerContext *context, const char *key)
    {
        const auto &meta = context->client_metadata();
        const auto it = meta.find(key);
        return it == meta.end()
                   ? QByteArray()
                   : QByteArray(it->second.data(), static_cast<qsizetype>(it->second.size()));
    }

    // every token is compared, so the time does not tell which one came close
    bool anyToken(const QByteArray &given) const
    {
        bool found = false;
        for (const QByteArray &token : m_tokens)
            found = sameSecret(given, token) || found;
        return found;
    }

    Dispatcher &m_dispatcher;
    ServerMetrics &m_metrics;
    QList<QByteArray> m_tokens;
    LargeCallGate m_largeCalls;
    const bool m_offerStream;
    const bool m_offerStepReads;
    CallAdmission m_admission;
    StreamWatch m_streams;
    StreamSides m_sides;
    const bool m_readsAhead;
    const int m_idleMs;
    const int m_stallMs;
};

// Asks the database every few seconds whether it answers, and says when that changes:
// a balancer then stops sending calls to a server whose database is gone (each call
// would be answered UNAVAILABLE) and comes back with it. While calls run and none of
// them found the database unreachable, they are the answer and nothing is asked; else
// a connection of its own is opened for the question and closed after it, so that the
// server's connections stay within its threads while it is busy.
class DatabaseProbe
{
public:
    DatabaseProbe(const DatabaseConfig &config, int everyMs, const ServerMetrics &metrics,
                  std::function<void(bool)> changed)
        : m_config(config)
        , m_metrics(metrics)
        , m_every(std::max(100, everyMs))
        , m_changed(std::move(changed))
        , m_thread([this] { run(); })
    {}
    ~DatabaseProbe()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    void run()
    {
        const QString name =
            QStringLiteral("zov-server-probe-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
        bool up = true;
        quint64 unreachable = m_metrics.unreachable.load();
        for (;;) {
            {
                std::unique_lock lock(m_mutex);
                if (m_wake.wait_for(lock, m_every, [this] { return m_stopping; }))
                    break;
            }
            const quint64 seen = m_metrics.unreachable.load();
            const bool callsSayUp = up && m_metrics.callsInUse.load() > 0 && seen == unreachable;
            unreachable = seen;
            if (callsSayUp)
                continue;
            QString why;
            const bool answers = ask(name, &why);
            if (answers != up) {
                up = answers;
                if (up)
                    qCWarning(lcCalls).noquote() << text("DB_PROBE_BACK").arg(m_config.display());
                else
                    qCWarning(lcCalls).noquote()
                        << text("DB_PROBE_DOWN").arg(m_config.display(), logSafe(why));
                m_changed(up);
            }
        }
        QSqlDatabase::removeDatabase(name);
    }

    // one short statement, cut off by the watchdog when the database froze
    bool ask(const QString &name, QString *why)
    {
        bool answered = false;
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            try {
                if (!db.isOpen()) {
                    db = QSqlDatabase();
                    QSqlDatabase::removeDatabase(name);
                    db = openDatabase(m_config, name, OpenMode::MustExist);
                }
                const StatementWatchdog::Watch watch(db, std::chrono::steady_clock::now() +
                                                             std::chrono::seconds(5));
                QSqlQuery q(db);
                answered = q.exec(QStringLiteral("SELECT COUNT(*) FROM ZOVSCHEMA")) && q.next();
                if (!answered)
                    *why = q.lastError().text();
            } catch (const Error &e) {
                *why = e.text();
            }
            if (db.isValid())
                db.close();
        }
        QSqlDatabase::removeDatabase(name);
        return answered;
    }

    const DatabaseConfig m_config;
    const ServerMetrics &m_metrics;
    const std::chrono::milliseconds m_every;
    const std::function<void(bool)> m_changed;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
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

std::unique_ptr<AppServerHost> AppServerHost::startInProcess(const DatabaseConfig &config)
{
    QLoggingCategory::setFilterRules(QStringLiteral("zov.server.*=false"));
    Options options;
    options.listen = QStringLiteral("127.0.0.1:0");
    auto host = std::make_unique<AppServerHost>(config, options);
    host->start();
    return host;
}

bool AppServerHost::isLoopback(const QString &listen)
{
    // the addresses the server would bind, not how they are written
    return resolvesToLoopbackOnly(hostOfAddress(listen));
}

namespace {
// A PostgreSQL hot standby, or a database set to read only, takes no writes.
bool databaseIsReadOnly(QSqlDatabase &db)
{
    if (db.driverName() != QLatin1String("QPSQL"))
        return false;
    QSqlQuery q(db);
    return q.exec(QStringLiteral(
               "SELECT pg_is_in_recovery() OR current_setting('transaction_read_only') = 'on'")) &&
           q.next() && q.value(0).toBool();
}

// What keeps the server from listening on `listen`, found by binding a socket to it
// for a moment (gRPC's own binding says only that it failed).
struct ListenProblem
{
    enum Kind { None, InUse, Invalid } kind = None;
    QString reason;
};

ListenProblem listenProblem(const QString &listen)
{
    QString host = hostOfAddress(listen);
    const QString port = listen.section(QLatin1Char(':'), -1);
    bool ok = false;
    const int number = port.toInt(&ok);
    if (!ok || number < 0 || number > 65535 || !listen.contains(QLatin1Char(':')))
        return {ListenProblem::Invalid, text("SERVER_LISTEN_NO_PORT")};
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    const QByteArray name = host.toUtf8();
    if (const int failed = getaddrinfo(host.isEmpty() ? nullptr : name.constData(),
                                       port.toLatin1().constData(), &hints, &found)) {
        return {ListenProblem::Invalid, QString::fromLocal8Bit(gai_strerror(failed))};
    }
    ListenProblem problem;
    for (addrinfo *a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0) {
            const int error = errno;
            if (error == EADDRINUSE)
                problem = {ListenProblem::InUse, {}};
            else if (problem.kind == ListenProblem::None)
                problem = {ListenProblem::Invalid,
                           error == EADDRNOTAVAIL ? text("SERVER_LISTEN_NOT_HERE")
                           : error == EACCES      ? text("SERVER_LISTEN_PRIVILEGED")
                                                  : QString::fromLocal8Bit(std::strerror(error))};
        }
        ::close(fd);
    }
    freeaddrinfo(found);
    return problem;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(text("SERVER_UNREADABLE_FILE").arg(path));
    return file.readAll();
}
} // namespace

namespace {
// the operators registered, and of those the active ones
std::pair<int, int> operatorCounts(QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT COUNT(*), COALESCE(SUM(CASE WHEN FLATIVO = 'S' THEN 1 ELSE "
                               "0 END), 0) FROM OPERADOR")) ||
        !q.next())
        throw Error(
            text("DB_STATEMENT_FAILED").arg(QStringLiteral("OPERADOR"), q.lastError().text()));
    return {q.value(0).toInt(), q.value(1).toInt()};
}
} // namespace

void AppServerHost::prepare()
{
    const bool loopback = isLoopback(m_options.listen);
    // a secret others may read is no secret: refused off loopback, named on it
    const auto privateFile = [&](const QString &path) {
        if (path.isEmpty() || !readableByOthers(path))
            return;
        if (!loopback)
            throw Error(text("SERVER_SECRET_READABLE").arg(path));
        qCWarning(lcCredentials).noquote() << text("SERVER_SECRET_READABLE_WARNING").arg(path);
    };
    QStringList &tokens = m_tokens;
    tokens.clear();
    if (!m_options.token.isEmpty()) {
        if (!isSendableToken(m_options.token))
            throw Error(text("TOKEN_NOT_SENDABLE").arg(QStringLiteral("--token")));
        tokens.append(m_options.token);
    }
    if (!m_options.tokenFile.isEmpty()) {
        tokens += readTokenFile(m_options.tokenFile);
        privateFile(m_options.tokenFile);
    }
    // anything but loopback is reached over the network: only with TLS and a token
    const bool tls = !m_options.tlsCertFile.isEmpty() || !m_options.tlsKeyFile.isEmpty();
    if (tls && (m_options.tlsCertFile.isEmpty() || m_options.tlsKeyFile.isEmpty()))
        throw Error(text("SERVER_TLS_INCOMPLETE"));
    if (!loopback && !tls)
        throw Error(text("SERVER_NEEDS_TLS").arg(m_options.listen));
    privateFile(m_options.tlsKeyFile);
    std::shared_ptr<grpc::ServerCredentials> &credentials = m_credentials;
    credentials = grpc::InsecureServerCredentials();
    if (tls) {
        // a key of another pair, or a certificate out of its dates, is named here: gRPC
        // would only fail to listen
        for (const QString &warning : checkTlsFiles(m_options.tlsCertFile, m_options.tlsKeyFile,
                                                    hostOfAddress(m_options.listen)))
            qCWarning(lcCredentials).noquote() << warning;
        grpc::SslServerCredentialsOptions ssl;
        ssl.pem_key_cert_pairs.push_back({readFile(m_options.tlsKeyFile).toStdString(),
                                          readFile(m_options.tlsCertFile).toStdString()});
        credentials = grpc::SslServerCredentials(ssl);
    }
    // a server that can read but not write its SQLite file would refuse every batch:
    // the file and its folder (where the journal files go) must be writable
    if (m_config.isSQLite()) {
        const QFileInfo file(m_config.path);
        if (file.exists() && (!file.isWritable() || !QFileInfo(file.absolutePath()).isWritable()))
            throw Error(text("DB_READ_ONLY").arg(m_config.path));
        // held for the server's life: a restore refuses while it is
        if (!m_hold.take(m_config.path, false))
            throw Error(text("DB_BEING_RESTORED").arg(m_config.path));
    }
    {
        const QString name =
            QStringLiteral("zov-server-check-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
        std::pair<int, int> counts{0, 0}; // operators, and of those the active ones
        {
            QSqlDatabase db = openDatabase(m_config, name, OpenMode::MustExist);
            // a role that may not read or write what the server does would fail every
            // call: said now, with what to grant
            const QString denied = serverPrivilegeProblem(db);
            const QString problem = denied.isEmpty() ? schemaProblem(db) : QString();
            // a standby (or a database that takes no writes) would answer every read and
            // refuse the first batch: refused now, by name
            const bool readOnly = problem.isEmpty() && denied.isEmpty() && databaseIsReadOnly(db);
            if (problem.isEmpty() && denied.isEmpty())
                counts = operatorCounts(db);
            db.close();
            if (!problem.isEmpty() || !denied.isEmpty() || readOnly) {
                db = QSqlDatabase();
                QSqlDatabase::removeDatabase(name);
                if (readOnly)
                    throw Error(text("DB_STANDBY").arg(m_config.display()));
                if (!problem.isEmpty())
                    throw Error(text("DB_WRONG_SCHEMA").arg(m_config.display(), problem));
                throw Error(
                    text("DB_MISSING_PRIVILEGES").arg(m_config.user, m_config.display(), denied));
            }
        }
        QSqlDatabase::removeDatabase(name);
        // anything but loopback is reached over the network: a call must name who makes
        // it, by the shared token or an operator's
        const auto [operators, active] = counts;
        if (!loopback && tokens.isEmpty() && operators == 0)
            throw Error(text("SERVER_NEEDS_TLS").arg(m_options.listen));
        m_credentialMode = operators > 0 && !tokens.isEmpty()
                               ? text("SERVER_MODE_MOVING").arg(operators).arg(active)
                           : operators > 0
                               ? text("SERVER_MODE_OPERATORS").arg(operators).arg(active)
                           : !tokens.isEmpty() ? text("SERVER_MODE_SHARED")
                                               : text("SERVER_MODE_OPEN");
    }
}

bool AppServerHost::check()
{
    prepare();
    const ListenProblem problem = listenProblem(m_options.listen);
    if (problem.kind == ListenProblem::Invalid)
        throw Error(text("SERVER_BAD_LISTEN").arg(m_options.listen, problem.reason));
    if (!m_options.metricsAddress.isEmpty() &&
        listenProblem(m_options.metricsAddress).kind == ListenProblem::Invalid)
        throw Error(text("METRICS_LISTEN_FAILED").arg(m_options.metricsAddress));
    return problem.kind == ListenProblem::InUse;
}

void AppServerHost::start()
{
    prepare();
    const QStringList &tokens = m_tokens;
    const std::shared_ptr<grpc::ServerCredentials> &credentials = m_credentials;
    m_metrics = std::make_unique<ServerMetrics>();
    // the metrics' address is taken first: a mistake in it stops the server before it
    // serves anything
    if (!m_options.metricsAddress.isEmpty())
        m_metricsEndpoint = std::make_unique<MetricsEndpoint>(m_options.metricsAddress, *m_metrics);
    m_dispatcher =
        std::make_unique<Dispatcher>(m_config, m_options.menuNumberBlock, m_metrics.get());
    m_service = std::make_unique<AppServerService>(*m_dispatcher, tokens, m_options, *m_metrics,
                                                   !m_config.isSQLite());
    // standard tools can ask whether it serves (grpc.health.v1) and list its methods
    // (server reflection)
    grpc::EnableDefaultHealthCheckService(true);
    grpc::reflection::InitProtoReflectionServerBuilderPlugin();
    // a port another program holds is said as such, before gRPC tries it
    if (listenProblem(m_options.listen).kind == ListenProblem::InUse)
        throw Error(text("SERVER_PORT_IN_USE").arg(m_options.listen));
    grpc::ServerBuilder builder;
    builder.AddListeningPort(m_options.listen.toStdString(), credentials, &m_port);
    // an address another server holds is refused, not shared: gRPC would otherwise let
    // two servers (perhaps over two databases) split the calls of one port
    builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
    builder.SetMaxReceiveMessageSize(kMaxCallBytes);
    builder.SetMaxSendMessageSize(kMaxReplyBytes);
    builder.RegisterService(m_service.get());
    // grpcurl and the current tools ask reflection v1 first, older ones v1alpha
    m_reflection = makeReflectionV1({rpc::AppServer::service_full_name(), "grpc.health.v1.Health",
                                     "grpc.reflection.v1.ServerReflection",
                                     "grpc.reflection.v1alpha.ServerReflection"});
    builder.RegisterService(m_reflection.get());
    // one completion queue polled by one thread at a time keeps a call on one thread
    // from the socket to the reply; more threads are started as calls overlap
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::NUM_CQS, 1);
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MIN_POLLERS, 1);
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MAX_POLLERS, 2);
    // at most `threads` threads, so at most as many database connections; the admission
    // lets one less run calls, so that one answers the health check and refuses what
    // comes over the limit. The threads beyond the pollers end when idle and close
    // their connections.
    grpc::ResourceQuota quota("zov-server");
    quota.SetMaxThreads(std::max(2, m_options.threads));
    quota.Resize(kTransportMemoryBytes);
    builder.SetResourceQuota(quota);
    m_server = builder.BuildAndStart();
    if (!m_server || m_port == 0) {
        m_server.reset();
        const ListenProblem problem = listenProblem(m_options.listen);
        if (problem.kind == ListenProblem::InUse)
            throw Error(text("SERVER_PORT_IN_USE").arg(m_options.listen));
        if (problem.kind == ListenProblem::Invalid)
            throw Error(text("SERVER_BAD_LISTEN").arg(m_options.listen, problem.reason));
        throw Error(text("SERVER_LISTEN_FAILED").arg(m_options.listen));
    }
    // the database was opened and checked above; while every thread is taken, or the
    // database does not answer, the server says it does not serve, so that a balancer
    // sends calls elsewhere
    {
        std::lock_guard lock(m_healthMutex);
        updateHealth(false, true);
    }
    m_service->admission().onFull([this](bool full) {
        std::lock_guard lock(m_healthMutex);
        updateHealth(full, m_databaseUp);
    });
    m_probe = std::make_unique<DatabaseProbe>(m_config, m_options.healthProbeMs, *m_metrics,
                                              [this](bool up) {
                                                  m_metrics->databaseUp = up ? 1 : 0;
                                                  std::lock_guard lock(m_healthMutex);
                                                  updateHealth(m_full, up);
                                              });
}

int AppServerHost::metricsPort() const
{
    return m_metricsEndpoint ? m_metricsEndpoint->port() : 0;
}

// called with m_healthMutex held
void AppServerHost::updateHealth(bool full, bool databaseUp)
{
    m_full = full;
    m_databaseUp = databaseUp;
    if (!m_server)
        return;
    const bool serving = !full && databaseUp;
    if (grpc::HealthCheckServiceInterface *health = m_server->GetHealthCheckService()) {
        health->SetServingStatus(serving);
        health->SetServingStatus(rpc::AppServer::service_full_name(), serving);
    }
}

void AppServerHost::stop(int graceMs)
{
    m_probe.reset();
    if (m_server) {
        // a load balancer that asks stops sending calls here
        if (grpc::HealthCheckServiceInterface *health = m_server->GetHealthCheckService())
            health->SetServingStatus(false);
        // a call held by a database that stopped answering would keep the server
        // from stopping: its connection is cut when the grace period ends
        m_dispatcher->abandonStatementsAt(std::chrono::steady_clock::now() +
                                          std::chrono::milliseconds(graceMs));
        m_server->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(graceMs));
        m_server->Wait();
        m_server.reset();
    }
    m_service.reset();
    m_reflection.reset();
    m_dispatcher.reset();
    m_metricsEndpoint.reset();
}

void AppServerHost::wait()
{
    if (m_server)
        m_server->Wait();
}

} // namespace zov
