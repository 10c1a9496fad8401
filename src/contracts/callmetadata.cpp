#include "callmetadata.h"

#include <arpa/inet.h>
#include <cerrno>
#include <iterator>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "error.h"
#include "texts.h"

#include <QFile>
#include <QFileInfo>

namespace zov {

const char *statusCodeName(int code)
{
    static const char *const names[] = {"OK",
                                        "CANCELLED",
                                        "UNKNOWN",
                                        "INVALID_ARGUMENT",
                                        "DEADLINE_EXCEEDED",
                                        "NOT_FOUND",
                                        "ALREADY_EXISTS",
                                        "PERMISSION_DENIED",
                                        "RESOURCE_EXHAUSTED",
                                        "FAILED_PRECONDITION",
                                        "ABORTED",
                                        "OUT_OF_RANGE",
                                        "UNIMPLEMENTED",
                                        "INTERNAL",
                                        "UNAVAILABLE",
                                        "DATA_LOSS",
                                        "UNAUTHENTICATED"};
    return code >= 0 && code < int(std::size(names)) ? names[code] : nullptr;
}

namespace {
constexpr qint64 kMaxTokenFileBytes = 4096;

bool plain(char c)
{
    return c >= 0x20 && c <= 0x7e && c != '%';
}
} // namespace

QByteArray encodeMetadataValue(const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        if (plain(c)) {
            out.append(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            const auto byte = static_cast<unsigned char>(c);
            out.append('%').append(hex[byte >> 4]).append(hex[byte & 15]);
        }
    }
    return out;
}

QString decodeMetadataValue(const QByteArray &value)
{
    return value.contains('%') ? QString::fromUtf8(QByteArray::fromPercentEncoding(value))
                               : QString::fromUtf8(value);
}

bool sameSecret(const QByteArray &given, const QByteArray &expected)
{
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < expected.size(); ++i)
        difference |=
            static_cast<unsigned char>(expected.at(i) ^ (i < given.size() ? given.at(i) : 0));
    return difference == 0;
}

bool isSendableToken(const QString &token)
{
    if (token.isEmpty() || token.size() > kMaxTokenFileBytes)
        return false;
    for (const QChar c : token) {
        if (c.unicode() <= 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

namespace {
constexpr QLatin1String kOperatorTokenPrefix{"zov1."};
constexpr auto kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
} // namespace

QString makeOperatorToken(const QString &operatorCode, const QByteArray &secret)
{
    return kOperatorTokenPrefix + QString::fromLatin1(operatorCode.toUtf8().toBase64(kBase64Url)) +
           QLatin1Char('.') + QString::fromLatin1(secret.toBase64(kBase64Url));
}

OperatorToken parseOperatorToken(const QString &token)
{
    if (!token.startsWith(kOperatorTokenPrefix) || token.size() > 200)
        return {};
    const QStringList parts = token.mid(kOperatorTokenPrefix.size()).split(QLatin1Char('.'));
    if (parts.size() != 2 || parts.at(0).isEmpty() || parts.at(1).isEmpty())
        return {};
    const auto decoded = [](const QString &part) {
        return QByteArray::fromBase64Encoding(part.toLatin1(),
                                              kBase64Url | QByteArray::AbortOnBase64DecodingErrors);
    };
    const auto code = decoded(parts.at(0));
    const auto secret = decoded(parts.at(1));
    if (!code || !secret || code.decoded.isEmpty() || secret.decoded.isEmpty())
        return {};
    const QString operatorCode = QString::fromUtf8(code.decoded);
    // a code that does not come back as it was sent (bad UTF-8, a NUL) is no one's
    if (operatorCode.toUtf8() != code.decoded || operatorCode.contains(QChar(0)))
        return {};
    return {operatorCode, secret.decoded};
}

QStringList readTokenFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile())
        throw Error(text("TOKEN_FILE_NOT_FILE").arg(path));
    if (info.size() > kMaxTokenFileBytes)
        throw Error(text("TOKEN_FILE_TOO_LARGE").arg(path).arg(kMaxTokenFileBytes));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(text("CLI_BAD_TOKEN_FILE").arg(path));
    // a file that grew since it was looked at is still read no further than the limit
    const QByteArray content = file.read(kMaxTokenFileBytes + 1);
    if (content.size() > kMaxTokenFileBytes)
        throw Error(text("TOKEN_FILE_TOO_LARGE").arg(path).arg(kMaxTokenFileBytes));
    QStringList tokens;
    for (const QByteArray &line : content.split('\n')) {
        const QString token = QString::fromUtf8(line).trimmed();
        if (token.isEmpty())
            continue;
        if (!isSendableToken(token))
            throw Error(text("TOKEN_NOT_SENDABLE").arg(path));
        tokens.append(token);
    }
    if (tokens.isEmpty())
        throw Error(text("CLI_BAD_TOKEN_FILE").arg(path));
    return tokens;
}

bool readableByOthers(const QString &path)
{
    // the owner and the service's group may read it (0640 root:zov); the others may not
    return QFileInfo(path).permission(QFileDevice::ReadOther);
}

} // namespace zov

namespace zov {

QString hostOfAddress(const QString &address)
{
    return address.section(QLatin1Char(':'), 0, -2);
}

namespace {

// The addresses of `host` (brackets around IPv6 allowed), for `port`; none when it
// does not resolve. Freed with freeaddrinfo.
addrinfo *lookUp(const QString &host, const QByteArray &port = {})
{
    QString name = host.trimmed();
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
        name = name.mid(1, name.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (name.isEmpty() ||
        getaddrinfo(name.toUtf8().constData(), port.isEmpty() ? nullptr : port.constData(), &hints,
                    &found) != 0)
        return nullptr;
    return found;
}

} // namespace

bool resolvesToLoopbackOnly(const QString &host)
{
    addrinfo *found = lookUp(host);
    if (!found)
        return false;
    bool loopback = true;
    for (const addrinfo *a = found; a && loopback; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            const auto *v4 = reinterpret_cast<const sockaddr_in *>(a->ai_addr);
            loopback = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
        } else if (a->ai_family == AF_INET6) {
            const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(a->ai_addr);
            const in6_addr &x = v6->sin6_addr;
            loopback =
                IN6_IS_ADDR_LOOPBACK(&x) || (IN6_IS_ADDR_V4MAPPED(&x) && x.s6_addr[12] == 127);
        } else {
            loopback = false;
        }
    }
    freeaddrinfo(found);
    return loopback;
}

bool acceptsConnections(const QString &host, int port)
{
    addrinfo *found = lookUp(host, QByteArray::number(port));
    bool accepted = false;
    for (const addrinfo *a = found; a && !accepted; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            accepted = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            accepted = ::poll(&p, 1, 1000) == 1 &&
                       ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
        ::close(fd);
    }
    if (found)
        freeaddrinfo(found);
    return accepted;
}

} // namespace zov
