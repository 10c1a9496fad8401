// Faults and load, end to end: the server killed at random moments of a month
// import, and eight imports at once against one server. Long: CI runs a few kills,
// "./run soak" many (ZOV_SOAK_KILLS).

#include "processes.h"
#include "testbackend.h"
#include "texts.h"

#include <QDate>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <functional>
#include <thread>

using namespace zov::test;

namespace {

const QString kBranch = QStringLiteral("HC01");

// What an import stored in April, menu numbers and stamps aside: per day and diet,
// the header's estimates and every dish.
const QString kDishes = QStringLiteral(
    "SELECT H.DTCARDAPIO, H.CDDIETPAD, C.NRSEQPRATCAR, C.NRORDPRATCAR, C.CDPRATO, C.NMPRATO, "
    "ROUND(CAST(C.VRPECONSCARD AS NUMERIC), 6), C.CDSERVFILI FROM CARDADIA H JOIN COMPCARD C ON "
    "C.CDFILIAL = "
    "H.CDFILIAL "
    "AND C.NRCARDAPIO = H.NRCARDAPIO WHERE H.DTCARDAPIO >= '2024-04-01'");
const QString kHeaders = QStringLiteral(
    "SELECT DTCARDAPIO, CDDIETPAD, QTCOMESTICAR, QTCLIESTICAR, QTFUNESTICAR, QTDOAESTICAR, "
    "QTESTITURNO1, "
    "QTESTITURNO2, QTESTITURNO3, DTMESCARD FROM CARDADIA WHERE DTCARDAPIO >= '2024-04-01'");

QStringList importArgs(const QString &db, const QString &server, const QDate &day,
                       const QDate &from, const QDate &to)
{
    QStringList args{QStringLiteral("--db"),       db,
                     QStringLiteral("--branch"),   kBranch,
                     QStringLiteral("--service"),  QStringLiteral("1"),
                     QStringLiteral("--operator"), QStringLiteral("CARGA"),
                     QStringLiteral("--date"),     day.toString(Qt::ISODate),
                     QStringLiteral("--from"),     from.toString(Qt::ISODate)};
    if (to.isValid())
        args << QStringLiteral("--to") << to.toString(Qt::ISODate);
    if (!server.isEmpty())
        args << QStringLiteral("--server") << server;
    return args;
}

QJsonObject reportOf(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object()
                                       : QJsonObject();
}

// the batches stored (a batch given up on is kept with its refusal)
int batchesOf(const QString &db)
{
    return queryValue(db,
                      QStringLiteral(
                          "SELECT COUNT(*) FROM LOTEIMPORT WHERE COALESCE(DSRESPOSTA, '') = ''"))
        .toInt();
}

// Eight imports of the same source days into different destination days.
constexpr int kImports = 8;
const QDate kLoadFrom(2024, 3, 4), kLoadTo(2024, 3, 6);
QDate loadDay(int i)
{
    return QDate(2024, 4, 1 + 3 * i);
}

// Runs the eight imports at once into `db`, the i-th through `address(i)`, and checks
// them against `reference`, where they ran one after the other.
void checkEightAtOnce(const QString &db, const QString &reference,
                      const std::function<QString(int)> &address, const char *what)
{
    std::vector<std::unique_ptr<QProcess>> imports;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kImports; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(binary(QStringLiteral("zov-import")),
                       importArgs(db, address(i), loadDay(i), kLoadFrom, kLoadTo));
        imports.push_back(std::move(process));
    }
    for (auto &process : imports) {
        QVERIFY(process->waitForFinished(120000));
        QCOMPARE(process->exitCode(), 0);
    }
    qInfo("%s: %d imports at once in %lld ms", what, kImports, timer.elapsed());
    QCOMPARE(
        queryValue(db, QStringLiteral("SELECT COUNT(*) - COUNT(DISTINCT NRCARDAPIO) FROM CARDADIA "
                                      "WHERE CDFILIAL = 'HC01'"))
            .toInt(),
        0);
    QCOMPARE(queryRows(db, kDishes), queryRows(reference, kDishes));
    QCOMPARE(queryRows(db, kHeaders), queryRows(reference, kHeaders));
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void killedServerLeavesWholeBatches();
    void undoSurvivesAKillAndARace();
    void eightImportsAtOnce();
    void twoServersShareEightImports();
    void overwritesRaceAnAppend();
    void frozenPeersAreGivenUpOn_data();
    void frozenPeersAreGivenUpOn();
    void burstOfCallsKeepsConnectionsBounded();
    void fullDiskStopsTheRunCleanly();

private:
    // the eight imports, one after the other, into a copy of the template ("" when
    // one fails)
    QString serialReference(const QString &name);

