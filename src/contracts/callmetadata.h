#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace zov {

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

// True when someone other than the file's owner may read it.
bool readableByOthers(const QString &path);

} // namespace zov
