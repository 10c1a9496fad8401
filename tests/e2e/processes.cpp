#include "processes.h"

#include <csignal>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace zov::test {

QString binary(const QString &name)
{
    return qEnvironmentVariable("ZOV_BIN_DIR") + QLatin1Char('/') + name;
}

Result run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.start(binary(program), arguments);
    Result r;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        r.err = QStringLiteral("timed out");
        return r;
    }
    r.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = QString::fromUtf8(process.readAllStandardOutput());
    r.err = QString::fromUtf8(process.readAllStandardError());
    return r;
}

bool waitForPort(int port)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

ServerProcess::ServerProcess(const QString &db, const QStringList &extra)
{
    m_port = freePort();
    m_arguments =
        QStringList{QStringLiteral("--db"), db, QStringLiteral("--listen"), address()} + extra;
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(binary(QStringLiteral("zov-server")), m_arguments);
    m_started = m_process.waitForStarted() && waitForPort(m_port);
}

bool ServerProcess::restart()
{
    m_process.start(binary(QStringLiteral("zov-server")), m_arguments);
    m_started = m_process.waitForStarted() && waitForPort(m_port);
    return m_started;
}

void ServerProcess::signal(int number)
{
    ::kill(static_cast<pid_t>(m_process.processId()), number);
}

ServerProcess::~ServerProcess()
{
    if (m_process.state() != QProcess::NotRunning)
        kill();
}

void ServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(10000);
}

bool ServerProcess::stop(int timeoutMs)
{
    m_process.terminate();
    return m_process.waitForFinished(timeoutMs) && m_process.exitCode() == 0;
}

} // namespace zov::test
