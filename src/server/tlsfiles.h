#pragma once

#include <QString>
#include <QStringList>

namespace zov {

// The server's certificate and key, looked at before anything listens: a file that
// holds no PEM certificate or key, a key of another pair, and a certificate that has
// expired or is not valid yet are errors (zov::Error, naming the file and the date);
// the returned warnings name a certificate that expires within `warnDays` days and
// one whose names do not cover `host`, the address the server listens on (none is
// said for a wildcard address, 0.0.0.0 or [::], which any name may reach).
QStringList checkTlsFiles(const QString &certFile, const QString &keyFile, const QString &host,
                          int warnDays = 30);

} // namespace zov
