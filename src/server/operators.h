#pragma once

#include "sqlsession.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace zov {

// What an operator may do: a planner imports, simulates and undoes their own runs in
// their branches; a supervisor also undoes anyone's run there; an admin also keeps
// the operators and the history (zov-db).
enum class Role { Planner, Supervisor, Admin };

// "planner", "supervisor", "admin", as stored and typed.
QString roleName(Role role);
std::optional<Role> roleFromName(const QString &name);

struct OperatorRecord
{
    QString code;
    QString name;
    Role role = Role::Planner;
    bool allBranches = false;
    QStringList branches; // when not every branch
    bool active = true;
    QString created;  // UTC, ISO
    QString disabled; // UTC, ISO; empty while active

    bool mayWorkOn(const QString &branch) const { return allBranches || branches.contains(branch); }
    // "todas" or "HC01,HC02", as listed
    QString branchesText() const;
};

// One of an operator's tokens as kept: a random salt and the SHA-256 of the salt and
// the token's secret.
struct StoredCredential
{
    int number = 0;
    QByteArray salt;
    QByteArray hash;
    QString created;
    QString validUntil; // UTC, ISO; empty: until the next rotation sets it
};

// True when any operator is registered (active or not): the server then asks every
// call for an operator's credential.
bool anyOperator(SqlSession &s);
std::optional<OperatorRecord> findOperator(SqlSession &s, const QString &code);
QList<OperatorRecord> listOperators(SqlSession &s);
QList<StoredCredential> credentialsOf(SqlSession &s, const QString &code);

// Whether `secret` is the secret of one of `credentials` still valid at `nowUtc` (ISO).
// Every credential is hashed and compared, each in time that does not depend on where
// the digests differ, so the time tells nothing of the secret.
bool credentialMatches(const QList<StoredCredential> &credentials, const QByteArray &secret,
                       const QString &nowUtc);

// The keeping of operators (zov-db operator). Each writes its change in one
// transaction and, for a new token, the file (0600) before it commits: a token the
// database does not know is never handed out. Each throws zov::Error, in Portuguese.
//
// Registers `record` with a new token, written to `tokenFile`.
void addOperator(SqlSession &s, const OperatorRecord &record, const QString &tokenFile);
// A new token for the operator in `tokenFile`; the earlier ones stay valid until
// `oldValidUntil` (now or earlier: refused at once).
void rotateOperator(SqlSession &s, const QString &code, const QDateTime &oldValidUntil,
                    const QString &tokenFile);
// Every later call of the operator is refused; false when they were disabled already.
bool disableOperator(SqlSession &s, const QString &code);

// The time as the operators' tables keep it: UTC, "YYYY-MM-DDTHH:MM:SS".
QString operatorTime(const QDateTime &when);

} // namespace zov
