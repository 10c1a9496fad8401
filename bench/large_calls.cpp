// The memory a server takes for calls of the largest size it accepts, several at
// once: eight SetImportacao calls of nearly 4 MB each (the most it takes), sent together to a
// zov-server over an empty database, and the server's peak resident memory read from /proc.
//   large_calls BIN_DIR

#include "appserver.grpc.pb.h"
#include "layout.h"
#include "packet.h"
#include "wire.h"

#include <QCoreApplication>
#include <QDate>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <grpcpp/grpcpp.h>

#include <cstdio>
#include <thread>
#include <vector>

using namespace zov;

namespace {

// A dish delta of `rows` inserted rows: about 155 bytes a row on the wire.
rpc::Call bigBatch(int rows)
{
    Packet p = Packet::forLayout(layout(QStringLiteral("cdsCompCardCache")));
    for (int i = 0; i < rows; ++i) {
        PacketRow row;
        row.kind = ChangeKind::Insert;
        row.values = {QStringLiteral("HC01"),
                      QDate(2025, 3, 1),
                      QStringLiteral("0001"),
                      QString::number(1000 + i / 25),
                      double(i % 25 + 1),
                      QStringLiteral("HC01"),
                      QStringLiteral("P%1").arg(i % 500),
                      QStringLiteral("PRATO DE DEMONSTRACAO NUMERO %1").arg(i),
                      37.5,
                      QStringLiteral("01"),
                      QStringLiteral("001SALADA"),
                      double(i % 25 + 1),
                      QStringLiteral("00001")};
        p.rows.append(row);
    }
    rpc::Call call;
    call.set_method("SetImportacao");
    call.add_args()->mutable_null();
    toWire(QVariant::fromValue(p), call.add_args());
    return call;
}

double megabytes(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toDouble() / 1024;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString bin = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("build/bin");
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("large.sqlite"));
    if (QProcess::execute(bin + QStringLiteral("/zov-db"),
                          {QStringLiteral("init"), QStringLiteral("--db"), db}) != 0)
        return 1;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    server.start(bin + QStringLiteral("/zov-server"),
                 {QStringLiteral("--db"), db, QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:%1").arg(port)});
    server.waitForStarted();
    QThread::msleep(800);
    const qint64 pid = server.processId();

    const rpc::Call call = bigBatch(25000);
    const double callMb = double(call.ByteSizeLong()) / (1024 * 1024);
    const double before = megabytes(pid, "VmRSS:");
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&] {
            grpc::ChannelArguments args;
            args.SetMaxSendMessageSize(64 * 1024 * 1024);
            auto stub = rpc::AppServer::NewStub(grpc::CreateCustomChannel(
                "127.0.0.1:" + std::to_string(port), grpc::InsecureChannelCredentials(), args));
            grpc::ClientContext context;
            context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(300));
            rpc::Reply reply;
            const grpc::Status status = stub->Invoke(&context, call, &reply);
            if (status.ok())
                ++answered;
            else
                std::fprintf(stderr, "refused: %s\n", status.error_message().c_str());
        });
    }
    for (std::thread &t : clients)
        t.join();
    const double peak = megabytes(pid, "VmHWM:");
    server.terminate();
    server.waitForFinished();
    std::printf("eight calls of %.1f MB at once: %d answered; server resident memory %.0f MB "
                "before, %.0f MB at its peak\n",
                callMb, answered.load(), before, peak);
    return answered == 8 ? 0 : 1;
}
