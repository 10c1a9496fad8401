#pragma once

#include <QStringList>

namespace zov {

// The options of zov-server that take a value, on its command line and in its
// configuration file; zov-db --config reads its database from that file.
inline QStringList serverOptions()
{
    return {QStringLiteral("db"),      QStringLiteral("listen"),     QStringLiteral("tls-cert"),
            QStringLiteral("tls-key"), QStringLiteral("token-file"), QStringLiteral("threads"),
            QStringLiteral("grace"),   QStringLiteral("metrics")};
}

} // namespace zov
