#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

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

// The first folder on the way to `path` (itself included) that users other than its
// owner and group cannot enter; empty when they can reach it.
QString closedToOthers(const QString &path);

// A program of the project run as another user (uid and gid 54321, no groups) through
// setpriv. That user may not enter the build tree (a checkout in a private folder), so
// the program and the project's libraries run from a copy in a folder anyone may enter.
class OtherUserProgram
{
public:
    explicit OtherUserProgram(const QString &name);
    // Why it cannot run so (not root, no setpriv, no folder for the copy); empty when it can.
    QString unavailable() const { return m_unavailable; }
    // Starts it with `arguments`, in the process's environment (the system's when unset).
    void start(QProcess &process, const QStringList &arguments) const;

private:
    std::unique_ptr<QTemporaryDir> m_copy;
    QString m_unavailable;
    QString m_program;
};

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
