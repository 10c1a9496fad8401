// link_import: the month import of bench::generate over a slow link, next to the same
// import over loopback. A forwarder stands in for the hospital's network or a link
// between sites: it holds every chunk for a set delay in each direction. On the call
// stream it runs at 10, 30 and 100 ms a round trip; against a server that does not offer
// the stream (a build from before it, which gets one call at a time) at 10 ms only. It
// prints the seconds, what the link added and the round trips that amounts to, against
// the target: at most ten round trips, at most 1 s over 100 ms.
//   link_import BIN_DIR [SCALE]

#include "appserverhost.h"
#include "benchdata.h"
#include "database.h"
#include "error.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One direction of a forwarded connection: chunks read from `from` go to `to` after
// the delay, in order.
class DelayedPipe
{
public:
    DelayedPipe(int from, int to, std::chrono::microseconds delay)
        : m_from(from)
        , m_to(to)
        , m_delay(delay)
    {
        m_reader = std::thread([this] { read(); });
        m_writer = std::thread([this] { write(); });
    }
    ~DelayedPipe()
    {
        m_reader.join();
        m_writer.join();
    }

private:
    void read()
    {
        std::vector<char> buffer(65536);
        for (;;) {
            const ssize_t n = ::recv(m_from, buffer.data(), buffer.size(), 0);
            std::lock_guard lock(m_mutex);
            if (n <= 0) {
                m_closed = true;
                m_ready.notify_all();
                return;
            }
            m_chunks.push_back({Clock::now() + m_delay, std::string(buffer.data(), size_t(n))});
            m_ready.notify_all();
        }
    }
    void write()
    {
        for (;;) {
            std::unique_lock lock(m_mutex);
            m_ready.wait(lock, [this] { return m_closed || !m_chunks.empty(); });
            if (m_chunks.empty()) {
                ::shutdown(m_to, SHUT_WR);
                return;
            }
            const auto due = m_chunks.front().first;
            lock.unlock();
            std::this_thread::sleep_until(due);
            lock.lock();
            const std::string chunk = std::move(m_chunks.front().second);
            m_chunks.pop_front();
            lock.unlock();
            for (size_t sent = 0; sent < chunk.size();) {
                const ssize_t n =
                    ::send(m_to, chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                sent += size_t(n);
            }
        }
    }

    int m_from;
    int m_to;
    std::chrono::microseconds m_delay;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::pair<Clock::time_point, std::string>> m_chunks;
    bool m_closed = false;
    std::thread m_reader;
    std::thread m_writer;
};

int listenOn(int *port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(s, 16);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

// Accepts connections on a port of its own and forwards each to `target`.
class Forwarder
{
public:
    Forwarder(int target, std::chrono::microseconds delay)
        : m_target(target)
        , m_delay(delay)
    {
        m_socket = listenOn(&m_port);
        m_acceptor = std::thread([this] { accept(); });
    }
    ~Forwarder()
    {
        m_stopping = true;
        ::shutdown(m_socket, SHUT_RDWR);
        ::close(m_socket);
        m_acceptor.join();
        for (auto &[a, b] : m_sockets) {
            ::shutdown(a, SHUT_RDWR);
            ::shutdown(b, SHUT_RDWR);
        }
        m_pipes.clear();
        for (auto &[a, b] : m_sockets) {
            ::close(a);
            ::close(b);
        }
    }
    int port() const { return m_port; }

private:
    void accept()
    {
        for (;;) {
            const int client = ::accept(m_socket, nullptr, nullptr);
            if (client < 0 || m_stopping)
                return;
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(m_target));
            ::connect(server, reinterpret_cast<sockaddr *>(&a), sizeof a);
            const int one = 1;
            for (const int s : {client, server})
                ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            m_sockets.push_back({client, server});
            m_pipes.push_back(std::make_unique<DelayedPipe>(client, server, m_delay));
            m_pipes.push_back(std::make_unique<DelayedPipe>(server, client, m_delay));
        }
    }

    int m_target;
    std::chrono::microseconds m_delay;
    int m_socket = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptor;
    std::vector<std::pair<int, int>> m_sockets;
    std::vector<std::unique_ptr<DelayedPipe>> m_pipes;
};

struct Run
{
    double seconds = 0;
    long calls = 0;
};

Run importThrough(const QString &binDir, const QString &db, int port, const QString &stats)
{
    QProcess import;
    QElapsedTimer timer;
    timer.start();
    import.start(
        binDir + QStringLiteral("/zov-import"),
        {QStringLiteral("--db"), db, QStringLiteral("--server"),
         QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--branch"), bench::kBranch,
         QStringLiteral("--service"), bench::kService, QStringLiteral("--date"),
         bench::kDestinationMonth.toString(Qt::ISODate), QStringLiteral("--from"),
         bench::kSourceMonth.toString(Qt::ISODate), QStringLiteral("--to"),
         bench::kSourceMonth.addDays(bench::kSourceMonth.daysInMonth() - 1).toString(Qt::ISODate),
         QStringLiteral("--operator"), QStringLiteral("BENCH"), QStringLiteral("--stats"), stats});
    import.waitForFinished(600000);
    Run run;
    run.seconds = timer.nsecsElapsed() / 1e9;
    if (import.exitCode() != 0)
        throw zov::Error(QString::fromUtf8(import.readAllStandardError()));
    QFile file(stats);
    if (file.open(QIODevice::ReadOnly)) {
        const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
        run.calls = o.value(QStringLiteral("calls")).toInteger() +
                    o.value(QStringLiteral("streamedCalls")).toInteger();
    }
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("zov.server.*=false"));
    QTextStream out(stdout);
    const QString binDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("build/bin");
    const int scale = argc > 2 ? QByteArray(argv[2]).toInt() : 1;
    QTemporaryDir dir;
    try {
        const QString tpl = dir.filePath(QStringLiteral("template.sqlite"));
        bench::generate(tpl, scale);
        out << QStringLiteral("scale %1x, the month through a link that adds a round trip\n")
                   .arg(scale);
        out << "server        round trip  loopback s  link s  added s  round trips  calls  "
               "target\n";
        struct Trial
        {
            bool stream;
            int roundTripMs;
        };
        for (const Trial trial :
             {Trial{true, 10}, Trial{true, 30}, Trial{true, 100}, Trial{false, 10}}) {
            zov::AppServerHost::Options options;
            options.listen = QStringLiteral("127.0.0.1:0");
            options.offerStream = trial.stream;
            const QString a = dir.filePath(QStringLiteral("a.sqlite"));
            const QString b = dir.filePath(QStringLiteral("b.sqlite"));
            // the median of three runs each way (one of a server without the stream)
            std::vector<double> near, far;
            Run slow;
            for (int run = 0; run < (trial.stream ? 3 : 1); ++run) {
                bench::copyDatabase(tpl, a);
                bench::copyDatabase(tpl, b);
                zov::AppServerHost loopbackServer(zov::DatabaseConfig::parse(a), options);
                loopbackServer.start();
                near.push_back(importThrough(binDir, a, loopbackServer.port(),
                                             dir.filePath(QStringLiteral("s1.json")))
                                   .seconds);
                zov::AppServerHost linkServer(zov::DatabaseConfig::parse(b), options);
                linkServer.start();
                const auto delay = std::chrono::microseconds(trial.roundTripMs * 500); // each way
                Forwarder link(linkServer.port(), delay);
                slow =
                    importThrough(binDir, b, link.port(), dir.filePath(QStringLiteral("s2.json")));
                far.push_back(slow.seconds);
            }
            std::sort(near.begin(), near.end());
            std::sort(far.begin(), far.end());
            const Run loopback{near.at(near.size() / 2), 0};
            slow.seconds = far.at(far.size() / 2);
            const double added = slow.seconds - loopback.seconds;
            const double trips = std::max(0.0, added) / (trial.roundTripMs / 1000.0);
            const QString target = !trial.stream ? QStringLiteral("-")
                                   : trips <= 10 && added <= 1.0
                                       ? QStringLiteral("<= 10 round trips, <= 1 s: met")
                                       : QStringLiteral("<= 10 round trips, <= 1 s: NOT MET");
            out << QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8\n")
                       .arg(trial.stream ? QStringLiteral("with stream ")
                                         : QStringLiteral("one by one  "))
                       .arg(QStringLiteral("%1 ms").arg(trial.roundTripMs), 10)
                       .arg(loopback.seconds, 10, 'f', 2)
                       .arg(slow.seconds, 6, 'f', 2)
                       .arg(added, 7, 'f', 2)
                       .arg(trips, 11, 'f', 0)
                       .arg(slow.calls, 5)
                       .arg(target);
            out.flush();
        }
    } catch (const zov::Error &e) {
        QTextStream(stderr) << e.text() << Qt::endl;
        return 1;
    }
    return 0;
}
