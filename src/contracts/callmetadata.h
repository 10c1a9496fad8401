#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QString>
#include <QStringList>

namespace zov {

// What a call carries beside its arguments, by key, and the most of each value the
// server keeps (0: no limit of the key's own).
struct MetadataKey
{
    QLatin1String name;
    int maxLength = 0;

    // `value` as the server keeps it
    QString kept(const QString &value) const
    {
        return maxLength > 0 ? value.left(maxLength) : value;
    }
};

// the client's id of a batch, by which the server stores it once
inline constexpr MetadataKey kBatchIdKey{QLatin1String("zov-batch-id"), 100};
// what a batch was decided on (branch|menu number|YYYY-MM-DD|diet=digest)
inline constexpr MetadataKey kDaySeenKey{QLatin1String("zov-day-seen"), 200};
// a dry run's id: the server keeps nothing of the call and names the id back
inline constexpr MetadataKey kDryRunKey{QLatin1String("zov-dry-run"), 64};
// the month of the configuration a run follows (YYYY-MM-01)
inline constexpr MetadataKey kConfigMonthKey{QLatin1String("zov-config-month"), 40};
// the run a batch belongs to, how it stores and where it copies from, for its undo
inline constexpr MetadataKey kRunIdKey{QLatin1String("zov-run-id"), 64};
inline constexpr MetadataKey kRunModeKey{QLatin1String("zov-run-mode"), 12};
// the two values of the run's mode: "Acrescentar" and "Sobrepor"
inline constexpr QLatin1String kAppendMode{"append"};
inline constexpr QLatin1String kOverwriteMode{"overwrite"};
inline constexpr MetadataKey kRunSourceKey{QLatin1String("zov-run-source"), 40};
// the operator's code, for the audit lines (kept as wide as the operator's column)
inline constexpr MetadataKey kOperatorKey{QLatin1String("zov-operator")};
// the deadline of each call of a stream, in milliseconds
inline constexpr MetadataKey kCallDeadlineKey{QLatin1String("zov-call-deadline-ms")};
// "1" on a call of a stream: a read of a step ahead, which may run before the calls
// sent ahead of it (signatures.h says which methods may)
inline constexpr MetadataKey kAheadKey{QLatin1String("zov-ahead")};
// "1" in a reply's initial metadata (a single call's, a stream's first answer): the
// server takes GetPassoDestino, a step's reads in one call
inline constexpr MetadataKey kStepReadsKey{QLatin1String("zov-step-reads")};
// "1": the caller reads a packet sent column by column
inline constexpr MetadataKey kPacketColumnsKey{QLatin1String("zov-packet-columns")};
// "1" beside it: the caller reads a column's texts joined in one string
inline constexpr MetadataKey kJoinedTextsKey{QLatin1String("zov-joined-texts")};
// "changed": only the by-reference arguments the method changed come back
inline constexpr MetadataKey kByRefKey{QLatin1String("zov-by-ref")};
inline constexpr QLatin1String kByRefChanged("changed");

// gRPC's name of a status code ("UNAVAILABLE"); null for a code it does not define.
const char *statusCodeName(int code);

// What travels beside a call's arguments as gRPC metadata must be printable ASCII:
// gRPC refuses anything else, and a client aborts on it. The texts of this system
// (an operator "JOÃO", a code with an accent, a tab) are sent percent-encoded as
// UTF-8; printable ASCII other than '%' goes as it is, so older peers read plain
// values unchanged.
QByteArray encodeMetadataValue(const QString &value);
QString decodeMetadataValue(const QByteArray &value);

// Whether two secrets (or their digests) are equal, in time that does not depend on
// where they differ.
bool sameSecret(const QByteArray &given, const QByteArray &expected);

// A token goes as "authorization: Bearer <token>": printable ASCII without blanks.
bool isSendableToken(const QString &token);

// An operator's token: "zov1." then the operator's code (base64url of its UTF-8) and
// "." and a random secret (base64url of 32 bytes). The code tells the server whose
// credentials to compare the secret with; only the secret is secret.
struct OperatorToken
{
    QString operatorCode;
    QByteArray secret;
};
QString makeOperatorToken(const QString &operatorCode, const QByteArray &secret);
// The token's operator and secret; an empty code when it is not an operator's token.
OperatorToken parseOperatorToken(const QString &token);

// Reads a token file: a regular file of at most 4 KB with one token a line (more than
// one while tokens are rotated); blank lines and surrounding blanks are ignored.
// Throws zov::Error naming the file and what is wrong, never its content.
QStringList readTokenFile(const QString &path);

// True when every address `host` resolves to is a loopback one (127.0.0.0/8, ::1):
// decided on the addresses, not on the text ("127.x.example" may resolve elsewhere).
// A name that does not resolve is not loopback. Brackets around IPv6 are allowed.
bool resolvesToLoopbackOnly(const QString &host);
// Whether something takes a plain TCP connection at host:port within a second.
bool acceptsConnections(const QString &host, int port);
// The host part of "HOST:PORT" ("[::1]:8211" gives "[::1]").
QString hostOfAddress(const QString &address);

// True when users outside the file's owner and group may read it.
bool readableByOthers(const QString &path);

} // namespace zov
