#pragma once

#include "callaccess.h"
#include "database.h"
#include "rdmimpcardzov.h"

#include <QHash>
#include <QLoggingCategory>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace grpc {
class Status;
}

namespace zov {

namespace rpc {
class Call;
class Reply;
} // namespace rpc

Q_DECLARE_LOGGING_CATEGORY(lcCalls)
// Calls refused for their credentials, and credential files others may read.
Q_DECLARE_LOGGING_CATEGORY(lcCredentials)

// A caller's text fit for a log line: one line, control characters and direction
// marks written as \uXXXX, cut at `max` characters.
QString logSafe(const QString &text, int max = 160);

// Turns one Invoke call into a method run: checks the method and its arguments
// against the method table (UNIMPLEMENTED, INVALID_ARGUMENT), runs it on the
// calling thread's own database connection, and writes the result and the
// by-reference arguments into the reply. Logs one line per call.
//
// A connection belongs to the thread that opened it and is closed when that thread
// ends, so the server holds at most as many connections as gRPC has threads. A
// connection the database lost (a restart) is replaced: a call that finds its
// connection dead before its first statement runs again on a new one; a call that
// meets the break later, or finds the database down, is answered UNAVAILABLE with
// nothing of it kept.
class ServerMetrics;
struct MethodSignature;

class Dispatcher
{
public:
    // `metrics`, when given, counts every method run by its outcome
    Dispatcher(const DatabaseConfig &config, int menuNumberBlock, ServerMetrics *metrics = nullptr);
    ~Dispatcher();

    grpc::Status invoke(const rpc::Call &call, rpc::Reply *reply, const CallContext &context);
    // Statements still running at `limit` are cut off from the database.
    void abandonStatementsAt(std::chrono::steady_clock::time_point limit);
    // The calling thread's connection opened before its first call needs it; one that
    // cannot be opened now is that call's to report.
    void openSessionAhead() noexcept;

private:
    // The calling thread's connection, opened when it has none or lost its own.
    SqlSession &session();
    // how a call ends in the log (and the metrics): its outcome and a detail
    using CallLog = std::function<void(const char *outcome, const QString &detail)>;
    // The call's arguments from the wire, checked against the method: the problem.
    static QString readArguments(const rpc::Call &call, const MethodSignature &signature,
                                 const QString &method, QVariantList &args);
    // Runs the method on this thread's session, once more after an idle connection
    // was lost; the status of a call that ends without an answer.
    std::optional<grpc::Status> runMethod(const MethodSignature &signature, QVariantList &args,
                                          CallContext &context, QVariant &value,
                                          const char *&refusal, const CallLog &log);
    void dropSession();

    DatabaseConfig m_config;
    rdmImpCardZov m_module;
    CallAccess m_access;
    quint64 m_id;
    ServerMetrics *m_metrics;
};

} // namespace zov