    QTemporaryDir m_dir;
    QString m_template;
};

QString TestFaults::serialReference(const QString &name)
{
    const QString reference = copyDatabase(m_template, m_dir.path(), name);
    for (int i = 0; i < kImports; ++i) {
        const Result r = run(QStringLiteral("zov-import"),
                             importArgs(reference, {}, loadDay(i), kLoadFrom, kLoadTo));
        if (r.code != 0) {
            qWarning("the serial reference import %d failed: %s", i, qPrintable(r.err));
            return {};
        }
    }
    return reference;
}

void TestFaults::initTestCase()
{
    m_template = newDatabase(m_dir.path(), QStringLiteral("template"));
    QCOMPARE(
        run(QStringLiteral("zov-db"), {QStringLiteral("init"), QStringLiteral("--db"), m_template})
            .code,
        0);
    QCOMPARE(run(QStringLiteral("zov-db"),
                 {QStringLiteral("seed-demo"), QStringLiteral("--db"), m_template,
                  QStringLiteral("--month"), QStringLiteral("2024-03-01")})
                 .code,
             0);
}

void TestFaults::killedServerLeavesWholeBatches()
{
    const QDate day(2024, 4, 1), from(2024, 3, 1), to(2024, 3, 30);
    // the month as a run without faults stores it
    const QString reference = copyDatabase(m_template, m_dir.path(), QStringLiteral("reference"));
    qint64 duration = 0;
    {
        ServerProcess server(reference);
        QVERIFY(server.started());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(run(QStringLiteral("zov-import"),
                     importArgs(reference, server.address(), day, from, to))
                     .code,
                 0);
        duration = timer.elapsed();
    }
    const QStringList wholeDishes = queryRows(reference, kDishes);
    const QStringList wholeHeaders = queryRows(reference, kHeaders);
    QVERIFY(wholeDishes.size() > 2000);

    const int kills = qEnvironmentVariableIntValue("ZOV_SOAK_KILLS") > 0
                          ? qEnvironmentVariableIntValue("ZOV_SOAK_KILLS")
                          : 5;
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("killing the server %d times, seed %u", kills, seed);
    QRandomGenerator random(seed);
    int partial = 0;
    for (int k = 0; k < kills; ++k) {
        const QString db =
            copyDatabase(m_template, m_dir.path(), QStringLiteral("killed%1").arg(k));
        {
            ServerProcess server(db);
            QVERIFY(server.started());
            QProcess import;
            import.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            // the client waits for a server that does not come back for its deadline
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("ZOV_CALL_DEADLINE_MS"), QStringLiteral("3000"));
            import.setProcessEnvironment(env);
            import.start(binary(QStringLiteral("zov-import")),
                         importArgs(db, server.address(), day, from, to));
            QVERIFY(import.waitForStarted());
            // anywhere in the run, from its first calls to its last batches
            QThread::msleep(random.bounded(static_cast<quint32>(duration / 20),
                                           static_cast<quint32>(duration)));
            server.kill();
            QVERIFY(import.waitForFinished(60000));
        }
        // every batch stored has its audit, written in its transaction
        QCOMPARE(queryValue(db, QStringLiteral("SELECT COUNT(*) FROM LOTEIMPORT L WHERE "
                                               "COALESCE(L.DSRESPOSTA, '') = '' AND NOT EXISTS "
                                               "(SELECT 1 FROM LOTEAUDITORIA A WHERE A.IDLOTE = "
                                               "L.IDLOTE)"))
                     .toInt(),
                 0);
        // SQLite checks its file; PostgreSQL recovers from its own log at the next start
        if (!onPostgres())
            QCOMPARE(queryValue(db, QStringLiteral("PRAGMA integrity_check")).toString(),
                     QStringLiteral("ok"));
        // every day and diet stored holds its whole batch
        const QStringList dishes = queryRows(db, kDishes);
        for (const QString &header :
             queryRows(db, QStringLiteral("SELECT DTCARDAPIO, CDDIETPAD FROM CARDADIA WHERE "
                                          "DTCARDAPIO >= '2024-04-01'"))) {
            const auto of = [&header](const QStringList &all) {
                QStringList mine;
                for (const QString &row : all) {
                    if (row.startsWith(header + QLatin1Char('|')))
                        mine.append(row);
                }
                return mine;
            };
            QCOMPARE(of(dishes), of(wholeDishes));
        }
        partial += dishes.size() < wholeDishes.size() ? 1 : 0;
        // the same import again completes the month: nothing twice, nothing missing
        ServerProcess server(db);
        QVERIFY(server.started());
        const Result again =
            run(QStringLiteral("zov-import"), importArgs(db, server.address(), day, from, to));
        QVERIFY2(again.code == 0, qPrintable(again.err));
        QCOMPARE(queryRows(db, kDishes), wholeDishes);
        QCOMPARE(queryRows(db, kHeaders), wholeHeaders);
        QVERIFY(server.stop());
    }
    qInfo("%d of %d kills interrupted the month", partial, kills);

    // a server restarted during the month (as systemd restarts it, two seconds): the
    // client waits for it and the month completes as one run
    const QString db = copyDatabase(m_template, m_dir.path(), QStringLiteral("restarted"));
    ServerProcess server(db);
    QVERIFY(server.started());
    QProcess import;
    import.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    import.start(binary(QStringLiteral("zov-import")),
                 importArgs(db, server.address(), day, from, to));
    QVERIFY(import.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(batchesOf(db) > 3, 30000);
    server.kill();
    QThread::msleep(2000);
    QVERIFY(server.restart());
    QVERIFY(import.waitForFinished(60000));
    QCOMPARE(import.exitCode(), 0);
    QCOMPARE(queryRows(db, kDishes), wholeDishes);
    QCOMPARE(queryRows(db, kHeaders), wholeHeaders);
}

