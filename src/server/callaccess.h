#pragma once

#include "operators.h"
#include "rdmimpcardzov.h"
#include "signatures.h"

#include <QString>
#include <QVariantList>

#include <atomic>
#include <optional>

namespace zov {

class ServerMetrics;

// Who a call is and what it may do. With operators registered, a call carries an
// operator's token (or, while the shared token is still configured, that one): the
// operator is the token's, a different one the caller claims is refused, and so is
// anything outside the operator's branches and role, before the method reads or
// writes anything. Without operators, every call is served as the shared token (or
// loopback) allows.
class CallAccess
{
public:
    struct Refusal
    {
        int status; // a gRPC status code: UNAUTHENTICATED or PERMISSION_DENIED
        QString text;
    };

    explicit CallAccess(ServerMetrics *metrics)
        : m_metrics(metrics)
    {}

    // Sets the call's operator to the credential's; a refusal, already logged on the
    // credentials category with the caller's address, when the call may not run.
    std::optional<Refusal> admit(SqlSession &s, const MethodSignature &signature,
                                 const QVariantList &args, CallContext &context);

private:
    std::optional<Refusal> rights(SqlSession &s, const OperatorRecord &who,
                                  const MethodSignature &signature, const QVariantList &args,
                                  const CallContext &context) const;
    // `said` to the caller; the log says `logged` when given
    Refusal refused(int status, const QString &said, const CallContext &context,
                    const QString &logged = {}) const;

    ServerMetrics *m_metrics;
    // operators are never removed: once there, the server keeps asking for them
    std::atomic<bool> m_operatorsSeen{false};
    // while none is registered the database is asked again at most once a second (on
    // the clock's count, in nanoseconds): the first operator is asked for within a second
    std::atomic<qint64> m_noOperatorsUntil{0};
};

} // namespace zov
