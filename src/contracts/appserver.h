#pragma once

#include <QPair>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <memory>

#include "signatures.h"

namespace zov {

// The application server seen from the screen: a method invoked by name with
// positional variant arguments; by-reference arguments come back written into
// `args`. The result is a text (a business error or a plain answer), a packet or
// an array of packets. A call that cannot be made or that the server refuses
// throws zov::Error with a Portuguese text.
class CallStream;

class AppServer
{
public:
    virtual ~AppServer() = default;
    virtual QVariant invoke(const QString &method, QVariantList &args) = 0;
    QVariant invoke(Method method, QVariantList &args) { return invoke(methodName(method), args); }
    // What travels beside the arguments of the calls that follow (empty: removed).
    virtual void setMetadata(const QString &key, const QString &value) = 0;
    // Calls that may travel together, in order. This one makes them one by one, as
    // they are sent; a connection that can do better says so.
    virtual std::unique_ptr<CallStream> openStream();
    // The least time a single call took there and back, in nanoseconds: about the
    // round trip of the link to the server; -1 when none was timed.
    virtual qint64 roundTripNs() const { return -1; }
};

// Calls sent in order without waiting for each answer, answered in the same order: a
// run of calls that would take a round trip each takes about one. What a call
// carries alone (a batch's day seen) goes with it; the rest as for single calls.
class CallStream
{
public:
    using Metadata = QList<QPair<QString, QString>>;
    virtual ~CallStream() = default;
    // Sends a call; its position among the stream's calls.
    virtual int send(Method method, const QVariantList &args, const Metadata &own = {}) = 0;
    // True when the answer of `position` is in, after waiting at most `ms` for it.
    virtual bool waitFor(int position, int ms) = 0;
    // The answer of `position`, waiting for it; throws zov::Error as invoke does.
    virtual QVariant answer(int position) = 0;
    // No call follows; the answers still come.
    virtual void finish() = 0;
    // True once the server said it takes a step's reads as one call (GetPassoDestino).
    virtual bool offersStepReads() { return false; }
};

} // namespace zov
