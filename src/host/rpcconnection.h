#pragma once

#include "appserver.h"

#include <QString>
#include <atomic>
#include <memory>

namespace grpc {
class Channel;
class ClientContext;
class Status;
} // namespace grpc

namespace zov::rpc {
class Reply;
} // namespace zov::rpc

namespace zov {

struct CallFigures;
struct MethodSignature;

// The screen's connection to the application server (NetImpoCardHosp): given the
// host and port before it connects, opened once, then every method invoked by
// name through the one generic gRPC call. Every call carries a deadline; a server
// that cannot be reached, a call the server refuses and a reply that does not
// convert become zov::Error with a Portuguese text naming the address.
class RpcConnection : public AppServer
{
public:
    struct Options
    {
        QString host = QStringLiteral("127.0.0.1");
        int port = 8211;
        int deadlineMs = 30000;
        QString caFile;       // TLS with this CA when given
        QString token;        // sent in each call's metadata when given
        QString operatorCode; // sent with each call, for the server's audit lines
    };

    RpcConnection();
    ~RpcConnection() override;

    // Where and as whom the login context says to connect.
    static Options loginOptions();

    // BeforeConnect: where to connect; only before open().
    void setOptions(const Options &options);
    const Options &options() const { return m_options; }
    QString address() const;

    // Opens the channel and waits until it is ready, at most `timeoutMs`.
    void open(int timeoutMs = 5000);
    bool isOpen() const { return m_channel != nullptr; }
    void close();

    using AppServer::invoke;
    QVariant invoke(const QString &method, QVariantList &args) override;
    // One stream (InvokeStream) for many calls: a round trip for all of them. A server
    // from before the stream gets the calls one by one; calls whose answers a dropped
    // connection lost are made again one by one (a batch with its own id, so that it
    // is stored once); a stream silent for the call deadline is given up.
    std::unique_ptr<CallStream> openStream() override;
    qint64 roundTripNs() const override { return m_leastCallNs.load(); }

    // The calls that follow are counted in `figures` (null: not counted), which must
    // outlive them; changed only while no call or stream runs.
    void countCallsIn(CallFigures *figures) { m_figures = figures; }

    // Extra metadata for the calls that follow (for example the dry-run flag).
    void setMetadata(const QString &key, const QString &value) override;

    // Without the check a call goes out as given, so that the server's own answer
    // to a call that does not match the method table can be seen (zov-rpc).
    void setCheckSignatures(bool check) { m_checkSignatures = check; }
    // A text the server answers because its database failed is, by default, an error
    // of the call (zov::Error), not the method's answer; raw, it is the answer as sent.
    void setRawAnswers(bool raw) { m_rawAnswers = raw; }

private:
    friend class RpcStream;
    // A single call; `batchId` for a batch sent again, `own` what it carries alone.
    QVariant invokeWith(const QString &method, QVariantList &args, std::string batchId,
                        const CallStream::Metadata &own);
    [[noreturn]] void throwStatus(const grpc::Status &status, const QString &method) const;
    // a text answer of a database that failed, as the error it is
    void throwDatabaseFailure(const rpc::Reply &reply, const QString &method) const;
    // the method's signature, the arguments checked against it when checks are on
    const MethodSignature *checkedSignature(const QString &method, const QVariantList &args) const;
    // the encoded id of the dry run this connection's calls belong to, if any
    QByteArray dryRunIdSent() const;
    // the id a batch goes under: the caller's, or a new one
    std::string batchIdOf(std::string batchId, const CallStream::Metadata &own) const;
    void addMetadata(grpc::ClientContext &context, const std::string &batchId,
                     const CallStream::Metadata &own) const;
    // the answer and the by-reference arguments, checked against the method
    QVariant readReply(rpc::Reply &reply, const QString &method, const MethodSignature *signature,
                       QVariantList &args) const;

    Options m_options;
    std::atomic<qint64> m_leastCallNs{-1};
    // the last single call's server takes GetPassoDestino
    std::atomic<bool> m_stepReads{false};
    std::shared_ptr<grpc::Channel> m_channel;
    struct Stub;
    std::unique_ptr<Stub> m_stub;
    CallFigures *m_figures = nullptr;
    QList<QPair<QString, QString>> m_metadata;
    bool m_checkSignatures = true;
    bool m_rawAnswers = false;
};

} // namespace zov
