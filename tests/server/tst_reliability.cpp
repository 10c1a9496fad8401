// Faults and credentials around the application server: batches sent twice, replies
// lost after the server stored a batch, a database held by another writer, tokens,
// TLS, the audit trail, and codes that carry SQL.

#include "appserver.grpc.pb.h"
#include "appserverhost.h"
#include "batchprotocol.h"
#include "callmetadata.h"
#include "daydigest.h"
#include "error.h"
#include "recordset.h"
#include "rpcconnection.h"
#include "runhistory.h"
#include "signatures.h"
#include "testbackend.h"
#include "testdatabase.h"
#include "texts.h"
#include "tlsfiles.h"
#include "wire.h"

#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <future>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

using namespace zov;
using namespace zov::test;

namespace {

const QDate kDay(2024, 4, 1);

// log lines of the process while a test runs
QStringList g_log;
std::mutex g_logMutex;
QtMessageHandler g_previous = nullptr;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        std::lock_guard lock(g_logMutex);
        g_log.append(QString::fromLatin1(context.category) + QLatin1Char(' ') + message);
    }
    if (g_previous)
        g_previous(type, context, message);
}

void seed(const TestDatabase &db)
{
    db.addBranch(QStringLiteral("B1"), QStringLiteral("HOSPITAL"));
    db.addService(QStringLiteral("B1"), QStringLiteral("00001"), QStringLiteral("ALMOÇO"));
    db.addDiet(QStringLiteral("0001"), QStringLiteral("LIVRE"));
    db.serveDiet(QStringLiteral("B1"), QStringLiteral("00001"), QStringLiteral("0001"));
    db.addDishType(QStringLiteral("01"), QStringLiteral("SALADA"));
}

RpcConnection::Options optionsFor(int port)
{
    RpcConnection::Options o;
    o.port = port;
    o.deadlineMs = 10000;
    o.operatorCode = QStringLiteral("AUDITOR");
    return o;
}

// A new header of 1 April and two of its dishes, as the import sends them.
QVariantList batch(const QString &number)
{
    RecordSet headers(QStringLiteral("cdsCardaDia"));
    headers.SetData(Packet::forLayout(headers.layout()));
    headers.Insert();
    headers.FieldByName(QStringLiteral("CDFILIAL")).setValue(QStringLiteral("B1"));
    headers.FieldByName(QStringLiteral("CDSERVFILI")).setValue(QStringLiteral("00001"));
    headers.FieldByName(QStringLiteral("DTCARDAPIO")).setValue(kDay);
    headers.FieldByName(QStringLiteral("CDDIETPAD")).setValue(QStringLiteral("0001"));
    headers.FieldByName(QStringLiteral("NRCARDAPIO")).setValue(number);
    headers.FieldByName(QStringLiteral("QTCOMESTICAR")).setValue(100);
    headers.Post();
    RecordSet dishes(QStringLiteral("cdsCompCardCache"));
    dishes.SetData(Packet::forLayout(dishes.layout()));
    for (int seq = 1; seq <= 2; ++seq) {
        dishes.Insert();
        dishes.FieldByName(QStringLiteral("CDFILIAL")).setValue(QStringLiteral("B1"));
        dishes.FieldByName(QStringLiteral("NRCARDAPIO")).setValue(number);
        dishes.FieldByName(QStringLiteral("CDDIETPAD")).setValue(QStringLiteral("0001"));
        dishes.FieldByName(QStringLiteral("NRSEQPRATCAR")).setValue(seq);
        dishes.FieldByName(QStringLiteral("CDPRATO")).setValue(QStringLiteral("P%1").arg(seq));
        dishes.FieldByName(QStringLiteral("VRPECONSCARD")).setValue(40);
        dishes.FieldByName(QStringLiteral("DTCARDAPIO")).setValue(kDay);
        dishes.Post();
    }
    return {QVariant::fromValue(headers.GetDelta()), QVariant::fromValue(dishes.GetDelta())};
}

grpc::Status rawSetImportacao(int port, const QVariantList &args, const std::string &batchId,
                              rpc::Reply *reply)
{
    auto channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(port),
                                       grpc::InsecureChannelCredentials());
    auto stub = rpc::AppServer::NewStub(channel);
    rpc::Call call;
    call.set_method("SetImportacao");
    for (const QVariant &a : args)
        toWire(a, call.add_args());
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
    if (!batchId.empty())
        context.AddMetadata(kBatchIdKey.name.data(), batchId);
    return stub->Invoke(&context, call, reply);
}

// Forwards every call to the real server; the first SetImportacao's reply comes back
// only after the client has given up on it, as when a reply is lost on the way, or
// (cancelFirst) the first SetImportacao is cancelled unrun, as a server that begins to
// stop cancels the calls that reach it then. On a stream, the first SetImportacao is
// stored and the stream breaks before its answer goes back.
class LosingProxy final : public rpc::AppServer::Service
{
public:
    LosingProxy(int target, int delayMs, bool cancelFirst = false)
        : m_delayMs(delayMs)
        , m_cancelFirst(cancelFirst)
    {
        m_stub = rpc::AppServer::NewStub(grpc::CreateChannel("127.0.0.1:" + std::to_string(target),
                                                             grpc::InsecureChannelCredentials()));
    }

    grpc::Status Invoke(grpc::ServerContext *context, const rpc::Call *call,
                        rpc::Reply *reply) override
    {
        const Metadata metadata = metadataOf(*context, *call);
        const bool first =
            isBatch(QString::fromStdString(call->method())) && m_lost.fetch_add(1) == 0;
        if (first && m_cancelFirst)
            return grpc::Status(grpc::StatusCode::CANCELLED, "Server shutdown");
        const grpc::Status status = forward(metadata, *call, reply);
        if (first)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_delayMs));
        return status;
    }

    // each call of the stream made as a single call
    grpc::Status InvokeStream(grpc::ServerContext *context,
                              grpc::ServerReaderWriter<rpc::Reply, rpc::Call> *stream) override
    {
        rpc::Call call;
        while (stream->Read(&call)) {
            rpc::Reply reply;
            const grpc::Status status = forward(metadataOf(*context, call), call, &reply);
            if (isBatch(QString::fromStdString(call.method())) && m_lost.fetch_add(1) == 0)
                return grpc::Status(grpc::StatusCode::UNAVAILABLE, "Connection reset by peer");
            if (!status.ok())
                return status;
            stream->Write(reply);
        }
        return grpc::Status::OK;
    }

    QStringList batchIds;

