#include "dispatcher.h"

#include "appserver.pb.h"
#include "error.h"
#include "signatures.h"
#include "texts.h"
#include "wire.h"

#include <QElapsedTimer>
#include <grpcpp/support/status.h>

#include <atomic>
#include <sstream>

namespace zov {

Q_LOGGING_CATEGORY(lcCalls, "zov.server.calls")

namespace {
std::atomic<quint64> g_nextDispatcher{1};

QString firstLine(const QString &text)
{
    return text.section(QLatin1Char('\n'), 0, 0).left(160);
}
} // namespace

Dispatcher::Dispatcher(const DatabaseConfig &config, int menuNumberBlock)
    : m_config(config)
    , m_module(menuNumberBlock)
    , m_id(g_nextDispatcher++)
{}

Dispatcher::~Dispatcher()
{
    // no call runs any more: the connections can be closed from here
    std::lock_guard lock(m_sessionsMutex);
    m_sessions.clear();
}

SqlSession &Dispatcher::session()
{
    const std::thread::id thread = std::this_thread::get_id();
    std::lock_guard lock(m_sessionsMutex);
    auto it = m_sessions.find(thread);
    if (it == m_sessions.end()) {
        std::ostringstream id;
        id << thread;
        const QString name =
            QStringLiteral("zov-server-%1-%2").arg(m_id).arg(QString::fromStdString(id.str()));
        it = m_sessions.emplace(thread, std::make_unique<SqlSession>(m_config, name)).first;
    }
    return *it->second;
}

grpc::Status Dispatcher::invoke(const rpc::Call &call, rpc::Reply *reply,
                                const CallContext &context)
{
    QElapsedTimer timer;
    timer.start();
    const QString method = QString::fromStdString(call.method()).left(60);
    const auto log = [&](const char *outcome, const QString &detail = {}) {
        qCInfo(lcCalls).noquote() << method
                                  << QString::number(timer.nsecsElapsed() / 1e6, 'f', 3) +
                                         QStringLiteral(" ms")
                                  << outcome << firstLine(detail);
    };
    const MethodSignature *signature = findSignature(method);
    if (!signature) {
        log("unimplemented");
        return {grpc::StatusCode::UNIMPLEMENTED,
                text("RPC_UNKNOWN_METHOD").arg(method).toStdString()};
    }
    QVariantList args;
    try {
        for (const rpc::Value &v : call.args())
            args.append(fromWire(v));
    } catch (const Error &e) {
        log("invalid", e.text());
        return {grpc::StatusCode::INVALID_ARGUMENT, e.text().toStdString()};
    }
    const QString problem = checkArguments(*signature, args);
    if (!problem.isEmpty()) {
        log("invalid", problem);
        return {grpc::StatusCode::INVALID_ARGUMENT, problem.toStdString()};
    }
    QVariant value;
    try {
        SqlSession &s = session();
        // a dry run's session keeps nothing, whatever the method asks for
        s.setDryRun(!context.dryRun.isEmpty());
        struct DryRunEnd
        {
            SqlSession &s;
            ~DryRunEnd() { s.setDryRun(false); }
        } dryRunEnd{s};
        value = m_module.call(s, method, args, context);
    } catch (const InvalidArgument &e) {
        log("invalid", e.text());
        return {grpc::StatusCode::INVALID_ARGUMENT, e.text().toStdString()};
    } catch (const SqlFailure &e) {
        value = e.text();
    } catch (const Error &e) {
        value = e.text();
    }
    const bool error = value.typeId() == QMetaType::QString && !value.toString().isEmpty();
    const QString errorText = error ? value.toString() : QString();
    moveToWire(value, reply->mutable_value());
    // The methods take their arguments read-only, so every by-reference argument goes
    // back as it came. A caller that keeps its own copies asks for the changed ones
    // only, and is spared a second copy of every batch it sends.
    if (!context.changedByRefOnly) {
        for (int i = 0; i < signature->params.size(); ++i) {
            if (signature->params.at(i).byRef)
                moveToWire(args[i], &(*reply->mutable_by_ref())[i]);
        }
    }
    if (error && method != QLatin1String("GetPrxCardapio"))
        log("error", errorText);
    else
        log(context.dryRun.isEmpty() ? "ok" : "ok dry-run");
    return grpc::Status::OK;
}

} // namespace zov