// An overwrite of a month undone while the server is killed, then by two servers at
// once: every day and diet is restored once, whole.
void TestFaults::undoSurvivesAKillAndARace()
{
    const QDate day(2024, 4, 1), from(2024, 3, 1), to(2024, 3, 30);
    const QString db = copyDatabase(m_template, m_dir.path(), QStringLiteral("undo"));
    const QString report = m_dir.filePath(QStringLiteral("undo.json"));
    QString runId;
    QStringList dishes, headers;
    {
        ServerProcess server(db);
        QVERIFY(server.started());
        QCOMPARE(run(QStringLiteral("zov-import"),
                     importArgs(db, server.address(), day, from, QDate(2024, 3, 15)))
                     .code,
                 0);
        dishes = queryRows(db, kDishes);
        headers = queryRows(db, kHeaders);
        const Result overwrite =
            run(QStringLiteral("zov-import"),
                importArgs(db, server.address(), day, from, to) +
                    QStringList{QStringLiteral("--mode"), QStringLiteral("overwrite"),
                                QStringLiteral("--rounding"), QStringLiteral("5"),
                                QStringLiteral("--report"), report});
        QCOMPARE(overwrite.code, 0);
        runId = reportOf(report).value(QStringLiteral("runId")).toString();
        QVERIFY(queryRows(db, kDishes) != dishes);
        QProcess undo;
        undo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        undo.start(binary(QStringLiteral("zov-import")),
                   {QStringLiteral("--db"), db, QStringLiteral("--server"), server.address(),
                    QStringLiteral("--undo"), runId});
        QVERIFY(undo.waitForStarted());
        QThread::msleep(QRandomGenerator::global()->bounded(20, 160));
        server.kill();
        QVERIFY(undo.waitForFinished(60000));
    }
    ServerProcess first(db), second(db);
    QVERIFY(first.started() && second.started());
    std::vector<std::unique_ptr<QProcess>> undos;
    for (const ServerProcess *server : {&first, &second}) {
        auto undo = std::make_unique<QProcess>();
        undo->start(binary(QStringLiteral("zov-import")),
                    {QStringLiteral("--db"), db, QStringLiteral("--server"), server->address(),
                     QStringLiteral("--undo"), runId, QStringLiteral("--report"),
                     QStringLiteral("-")});
        undos.push_back(std::move(undo));
    }
    int restored = 0;
    for (auto &undo : undos) {
        QVERIFY(undo->waitForFinished(60000));
        QVERIFY2(undo->exitCode() == 0, undo->readAllStandardError().constData());
        restored += static_cast<int>(undo->readAllStandardOutput().count("  restaurado\n"));
    }
    qInfo("the two undos at once restored %d days and diets the killed one had left", restored);
    QCOMPARE(queryRows(db, kDishes), dishes);
    QCOMPARE(queryRows(db, kHeaders), headers);
    QCOMPARE(queryValue(db, QStringLiteral("SELECT COUNT(*) FROM IMPORTACAODIA WHERE "
                                           "DTHRDESFEITA IS NULL AND IDIMPORTACAO = '%1'")
                                .arg(runId))
                 .toInt(),
             0);
    QVERIFY(first.stop() && second.stop());
}