private:
    using Metadata = std::multimap<std::string, std::string>;

    // the caller's metadata of this system, and a stream call's own; the batch ids kept
    Metadata metadataOf(const grpc::ServerContext &context, const rpc::Call &call)
    {
        Metadata metadata(call.metadata().begin(), call.metadata().end());
        for (const auto &[key, value] : context.client_metadata())
            metadata.emplace(std::string(key.data(), key.size()),
                             std::string(value.data(), value.size()));
        for (const auto &[key, value] : metadata) {
            if (key == kBatchIdKey.name.data() && isBatch(QString::fromStdString(call.method()))) {
                std::lock_guard lock(m_mutex);
                batchIds.append(QString::fromStdString(value));
            }
        }
        return metadata;
    }

    grpc::Status forward(const Metadata &metadata, rpc::Call call, rpc::Reply *reply)
    {
        grpc::ClientContext forwarded;
        for (const auto &[key, value] : metadata) {
            if (key.rfind("zov-", 0) == 0)
                forwarded.AddMetadata(key, value);
        }
        call.clear_metadata(); // a single call carries it beside the call
        return m_stub->Invoke(&forwarded, call, reply);
    }

    std::unique_ptr<rpc::AppServer::Stub> m_stub;
    std::atomic<int> m_lost{0};
    std::mutex m_mutex;
    int m_delayMs;
    bool m_cancelFirst;
};

} // namespace

class TestReliability : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void replayedBatchIsStoredOnce();
    void lostReplyIsSentAgainAndStoredOnce_data();
    void lostReplyIsSentAgainAndStoredOnce();
    void busyDatabaseGivesAClearMessage();
    void tokenIsCheckedBeforeAnyMethod_data();
    void tokenIsCheckedBeforeAnyMethod();
    void otherAddressesNeedTlsAndToken();
    void idleStreamsLeaveRoomForEveryone();
    void tlsConnection();
    void tlsFilesAreLookedAt_data();
    void tlsFilesAreLookedAt();
    void auditLinePerStoredBatch();
    void codesCarryingSqlAreData_data();
    void codesCarryingSqlAreData();
    void everyMethodRefusesMalformedCalls();
    void batchOnAChangedDayIsRefused();
    void menuDigestIsKeptAcrossBuilds();
    void databaseRestartsUnderARunningServer_data();
    void databaseRestartsUnderARunningServer();
    void textsThatTravelAsMetadata_data();
    void textsThatTravelAsMetadata();
    void forgedLogLinesStayOnOneLine();

private:
    std::unique_ptr<TestDatabase> m_db;
};

void TestReliability::init()
{
    m_db = std::make_unique<TestDatabase>();
    seed(*m_db);
    std::lock_guard lock(g_logMutex);
    g_log.clear();
    g_previous = qInstallMessageHandler(collect);
}

void TestReliability::cleanup()
{
    qInstallMessageHandler(g_previous);
    m_db.reset();
}

void TestReliability::replayedBatchIsStoredOnce()
{
    TestServer server(m_db->config());
    const QVariantList args = batch(QStringLiteral("50"));
    rpc::Reply first, second, other;
    QVERIFY(rawSetImportacao(server.port(), args, "lote-1", &first).ok());
    QCOMPARE(fromWire(first.value()).toString(), QString());
    const QStringList stored = m_db->dump(QStringLiteral("COMPCARD"));
    QCOMPARE(stored.size(), 2);
    // the same batch again: the stored answer, nothing applied twice
    QVERIFY(rawSetImportacao(server.port(), args, "lote-1", &second).ok());
    QCOMPARE(fromWire(second.value()).toString(), QString());
    QCOMPARE(m_db->dump(QStringLiteral("COMPCARD")), stored);
    QCOMPARE(m_db->count(QStringLiteral("CARDADIA")), 1);
    QCOMPARE(m_db->count(QStringLiteral("LOTEIMPORT"), QStringLiteral("IDLOTE = 'lote-1'")), 1);
    // the same rows under another id are a new batch, refused as a whole
    QVERIFY(rawSetImportacao(server.port(), args, "lote-2", &other).ok());
    QVERIFY(isRefusal(fromWire(other.value())));
    QCOMPARE(m_db->dump(QStringLiteral("COMPCARD")), stored);
    QCOMPARE(m_db->count(QStringLiteral("LOTEIMPORT")), 1);
    // its rows gone since, the batch again finds nothing in its way: still the stored
    // answer, and nothing stored a second time
    m_db->exec(QStringLiteral("DELETE FROM COMPCARD"));
    m_db->exec(QStringLiteral("DELETE FROM CARDADIA"));
    QVERIFY(rawSetImportacao(server.port(), args, "lote-1", &second).ok());
    QCOMPARE(fromWire(second.value()).toString(), QString());
    QCOMPARE(m_db->count(QStringLiteral("COMPCARD")) + m_db->count(QStringLiteral("CARDADIA")), 0);
}

void TestReliability::lostReplyIsSentAgainAndStoredOnce_data()
{
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<bool>("onStream");
    QTest::newRow("the reply comes after the deadline") << false << false;
    QTest::newRow("the call is cancelled by a stopping server") << true << false;
    // the stream's calls go one by one once it breaks, the stored batch with them
    QTest::newRow("the stream breaks after the batch was stored") << false << true;
}

