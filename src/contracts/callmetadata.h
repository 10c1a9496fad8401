#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace zov {

// gRPC's name of a status code ("UNAVAILABLE"); null for a code it does not define.
const char *statusCodeName(int code);

// What travels beside a call's arguments as gRPC metadata must be printable ASCII:
// gRPC refuses anything else, and a client aborts on it. The texts of this system
// (an operator "JOÃO", a code with an accent, a tab) are sent percent-encoded as
// UTF-8; printable ASCII other than '%' goes as it is, so older peers read plain
// values unchanged.
QByteArray encodeMetadataValue(const QString &value);
QString decodeMetadataValue(const QByteArray &value);

// A token goes as "authorization: Bearer <token>": printable ASCII without blanks.
bool isSendableToken(const QString &token);

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
