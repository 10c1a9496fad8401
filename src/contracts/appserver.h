#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

#include "signatures.h"

namespace zov {

// The application server seen from the screen: a method invoked by name with
// positional variant arguments; by-reference arguments come back written into
// `args`. The result is a text (a business error or a plain answer), a packet or
// an array of packets. A call that cannot be made or that the server refuses
// throws zov::Error with a Portuguese text.
class AppServer
{
public:
    virtual ~AppServer() = default;
    virtual QVariant invoke(const QString &method, QVariantList &args) = 0;
    QVariant invoke(Method method, QVariantList &args) { return invoke(methodName(method), args); }
    // What travels beside the arguments of the calls that follow (empty: removed).
    virtual void setMetadata(const QString &key, const QString &value) = 0;
};

} // namespace zov