void TestReliability::lostReplyIsSentAgainAndStoredOnce()
{
    QFETCH(bool, cancelled);
    QFETCH(bool, onStream);
    TestServer server(m_db->config());
    LosingProxy proxy(server.port(), cancelled || onStream ? 0 : 1500, cancelled);
    grpc::ServerBuilder builder;
    int port = 0;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
    builder.RegisterService(&proxy);
    std::unique_ptr<grpc::Server> proxyServer = builder.BuildAndStart();
    QVERIFY(proxyServer && port > 0);

    RpcConnection rpc;
    RpcConnection::Options o = optionsFor(port);
    o.deadlineMs = onStream ? 10000 : 700;
    rpc.setOptions(o);
    rpc.open();
    QVariantList args = batch(QStringLiteral("51"));
    if (onStream) {
        const std::unique_ptr<CallStream> stream = rpc.openStream();
        const int position = stream->send(Method::SetImportacao, args);
        stream->finish();
        QCOMPARE(stream->answer(position).toString(), QString());
    } else {
        QCOMPARE(rpc.invoke(QStringLiteral("SetImportacao"), args).toString(), QString());
    }
    // the first reply came too late, or never: the batch went again, under the same id
    QCOMPARE(proxy.batchIds.size(), 2);
    QCOMPARE(proxy.batchIds.at(0), proxy.batchIds.at(1));
    QCOMPARE(m_db->count(QStringLiteral("COMPCARD")), 2);
    QCOMPARE(m_db->count(QStringLiteral("LOTEIMPORT")), 1);
    proxyServer->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(5));
}

void TestReliability::busyDatabaseGivesAClearMessage()
{
    TestServer server(m_db->config());
    RpcConnection rpc;
    rpc.setOptions(optionsFor(server.port()));
    rpc.open();
    // another writer holds the database longer than the server waits
    m_db->holdWriteLock();
    QVariantList args = batch(QStringLiteral("52"));
    QElapsedTimer timer;
    timer.start();
    const QString answer = rpc.invoke(QStringLiteral("SetImportacao"), args).toString();
    m_db->release();
    QVERIFY2(answer.contains(QStringLiteral("ocupado")), qPrintable(answer));
    QVERIFY(answer.contains(QStringLiteral("nada foi gravado")));
    QVERIFY(timer.elapsed() < 9000);
    QCOMPARE(m_db->count(QStringLiteral("CARDADIA")), 0);
    QCOMPARE(m_db->count(QStringLiteral("COMPCARD")), 0);
    // once the writer is gone the same batch goes through
    QCOMPARE(rpc.invoke(QStringLiteral("SetImportacao"), args).toString(), QString());
}

void TestReliability::tokenIsCheckedBeforeAnyMethod_data()
{
    QTest::addColumn<QString>("sent");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("none") << QString() << false;
    QTest::newRow("wrong") << QStringLiteral("segredo-errado") << false;
    QTest::newRow("a prefix of it") << QStringLiteral("segredo-do-") << false;
    QTest::newRow("right") << QStringLiteral("segredo-do-hospital") << true;
}

void TestReliability::tokenIsCheckedBeforeAnyMethod()
{
    QFETCH(QString, sent);
    QFETCH(bool, accepted);
    AppServerHost::Options options;
    options.listen = QStringLiteral("127.0.0.1:0");
    options.token = QStringLiteral("segredo-do-hospital");
    AppServerHost host(m_db->config(), options);
    host.start();
    RpcConnection rpc;
    RpcConnection::Options o = optionsFor(host.port());
    o.token = sent;
    rpc.setOptions(o);
    rpc.open();
    QVariantList args = batch(QStringLiteral("53"));
    if (accepted) {
        QCOMPARE(rpc.invoke(QStringLiteral("SetImportacao"), args).toString(), QString());
        QCOMPARE(m_db->count(QStringLiteral("COMPCARD")), 2);
    } else {
        QVERIFY_THROWS_EXCEPTION(Error, rpc.invoke(QStringLiteral("SetImportacao"), args));
        QCOMPARE(m_db->count(QStringLiteral("COMPCARD")), 0);
        QCOMPARE(m_db->count(QStringLiteral("LOTEIMPORT")), 0);
    }
    host.stop();
    std::lock_guard lock(g_logMutex);
    for (const QString &line : std::as_const(g_log))
        QVERIFY2(!line.contains(QStringLiteral("segredo")), qPrintable(line));
}

void TestReliability::otherAddressesNeedTlsAndToken()
{
    const QStringList refused{QStringLiteral("0.0.0.0:0"), QStringLiteral("[::]:0")};
    for (const QString &listen : refused) {
        AppServerHost::Options options;
        options.listen = listen;
        options.token = QStringLiteral("x");
        AppServerHost host(m_db->config(), options);
        QVERIFY_THROWS_EXCEPTION(Error, host.start());
    }
    QVERIFY(AppServerHost::isLoopback(QStringLiteral("127.0.0.1:8211")));
    QVERIFY(AppServerHost::isLoopback(QStringLiteral("localhost:8211")));
    QVERIFY(!AppServerHost::isLoopback(QStringLiteral("10.0.0.5:8211")));
    QVERIFY(AppServerHost::isLoopback(QStringLiteral("[::1]:8211")));
    // decided on the addresses: a name that only looks local is not
    QVERIFY(!AppServerHost::isLoopback(QStringLiteral("127.0.0.1.example.invalid:8211")));
    QVERIFY(!AppServerHost::isLoopback(QStringLiteral("0.0.0.0:8211")));
    // a client never sends its token in clear text off this machine: refused before
    // it connects, naming --ca
    RpcConnection rpc;
    RpcConnection::Options o = optionsFor(8211);
    o.host = QStringLiteral("10.255.255.1");
    o.token = QStringLiteral("segredo");
    rpc.setOptions(o);
    QElapsedTimer timer;
    timer.start();
    try {
        rpc.open(5000);
        QFAIL("a token went without TLS");
    } catch (const Error &e) {
        QVERIFY2(e.text().contains(QStringLiteral("--ca")), qPrintable(e.text()));
    }
    QVERIFY(timer.elapsed() < 1000);
}