void TestFaults::eightImportsAtOnce()
{
    const QString reference = serialReference(QStringLiteral("serial"));
    QVERIFY(!reference.isEmpty());
    for (int round = 0; round < 3; ++round) {
        const QString db =
            copyDatabase(m_template, m_dir.path(), QStringLiteral("load%1").arg(round));
        ServerProcess server(db);
        QVERIFY(server.started());
        checkEightAtOnce(
            db, reference, [&](int) { return server.address(); },
            qPrintable(QStringLiteral("round %1").arg(round + 1)));
        if (QTest::currentTestFailed())
            return;
        QVERIFY(server.stop());
    }
}

// Two servers over one database, four imports on each at once: the same rows as
// the eight run one after the other, and menu numbers handed out once.
void TestFaults::twoServersShareEightImports()
{
    const QString reference = serialReference(QStringLiteral("serial2"));
    QVERIFY(!reference.isEmpty());
    const QString db = copyDatabase(m_template, m_dir.path(), QStringLiteral("twoservers"));
    ServerProcess first(db), second(db);
    QVERIFY(first.started() && second.started());
    checkEightAtOnce(
        db, reference, [&](int i) { return (i % 2 ? second : first).address(); }, "two servers");
    if (QTest::currentTestFailed())
        return;
    QVERIFY(first.stop() && second.stop());
}

