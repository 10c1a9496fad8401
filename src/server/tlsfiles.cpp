#include "tlsfiles.h"

#include "error.h"
#include "texts.h"

#include <QDate>
#include <QFile>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <ctime>
#include <memory>

namespace zov {

namespace {

struct FreeBio
{
    void operator()(BIO *b) const { BIO_free(b); }
};
struct FreeX509
{
    void operator()(X509 *c) const { X509_free(c); }
};
struct FreeKey
{
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct FreeNames
{
    void operator()(GENERAL_NAMES *n) const { GENERAL_NAMES_free(n); }
};

std::unique_ptr<BIO, FreeBio> openPem(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(text("SERVER_UNREADABLE_FILE").arg(path));
    const QByteArray pem = file.read(1024 * 1024);
    // a memory BIO of its own: the bytes are copied into it
    std::unique_ptr<BIO, FreeBio> bio(BIO_new(BIO_s_mem()));
    if (!bio || BIO_write(bio.get(), pem.constData(), int(pem.size())) != int(pem.size()))
        throw Error(text("SERVER_UNREADABLE_FILE").arg(path));
    return bio;
}

// a key protected by a passphrase cannot be read by a service: no prompt is made
int noPassphrase(char *, int, int, void *)
{
    return 0;
}

QDate dateOf(const ASN1_TIME *time)
{
    std::tm tm{};
    if (ASN1_TIME_to_tm(time, &tm) != 1)
        return {};
    return QDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

QString dayText(const QDate &date)
{
    return date.toString(QStringLiteral("dd/MM/yyyy"));
}

// the DNS names and addresses the certificate is issued for, else its common name
QString namesOf(X509 *cert)
{
    QStringList names;
    std::unique_ptr<GENERAL_NAMES, FreeNames> alt(static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt.get()); ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(alt.get(), i);
        if (name->type == GEN_DNS) {
            const ASN1_IA5STRING *dns = name->d.dNSName;
            names.append(
                QString::fromLatin1(reinterpret_cast<const char *>(dns->data), dns->length));
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING *ip = name->d.iPAddress;
            char written[INET6_ADDRSTRLEN] = {};
            if ((ip->length == 4 || ip->length == 16) &&
                inet_ntop(ip->length == 4 ? AF_INET : AF_INET6, ip->data, written, sizeof written))
                names.append(QString::fromLatin1(written));
        }
    }
    if (names.isEmpty()) {
        char common[256] = {};
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, common,
                                      sizeof common) > 0)
            names.append(QString::fromLatin1(common));
    }
    return names.join(QStringLiteral(", "));
}

// 0 when `host` is no address, else its family
int familyOf(const QString &host)
{
    const QByteArray name = host.toLatin1();
    unsigned char bytes[16];
    if (inet_pton(AF_INET, name.constData(), bytes) == 1)
        return AF_INET;
    return inet_pton(AF_INET6, name.constData(), bytes) == 1 ? AF_INET6 : 0;
}

bool covers(X509 *cert, const QString &host)
{
    const QByteArray name = host.toLatin1();
    if (familyOf(host) != 0)
        return X509_check_ip_asc(cert, name.constData(), 0) == 1;
    return X509_check_host(cert, name.constData(), size_t(name.size()), 0, nullptr) == 1;
}

} // namespace

QStringList checkTlsFiles(const QString &certFile, const QString &keyFile, const QString &host,
                          int warnDays)
{
    const auto certPem = openPem(certFile);
    std::unique_ptr<X509, FreeX509> cert(
        PEM_read_bio_X509(certPem.get(), nullptr, noPassphrase, nullptr));
    if (!cert)
        throw Error(text("TLS_CERT_UNREADABLE").arg(certFile));
    const auto keyPem = openPem(keyFile);
    std::unique_ptr<EVP_PKEY, FreeKey> key(
        PEM_read_bio_PrivateKey(keyPem.get(), nullptr, noPassphrase, nullptr));
    if (!key)
        throw Error(text("TLS_KEY_UNREADABLE").arg(keyFile));
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        throw Error(text("TLS_KEY_MISMATCH").arg(keyFile, certFile));
    const ASN1_TIME *notAfter = X509_get0_notAfter(cert.get());
    if (X509_cmp_current_time(notAfter) <= 0)
        throw Error(text("TLS_CERT_EXPIRED").arg(certFile, dayText(dateOf(notAfter))));
    const ASN1_TIME *notBefore = X509_get0_notBefore(cert.get());
    if (X509_cmp_current_time(notBefore) >= 0)
        throw Error(text("TLS_CERT_NOT_YET_VALID").arg(certFile, dayText(dateOf(notBefore))));
    QStringList warnings;
    std::time_t soon = std::time(nullptr) + std::time_t(warnDays) * 24 * 3600;
    if (X509_cmp_time(notAfter, &soon) < 0) {
        const QDate last = dateOf(notAfter);
        warnings.append(text("TLS_CERT_EXPIRING")
                            .arg(certFile, dayText(last),
                                 countText("TLS_DAYS_LEFT", QDate::currentDate().daysTo(last))));
    }
    QString bare = host;
    if (bare.startsWith(QLatin1Char('[')) && bare.endsWith(QLatin1Char(']')))
        bare = bare.mid(1, bare.size() - 2);
    const bool anyAddress =
        bare.isEmpty() || bare == QLatin1String("0.0.0.0") ||
        (familyOf(bare) == AF_INET6 &&
         bare.count(QLatin1Char('0')) + bare.count(QLatin1Char(':')) == bare.size());
    if (!anyAddress && !covers(cert.get(), bare))
        warnings.append(text("TLS_CERT_NAMES").arg(certFile, bare, namesOf(cert.get())));
    return warnings;
}

} // namespace zov