// Streams that send nothing, or never read their answers, take at most half the
// threads and are ended after their limit; a single call is answered meanwhile.
void TestReliability::idleStreamsLeaveRoomForEveryone()
{
    AppServerHost::Options options;
    options.listen = QStringLiteral("127.0.0.1:0");
    options.threads = 4;
    options.streamIdleMs = 1000;
    options.streamStallMs = 1000;
    AppServerHost host(m_db->config(), options);
    host.start();
    auto stub = rpc::AppServer::NewStub(grpc::CreateChannel(
        "127.0.0.1:" + std::to_string(host.port()), grpc::InsecureChannelCredentials()));
    std::vector<std::unique_ptr<grpc::ClientContext>> contexts;
    std::vector<std::unique_ptr<grpc::ClientReaderWriter<rpc::Call, rpc::Reply>>> streams;
    for (int i = 0; i < 4; ++i) {
        contexts.push_back(std::make_unique<grpc::ClientContext>());
        streams.push_back(stub->InvokeStream(contexts.back().get()));
    }
    // a stream that sends and never reads what comes back
    contexts.push_back(std::make_unique<grpc::ClientContext>());
    auto deaf = stub->InvokeStream(contexts.back().get());
    std::thread sender([&] {
        rpc::Call call;
        call.set_method("Data");
        for (const QVariant &a :
             QVariantList{kDay, kDay.addDays(30), QStringLiteral("B1"), QStringLiteral("00001")})
            toWire(a, call.add_args());
        for (int i = 0; i < 200000 && deaf->Write(call); ++i) {
        }
    });
    // the screen's reads are served all the while
    RpcConnection rpc;
    rpc.setOptions(optionsFor(host.port()));
    rpc.open();
    QVariantList args{QStringLiteral("B1")};
    QCOMPARE(rpc.invoke(QStringLiteral("GetImportacoes"), args).typeId(), QMetaType::QVariantList);

    QElapsedTimer timer;
    timer.start();
    int refused = 0, ended = 0;
    for (auto &stream : streams) {
        const grpc::Status status = stream->Finish();
        refused += status.error_code() == grpc::StatusCode::RESOURCE_EXHAUSTED ? 1 : 0;
        ended += status.error_code() == grpc::StatusCode::CANCELLED ||
                         status.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED
                     ? 1
                     : 0;
    }
    sender.join();
    const grpc::Status deafStatus = deaf->Finish();
    // the deaf one took the second line for streams, or was refused
    QCOMPARE(refused + ended, 4);
    QVERIFY2(refused >= 2, qPrintable(QString::number(refused)));
    QVERIFY(!deafStatus.ok());
    QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(rpc.invoke(QStringLiteral("GetImportacoes"), args).typeId(), QMetaType::QVariantList);
    host.stop();
    // the log says why each was ended or refused, and to whom
    std::lock_guard lock(g_logMutex);
    const QString log = g_log.join(QLatin1Char('\n'));
    QVERIFY2(log.contains(text("SERVER_STREAM_REFUSED_LOG")), qPrintable(log));
    QVERIFY2(log.contains(text("STREAM_IDLE_ENDED").arg(1)) ||
                 log.contains(text("STREAM_STALLED_ENDED").arg(1)),
             qPrintable(log));
    QVERIFY(log.contains(QStringLiteral("127.0.0.1")));
}

// A key and a certificate signed with it, valid for `days` (negative: expired), for
// the names of `san`.
static bool makePair(const QString &dir, const QString &name, int days, const QString &san)
{
    const QString base = dir + QLatin1Char('/') + name;
    QFile ext(base + QStringLiteral(".ext"));
    if (!ext.open(QIODevice::WriteOnly))
        return false;
    ext.write(("subjectAltName=" + san + '\n').toUtf8());
    ext.close();
    return QProcess::execute(
               QStringLiteral("openssl"),
               {QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-newkey"),
                QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-subj"),
                QStringLiteral("/CN=zov"), QStringLiteral("-keyout"), base + QStringLiteral(".key"),
                QStringLiteral("-out"), base + QStringLiteral(".csr")}) == 0 &&
           QProcess::execute(QStringLiteral("openssl"),
                             {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                              base + QStringLiteral(".csr"), QStringLiteral("-signkey"),
                              base + QStringLiteral(".key"), QStringLiteral("-days"),
                              QString::number(days), QStringLiteral("-extfile"),
                              base + QStringLiteral(".ext"), QStringLiteral("-out"),
                              base + QStringLiteral(".pem")}) == 0;
}

void TestReliability::tlsFilesAreLookedAt_data()
{
    QTest::addColumn<int>("days");
    QTest::addColumn<QString>("key"); // whose key goes with the certificate
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("refused");
    QTest::addColumn<QString>("warned");
    QTest::newRow("sound") << 400 << "own"
                           << "127.0.0.1"
                           << ""
                           << "";
    QTest::newRow("any address") << 400 << "own"
                                 << "0.0.0.0"
                                 << ""
                                 << "";
    QTest::newRow("a name of the certificate") << 400 << "own"
                                               << "app1.hospital.local"
                                               << ""
                                               << "";
    QTest::newRow("a key of another pair") << 400 << "other"
                                           << "127.0.0.1"
                                           << "não é a do certificado"
                                           << "";
    QTest::newRow("expired") << -1 << "own"
                             << "127.0.0.1"
                             << "venceu em"
                             << "";
    QTest::newRow("expires soon") << 10 << "own"
                                  << "127.0.0.1"
                                  << ""
                                  << "daqui a";
    QTest::newRow("an address it does not cover") << 400 << "own"
                                                  << "10.0.0.9"
                                                  << ""
                                                  << "não cobre o endereço 10.0.0.9";
    QTest::newRow("no certificate in the file") << 400 << "as certificate"
                                                << "127.0.0.1"
                                                << "certificado PEM"
                                                << "";
}