// An append and two overwrites of one day and diet at once, over two servers: every
// run either stores its batch or ends with a clear error and stores nothing, and the
// day ends as some serial order of the runs that stored gives.
void TestFaults::overwritesRaceAnAppend()
{
    const QDate day(2024, 4, 2);
    const QStringList diet{QStringLiteral("--diets"), QStringLiteral("0001")};
    // the day already has a menu, with half its slots emptied
    const QString before = copyDatabase(m_template, m_dir.path(), QStringLiteral("racebase"));
    QCOMPARE(
        run(QStringLiteral("zov-import"), importArgs(before, {}, day, QDate(2024, 3, 4), {}) + diet)
            .code,
        0);
    execute(before,
            QStringLiteral(
                "DELETE FROM COMPCARD WHERE DTCARDAPIO = '2024-04-02' AND CDDIETPAD = '0001' "
                "AND MOD(NRSEQPRATCAR, 2) = 0"));
    const QString dayDishes =
        QStringLiteral("SELECT C.NRSEQPRATCAR, C.CDPRATO, ROUND(CAST(C.VRPECONSCARD AS NUMERIC), "
                       "6) FROM CARDADIA H JOIN COMPCARD C "
                       "ON C.CDFILIAL = H.CDFILIAL AND C.NRCARDAPIO = H.NRCARDAPIO WHERE "
                       "H.DTCARDAPIO = '2024-04-02' AND "
                       "H.CDDIETPAD = '0001' AND H.CDSERVFILI = '00001'");
    struct Race
    {
        QString name;
        QDate source;
        QString mode;
    };
    const QList<Race> runs{
        {QStringLiteral("append"), QDate(2024, 3, 5), QStringLiteral("append")},
        {QStringLiteral("overwrite 1"), QDate(2024, 3, 6), QStringLiteral("overwrite")},
        {QStringLiteral("overwrite 2"), QDate(2024, 3, 7), QStringLiteral("overwrite")}};
    const auto argsOf = [&](const QString &db, const QString &server, const Race &r) {
        return importArgs(db, server, day, r.source, {}) + diet +
               QStringList{QStringLiteral("--mode"), r.mode};
    };
    // the day after the stored runs, one after the other in this order
    int serial = 0;
    const auto serially = [&](const QList<int> &order) {
        const QString db =
            copyDatabase(before, m_dir.path(), QStringLiteral("order%1").arg(serial++));
        for (const int i : order)
            run(QStringLiteral("zov-import"), argsOf(db, {}, runs.at(i)));
        return queryRows(db, dayDishes);
    };

    int conflicts = 0;
    for (int round = 0; round < 3; ++round) {
        const QString db = copyDatabase(before, m_dir.path(), QStringLiteral("race%1").arg(round));
        ServerProcess first(db), second(db);
        QVERIFY(first.started() && second.started());
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int i = 0; i < runs.size(); ++i) {
            auto process = std::make_unique<QProcess>();
            process->start(binary(QStringLiteral("zov-import")),
                           argsOf(db, (i == 1 ? second : first).address(), runs.at(i)));
            processes.push_back(std::move(process));
        }
        QList<int> stored;
        for (int i = 0; i < runs.size(); ++i) {
            QVERIFY(processes[i]->waitForFinished(60000));
            const int code = processes[i]->exitCode();
            const QString err = QString::fromUtf8(processes[i]->readAllStandardError());
            if (code == 0) {
                stored.append(i);
            } else {
                // a clear error: the server's text for the conflicting batch
                QCOMPARE(code, 2);
                QVERIFY2(err.contains(QStringLiteral("Importação não gravada")) ||
                             err.contains(QStringLiteral("Nada deste dia e dieta foi gravado")),
                         qPrintable(err));
                ++conflicts;
            }
        }
        QVERIFY(!stored.isEmpty());
        const QStringList raced = queryRows(db, dayDishes);
        QList<QStringList> possible;
        QList<int> order = stored;
        std::sort(order.begin(), order.end());
        do {
            possible.append(serially(order));
        } while (std::next_permutation(order.begin(), order.end()));
        QVERIFY2(possible.contains(raced), qPrintable(raced.join(QLatin1Char(' '))));
        QVERIFY(first.stop() && second.stop());
    }
    qInfo("3 races of an append and two overwrites: %d runs refused with a conflict", conflicts);
}

namespace {
// The backends serving `db` but the one asking (PostgreSQL).
QList<qint64> backendsOf(const QString &db)
{
    QList<qint64> pids;
    for (const QString &pid : queryRows(db, QStringLiteral("SELECT pid FROM pg_stat_activity "
                                                           "WHERE datname = current_database() "
                                                           "AND pid <> pg_backend_pid()")))
        pids.append(pid.toLongLong());
    return pids;
}

} // namespace

void TestFaults::frozenPeersAreGivenUpOn_data()
{
    QTest::addColumn<QString>("frozen");
    QTest::addColumn<int>("deadlineMs");
    QTest::addColumn<bool>("resumed"); // while the client still asks about its batches
    QTest::newRow("the application server") << QStringLiteral("server") << 2000 << false;
    // the server answers again after the client gave up on the stream: the client
    // learns what became of the batches it had sent, and its report says it
    QTest::newRow("the application server, resumed") << QStringLiteral("server") << 2000 << true;
    // the server is stopped while its calls wait on the database, well before the
    // client's deadline: its grace period ends them
    QTest::newRow("the database") << QStringLiteral("database") << 6000 << false;
}

