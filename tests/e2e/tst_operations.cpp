// The example configurations of the operations guide, run as written: the systemd
// unit's command line, and nginx balancing a month import over two servers.

#include "processes.h"
#include "testbackend.h"

#include <QDate>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <csignal>

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
    void aTakenPortAndAHangup();
    void restoreAfterAKill();
    void documentedRoles();
    void aStandbyIsNoDatabaseForTheServer();
    void movingToOperators();

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
    // the configuration of a server of a group, each option given this machine's own:
    // the test's database (on PostgreSQL with the example's sslmode and the cluster's
    // CA), any address on a free port, the test's certificate, key and token
    if (onPostgres() && qEnvironmentVariable("ZOV_TEST_PG_CA").isEmpty())
        QSKIP("the cluster's CA is not known (ZOV_TEST_PG_CA, tests/pg/with-postgres)");
    QString conf;
    for (const QString &line : example(QStringLiteral("zov-server-group.conf")).split('\n')) {
        const QString option = line.section(QLatin1Char('='), 0, 0).trimmed();
        const QString value = line.section(QLatin1Char('='), 1).trimmed();
        QString own = value;
        if (line.startsWith(QLatin1Char('#')) || line.trimmed().isEmpty())
            continue;
        if (option == QLatin1String("db"))
            own = onPostgres() ? m_db + QLatin1Char('?') +
                                     value.section(QLatin1Char('?'), 1)
                                         .replace(QStringLiteral("/etc/zov11119/db-ca.pem"),
                                                  qEnvironmentVariable("ZOV_TEST_PG_CA"))
                               : m_db;
        else if (option == QLatin1String("listen"))
            own = value.section(QLatin1Char(':'), 0, 0) + QStringLiteral(":0");
        else if (option == QLatin1String("tls-cert"))
            own = path(QStringLiteral("cert.pem"));
        else if (option == QLatin1String("tls-key"))
            own = path(QStringLiteral("key.pem"));
        else if (option == QLatin1String("token-file"))
            own = path(QStringLiteral("token"));
        else if (option != QLatin1String("threads") && option != QLatin1String("grace"))
            QFAIL(qPrintable(QStringLiteral("an option the test does not know: ") + option));
        conf += option + QStringLiteral(" = ") + own + QLatin1Char('\n');
    }
    QVERIFY(!onPostgres() || conf.contains(QStringLiteral("sslmode=verify-full&sslrootcert=/")));
    const auto checked = [this](const QString &text) {
        QFile file(path(QStringLiteral("group.conf")));
        if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0)
            return Result{};
        file.close();
        return run(QStringLiteral("zov-server"),
                   {QStringLiteral("--config"), file.fileName(), QStringLiteral("--check")});
    };
    const Result r = checked(conf);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QVERIFY(r.err.contains(QStringLiteral("verificada")));
    // the same address without TLS is refused
    const Result refused = checked(QString(conf).remove(
        QRegularExpression(QStringLiteral("^tls-.*\n"), QRegularExpression::MultilineOption)));
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
        // a file, not a pipe: a server never waits for its log to be read
        server->setStandardErrorFile(path(QStringLiteral("server%1.log").arg(i)));
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
    conf.replace(QStringLiteral("server 10.0.1.11:8211 "),
                 QStringLiteral("server 127.0.0.1:%1 ").arg(ports[0]));
    conf.replace(QStringLiteral("server 10.0.1.12:8211 "),
                 QStringLiteral("server 127.0.0.1:%1 ").arg(ports[1]));
    conf.replace(QStringLiteral("listen 8211 ssl http2;"),
                 QStringLiteral("listen 127.0.0.1:%1 ssl http2;").arg(front));
    conf.replace(QStringLiteral("/etc/nginx/zov/balancer.pem"), path(QStringLiteral("cert.pem")));
    conf.replace(QStringLiteral("/etc/nginx/zov/balancer.key"), path(QStringLiteral("key.pem")));
    conf.replace(QStringLiteral("/etc/nginx/zov/ca.pem"), path(QStringLiteral("cert.pem")));
    conf.replace(QStringLiteral("app.hospital.local"), QStringLiteral("localhost"));
    conf.replace(QStringLiteral("/var/log/nginx/"), m_dir.path() + QLatin1Char('/'));
    conf.replace(QStringLiteral("/run/nginx.pid"), path(QStringLiteral("nginx.pid")));
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
    QVERIFY2(r.code == 0, qPrintable(r.err));

    // a month overwritten while the server taking its batches is killed: the client
    // sends the calls again, the balancer takes them to the other server, and the run
    // completes; running it again then changes nothing
    QStringList month = import.mid(0, import.size() - 4);
    month << QStringLiteral("--from") << QStringLiteral("2024-03-01") << QStringLiteral("--to")
          << QStringLiteral("2024-03-30") << QStringLiteral("--mode")
          << QStringLiteral("overwrite");
    QProcess killed;
    killed.start(binary(QStringLiteral("zov-import")), month);
    QVERIFY(killed.waitForStarted());
    const auto logOf = [this](int i) {
        QFile log(path(QStringLiteral("server%1.log").arg(i)));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    };
    const int batchesBefore[2] = {int(logOf(0).count(QStringLiteral("SetImportacao"))),
                                  int(logOf(1).count(QStringLiteral("SetImportacao")))};
    int victim = -1;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (int i = 0; i < 2 && victim < 0; ++i) {
                if (logOf(i).count(QStringLiteral("SetImportacao")) > batchesBefore[i] + 3)
                    victim = i;
            }
            return victim >= 0;
        }(),
        30000);
    servers[victim]->kill();
    QVERIFY(servers[victim]->waitForFinished(10000));
    QVERIFY(killed.waitForFinished(120000));
    QVERIFY2(killed.exitCode() == 0, killed.readAllStandardError().constData());
    const QString dishes = QStringLiteral(
        "SELECT DTCARDAPIO, CDDIETPAD, NRSEQPRATCAR, CDPRATO, VRPECONSCARD FROM COMPCARD "
        "WHERE DTCARDAPIO >= '2024-04-01' ORDER BY 1, 2, 3");
    const QStringList afterKill = queryRows(m_db, dishes);
    const Result again = run(QStringLiteral("zov-import"), month);
    QVERIFY2(again.code == 0, qPrintable(again.err));
    QCOMPARE(queryRows(m_db, dishes), afterKill);
    balancer.terminate();
    balancer.waitForFinished(10000);
    // both servers answered calls of the imports
    for (int i = 0; i < 2; ++i) {
        if (servers[i]->state() != QProcess::NotRunning) {
            servers[i]->terminate();
            QVERIFY(servers[i]->waitForFinished(30000));
        }
        const QString log = logOf(i);
        QVERIFY2(log.count(QStringLiteral(" ok")) > 5, qPrintable(log.left(400)));
    }
    QVERIFY(queryValue(m_db, QStringLiteral(
                                 "SELECT COUNT(*) FROM COMPCARD WHERE DTCARDAPIO >= '2024-04-01'"))
                .toInt() > 100);
}