void TestReliability::tlsFilesAreLookedAt()
{
    QFETCH(int, days);
    QFETCH(QString, key);
    QFETCH(QString, host);
    QFETCH(QString, refused);
    QFETCH(QString, warned);
    QTemporaryDir dir;
    const QString san = QStringLiteral("IP:127.0.0.1,DNS:app1.hospital.local");
    QVERIFY(makePair(dir.path(), QStringLiteral("server"), days, san));
    QVERIFY(makePair(dir.path(), QStringLiteral("other"), 400, san));
    const QString cert =
        dir.filePath(key == QLatin1String("as certificate") ? QStringLiteral("server.key")
                                                            : QStringLiteral("server.pem"));
    const QString keyFile = dir.filePath(
        key == QLatin1String("other") ? QStringLiteral("other.key") : QStringLiteral("server.key"));
    try {
        const QStringList warnings = checkTlsFiles(cert, keyFile, host);
        QVERIFY2(refused.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
        QCOMPARE(warnings.size(), warned.isEmpty() ? 0 : 1);
        if (!warned.isEmpty())
            QVERIFY2(warnings.first().contains(warned), qPrintable(warnings.first()));
    } catch (const Error &e) {
        QVERIFY2(!refused.isEmpty() && e.text().contains(refused), qPrintable(e.text()));
    }
}

void TestReliability::tlsConnection()
{
    QTemporaryDir dir;
    const QString key = dir.filePath(QStringLiteral("key.pem")),
                  cert = dir.filePath(QStringLiteral("cert.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                   key, QStringLiteral("-out"), cert, QStringLiteral("-days"), QStringLiteral("1"),
                   QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                   QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost")});
    QVERIFY(openssl.waitForFinished(60000));
    QCOMPARE(openssl.exitCode(), 0);

    // the key and the token as the guide sets them up: 0640, the service's group reads them
    const QString tokenFile = dir.filePath(QStringLiteral("token"));
    QFile token(tokenFile);
    QVERIFY(token.open(QIODevice::WriteOnly));
    token.write("segredo\n");
    token.close();
    for (const QString &secret : {key, tokenFile})
        QVERIFY(
            QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    AppServerHost::Options options;
    options.listen = QStringLiteral("0.0.0.0:0");
    options.tlsCertFile = cert;
    options.tlsKeyFile = key;
    options.tokenFile = tokenFile;
    AppServerHost host(m_db->config(), options);
    host.start();

    RpcConnection secure;
    RpcConnection::Options o = optionsFor(host.port());
    o.caFile = cert;
    o.token = QStringLiteral("segredo");
    secure.setOptions(o);
    secure.open();
    QVariantList args{QStringLiteral("_0001_"), QStringLiteral("B1"), QStringLiteral("00001"),
                      kDay};
    const Packet diets = secure.invoke(QStringLiteral("Dieta"), args).value<Packet>();
    QCOMPARE(diets.rows.size(), 1);

    // a client that does not speak TLS does not get through
    RpcConnection plain;
    RpcConnection::Options p = optionsFor(host.port());
    p.token = QStringLiteral("segredo");
    plain.setOptions(p);
    // it is told the server is up and uses TLS, not that the server is down
    try {
        plain.open(1500);
        QFAIL("a plain client got through");
    } catch (const Error &e) {
        QVERIFY2(e.text().contains(QStringLiteral("--ca")), qPrintable(e.text()));
    }
    // one whose certificate authority is not the server's hears that the secure
    // connection failed, and what to check
    QTemporaryDir other;
    QProcess stranger;
    stranger.start(QStringLiteral("openssl"),
                   {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                    QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                    other.filePath(QStringLiteral("k.pem")), QStringLiteral("-out"),
                    other.filePath(QStringLiteral("c.pem")), QStringLiteral("-days"),
                    QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost")});
    QVERIFY(stranger.waitForFinished(60000));
    RpcConnection mistrusting;
    RpcConnection::Options m = o;
    m.caFile = other.filePath(QStringLiteral("c.pem"));
    mistrusting.setOptions(m);
    try {
        mistrusting.open(1500);
        QFAIL("a client trusting another authority got through");
    } catch (const Error &e) {
        QVERIFY2(e.text().contains(QStringLiteral("conexão segura")), qPrintable(e.text()));
    }
}

void TestReliability::auditLinePerStoredBatch()
{
    {
        TestServer server(m_db->config());
        RpcConnection rpc;
        rpc.setOptions(optionsFor(server.port()));
        rpc.open();
        // a run's batch, through a balancer that names the workstation
        rpc.setMetadata(kRunIdKey.name, QStringLiteral("run-54"));
        rpc.setMetadata(kRunModeKey.name, QStringLiteral("overwrite"));
        rpc.setMetadata(kRunSourceKey.name, QStringLiteral("00002;2024-03-04;2024-03-06"));
        rpc.setMetadata(QStringLiteral("x-forwarded-for"), QStringLiteral("10.9.8.1, 10.9.8.7"));
        QVariantList args = batch(QStringLiteral("54"));
        QCOMPARE(rpc.invoke(QStringLiteral("SetImportacao"), args).toString(), QString());
    } // the server's threads are done before the log is read
    std::lock_guard lock(g_logMutex);
    QStringList audit;
    for (const QString &line : std::as_const(g_log)) {
        if (line.startsWith(QLatin1String("zov.server.audit")))
            audit.append(line);
    }
    QCOMPARE(audit.size(), 1);
    for (const char *part :
         {"AUDITOR", "B1", "00001", "01/04/2024", "0001", "3 incluídos", "0 alterados",
          "0 excluídos", "importação run-54", "origem serviço 00002, 04/03/2024 a 06/03/2024",
          "modo Sobrepor", "(de 10.9.8.7 pelo balanceador ipv4:127.0.0.1:"})
        QVERIFY2(audit.first().contains(QString::fromUtf8(part)), qPrintable(audit.first()));
}

void TestReliability::codesCarryingSqlAreData_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("args");
    const QString drop = QStringLiteral("'; DROP TABLE CARDADIA; --");
    QTest::newRow("diet list") << QStringLiteral("Dieta")
                               << QVariantList{QStringLiteral("_0001'); DELETE FROM DIETSERV; --_"),
                                               QStringLiteral("B1"), QStringLiteral("00001"), kDay};
    QTest::newRow("branch") << QStringLiteral("GetCardadia")
                            << QVariantList{drop, QStringLiteral("00001"), kDay,
                                            QStringLiteral("_0001_")};
    QTest::newRow("service") << QStringLiteral("Data")
                             << QVariantList{kDay, kDay, QStringLiteral("B1"), drop};
    QTest::newRow("diet") << QStringLiteral("GetComensais")
                          << QVariantList{QStringLiteral("B1"), QStringLiteral("00001"),
                                          QStringLiteral("0001' OR '1'='1"), kDay};
    QTest::newRow("menu number") << QStringLiteral("GetPrxCardapio")
                                 << QVariantList{QStringLiteral("B1;"), QStringLiteral("00001"),
                                                 kDay, QStringLiteral("0;")};
}

void TestReliability::codesCarryingSqlAreData()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, args);
    TestServer server(m_db->config());
    RpcConnection rpc;
    rpc.setOptions(optionsFor(server.port()));
    rpc.open();
    const QStringList before =
        m_db->dump(QStringLiteral("DIETSERV")) + m_db->dump(QStringLiteral("FILIAL"));
    const QVariant answer = rpc.invoke(method, args);
    // found nothing, or a number: never a database error
    QVERIFY2(answer.typeId() != QMetaType::QString ||
                 !answer.toString().contains(QStringLiteral("banco")),
             qPrintable(answer.toString()));
    QVERIFY(m_db->db().tables().contains(QStringLiteral("CARDADIA"), Qt::CaseInsensitive));
    QCOMPARE(m_db->dump(QStringLiteral("DIETSERV")) + m_db->dump(QStringLiteral("FILIAL")), before);
}

// Every method of the table, with each argument missing, one too many, null, of
// another kind, a text of 100,000 characters or a date that does not exist: the
// call is refused with INVALID_ARGUMENT, nothing is written, the server answers on.
void TestReliability::everyMethodRefusesMalformedCalls()
{
    TestServer server(m_db->config());
    auto channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(server.port()),
                                       grpc::InsecureChannelCredentials());
    auto stub = rpc::AppServer::NewStub(channel);
    const auto invoke = [&](const QString &method, const std::vector<rpc::Value> &args) {
        rpc::Call call;
        call.set_method(method.toStdString());
        for (const rpc::Value &a : args)
            *call.add_args() = a;
        rpc::Reply reply;
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
        return stub->Invoke(&context, call, &reply);
    };
    const auto value = [](const QVariant &v) {
        rpc::Value out;
        toWire(v, &out);
        return out;
    };
    const QStringList tables{QStringLiteral("CARDADIA"), QStringLiteral("COMPCARD"),
                             QStringLiteral("CARDSEQ"), QStringLiteral("LOTEIMPORT")};
    QStringList before;
    for (const QString &t : tables)
        before += m_db->dump(t);

    rpc::Value badDate;
    badDate.set_date("2024-02-30");
    rpc::Value noKind;
    rpc::Value unknownKind =
        value(QVariant::fromValue(Packet::forLayout(layout(QStringLiteral("cdsCompCardCache")))));
    {
        rpc::Row *row = unknownKind.mutable_packet()->add_rows();
        for (int i = 0; i < unknownKind.packet().fields_size(); ++i)
            row->add_values()->mutable_null();
        row->set_kind(static_cast<rpc::ChangeKind>(7));
    }
    const rpc::Value huge = value(QString(100000, QLatin1Char('x')));
    int refused = 0;
    for (const MethodSignature &signature : methodSignatures()) {
        std::vector<rpc::Value> good;
        for (const Param &p : signature.params) {
            good.push_back(p.kind == ArgKind::Date   ? value(kDay)
                           : p.kind == ArgKind::Text ? value(QStringLiteral("B1"))
                                                     : value(QVariant()));
        }
        std::vector<std::vector<rpc::Value>> bad;
        bad.push_back(std::vector<rpc::Value>(good.begin(), good.end() - 1)); // one missing
        auto extra = good;
        extra.push_back(value(QStringLiteral("x")));
        bad.push_back(extra);
        for (size_t i = 0; i < good.size(); ++i) {
            const Param &p = signature.params.at(static_cast<int>(i));
            std::vector<rpc::Value> replacements{noKind, badDate};
            if (p.kind != ArgKind::Delta)
                replacements.push_back(value(QVariant())); // null where a value is due
            if (p.kind == ArgKind::Text) {
                replacements.push_back(huge);
                // a NUL no database keeps, refused before any SQL
                replacements.push_back(value(QString(QStringLiteral("B1") + QChar(0))));
            }
            replacements.push_back(p.kind == ArgKind::Text ? value(kDay)
                                                           : value(QStringLiteral("texto")));
            if (p.kind == ArgKind::Delta)
                replacements.push_back(unknownKind);
            for (const rpc::Value &r : replacements) {
                auto args = good;
                args[i] = r;
                bad.push_back(args);
            }
        }
        for (const auto &args : bad) {
            const grpc::Status status = invoke(signature.name, args);
            QVERIFY2(status.error_code() == grpc::StatusCode::INVALID_ARGUMENT,
                     qPrintable(signature.name + QStringLiteral(": ") +
                                QString::fromStdString(status.error_message())));
            ++refused;
        }
        // the server still answers a sound call
        QVERIFY(invoke(QStringLiteral("Dieta"),
                       {value(QStringLiteral("_0001_")), value(QStringLiteral("B1")),
                        value(QStringLiteral("00001")), value(kDay)})
                    .ok());
    }
    QStringList after;
    for (const QString &t : tables)
        after += m_db->dump(t);
    QCOMPARE(after, before);
    qInfo("%d malformed calls refused", refused);
}

// A run's records keep the digest of each menu as its batch left it, and its undo
// compares that with the menu's digest then: a run stored by an earlier build must
// still be undone, so the digest's text is fixed.
void TestReliability::menuDigestIsKeptAcrossBuilds()
{
    MenuState menu; // no header; a dish with a null, numbers, a date and a name in UTF-8
    menu.dishes.insert("0001|17", {"BN01", QDate(2025, 3, 1), "0001", "17", 3.0, QVariant(),
                                   "00012", "Feijão", 0.125, "01", "01 - Feijão", 2.0, "00001"});
    // sha256("-\x1e" + each value's text and "\x1f", "\x1e"), a null as "\x01"
    QCOMPARE(menu.digest(),
             QStringLiteral("525e6261121f6187f645cd72717e9445a2b4cb6c6ce2e913fb9c4be500cfbbe2"));
}

// A batch carries the digest of the day it was decided on; a day that holds other
// dishes by then refuses the batch whole.
void TestReliability::batchOnAChangedDayIsRefused()
{
    TestServer server(m_db->config());
    m_db->addHeader(QStringLiteral("B1"), QStringLiteral("00001"), kDay, QStringLiteral("0001"),
                    QStringLiteral("60"), 100);
    m_db->addDish(QStringLiteral("B1"), QStringLiteral("60"), QStringLiteral("0001"), 5,
                  QStringLiteral("X5"), QStringLiteral("PEPINO"), QStringLiteral("01"), 30, 1, kDay,
                  QStringLiteral("00001"));
    RecordSet dishes(QStringLiteral("cdsCompCardCache"));
    dishes.SetData(Packet::forLayout(dishes.layout()));
    dishes.Insert();
    dishes.FieldByName(QStringLiteral("CDFILIAL")).setValue(QStringLiteral("B1"));
    dishes.FieldByName(QStringLiteral("NRCARDAPIO")).setValue(QStringLiteral("60"));
    dishes.FieldByName(QStringLiteral("CDDIETPAD")).setValue(QStringLiteral("0001"));
    dishes.FieldByName(QStringLiteral("NRSEQPRATCAR")).setValue(6);
    dishes.FieldByName(QStringLiteral("CDPRATO")).setValue(QStringLiteral("P6"));
    dishes.Post();
    const QVariantList args{QVariant(), QVariant::fromValue(dishes.GetDelta())};

    const auto send = [&](const QString &seen) {
        RpcConnection rpc;
        rpc.setOptions(optionsFor(server.port()));
        rpc.open();
        rpc.setMetadata(kDaySeenKey.name, seen);
        QVariantList a = args;
        return rpc.invoke(QStringLiteral("SetImportacao"), a).toString();
    };
    // decided on a day without slot 5's dish: refused, nothing stored
    const QString stale = send(QStringLiteral("B1|60=") + dayDigest({}));
    QVERIFY2(stale.contains(QStringLiteral("outra gravação alterou o cardápio 60")),
             qPrintable(stale));
    QCOMPARE(m_db->count(QStringLiteral("COMPCARD")), 1);
    // decided on the day as it is: stored
    QCOMPARE(send(QStringLiteral("B1|60=") + dayDigest({dayEntry(5, QStringLiteral("X5"))})),
             QString());
    QCOMPARE(m_db->count(QStringLiteral("COMPCARD")), 2);
}

// PostgreSQL restarted under a running server: the call that meets the break is
// answered UNAVAILABLE with nothing stored, and the calls after the restart succeed
// on new connections, with nothing restarted but the database.
void TestReliability::databaseRestartsUnderARunningServer_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("fast restart") << QStringLiteral("fast");
    QTest::newRow("immediate restart") << QStringLiteral("immediate");
    QTest::newRow("stopped, then started") << QStringLiteral("stopped");
}

// What the server's health check answers, as raw bytes (08 01: SERVING, 08 02: NOT_SERVING)
static QByteArray healthOf(int port)
{
    const auto channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(port),
                                             grpc::InsecureChannelCredentials());
    grpc::GenericStub stub(channel);
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(5));
    grpc::ByteBuffer request(nullptr, 0), response;
    std::promise<grpc::Status> done;
    stub.UnaryCall(&context, "/grpc.health.v1.Health/Check", grpc::StubOptions(), &request,
                   &response, [&done](grpc::Status status) { done.set_value(status); });
    std::vector<grpc::Slice> slices;
    if (!done.get_future().get().ok() || !response.Dump(&slices).ok())
        return {};
    QByteArray bytes;
    for (const grpc::Slice &slice : slices)
        bytes.append(reinterpret_cast<const char *>(slice.begin()), qsizetype(slice.size()));
    return bytes.toHex();
}