void TestFaults::frozenPeersAreGivenUpOn()
{
    QFETCH(QString, frozen);
    QFETCH(int, deadlineMs);
    QFETCH(bool, resumed);
    const bool database = frozen == QLatin1String("database");
    if (database && !onPostgres())
        QSKIP("an SQLite file does not freeze");
    // each row on a database of its own
    const QString name = QStringLiteral("frozen%1%2").arg(frozen).arg(resumed);
    const QString db = copyDatabase(m_template, m_dir.path(), name);
    ServerProcess server(db, {QStringLiteral("--grace"), QStringLiteral("2")});
    QVERIFY(server.started());
    const QString report = m_dir.filePath(name + QStringLiteral(".json"));
    QProcess import;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZOV_CALL_DEADLINE_MS"), QString::number(deadlineMs));
    import.setProcessEnvironment(env);
    import.start(
        binary(QStringLiteral("zov-import")),
        importArgs(db, server.address(), QDate(2024, 4, 1), QDate(2024, 3, 1), QDate(2024, 3, 30)) +
            QStringList{QStringLiteral("--report"), report});
    QTRY_VERIFY_WITH_TIMEOUT(batchesOf(db) > 2, 30000);
    const QList<qint64> backends = database ? backendsOf(db) : QList<qint64>();
    QElapsedTimer timer;
    timer.start();
    if (!database)
        server.signal(SIGSTOP);
    for (const qint64 pid : backends)
        ::kill(static_cast<pid_t>(pid), SIGSTOP);
    qint64 stoppedAfter = 0;
    bool stopped = true;
    if (database) {
        QThread::msleep(300);
        QElapsedTimer stopping;
        stopping.start();
        stopped = server.stop(10000);
        stoppedAfter = stopping.elapsed();
        qInfo("frozen database: the server stopped %lld ms after SIGTERM (grace 2 s)",
              stoppedAfter);
    }
    if (resumed) {
        QThread::msleep(deadlineMs + 1500);
        server.signal(SIGCONT);
    }
    const bool ended = import.waitForFinished(45000);
    const qint64 gaveUp = timer.elapsed();
    const QString err = QString::fromUtf8(import.readAllStandardError());
    qInfo("frozen %s: the client gave up after %lld ms (deadline %d ms)", qPrintable(frozen),
          gaveUp, deadlineMs);
    for (const qint64 pid : backends)
        ::kill(static_cast<pid_t>(pid), SIGCONT);
    if (!database && !resumed) {
        server.signal(SIGCONT);
        QThread::msleep(1500);
    }
    QVERIFY2(ended, "the client waited for the frozen peer");
    QVERIFY(stopped);
    QVERIFY2(stoppedAfter < 2000 + 1500, qPrintable(QString::number(stoppedAfter)));
    // a batch is sent twice at most, each with the deadline; then the server is asked
    // about the batches without an answer, twice at most, two seconds apart
    QVERIFY2(gaveUp < 5 * deadlineMs + 3000 + 2500, qPrintable(QString::number(gaveUp)));
    QCOMPARE(import.exitCode(), 1);
    QVERIFY2(err.contains(QStringLiteral("respond")) || err.contains(QStringLiteral("acessível")),
             qPrintable(err));
    // nothing is stored after the client gave up but the batch that was on its way
    // then, which the client could not know about
    const QJsonObject said = reportOf(report);
    const int reported = said.value(QStringLiteral("batches")).toInt();
    const int stored = batchesOf(db);
    int unknown = 0;
    for (const QJsonValue &day : said.value(QStringLiteral("days")).toArray())
        unknown += day.toObject().value(QStringLiteral("unknown")).toBool() ? 1 : 0;
    // the report says what the database holds; a batch the server never answered for is
    // "talvez gravado", and once the server answers again the report knows
    QVERIFY2(stored == reported || (stored > reported && stored <= reported + unknown),
             qPrintable(QStringLiteral("%1 stored, %2 reported, %3 unknown")
                            .arg(stored)
                            .arg(reported)
                            .arg(unknown)));
    if (resumed) {
        QCOMPARE(unknown, 0);
        QCOMPARE(stored, reported);
    }
    // the error says what stays stored and what to do; a call to the server that failed
    // is named with its status after it (a frozen database may stop the workstation's
    // own query first)
    QStringList lines{zov::text("IMPORT_FAILED_TODO")};
    if (!database)
        lines.append(zov::text("ERROR_DETAILS"));
    if (reported == 0 && unknown == 0 && !resumed)
        lines.append(zov::text("IMPORT_FAILED_NOTHING"));
    for (const QString &line : std::as_const(lines))
        QVERIFY2(err.contains(line), qPrintable(err));
    QVERIFY2(!err.contains(QStringLiteral("nada do dia e dieta em andamento")), qPrintable(err));
    QThread::msleep(1000);
    QCOMPARE(batchesOf(db), stored);
}

