#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace zov::test {

// The project's programs run as a user runs them (from ZOV_BIN_DIR).

struct Result
{
    int code = -1;
    QString out;
    QString err;
};

QString binary(const QString &name);
Result run(const QString &program, const QStringList &arguments, int timeoutMs = 60000);
bool waitForPort(int port);
int freePort();

// zov-server over `db` on a free loopback port, its log forwarded to the test's own.
class ServerProcess
{
public:
    // `extra`: more options of zov-server (--threads 4, ...)
    explicit ServerProcess(const QString &db, const QStringList &extra = {});
    ~ServerProcess();
    bool started() const { return m_started; }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    void kill();                      // SIGKILL: no clean stop
    bool stop(int timeoutMs = 30000); // SIGTERM: calls under way finish
    void signal(int number);          // SIGSTOP, SIGCONT, ...
    bool restart();                   // started again on the same port, as systemd does

private:
    QStringList m_arguments;
    QProcess m_process;
    int m_port = 0;
    bool m_started = false;
};

} // namespace zov::test