void TestOperations::aTakenPortAndAHangup()
{
    const int port = freePort();
    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
    QProcess first;
    first.start(binary(QStringLiteral("zov-server")),
                {QStringLiteral("--db"), m_db, QStringLiteral("--listen"), address});
    QVERIFY(first.waitForStarted());
    QVERIFY(waitForPort(port));
    // a second server on the same address refuses to start, whatever its database
    const QString other = newDatabase(m_dir.path(), QStringLiteral("other"));
    QCOMPARE(
        run(QStringLiteral("zov-db"), {QStringLiteral("init"), QStringLiteral("--db"), other}).code,
        0);
    const Result second = run(QStringLiteral("zov-server"),
                              {QStringLiteral("--db"), other, QStringLiteral("--listen"), address});
    QCOMPARE(second.code, 1);
    QVERIFY2(second.err.contains(QStringLiteral("porta em uso")), qPrintable(second.err));
    // the check before a restart does not need the port the running server holds
    const Result checked =
        run(QStringLiteral("zov-server"), {QStringLiteral("--db"), m_db, QStringLiteral("--listen"),
                                           address, QStringLiteral("--check")});
    QVERIFY2(checked.code == 0 && checked.err.contains(QStringLiteral("em uso agora")),
             qPrintable(checked.err));
    // SIGHUP leaves the first one serving
    ::kill(static_cast<pid_t>(first.processId()), SIGHUP);
    QByteArray said;
    QTRY_VERIFY((said += first.readAllStandardError()).contains("SIGHUP"));
    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(run(QStringLiteral("zov-rpc"),
                 {QStringLiteral("--server"), address, QStringLiteral("GetImportacoes"),
                  QStringLiteral("\"HC01\"")})
                 .code,
             0);
    first.terminate();
    QVERIFY(first.waitForFinished(30000));
}