void TestFaults::burstOfCallsKeepsConnectionsBounded()
{
    const QString db = copyDatabase(m_template, m_dir.path(), QStringLiteral("burst"));
    ServerProcess server(db, {QStringLiteral("--threads"), QStringLiteral("8")});
    QVERIFY(server.started());
    // 120 calls at once, each from a client of its own
    std::vector<std::unique_ptr<QProcess>> calls;
    for (int i = 0; i < 120; ++i) {
        auto call = std::make_unique<QProcess>();
        call->start(binary(QStringLiteral("zov-rpc")),
                    {QStringLiteral("--server"), server.address(), QStringLiteral("GetCardOrigem"),
                     QStringLiteral("\"HC01\""), QStringLiteral("\"00001\""),
                     QStringLiteral("{\"date\":\"2024-03-01\"}"),
                     QStringLiteral("{\"date\":\"2024-03-31\"}"),
                     QStringLiteral("\"_0001_0002_0003_\"")});
        calls.push_back(std::move(call));
    }
    int answered = 0;
    int peak = 0;
    for (auto &call : calls) {
        if (onPostgres())
            peak = std::max<int>(peak, static_cast<int>(backendsOf(db).size()));
        QVERIFY(call->waitForFinished(60000));
        answered += call->exitCode() == 0 ? 1 : 0;
    }
    qInfo("burst: %d of 120 answered", answered);
    // every call was served, some after waiting their turn
    QCOMPARE(answered, 120);
    if (onPostgres()) {
        QThread::msleep(2000);
        const int after = static_cast<int>(backendsOf(db).size());
        qInfo("burst: at most %d connections of the server during it, %d after it", peak, after);
        QVERIFY2(peak <= 8, qPrintable(QString::number(peak)));
        QVERIFY2(after <= 8, qPrintable(QString::number(after)));
    }
}

void TestFaults::fullDiskStopsTheRunCleanly()
{
    if (onPostgres())
        QSKIP("the full disk is simulated on the SQLite file");
    const QString db = copyDatabase(m_template, m_dir.path(), QStringLiteral("full"));
    const QString report = m_dir.filePath(QStringLiteral("full.json"));
    const qint64 size = QFileInfo(db).size();
    // a server whose files may not grow past the database and a little more: the disk
    // is full before the month is stored (SIGXFSZ ignored, so the writes fail)
    QProcess limited;
    const int port = freePort();
    limited.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    limited.start(QStringLiteral("bash"),
                  {QStringLiteral("-c"),
                   QStringLiteral("trap '' XFSZ; ulimit -f %1; exec \"$0\" --db \"$1\" --listen "
                                  "127.0.0.1:%2")
                       .arg(size / 1024 + 96)
                       .arg(port),
                   binary(QStringLiteral("zov-server")), db});
    QVERIFY(waitForPort(port));
    const QStringList month = importArgs(db, QStringLiteral("127.0.0.1:%1").arg(port),
                                         QDate(2024, 4, 1), QDate(2024, 3, 1), QDate(2024, 3, 30));
    const Result full =
        run(QStringLiteral("zov-import"), month + QStringList{QStringLiteral("--report"), report});
    limited.terminate();
    limited.waitForFinished();
    // a database that fails is no refusal: the run stopped
    QCOMPARE(full.code, 1);
    // the database's own words for it: "database or disk is full", "disk I/O error"
    QVERIFY2(full.err.contains(QStringLiteral("disk")), qPrintable(full.err));
    // the report says what the database holds
    const QJsonObject stored = reportOf(report);
    QVERIFY(!stored.value(QStringLiteral("finished")).toBool());
    QVERIFY(stored.value(QStringLiteral("batches")).toInt() > 0);
    QCOMPARE(
        stored.value(QStringLiteral("totals")).toObject().value(QStringLiteral("copied")).toInt(),
        queryValue(db, QStringLiteral("SELECT COUNT(*) FROM COMPCARD C JOIN CARDADIA H ON "
                                      "H.CDFILIAL = C.CDFILIAL AND H.NRCARDAPIO = C.NRCARDAPIO "
                                      "WHERE H.DTCARDAPIO >= '2024-04-01'"))
            .toInt());
    // with room again, the same append import completes the month
    ServerProcess server(db);
    QVERIFY(server.started());
    const Result rerun =
        run(QStringLiteral("zov-import"), importArgs(db, server.address(), QDate(2024, 4, 1),
                                                     QDate(2024, 3, 1), QDate(2024, 3, 30)));
    QVERIFY2(rerun.code == 0 || rerun.code == 3, qPrintable(rerun.err));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
