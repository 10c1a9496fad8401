#include "operators.h"

#include "callmetadata.h"
#include "error.h"
#include "layout.h"
#include "serversql.h"
#include "texts.h"

#include <QCryptographicHash>
#include <QFileDevice>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSqlQuery>

namespace zov {

namespace {

constexpr int kSaltBytes = 16;
constexpr int kSecretBytes = 32;
const QString kEveryBranch = QStringLiteral("*");

QString sql(const SqlSession &s, const char *name)
{
    return serverSql(s.isSQLite(), name);
}

QByteArray randomBytes(int size)
{
    // the system's generator: fit for secrets
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes;
}

QByteArray hashOf(const QByteArray &salt, const QByteArray &secret)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(salt);
    hash.addData(secret);
    return hash.result();
}

OperatorRecord recordOf(const SqlRow &q)
{
    OperatorRecord r;
    r.code = q.value(0).toString();
    r.name = q.value(1).toString();
    r.role = roleFromName(q.value(2).toString()).value_or(Role::Planner);
    const QString branches = q.value(3).toString();
    r.allBranches = branches == kEveryBranch;
    if (!r.allBranches)
        r.branches = branches.split(QLatin1Char('_'), Qt::SkipEmptyParts);
    r.active = q.value(4).toString() == QLatin1String("S");
    r.created = q.value(5).toString();
    r.disabled = q.value(6).toString();
    return r;
}

// A new token for `code`: its salt and hash stored, the token written to `path` for
// its owner alone. Runs inside the caller's transaction.
void issueToken(SqlSession &s, const QString &code, const QString &path)
{
    const QByteArray secret = randomBytes(kSecretBytes);
    const QByteArray salt = randomBytes(kSaltBytes);
    s.exec(sql(s, "credential_insert"), {code, QString::fromLatin1(salt.toHex()),
                                         QString::fromLatin1(hashOf(salt, secret).toHex()),
                                         operatorTime(QDateTime::currentDateTimeUtc()), code});
    QSaveFile file(path);
    // the file is its owner's before the token is in it
    const bool written =
        file.open(QIODevice::WriteOnly) &&
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
        file.write((makeOperatorToken(code, secret) + QLatin1Char('\n')).toLatin1()) > 0 &&
        file.commit();
    if (!written)
        throw Error(text("OPERATOR_TOKEN_FILE_FAILED").arg(path, file.errorString()));
}

} // namespace

QString roleName(Role role)
{
    switch (role) {
    case Role::Planner:
        return QStringLiteral("planner");
    case Role::Supervisor:
        return QStringLiteral("supervisor");
    case Role::Admin:
        return QStringLiteral("admin");
    }
    return {};
}

std::optional<Role> roleFromName(const QString &name)
{
    for (const Role role : {Role::Planner, Role::Supervisor, Role::Admin}) {
        if (roleName(role) == name)
            return role;
    }
    return std::nullopt;
}

QString OperatorRecord::branchesText() const
{
    return allBranches ? text("OPERATOR_ALL_BRANCHES") : branches.join(QLatin1Char(','));
}

QString operatorTime(const QDateTime &when)
{
    return when.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

bool anyOperator(SqlSession &s)
{
    bool any = false;
    s.select(sql(s, "operator_any"), {}, [&](const SqlRow &) { any = true; });
    return any;
}

std::optional<OperatorRecord> findOperator(SqlSession &s, const QString &code)
{
    std::optional<OperatorRecord> found;
    s.select(sql(s, "operator_find"), {code}, [&](const SqlRow &q) { found = recordOf(q); });
    return found;
}

QList<OperatorRecord> listOperators(SqlSession &s)
{
    QList<OperatorRecord> list;
    s.select(sql(s, "operator_list"), {}, [&](const SqlRow &q) { list.append(recordOf(q)); });
    return list;
}

QList<StoredCredential> credentialsOf(SqlSession &s, const QString &code)
{
    QList<StoredCredential> list;
    s.select(sql(s, "credential_list"), {code}, [&](const SqlRow &q) {
        list.append({q.value(0).toInt(), QByteArray::fromHex(q.value(1).toString().toLatin1()),
                     QByteArray::fromHex(q.value(2).toString().toLatin1()), q.value(3).toString(),
                     q.value(4).toString()});
    });
    return list;
}

bool credentialMatches(const QList<StoredCredential> &credentials, const QByteArray &secret,
                       const QString &nowUtc)
{
    bool found = false;
    for (const StoredCredential &c : credentials) {
        const bool valid = c.validUntil.isEmpty() || c.validUntil > nowUtc;
        found = (sameSecret(hashOf(c.salt, secret), c.hash) && valid) || found;
    }
    return found;
}

void addOperator(SqlSession &s, const OperatorRecord &record, const QString &tokenFile)
{
    if (record.code.trimmed().isEmpty() ||
        record.code.size() > codeWidth(QStringLiteral("CDOPERADOR")))
        throw Error(text("CLI_BAD_OPERATOR").arg(record.code.left(40)));
    if (record.name.trimmed().isEmpty() || record.name.size() > 60)
        throw Error(text("OPERATOR_BAD_NAME").arg(record.name.left(80)));
    for (const QString &branch : record.branches) {
        bool known = false;
        s.select(sql(s, "branch_exists"), {branch}, [&](const SqlRow &) { known = true; });
        if (!known || branch.contains(QLatin1Char('_')))
            throw Error(text("OPERATOR_UNKNOWN_BRANCH").arg(branch.left(40)));
    }
    WriteTransaction transaction(s);
    if (findOperator(s, record.code))
        throw Error(text("OPERATOR_EXISTS").arg(record.code));
    const QString branches =
        record.allBranches
            ? kEveryBranch
            : QLatin1Char('_') + record.branches.join(QLatin1Char('_')) + QLatin1Char('_');
    s.exec(sql(s, "operator_insert"), {record.code, record.name.trimmed(), roleName(record.role),
                                       branches, operatorTime(QDateTime::currentDateTimeUtc())});
    issueToken(s, record.code, tokenFile);
    transaction.commit();
}

void rotateOperator(SqlSession &s, const QString &code, const QDateTime &oldValidUntil,
                    const QString &tokenFile)
{
    WriteTransaction transaction(s);
    const std::optional<OperatorRecord> found = findOperator(s, code);
    if (!found)
        throw Error(text("OPERATOR_UNKNOWN").arg(code.left(40)));
    if (!found->active)
        throw Error(text("OPERATOR_DISABLED_ROTATE").arg(code));
    // a later end of validity is brought forward, an earlier one is never extended
    const QString until = operatorTime(oldValidUntil);
    s.exec(sql(s, "credential_limit"), {until, code, until});
    issueToken(s, code, tokenFile);
    transaction.commit();
}

bool disableOperator(SqlSession &s, const QString &code)
{
    WriteTransaction transaction(s);
    if (!findOperator(s, code))
        throw Error(text("OPERATOR_UNKNOWN").arg(code.left(40)));
    const int changed =
        s.exec(sql(s, "operator_disable"), {operatorTime(QDateTime::currentDateTimeUtc()), code});
    transaction.commit();
    return changed > 0;
}

} // namespace zov