void TestOperations::restoreAfterAKill()
{
    if (onPostgres())
        QSKIP("zov-db backup and restore copy an SQLite file; PostgreSQL has pg_dump");
    const QString db = copyDatabase(m_db, m_dir.path(), QStringLiteral("restore"));
    const QString backup = path(QStringLiteral("backup.sqlite"));
    QCOMPARE(run(QStringLiteral("zov-db"), {QStringLiteral("backup"), QStringLiteral("--db"), db,
                                            QStringLiteral("--to"), backup})
                 .code,
             0);
    // the copy is the owner's alone, whatever the umask
    QCOMPARE(QFileInfo(backup).permissions() & ~(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ReadUser | QFileDevice::WriteUser),
             QFileDevice::Permissions());
    const QString dishes = QStringLiteral("SELECT * FROM COMPCARD ORDER BY 1, 2, 3, 4, 5");
    const QStringList saved = queryRows(backup, dishes);
    // a server stores a month, then is killed: its -wal file stays beside the database
    const int port = freePort();
    QProcess server;
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(binary(QStringLiteral("zov-server")),
                 {QStringLiteral("--db"), db, QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:%1").arg(port)});
    QVERIFY(server.waitForStarted());
    QVERIFY(waitForPort(port));
    const QStringList restore{QStringLiteral("restore"), QStringLiteral("--db"), db,
                              QStringLiteral("--from"), backup};
    QCOMPARE(run(QStringLiteral("zov-db"), restore).code, 1); // not under a running server
    const Result imported =
        run(QStringLiteral("zov-import"),
            {QStringLiteral("--db"), db, QStringLiteral("--server"),
             QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--branch"),
             QStringLiteral("HC01"), QStringLiteral("--service"), QStringLiteral("1"),
             QStringLiteral("--operator"), QStringLiteral("RESTORE"), QStringLiteral("--date"),
             QStringLiteral("2024-04-01"), QStringLiteral("--from"), QStringLiteral("2024-03-01"),
             QStringLiteral("--to"), QStringLiteral("2024-03-30")});
    QVERIFY2(imported.code == 0, qPrintable(imported.err));
    server.kill();
    QVERIFY(server.waitForFinished(10000));
    QVERIFY(QFileInfo::exists(db + QStringLiteral("-wal")));
    // the restored database holds exactly the copy, nothing of the killed server's journal
    const Result restored = run(QStringLiteral("zov-db"), restore);
    QVERIFY2(restored.code == 0, qPrintable(restored.err));
    QCOMPARE(queryRows(db, dishes), saved);
}

// A database that takes no writes (a standby) is refused by --check; both hosts of a
// failover pair in one URL, the first one down, find the one that writes.
void TestOperations::aStandbyIsNoDatabaseForTheServer()
{
    if (!onPostgres())
        QSKIP("standbys are PostgreSQL's");
    const QString db = copyDatabase(m_db, m_dir.path(), QStringLiteral("standby"));
    const QUrl url(db);
    const QStringList check{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                            QStringLiteral("--check")};
    // the first host of the pair does not answer: libpq goes on to the second
    const QString pair = QStringLiteral("postgresql://%1@127.0.0.1:%2,127.0.0.1:%3%4"
                                        "?target_session_attrs=read-write")
                             .arg(url.userInfo())
                             .arg(freePort())
                             .arg(url.port())
                             .arg(url.path());
    Result r = run(QStringLiteral("zov-server"), QStringList{QStringLiteral("--db"), pair} + check);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    execute(db, QStringLiteral("ALTER DATABASE %1 SET default_transaction_read_only = on")
                    .arg(url.path().mid(1)));
    r = run(QStringLiteral("zov-server"), QStringList{QStringLiteral("--db"), db} + check);
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("só aceita leitura")), qPrintable(r.err));
}