void TestReliability::databaseRestartsUnderARunningServer()
{
    QFETCH(QString, how);
    const QString ctl = qEnvironmentVariable("ZOV_TEST_PG_CTL");
    if (!onPostgres() || ctl.isEmpty())
        QSKIP("restarts a PostgreSQL cluster of the tests' own");
    const auto pgctl = [&](const QStringList &args) {
        QProcess p;
        p.start(ctl, args);
        return p.waitForFinished(60000) && p.exitCode() == 0;
    };
    const QString url = m_db->url();
    TestServer server(m_db->config());
    RpcConnection rpc;
    rpc.setOptions(optionsFor(server.port()));
    rpc.open();
    QVariantList diets{QStringLiteral("_0001_"), QStringLiteral("B1"), QStringLiteral("00001"),
                       kDay};
    QVERIFY(rpc.invoke(QStringLiteral("Dieta"), diets).typeId() == qMetaTypeId<Packet>());
    // the tests' cluster runs without synchronous commits: what was just written goes
    // to disk before the crash an immediate stop is
    queryRows(url, QStringLiteral("CHECKPOINT"));
    if (how == QLatin1String("stopped")) {
        QVERIFY(pgctl({QStringLiteral("stop"), QStringLiteral("-m"), QStringLiteral("immediate")}));
        // a balancer hears that this server cannot serve while its database is gone
        QTRY_COMPARE_WITH_TIMEOUT(healthOf(server.port()), QByteArray("0802"), 20000);
        QVariantList args = batch(QStringLiteral("56"));
        QString refusal;
        try {
            rpc.invoke(QStringLiteral("SetImportacao"), args);
        } catch (const Error &e) {
            refusal = e.text();
        }
        QVERIFY(pgctl({QStringLiteral("start")}));
        QTRY_COMPARE_WITH_TIMEOUT(healthOf(server.port()), QByteArray("0801"), 20000);
        QVERIFY2(refusal.contains(QStringLiteral("Banco de dados indisponível")) &&
                     refusal.contains(QStringLiteral("nada dela foi gravado")),
                 qPrintable(refusal));
        QCOMPARE(queryValue(url, QStringLiteral("SELECT COUNT(*) FROM COMPCARD")).toInt(), 0);
    } else {
        QVERIFY(pgctl({QStringLiteral("restart"), QStringLiteral("-m"), how}));
    }
    // the database is back: the server serves again without a restart of its own
    QVariantList args = batch(QStringLiteral("57"));
    QCOMPARE(rpc.invoke(QStringLiteral("SetImportacao"), args).toString(), QString());
    QCOMPARE(queryValue(url, QStringLiteral("SELECT COUNT(*) FROM COMPCARD")).toInt(), 2);
    QVERIFY(rpc.invoke(QStringLiteral("Dieta"), diets).typeId() == qMetaTypeId<Packet>());
}

