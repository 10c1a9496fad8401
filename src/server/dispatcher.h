#pragma once

#include "database.h"
#include "rdmimpcardzov.h"

#include <QHash>
#include <QLoggingCategory>
#include <memory>
#include <mutex>
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

// Turns one Invoke call into a method run: checks the method and its arguments
// against the method table (UNIMPLEMENTED, INVALID_ARGUMENT), runs it on the
// calling thread's own database connection, and writes the result and the
// by-reference arguments into the reply. Logs one line per call.
class Dispatcher
{
public:
    Dispatcher(const DatabaseConfig &config, int menuNumberBlock);
    ~Dispatcher();

    grpc::Status invoke(const rpc::Call &call, rpc::Reply *reply, const CallContext &context);

private:
    SqlSession &session();

    DatabaseConfig m_config;
    rdmImpCardZov m_module;
    std::mutex m_sessionsMutex;
    std::unordered_map<std::thread::id, std::unique_ptr<SqlSession>> m_sessions;
    quint64 m_id;
};

} // namespace zov