void TestOperations::documentedRoles()
{
    if (!onPostgres())
        QSKIP("roles are PostgreSQL's");
    const QString psql = QStandardPaths::findExecutable(QStringLiteral("psql"));
    if (psql.isEmpty())
        QSKIP("psql is not installed");
    const QString ca = qEnvironmentVariable("ZOV_TEST_PG_CA");
    if (ca.isEmpty())
        QSKIP("the cluster's CA is not known (ZOV_TEST_PG_CA, tests/pg/with-postgres)");
    // the scripts of the documents, as written, by the cluster's superuser, each read
    // from psql's standard input
    const QString cluster = qEnvironmentVariable("ZOV_TEST_PG");
    const auto runScript = [&](const char *name) {
        QProcess p;
        p.setStandardInputFile(qEnvironmentVariable("ZOV_SOURCE_DIR") +
                               QStringLiteral("/docs/examples/") + QLatin1String(name));
        p.start(psql, {QStringLiteral("-q"), cluster, QStringLiteral("-v"),
                       QStringLiteral("ON_ERROR_STOP=1")});
        return p.waitForFinished(60000) && p.exitCode() == 0
                   ? QString()
                   : QString::fromUtf8(p.readAllStandardError());
    };
    // each role's URL as the guide writes it: the database's certificate checked
    // against the CA that signed it
    const auto as = [&](const char *role, const QString &rootCert = {}) -> QString {
        return cluster.section(QLatin1Char('@'), 0, 0).section(QLatin1Char('/'), 0, 1) +
               QStringLiteral("/") + QLatin1String(role) + QLatin1Char('@') +
               cluster.section(QLatin1Char('@'), 1).section(QLatin1Char('/'), 0, 0) +
               QStringLiteral("/zov?sslmode=verify-full&sslrootcert=") +
               (rootCert.isEmpty() ? ca : rootCert);
    };
    QString problem = runScript("roles.sql");
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    for (const char *command : {"init", "seed-demo"}) {
        const Result r = run(QStringLiteral("zov-db"),
                             {QLatin1String(command), QStringLiteral("--db"), as("zov_owner")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
    }
    // before the grants the server's check names what its role may not do
    const QStringList server{QStringLiteral("--db"), as("zov_server"), QStringLiteral("--listen")};
    const Result denied =
        run(QStringLiteral("zov-server"),
            server + QStringList{QStringLiteral("127.0.0.1:0"), QStringLiteral("--check")});
    QCOMPARE(denied.code, 1);
    QVERIFY2(denied.err.contains(QStringLiteral("SELECT em ESTIDIETA")), qPrintable(denied.err));
    problem = runScript("grants.sql");
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // a CA that did not sign the database's certificate: no connection, and why
    const Result forged =
        run(QStringLiteral("zov-server"),
            {QStringLiteral("--db"), as("zov_server", path(QStringLiteral("cert.pem"))),
             QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--check")});
    QCOMPARE(forged.code, 1);
    QVERIFY2(forged.err.contains(QStringLiteral("sslrootcert")), qPrintable(forged.err));
    // then an import through the server's role, the workstation reading with its own
    const int port = freePort();
    QProcess serving;
    serving.setStandardErrorFile(QProcess::nullDevice());
    serving.start(binary(QStringLiteral("zov-server")),
                  server + QStringList{QStringLiteral("127.0.0.1:%1").arg(port)});
    QVERIFY(serving.waitForStarted());
    QVERIFY(waitForPort(port));
    const Result imported = run(
        QStringLiteral("zov-import"),
        {QStringLiteral("--db"), as("zov_workstation"), QStringLiteral("--server"),
         QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--branch"),
         QStringLiteral("HC01"), QStringLiteral("--service"), QStringLiteral("1"),
         QStringLiteral("--operator"), QStringLiteral("PAPEIS"), QStringLiteral("--date"),
         QDate::currentDate().addMonths(1).toString(QStringLiteral("yyyy-MM-01")),
         QStringLiteral("--from"), QDate::currentDate().toString(QStringLiteral("yyyy-MM-01"))});
    serving.terminate();
    QVERIFY(serving.waitForFinished(30000));
    QVERIFY2(imported.code == 0 || imported.code == 3, qPrintable(imported.err));
    QVERIFY(queryValue(as("zov_owner"), QStringLiteral("SELECT COUNT(*) FROM COMPCARD")).toInt() >
            0);
    // the packaged timer's purge runs with the server's role and its grants (PostgreSQL
    // checks a DELETE's privilege whether or not a row goes)
    const Result purged =
        run(QStringLiteral("zov-db"),
            {QStringLiteral("purge-runs"), QStringLiteral("--db"), as("zov_server"),
             QStringLiteral("--older-than"), QStringLiteral("0")});
    QVERIFY2(purged.code == 0, qPrintable(purged.err));
}

// The move from the shared token to operators, as docs/operations.md lays it out: the
// operators registered while the servers keep the shared token, then the token off.
void TestOperations::movingToOperators()
{
    const QString db = copyDatabase(m_db, m_dir.path(), QStringLiteral("operators"));
    const QString othersRuns = QStringLiteral(
        "SELECT COUNT(*) FROM IMPORTACAO WHERE CDOPERADOR NOT IN ('CARLOS', 'MARIA', 'JOAO')");
    const int runsBefore = queryValue(db, othersRuns).toInt();
    const auto zovDb = [&](const QStringList &args) {
        return run(QStringLiteral("zov-db"), QStringList{QStringLiteral("operator")} + args +
                                                 QStringList{QStringLiteral("--db"), db});
    };
    for (const char *who : {"MARIA:HC01", "JOAO:HN02"}) {
        const QString code = QString::fromLatin1(who).section(QLatin1Char(':'), 0, 0);
        const Result added =
            zovDb({QStringLiteral("add"), QStringLiteral("--operator"), code,
                   QStringLiteral("--name"), code, QStringLiteral("--branches"),
                   QString::fromLatin1(who).section(QLatin1Char(':'), 1), QStringLiteral("--role"),
                   QStringLiteral("planner"), QStringLiteral("--token-file"), path(code)});
        QVERIFY2(added.code == 0, qPrintable(added.err));
    }
    const QStringList shared{QStringLiteral("--token-file"), path(QStringLiteral("token"))};
    const auto import = [&](const ServerProcess &server, const QStringList &credential,
                            const QString &branch, const QString &day) {
        return run(QStringLiteral("zov-import"),
                   QStringList{QStringLiteral("--db"), db, QStringLiteral("--server"),
                               server.address(), QStringLiteral("--branch"), branch,
                               QStringLiteral("--service"), QStringLiteral("1"),
                               QStringLiteral("--date"), day, QStringLiteral("--from"),
                               QStringLiteral("2024-03-04"), QStringLiteral("--mode"),
                               QStringLiteral("overwrite")} +
                       credential);
    };
    const auto batchesOf = [&](const QString &who) {
        return queryValue(db, QStringLiteral("SELECT COUNT(*) FROM LOTEAUDITORIA "
                                             "WHERE CDOPERADOR = '%1'")
                                  .arg(who))
            .toInt();
    };
    {
        // while moving: the servers keep the shared token and know the operators
        const Result checked =
            run(QStringLiteral("zov-server"),
                QStringList{QStringLiteral("--db"), db, QStringLiteral("--listen"),
                            QStringLiteral("127.0.0.1:0"), QStringLiteral("--check")} +
                    shared);
        QVERIFY2(checked.err.contains(QStringLiteral("durante a mudança")),
                 qPrintable(checked.err));
        ServerProcess server(db, shared);
        QVERIFY(server.started());
        const Result old = import(
            server, shared + QStringList{QStringLiteral("--operator"), QStringLiteral("CARLOS")},
            QStringLiteral("HC01"), QStringLiteral("2024-03-26"));
        QVERIFY2(old.code == 0, qPrintable(old.err));
        QVERIFY(batchesOf(QStringLiteral("CARLOS")) > 0);
        const Result own = import(server, {QStringLiteral("--token-file"), path("MARIA")},
                                  QStringLiteral("HC01"), QStringLiteral("2024-03-27"));
        QVERIFY2(own.code == 0, qPrintable(own.err));
        QVERIFY(batchesOf(QStringLiteral("MARIA")) > 0);
        // another operator's branch: refused, nothing stored
        const QStringList before = queryRows(db, QStringLiteral("SELECT * FROM CARDADIA"));
        const Result other = import(server, {QStringLiteral("--token-file"), path("MARIA")},
                                    QStringLiteral("HN02"), QStringLiteral("2024-03-27"));
        QCOMPARE(other.code, 2);
        QVERIFY2(other.err.contains(QStringLiteral("O operador MARIA não tem permissão")),
                 qPrintable(other.err));
        QCOMPARE(queryRows(db, QStringLiteral("SELECT * FROM CARDADIA")), before);
    }
    // the shared token off: only operators are served
    ServerProcess server(db);
    QVERIFY(server.started());
    const Result old = import(server, shared, QStringLiteral("HC01"), QStringLiteral("2024-03-28"));
    QCOMPARE(old.code, 1);
    QVERIFY2(old.err.contains(QStringLiteral("operadores cadastrados")), qPrintable(old.err));
    const Result own = import(server, {QStringLiteral("--token-file"), path("JOAO")},
                              QStringLiteral("HN02"), QStringLiteral("2024-03-28"));
    QVERIFY2(own.code == 0, qPrintable(own.err));
    QVERIFY(batchesOf(QStringLiteral("JOAO")) > 0);
    // every run of the move names one of its three operators
    QCOMPARE(queryValue(db, othersRuns).toInt(), runsBefore);
}

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
