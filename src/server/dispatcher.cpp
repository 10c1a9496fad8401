#include "dispatcher.h"

#include "appserver.pb.h"
#include "batchprotocol.h"
#include "error.h"
#include "servermetrics.h"
#include "signatures.h"
#include "statementwatchdog.h"
#include "texts.h"
#include "wire.h"

#include <QElapsedTimer>
#include <grpcpp/support/status.h>

#include <atomic>
#include <unordered_map>

namespace zov {

Q_LOGGING_CATEGORY(lcCalls, "zov.server.calls")
Q_LOGGING_CATEGORY(lcCredentials, "zov.server.credentials")

QString logSafe(const QString &text, int max)
{
    QString out;
    out.reserve(std::min<qsizetype>(text.size(), max) + 8);
    for (const QChar c : text) {
        if (out.size() >= max) {
            out += QStringLiteral("...");
            break;
        }
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == 0x200e ||
                             u == 0x200f || (u >= 0x2028 && u <= 0x202e) ||
                             (u >= 0x2066 && u <= 0x2069) || u == 0xfeff;
        if (control)
            out += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

namespace {
std::atomic<quint64> g_nextDispatcher{1};

QString firstLine(const QString &text)
{
    return logSafe(text.section(QLatin1Char('\n'), 0, 0));
}

// A database keeps no text with a NUL in it (PostgreSQL refuses the statement):
// such a text is refused before any SQL, wherever it sits in the arguments.
bool holdsNul(const QVariant &v)
{
    if (v.typeId() == QMetaType::QString)
        return v.toString().contains(QChar(0));
    if (v.typeId() == QMetaType::QVariantList) {
        for (const QVariant &item : *static_cast<const QVariantList *>(v.constData())) {
            if (holdsNul(item))
                return true;
        }
        return false;
    }
    if (v.typeId() == qMetaTypeId<Packet>()) {
        const Packet &p = *static_cast<const Packet *>(v.constData());
        for (const PacketField &f : p.fields) {
            if (f.name.contains(QChar(0)))
                return true;
        }
        for (const PacketRow &row : p.rows) {
            for (const QVariantList *values : {&row.values, &row.original}) {
                for (const QVariant &cell : *values) {
                    if (cell.typeId() == QMetaType::QString && cell.toString().contains(QChar(0)))
                        return true;
                }
            }
        }
    }
    return false;
}
} // namespace

Dispatcher::Dispatcher(const DatabaseConfig &config, int menuNumberBlock, ServerMetrics *metrics)
    : m_config(config)
    , m_module(menuNumberBlock)
    , m_access(metrics)
    , m_id(g_nextDispatcher++)
    , m_metrics(metrics)
{}

Dispatcher::~Dispatcher() = default;

namespace {
// the sessions of this thread, one per dispatcher; closed when the thread ends
std::unordered_map<quint64, std::unique_ptr<SqlSession>> &threadSessions()
{
    thread_local std::unordered_map<quint64, std::unique_ptr<SqlSession>> sessions;
    return sessions;
}
std::atomic<quint64> g_nextSession{1};
} // namespace

SqlSession &Dispatcher::session()
{
    std::unique_ptr<SqlSession> &slot = threadSessions()[m_id];
    if (slot && slot->broken())
        slot.reset();
    if (!slot) {
        const QString name = QStringLiteral("zov-server-%1-%2").arg(m_id).arg(g_nextSession++);
        slot = std::make_unique<SqlSession>(m_config, name, m_id);
    }
    return *slot;
}

void Dispatcher::openSessionAhead() noexcept
{
    try {
        session();
    } catch (...) {
    }
}

void Dispatcher::abandonStatementsAt(std::chrono::steady_clock::time_point limit)
{
    StatementWatchdog::cutGroupAt(m_id, limit);
}

void Dispatcher::dropSession()
{
    threadSessions().erase(m_id);
}

QString Dispatcher::readArguments(const rpc::Call &call, const MethodSignature &signature,
                                  const QString &method, QVariantList &args)
{
    try {
        for (const rpc::Value &v : call.args())
            args.append(fromWire(v));
    } catch (const Error &e) {
        return e.text();
    }
    QString problem = checkArguments(signature, args);
    for (const QVariant &arg : std::as_const(args)) {
        if (problem.isEmpty() && holdsNul(arg))
            problem = text("TEXT_WITH_NUL").arg(method);
    }
    return problem;
}

std::optional<grpc::Status> Dispatcher::runMethod(const MethodSignature &signature,
                                                  QVariantList &args, CallContext &context,
                                                  QVariant &value, const char *&refusal,
                                                  const CallLog &log)
{
    for (int attempt = 1;; ++attempt) {
        SqlSession *s = nullptr;
        try {
            s = &session();
        } catch (const Error &e) {
            // the database cannot be reached: nothing ran
            const QString unavailable = text("DB_UNAVAILABLE").arg(logSafe(e.text()));
            log("unavailable", unavailable);
            return grpc::Status(grpc::StatusCode::UNAVAILABLE, unavailable.toStdString());
        }
        try {
            // statements are abandoned a little after the caller stops waiting
            s->beginCall(context.statementLimit);
            // who calls, and whether they may: before the method reads anything
            if (const auto refusal = m_access.admit(*s, signature, args, context)) {
                log(refusal->status == grpc::StatusCode::PERMISSION_DENIED ? "denied"
                                                                           : "unauthenticated",
                    refusal->text);
                return grpc::Status(static_cast<grpc::StatusCode>(refusal->status),
                                    refusal->text.toStdString());
            }
            // a dry run's session keeps nothing, whatever the method asks for
            s->setDryRun(!context.dryRun.isEmpty());
            struct DryRunEnd
            {
                SqlSession &s;
                ~DryRunEnd() { s.setDryRun(false); }
            } dryRunEnd{*s};
            value = m_module.call(*s, signature.id, args, context);
            break;
        } catch (const InvalidArgument &e) {
            log("invalid", e.text());
            return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, e.text().toStdString());
        } catch (const SqlFailure &e) {
            if (!e.connectionLost()) {
                value = e.text();
                refusal = e.busy() ? "busy" : "db-error";
                break;
            }
            // a connection the database dropped while it was idle (a restart): the call
            // had not done anything yet and runs once more on a new one
            const bool idleLoss = s->statementsOfCall() <= 1 && !e.timedOut();
            dropSession();
            if (attempt == 1 && idleLoss)
                continue;
            log("unavailable", e.text());
            return grpc::Status(grpc::StatusCode::UNAVAILABLE, e.text().toStdString());
        } catch (const Error &e) {
            value = e.text();
            break;
        }
    }
    return std::nullopt;
}

grpc::Status Dispatcher::invoke(const rpc::Call &call, rpc::Reply *reply,
                                const CallContext &callContext)
{
    // the operator becomes the credential's once it is checked
    CallContext context = callContext;
    QElapsedTimer timer;
    timer.start();
    const QString method = QString::fromStdString(call.method()).left(60);
    const auto log = [&](const char *outcome, const QString &detail = {}) {
        const double ms = timer.nsecsElapsed() / 1e6;
        qCInfo(lcCalls).noquote() << logSafe(method, 60)
                                  << QString::number(ms, 'f', 3) + QStringLiteral(" ms") << outcome
                                  << firstLine(detail);
        if (m_metrics)
            m_metrics->methodRun(method, QString::fromLatin1(outcome), context.runId,
                                 !context.dryRun.isEmpty(), ms / 1000);
    };
    const MethodSignature *signature = findSignature(method);
    if (!signature) {
        log("unimplemented");
        return {grpc::StatusCode::UNIMPLEMENTED,
                text("RPC_UNKNOWN_METHOD").arg(method).toStdString()};
    }
    QVariantList args;
    if (const QString problem = readArguments(call, *signature, method, args); !problem.isEmpty()) {
        log("invalid", problem);
        return {grpc::StatusCode::INVALID_ARGUMENT, problem.toStdString()};
    }
    QVariant value;
    // how a text answer is logged: a refusal by the business rules, a busy database or
    // a database failure
    const char *refusal = "refused";
    if (auto failed = runMethod(*signature, args, context, value, refusal, log))
        return *failed;
    const bool error = value.typeId() == QMetaType::QString && !value.toString().isEmpty();
    const QString errorText = error ? value.toString() : QString();
    const PacketForm form = !context.packetColumns ? PacketForm::Rows
                            : context.joinedTexts  ? PacketForm::JoinedTexts
                                                   : PacketForm::Columns;
    moveToWire(value, reply->mutable_value(), form);
    // the caller tells a database that failed from a refusal of the method
    if (qstrcmp(refusal, "busy") == 0)
        reply->set_answer_kind("busy");
    else if (qstrcmp(refusal, "db-error") == 0)
        reply->set_answer_kind("database");
    // The methods take their arguments read-only, so every by-reference argument goes
    // back as it came. A caller that keeps its own copies asks for the changed ones
    // only, and is spared a second copy of every batch it sends.
    if (!context.changedByRefOnly) {
        for (int i = 0; i < signature->params.size(); ++i) {
            if (signature->params.at(i).byRef)
                moveToWire(args[i], &(*reply->mutable_by_ref())[i], form);
        }
    }
    if (error && !(signature->textAnswer && !isRefusal(errorText)))
        log(refusal, errorText);
    else
        log(context.dryRun.isEmpty() ? "ok" : "ok dry-run");
    return grpc::Status::OK;
}

} // namespace zov
