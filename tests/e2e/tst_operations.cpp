// The example configurations of the operations guide, run as written: the systemd
// unit's command line, and nginx balancing a month import over two servers.

#include "processes.h"
#include "testbackend.h"

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace zov::test;

namespace {

QString example(const QString &name)
{
    QFile file(qEnvironmentVariable("ZOV_SOURCE_DIR") + QStringLiteral("/docs/examples/") + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestOperations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void serviceUnitCommandLine();
    void nginxBalancesTwoServers();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    QString m_db;
};

void TestOperations::initTestCase()
{
    m_db = newDatabase(m_dir.path(), QStringLiteral("operations"));
    QCOMPARE(
        run(QStringLiteral("zov-db"), {QStringLiteral("init"), QStringLiteral("--db"), m_db}).code,
        0);
    QCOMPARE(
        run(QStringLiteral("zov-db"), {QStringLiteral("seed-demo"), QStringLiteral("--db"), m_db,
                                       QStringLiteral("--month"), QStringLiteral("2024-03-01")})
            .code,
        0);
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                   path(QStringLiteral("key.pem")), QStringLiteral("-out"),
                   path(QStringLiteral("cert.pem")), QStringLiteral("-days"), QStringLiteral("1"),
                   QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                   QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost")});
    QVERIFY(openssl.waitForFinished(60000));
    QCOMPARE(openssl.exitCode(), 0);
    QFile token(path(QStringLiteral("token")));
    QVERIFY(token.open(QIODevice::WriteOnly));
    token.write("segredo-de-teste\n");
    // secrets readable by the service account only, as docs/operations.md says
    for (const char *secret : {"token", "key.pem"})
        QVERIFY(QFile::setPermissions(path(QLatin1String(secret)),
                                      QFile::ReadOwner | QFile::WriteOwner));
}

void TestOperations::serviceUnitCommandLine()
{
    const QString unit = example(QStringLiteral("zov-server.service"));
    const QRegularExpressionMatch exec =
        QRegularExpression(QStringLiteral("^ExecStart=(\\S+) (.*)$"),
                           QRegularExpression::MultilineOption)
            .match(unit);
    QVERIFY(exec.hasMatch());
    QCOMPARE(exec.captured(1), QStringLiteral("/opt/zov/bin/zov-server"));
    // the unit's own options, with this machine's files and a free port
    QStringList args = exec.captured(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (int i = 0; i + 1 < args.size(); i += 2) {
        const QString option = args.at(i);
        if (option == QLatin1String("--db"))
            args[i + 1] = m_db;
        else if (option == QLatin1String("--listen"))
            args[i + 1] = args[i + 1].section(QLatin1Char(':'), 0, 0) + QStringLiteral(":0");
        else if (option == QLatin1String("--tls-cert"))
            args[i + 1] = path(QStringLiteral("cert.pem"));
        else if (option == QLatin1String("--tls-key"))
            args[i + 1] = path(QStringLiteral("key.pem"));
        else if (option == QLatin1String("--token-file"))
            args[i + 1] = path(QStringLiteral("token"));
        else
            QFAIL(qPrintable(QStringLiteral("an option the test does not know: ") + option));
    }
    const Result checked =
        run(QStringLiteral("zov-server"), args + QStringList{QStringLiteral("--check")});
    QVERIFY2(checked.code == 0, qPrintable(checked.err));
    QVERIFY(checked.err.contains(QStringLiteral("verificada")));
    // the same address without TLS is refused
    QStringList plain = args;
    const qsizetype tls = plain.indexOf(QStringLiteral("--tls-cert"));
    plain.remove(tls, 4);
    const Result refused =
        run(QStringLiteral("zov-server"), plain + QStringList{QStringLiteral("--check")});
    QCOMPARE(refused.code, 1);
    QVERIFY(refused.err.contains(QStringLiteral("TLS")));
}

void TestOperations::nginxBalancesTwoServers()
{
    const QString nginx = QStandardPaths::findExecutable(
        QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    if (nginx.isEmpty())
        QSKIP("nginx is not installed");
    // two servers with TLS and the token, as in production
    QList<int> ports;
    std::vector<std::unique_ptr<QProcess>> servers;
    for (int i = 0; i < 2; ++i) {
        const int port = freePort();
        auto server = std::make_unique<QProcess>();
        server->start(binary(QStringLiteral("zov-server")),
                      {QStringLiteral("--db"), m_db, QStringLiteral("--listen"),
                       QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--tls-cert"),
                       path(QStringLiteral("cert.pem")), QStringLiteral("--tls-key"),
                       path(QStringLiteral("key.pem")), QStringLiteral("--token-file"),
                       path(QStringLiteral("token"))});
        QVERIFY(server->waitForStarted());
        QVERIFY(waitForPort(port));
        ports.append(port);
        servers.push_back(std::move(server));
    }
    // the example configuration, pointed at them and at this machine's files
    const int front = freePort();
    QString conf = example(QStringLiteral("nginx-grpc.conf"));
    conf.replace(QStringLiteral("server app1.hospital.local:8211;"),
                 QStringLiteral("server 127.0.0.1:%1;").arg(ports[0]));
    conf.replace(QStringLiteral("server app2.hospital.local:8211;"),
                 QStringLiteral("server 127.0.0.1:%1;").arg(ports[1]));
    conf.replace(QStringLiteral("listen 8211 ssl http2;"),
                 QStringLiteral("listen 127.0.0.1:%1 ssl http2;").arg(front));
    conf.replace(QStringLiteral("/etc/zov/balancer.pem"), path(QStringLiteral("cert.pem")));
    conf.replace(QStringLiteral("/etc/zov/balancer.key"), path(QStringLiteral("key.pem")));
    conf.replace(QStringLiteral("/etc/zov/ca.pem"), path(QStringLiteral("cert.pem")));
    conf.replace(QStringLiteral("app.hospital.local"), QStringLiteral("localhost"));
    conf.replace(QStringLiteral("/var/log/nginx/"), m_dir.path() + QLatin1Char('/'));
    conf.replace(QStringLiteral("/run/nginx-zov.pid"), path(QStringLiteral("nginx.pid")));
    QVERIFY(conf.contains(QStringLiteral("grpc_pass grpcs://zov_servers;")));
    QFile file(path(QStringLiteral("nginx.conf")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(conf.toUtf8());
    file.close();
    const QStringList base{QStringLiteral("-p"), m_dir.path(), QStringLiteral("-c"),
                           file.fileName()};
    QProcess check;
    check.start(nginx, base + QStringList{QStringLiteral("-t")});
    QVERIFY(check.waitForFinished(30000));
    QVERIFY2(check.exitCode() == 0, qPrintable(QString::fromUtf8(check.readAllStandardError())));
    QProcess balancer;
    balancer.start(nginx, base + QStringList{QStringLiteral("-g"), QStringLiteral("daemon off;")});
    QVERIFY(balancer.waitForStarted());
    QVERIFY(waitForPort(front));

    const QStringList import{
        QStringLiteral("--db"),         m_db,
        QStringLiteral("--server"),     QStringLiteral("127.0.0.1:%1").arg(front),
        QStringLiteral("--ca"),         path(QStringLiteral("cert.pem")),
        QStringLiteral("--token-file"), path(QStringLiteral("token")),
        QStringLiteral("--branch"),     QStringLiteral("HC01"),
        QStringLiteral("--service"),    QStringLiteral("1"),
        QStringLiteral("--operator"),   QStringLiteral("BALANCO"),
        QStringLiteral("--date"),       QStringLiteral("2024-04-01"),
        QStringLiteral("--from"),       QStringLiteral("2024-03-04"),
        QStringLiteral("--to"),         QStringLiteral("2024-03-10")};
    // a dry run through the balancer: the servers' confirmation comes through it
    const QString stored =
        QStringLiteral("SELECT (SELECT COUNT(*) FROM CARDADIA), (SELECT COUNT(*) FROM COMPCARD)");
    const QString before = queryRows(m_db, stored).join(QLatin1Char(';'));
    const Result dry =
        run(QStringLiteral("zov-import"), import + QStringList{QStringLiteral("--dry-run")});
    QVERIFY2(dry.code == 0, qPrintable(dry.err));
    QCOMPARE(queryRows(m_db, stored).join(QLatin1Char(';')), before);

    const Result r = run(QStringLiteral("zov-import"), import);
    balancer.terminate();
    balancer.waitForFinished(10000);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    // both servers answered calls of the one import
    for (auto &server : servers) {
        server->terminate();
        QVERIFY(server->waitForFinished(30000));
        const QString log = QString::fromUtf8(server->readAllStandardError());
        QVERIFY2(log.count(QStringLiteral(" ok")) > 5, qPrintable(log.left(400)));
    }
    QVERIFY(queryValue(m_db, QStringLiteral(
                                 "SELECT COUNT(*) FROM COMPCARD WHERE DTCARDAPIO >= '2024-04-01'"))
                .toInt() > 100);
}

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