// Texts that travel as call metadata: an operator with an accent, a tab or a
// direction mark reaches the audit line escaped; a token gRPC cannot carry is refused
// before any call, without the process aborting and without the token printed.
void TestReliability::textsThatTravelAsMetadata_data()
{
    QTest::addColumn<QString>("operatorCode");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("logged"); // the operator in the audit line; empty: refused
    QTest::newRow("accent") << QStringLiteral("JOÃO") << QString() << QStringLiteral("JOÃO");
    QTest::newRow("tab and a direction mark")
        << QStringLiteral("JO\tÃO\u200f") << QString() << QStringLiteral("JO\\u0009ÃO\\u200f");
    QTest::newRow("percent") << QStringLiteral("100%") << QString() << QStringLiteral("100%");
    QTest::newRow("token with an accent")
        << QStringLiteral("JOÃO") << QStringLiteral("s3nh4-çã") << QString();
    QTest::newRow("token with a newline")
        << QStringLiteral("JOÃO") << QStringLiteral("s3nh4\nx") << QString();
}

void TestReliability::textsThatTravelAsMetadata()
{
    QFETCH(QString, operatorCode);
    QFETCH(QString, token);
    QFETCH(QString, logged);
    TestServer server(m_db->config());
    RpcConnection rpc;
    RpcConnection::Options o = optionsFor(server.port());
    o.operatorCode = operatorCode;
    o.token = token;
    rpc.setOptions(o);
    if (logged.isEmpty()) {
        try {
            rpc.open();
            QFAIL("a token gRPC cannot carry was taken");
        } catch (const Error &e) {
            QVERIFY2(!e.text().contains(QStringLiteral("s3nh4")), qPrintable(e.text()));
        }
        AppServerHost::Options options;
        options.listen = QStringLiteral("127.0.0.1:0");
        options.token = token;
        AppServerHost host(m_db->config(), options);
        QVERIFY_THROWS_EXCEPTION(Error, host.start());
        return;
    }
    rpc.open();
    // a day seen under a menu number with an accent and a tab travels too
    rpc.setMetadata(kDaySeenKey.name, QStringLiteral("B1|ç\t|2024-04-01|0001=") + dayDigest({}));
    QVariantList args = batch(QStringLiteral("58"));
    QCOMPARE(rpc.invoke(QStringLiteral("SetImportacao"), args).toString(), QString());
    std::lock_guard lock(g_logMutex);
    bool audited = false;
    for (const QString &line : std::as_const(g_log)) {
        QVERIFY2(!line.contains(QLatin1Char('\t')) && !line.contains(QChar(0x200f)),
                 qPrintable(line));
        audited =
            audited || (line.startsWith(QLatin1String("zov.server.audit")) &&
                        line.contains(QStringLiteral("operador ") + logged + QLatin1Char(',')));
    }
    QVERIFY2(audited, qPrintable(g_log.join(QLatin1Char('\n'))));
}

