#include "callaccess.h"

#include "callmetadata.h"
#include "dispatcher.h"
#include "packet.h"
#include "servermetrics.h"
#include "serversql.h"
#include "texts.h"

#include <QDateTime>
#include <QSqlQuery>
#include <grpcpp/support/status_code_enum.h>

#include <chrono>

namespace zov {

namespace {

// What the method does, as a refusal names it.
QString actionOf(Method method, bool dryRun)
{
    switch (method) {
    case Method::GetPrxCardapio:
    case Method::DelPratosDiet:
    case Method::SetImportacao:
    case Method::GetPassoDestino: // a new header's number, or an overwrite's clearing
        return text(dryRun ? "ACCESS_ACTION_DRY_RUN" : "ACCESS_ACTION_IMPORT");
    case Method::GetImportacoes:
        return text("ACCESS_ACTION_RUNS");
    case Method::DesfazImportacao:
        return text("ACCESS_ACTION_UNDO");
    default:
        return text("ACCESS_ACTION_READ");
    }
}

// The branches a delta's rows name, as they are and as they were.
QStringList branchesOf(const QVariant &delta)
{
    QStringList branches;
    if (delta.typeId() != qMetaTypeId<Packet>())
        return branches;
    const Packet &packet = *static_cast<const Packet *>(delta.constData());
    const int column = packet.indexOf(QStringLiteral("CDFILIAL"));
    for (const PacketRow &row : packet.rows) {
        for (const QVariantList *values : {&row.values, &row.original}) {
            // a row without the column is the delta check's to refuse
            const QString branch = column >= 0 ? values->value(column).toString() : QString();
            if (!values->isEmpty() && !branches.contains(branch))
                branches.append(branch);
        }
    }
    return branches;
}

// A header the batch stamps with another operator than `code`: its menu number and
// that operator. A header it refills keeps the stamp it has.
std::optional<QPair<QString, QString>> otherStamp(const QVariant &delta, const QString &code)
{
    if (delta.typeId() != qMetaTypeId<Packet>())
        return std::nullopt;
    const Packet &packet = *static_cast<const Packet *>(delta.constData());
    const int stamp = packet.indexOf(QStringLiteral("CDOPERADOR"));
    const int number = packet.indexOf(QStringLiteral("NRCARDAPIO"));
    if (stamp < 0)
        return std::nullopt;
    for (const PacketRow &row : packet.rows) {
        const QString written = row.values.value(stamp).toString();
        const bool writes = row.kind == ChangeKind::Insert ||
                            (row.kind == ChangeKind::Modify &&
                             row.values.value(stamp) != row.original.value(stamp));
        if (writes && written != code)
            return QPair<QString, QString>{row.values.value(number).toString(), written};
    }
    return std::nullopt;
}

} // namespace

CallAccess::Refusal CallAccess::refused(int status, const QString &said, const CallContext &context,
                                        const QString &logged) const
{
    if (m_metrics)
        m_metrics->refused(status == grpc::StatusCode::PERMISSION_DENIED ? "permission"
                                                                         : "credentials");
    qCWarning(lcCredentials).noquote() << logSafe(logged.isEmpty() ? said : logged, 300)
                                       << text("LOG_FROM").arg(logSafe(context.peer));
    return {status, said};
}

std::optional<CallAccess::Refusal> CallAccess::admit(SqlSession &s,
                                                     const MethodSignature &signature,
                                                     const QVariantList &args, CallContext &context)
{
    const OperatorToken token = parseOperatorToken(context.credential);
    if (token.operatorCode.isEmpty()) {
        // no operator's token: served as before while there are no operators, or while
        // the server still takes its shared token (the move to operators)
        if (context.sharedToken)
            return std::nullopt;
        if (!m_operatorsSeen.load(std::memory_order_relaxed)) {
            const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
            if (now < m_noOperatorsUntil.load(std::memory_order_relaxed))
                return std::nullopt;
            if (!anyOperator(s)) {
                m_noOperatorsUntil =
                    now + std::chrono::nanoseconds(std::chrono::seconds(1)).count();
                return std::nullopt;
            }
        }
        m_operatorsSeen = true;
        return refused(grpc::StatusCode::UNAUTHENTICATED, text("ACCESS_NEEDS_OPERATOR"), context);
    }
    const std::optional<OperatorRecord> who = findOperator(s, token.operatorCode);
    const QString now = operatorTime(QDateTime::currentDateTimeUtc());
    // an unknown operator and a wrong secret are told apart only in the log
    if (!who || !credentialMatches(credentialsOf(s, who->code), token.secret, now))
        return refused(grpc::StatusCode::UNAUTHENTICATED, text("RPC_BAD_CREDENTIAL"), context,
                       text("ACCESS_BAD_TOKEN_LOG").arg(token.operatorCode));
    m_operatorsSeen = true;
    if (!who->active)
        return refused(grpc::StatusCode::UNAUTHENTICATED, text("ACCESS_DISABLED").arg(who->code),
                       context);
    if (!context.operatorCode.isEmpty() && context.operatorCode != who->code)
        return refused(grpc::StatusCode::PERMISSION_DENIED,
                       text("ACCESS_OTHER_OPERATOR").arg(who->code, context.operatorCode), context);
    context.operatorCode = who->code;
    if (auto refusal = rights(s, *who, signature, args, context))
        return refused(refusal->status, refusal->text, context);
    return std::nullopt;
}

std::optional<CallAccess::Refusal> CallAccess::rights(SqlSession &s, const OperatorRecord &who,
                                                      const MethodSignature &signature,
                                                      const QVariantList &args,
                                                      const CallContext &context) const
{
    constexpr int denied = grpc::StatusCode::PERMISSION_DENIED;
    const QString action = actionOf(signature.id, !context.dryRun.isEmpty());
    const auto outside = [&](const QString &branch) -> std::optional<Refusal> {
        if (who.mayWorkOn(branch))
            return std::nullopt;
        if (branch.isEmpty())
            return Refusal{denied, text("ACCESS_DENIED_ALL_BRANCHES").arg(who.code, action)};
        return Refusal{denied, text("ACCESS_DENIED_BRANCH").arg(who.code, action, branch)};
    };
    // every branch the call names: an argument, or a row of a batch (a batch that
    // touches one row of another branch is refused whole)
    for (int i = 0; i < signature.params.size(); ++i) {
        const Param &p = signature.params.at(i);
        if (p.name == QLatin1String("CdFilial")) {
            if (auto refusal = outside(args.value(i).toString()))
                return refusal;
        } else if (p.kind == ArgKind::Delta) {
            for (const QString &branch : branchesOf(args.value(i))) {
                if (auto refusal = outside(branch))
                    return refusal;
            }
        }
    }
    if (signature.id == Method::SetImportacao) {
        if (const auto stamp = otherStamp(args.value(0), who.code))
            return Refusal{denied,
                           text("ACCESS_STAMP_OTHER").arg(who.code, stamp->first, stamp->second)};
    }
    if (signature.id == Method::DesfazImportacao) {
        const QString runId = args.value(0).toString();
        QString owner, branch;
        bool known = false;
        s.select(serverSql(s.isSQLite(), "run_owner"), {runId}, [&](const SqlRow &q) {
            owner = q.value(0).toString();
            branch = q.value(1).toString();
            known = true;
        });
        // an unknown run is the undo's to say
        if (known) {
            if (auto refusal = outside(branch))
                return refusal;
            if (who.role == Role::Planner && owner != who.code)
                return Refusal{
                    denied,
                    text("ACCESS_DENIED_UNDO").arg(who.code, logSafe(runId, 64), owner, branch)};
        }
    }
    return std::nullopt;
}

} // namespace zov
