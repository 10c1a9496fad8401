#include "processes.h"

#include <csignal>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace zov::test {

QString binary(const QString &name)
{
    return qEnvironmentVariable("ZOV_BIN_DIR") + QLatin1Char('/') + name;
}

QString closedToOthers(const QString &path)
{
    for (QFileInfo at(QFileInfo(path).absoluteFilePath());; at.setFile(at.absolutePath())) {
        if (at.isDir() && !at.permission(QFileDevice::ExeOther))
            return at.absoluteFilePath();
        if (at.isRoot())
            return {};
    }
}

OtherUserProgram::OtherUserProgram(const QString &name)
{
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()) {
        m_unavailable = QStringLiteral("needs root and setpriv to run as another user");
        return;
    }
    // the system's temporary folder may be a private one too
    for (const QString &parent : {QDir::tempPath(), QStringLiteral("/tmp")}) {
        if (closedToOthers(parent).isEmpty()) {
            m_copy = std::make_unique<QTemporaryDir>(parent + QStringLiteral("/zov-other-XXXXXX"));
            break;
        }
    }
    if (!m_copy || !m_copy->isValid()) {
        m_unavailable = QStringLiteral("no temporary folder that another user may enter, for a "
                                       "copy of %1 and its libraries")
                            .arg(name);
        return;
    }
    const QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther;
    const QDir copy(m_copy->path());
    QFile::setPermissions(copy.path(), open);
    // the libraries of the build, found through LD_LIBRARY_PATH before the build's runpath
    const QDir libraries(qEnvironmentVariable("ZOV_BIN_DIR") + QStringLiteral("/../lib"));
    bool copied = copy.mkdir(QStringLiteral("lib")) &&
                  QFile::setPermissions(copy.filePath(QStringLiteral("lib")), open);
    for (const QString &library : libraries.entryList({QStringLiteral("*.so*")}, QDir::Files)) {
        const QString target = copy.filePath(QStringLiteral("lib/") + library);
        copied = copied && QFile::copy(libraries.filePath(library), target) &&
                 QFile::setPermissions(target, open);
    }
    m_program = copy.filePath(name);
    copied =
        copied && QFile::copy(binary(name), m_program) && QFile::setPermissions(m_program, open);
    if (!copied)
        m_unavailable =
            QStringLiteral("could not copy %1 and its libraries to %2").arg(name, copy.path());
}

void OtherUserProgram::start(QProcess &process, const QStringList &arguments) const
{
    QProcessEnvironment env = process.processEnvironment();
    if (env.isEmpty())
        env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), m_copy->path() + QStringLiteral("/lib"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("setpriv"),
                  QStringList{QStringLiteral("--reuid=54321"), QStringLiteral("--regid=54321"),
                              QStringLiteral("--clear-groups"), m_program} +
                      arguments);
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