// A caller's texts reach the log as one line each, escaped; of a call without the
// token only a fixed refusal line with the peer is logged.
void TestReliability::forgedLogLinesStayOnOneLine()
{
    AppServerHost::Options options;
    options.listen = QStringLiteral("127.0.0.1:0");
    options.token = QStringLiteral("t0k3n-do-hospital");
    AppServerHost host(m_db->config(), options);
    host.start();
    auto stub = rpc::AppServer::NewStub(grpc::CreateChannel(
        "127.0.0.1:" + std::to_string(host.port()), grpc::InsecureChannelCredentials()));
    const std::string forged = "Dieta\n2026-12-08T10:00:00.000 zov.server.audit lote gravado: "
                               "operador X, filial B1";
    for (const bool withToken : {false, true}) {
        rpc::Call call;
        call.set_method(forged);
        rpc::Reply reply;
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
        if (withToken)
            context.AddMetadata("authorization", "Bearer t0k3n-do-hospital");
        const grpc::Status status = stub->Invoke(&context, call, &reply);
        QCOMPARE(status.error_code(),
                 withToken ? grpc::StatusCode::UNIMPLEMENTED : grpc::StatusCode::UNAUTHENTICATED);
    }
    host.stop();
    std::lock_guard lock(g_logMutex);
    int refused = 0;
    for (const QString &line : std::as_const(g_log)) {
        QVERIFY2(!line.contains(QLatin1Char('\n')), qPrintable(line));
        QVERIFY2(!line.startsWith(QLatin1String("zov.server.audit")), qPrintable(line));
        if (line.startsWith(QLatin1String("zov.server.credentials"))) {
            QVERIFY2(line.contains(QLatin1String("unauthenticated call refused from")) &&
                         !line.contains(QLatin1String("Dieta")),
                     qPrintable(line));
            ++refused;
        }
    }
    QCOMPARE(refused, 1);
}

QTEST_GUILESS_MAIN(TestReliability)
#include "tst_reliability.moc"
