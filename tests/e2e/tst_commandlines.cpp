// The command lines as a user runs them: zov-db, zov-server, zov-rpc and zov-import
// over a demo database in a temporary folder.

#include "messages.h"
#include "processes.h"
#include "testbackend.h"
#include "texts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <unistd.h>

#include <csignal>
#include <sys/stat.h>

using namespace zov::test;

namespace {

QString msg(const char *key)
{
    return zov::TMessages::Msg(QLatin1String(key));
}

} // namespace

class TestCommandLines : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void importUsageErrors_data();
    void importUsageErrors();
    void importExitCodes_data();
    void importExitCodes();
    void importThroughAServer();
    void dryRunAndReportFiles();
    void unreachableServerIsNamed();
    void databaseToolRefusesBadTargets_data();
    void databaseToolRefusesBadTargets();
    void schemaCheckAndUpgrade_data();
    void schemaCheckAndUpgrade();
    void serverRefusesBadDatabases_data();
    void serverRefusesBadDatabases();
    void serverStopsCleanlyOnSigterm_data();
    void serverStopsCleanlyOnSigterm();
    void protocolExamplesAnswer();
    void everyProgramAnswersHelpAndVersion_data();
    void everyProgramAnswersHelpAndVersion();
    void standardToolsProbeTheServer();

private:
    QString dbPath() const { return m_db; }
    QString countRows(const QString &table) const;
    QStringList importArgs(const QStringList &extra) const;

    QTemporaryDir m_root;
    QString m_template;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_db;
};

void TestCommandLines::initTestCase()
{
    // the demo hospital once; every test works on a copy of it
    m_template = newDatabase(m_root.path(), QStringLiteral("template"));
    QCOMPARE(
        run(QStringLiteral("zov-db"), {QStringLiteral("init"), QStringLiteral("--db"), m_template})
            .code,
        0);
    const Result seeded = run(QStringLiteral("zov-db"),
                              {QStringLiteral("seed-demo"), QStringLiteral("--db"), m_template,
                               QStringLiteral("--month"), QStringLiteral("2024-03-01")});
    QVERIFY2(seeded.code == 0, qPrintable(seeded.err));
}

void TestCommandLines::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_db = copyDatabase(m_template, m_dir->path(), QStringLiteral("demo"));
}

QString TestCommandLines::countRows(const QString &table) const
{
    return queryRows(m_db,
                     QStringLiteral("SELECT COUNT(*), COALESCE(SUM(LENGTH(NRCARDAPIO)), 0) FROM %1")
                         .arg(table))
        .join(QLatin1Char(';'));
}

QStringList TestCommandLines::importArgs(const QStringList &extra) const
{
    QStringList args{QStringLiteral("--db"),       dbPath(),
                     QStringLiteral("--branch"),   QStringLiteral("HC01"),
                     QStringLiteral("--service"),  QStringLiteral("1"),
                     QStringLiteral("--operator"), QStringLiteral("TESTE")};
    return args + extra;
}

void TestCommandLines::importUsageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("says");
    QTest::addColumn<bool>("withoutLogin"); // no --operator, no login name anywhere
    const QStringList good{QStringLiteral("--date"), QStringLiteral("2024-04-01"),
                           QStringLiteral("--from"), QStringLiteral("2024-03-04")};
    QTest::newRow("unknown flag") << good + QStringList{QStringLiteral("--colour"),
                                                        QStringLiteral("x")}
                                  << QStringLiteral("--colour") << false;
    QTest::newRow("date not ISO") << QStringList{QStringLiteral("--date"),
                                                 QStringLiteral("01/04/2024"),
                                                 QStringLiteral("--from"),
                                                 QStringLiteral("2024-03-04")}
                                  << QStringLiteral("01/04/2024") << false;
    QTest::newRow("impossible date")
        << QStringList{QStringLiteral("--date"), QStringLiteral("2024-02-30"),
                       QStringLiteral("--from"), QStringLiteral("2024-03-04")}
        << QStringLiteral("2024-02-30") << false;
    QTest::newRow("rounding not a number")
        << good + QStringList{QStringLiteral("--rounding"), QStringLiteral("um")}
        << QStringLiteral("um") << false;
    QTest::newRow("month not a first day")
        << good + QStringList{QStringLiteral("--month"), QStringLiteral("2024-04-02")}
        << QStringLiteral("2024-04-02") << false;
    QTest::newRow("operator too long")
        << good + QStringList{QStringLiteral("--operator"), QStringLiteral("ABCDEFGHIJKLM")}
        << QStringLiteral("ABCDEFGHIJKLM") << false;
    QTest::newRow("no source date")
        << QStringList{QStringLiteral("--date"), QStringLiteral("2024-04-01")}
        << QStringLiteral("--from") << false;
    QTest::newRow("bad mode") << good + QStringList{QStringLiteral("--mode"),
                                                    QStringLiteral("replace")}
                              << QStringLiteral("replace") << false;
    QTest::newRow("unknown branch")
        << good + QStringList{QStringLiteral("--branch"), QStringLiteral("ZZ99")}
        << QStringLiteral("ZZ99") << false;
    QTest::newRow("unknown service")
        << good + QStringList{QStringLiteral("--service"), QStringLiteral("77")}
        << QStringLiteral("00077") << false;
    QTest::newRow("rounding with four decimals")
        << good + QStringList{QStringLiteral("--rounding"), QStringLiteral("9.9999")}
        << QStringLiteral("9.9999") << false;
    QTest::newRow("an import's options with --undo")
        << good + QStringList{QStringLiteral("--undo"), QStringLiteral("x")}
        << QStringLiteral("não vale com --undo") << false;
    QTest::newRow("until not ISO")
        << good + QStringList{QStringLiteral("--until"), QStringLiteral("30/06/2024")}
        << QStringLiteral("30/06/2024") << false;
    QTest::newRow("align not weekday")
        << good + QStringList{QStringLiteral("--until"), QStringLiteral("2024-06-30"),
                              QStringLiteral("--align"), QStringLiteral("month")}
        << QStringLiteral("\"month\"") << false;
    QTest::newRow("align without until")
        << good + QStringList{QStringLiteral("--align"), QStringLiteral("weekday")}
        << QStringLiteral("--until") << false;
    // MARIA's token, and another operator named: said before anything is sent
    QTest::newRow("an operator other than the token's")
        << good + QStringList{QStringLiteral("--token-file"), QStringLiteral("@MARIA@")}
        << QStringLiteral("é do operador MARIA") << false;
    QTest::newRow("no operator and no login name") << good << QStringLiteral("--operator") << true;
}

void TestCommandLines::importUsageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, says);
    QFETCH(bool, withoutLogin);
    // the later of a repeated option is refused too, so build the list without repeats
    QStringList args = importArgs({});
    QFile maria(m_dir->filePath(QStringLiteral("maria.token")));
    QVERIFY(maria.open(QIODevice::WriteOnly) && maria.write("zov1.TUFSSUE.eHh4eA\n") > 0);
    maria.close();
    arguments.replaceInStrings(QStringLiteral("@MARIA@"), maria.fileName());
    for (int i = 0; i + 1 < arguments.size(); i += 2) {
        const qsizetype at = args.indexOf(arguments.at(i));
        if (at >= 0)
            args[at + 1] = arguments.at(i + 1);
        else
            args << arguments.at(i) << arguments.at(i + 1);
    }
    const QString before =
        countRows(QStringLiteral("CARDADIA")) + countRows(QStringLiteral("COMPCARD"));
    Result r;
    if (withoutLogin) {
        // as a service runs it: no LOGNAME or USER, a user the system has no name for
        const OtherUserProgram program(QStringLiteral("zov-import"));
        if (!program.unavailable().isEmpty())
            QSKIP(qPrintable(program.unavailable()));
        args.removeAt(args.indexOf(QStringLiteral("--operator")) + 1);
        args.removeOne(QStringLiteral("--operator"));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("LOGNAME"));
        env.remove(QStringLiteral("USER"));
        p.setProcessEnvironment(env);
        program.start(p, args);
        QVERIFY(p.waitForFinished(30000));
        r.code = p.exitCode();
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
    } else {
        r = run(QStringLiteral("zov-import"), args);
    }
    QCOMPARE(r.code, 64);
    QVERIFY2(r.err.contains(says), qPrintable(r.err));
    QVERIFY(r.err.contains(QStringLiteral("Uso: zov-import")));
    QVERIFY(r.out.isEmpty());
    QCOMPARE(countRows(QStringLiteral("CARDADIA")) + countRows(QStringLiteral("COMPCARD")), before);
}

void TestCommandLines::importExitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<bool>("stores");

    QTest::newRow("success") << QStringList{QStringLiteral("--date"), QStringLiteral("2024-04-01"),
                                            QStringLiteral("--from"), QStringLiteral("2024-03-04"),
                                            QStringLiteral("--to"),   QStringLiteral("2024-03-08")}
                             << 0
                             << msg("SUCESSO") + QLatin1Char('\n') +
                                    zov::text("LEFT_OUT_SENTENCE")
                                        .arg(zov::countText("LEFT_OUT_COUNT", 45),
                                             zov::text("REASON_NO_SLOT")
                                                 .arg(QStringLiteral("GUARNIÇÃO"),
                                                      QStringLiteral("abril")))
                             << QString() << true;
    QTest::newRow("same menu") << QStringList{QStringLiteral("--date"),
                                              QStringLiteral("2024-03-05"),
                                              QStringLiteral("--from"),
                                              QStringLiteral("2024-03-04"),
                                              QStringLiteral("--to"),
                                              QStringLiteral("2024-03-06")}
                               << 2 << QString() << msg("MESMO_CARD") << false;
    QTest::newRow("range past the month")
        << QStringList{QStringLiteral("--date"), QStringLiteral("2024-04-29"),
                       QStringLiteral("--from"), QStringLiteral("2024-03-01"),
                       QStringLiteral("--to"),   QStringLiteral("2024-03-03")}
        << 2 << QString() << zov::TMessages::dataInval(QDate(2024, 3, 2)) << false;
    QTest::newRow("rounding out of range")
        << QStringList{QStringLiteral("--date"),     QStringLiteral("2024-04-01"),
                       QStringLiteral("--from"),     QStringLiteral("2024-03-04"),
                       QStringLiteral("--rounding"), QStringLiteral("10")}
        << 2 << QString() << msg("ARRE_DEVE") << false;
    // the demo hospital configures the slots of March and April only: May would get the
    // headers and not one dish, and is refused before anything is stored
    QTest::newRow("a destination month without slots")
        << QStringList{QStringLiteral("--date"), QStringLiteral("2024-05-02"),
                       QStringLiteral("--from"), QStringLiteral("2024-03-04")}
        << 2 << QString()
        << msg("MES_SEM_POSICAO").arg(QStringLiteral("05/2024"), QStringLiteral("00001 ALMOÇO"))
        << false;
    // a cycle's own checks are the screen's: refusals
    QTest::newRow("cycle until before the day")
        << QStringList{QStringLiteral("--date"),  QStringLiteral("2024-04-01"),
                       QStringLiteral("--from"),  QStringLiteral("2024-03-04"),
                       QStringLiteral("--until"), QStringLiteral("2024-03-31")}
        << 2 << QString()
        << zov::text("CYCLE_UNTIL_BEFORE")
               .arg(QStringLiteral("31/03/2024"), QStringLiteral("01/04/2024 Segunda"))
        << false;
    QTest::newRow("cycle lined up on another weekday")
        << QStringList{QStringLiteral("--date"),  QStringLiteral("2024-04-02"),
                       QStringLiteral("--from"),  QStringLiteral("2024-03-04"),
                       QStringLiteral("--to"),    QStringLiteral("2024-03-10"),
                       QStringLiteral("--until"), QStringLiteral("2024-04-30"),
                       QStringLiteral("--align"), QStringLiteral("weekday")}
        << 2 << QString()
        << zov::text("CYCLE_ALIGN_WEEKDAY")
               .arg(QStringLiteral("02/04/2024 Terça"), QStringLiteral("04/03/2024 Segunda"))
        << false;
    // every destination day a holiday of the branch: nothing imported, and said so
    QTest::newRow("no working day")
        << QStringList{QStringLiteral("--date"), QStringLiteral("2024-04-21"),
                       QStringLiteral("--from"), QStringLiteral("2024-03-04")}
        << 3 << msg("SEM_DIA_UTIL") << QString() << false;
}

void TestCommandLines::importExitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(bool, stores);
    const QString before = countRows(QStringLiteral("COMPCARD"));
    const Result r = run(QStringLiteral("zov-import"), importArgs(arguments));
    QVERIFY2(r.code == code, qPrintable(r.err));
    QCOMPARE(r.out.trimmed(), out);
    QCOMPARE(r.err.trimmed(), err);
    QCOMPARE(countRows(QStringLiteral("COMPCARD")) != before, stores);
}

void TestCommandLines::importThroughAServer()
{
    const int port = freePort();
    QProcess server;
    // the call log goes to the test's own output, so the server never waits on a full pipe
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(binary(QStringLiteral("zov-server")),
                 {QStringLiteral("--db"), dbPath(), QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:%1").arg(port)});
    QVERIFY(server.waitForStarted());
    QVERIFY(waitForPort(port));
    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);

    // zov-rpc: an answered call prints JSON, by-reference arguments included
    const Result rpc =
        run(QStringLiteral("zov-rpc"),
            {QStringLiteral("--server"), address, QStringLiteral("GetComensais"),
             QStringLiteral("\"HC01\""), QStringLiteral("\"00001\""), QStringLiteral("\"0001\""),
             QStringLiteral("{\"date\":\"2024-04-01\"}")});
    QCOMPARE(rpc.code, 0);
    const QJsonObject answer = QJsonDocument::fromJson(rpc.out.toUtf8()).object();
    QVERIFY(answer.value(QStringLiteral("value")).toObject().contains(QStringLiteral("packet")));
    QCOMPARE(answer.value(QStringLiteral("byRef"))
                 .toObject()
                 .value(QStringLiteral("3"))
                 .toObject()
                 .value(QStringLiteral("date")),
             QJsonValue(QStringLiteral("2024-04-01")));
    // a call the server refuses exits non-zero with the status
    const Result refused =
        run(QStringLiteral("zov-rpc"),
            {QStringLiteral("--server"), address, QStringLiteral("Data"), QStringLiteral("1")});
    QVERIFY(refused.code != 0);
    QVERIFY(!refused.err.isEmpty());

    const Result r = run(QStringLiteral("zov-import"),
                         importArgs({QStringLiteral("--server"), address, QStringLiteral("--date"),
                                     QStringLiteral("2024-04-01"), QStringLiteral("--from"),
                                     QStringLiteral("2024-03-04"), QStringLiteral("--mode"),
                                     QStringLiteral("overwrite")}));
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QCOMPARE(r.out.section(QLatin1Char('\n'), 0, 0), msg("SUCESSO"));
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 0);
}

void TestCommandLines::dryRunAndReportFiles()
{
    const QStringList range{QStringLiteral("--date"),     QStringLiteral("2024-04-01"),
                            QStringLiteral("--from"),     QStringLiteral("2024-03-04"),
                            QStringLiteral("--to"),       QStringLiteral("2024-03-06"),
                            QStringLiteral("--rounding"), QStringLiteral("7")};
    const auto readJson = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    };
    const auto state = [this]() -> QString {
        return queryRows(m_db, QStringLiteral("SELECT * FROM CARDSEQ")).join(QLatin1Char(';')) +
               countRows(QStringLiteral("CARDADIA")) + countRows(QStringLiteral("COMPCARD"));
    };
    const QString before = state();
    const auto menus = [this]() -> QString {
        return countRows(QStringLiteral("CARDADIA")) + countRows(QStringLiteral("COMPCARD"));
    };
    const QString menusBefore = menus();

    // a report that cannot be written stops the command before anything is stored
    const QString nowhere = m_dir->path() + QStringLiteral("/missing/report.json");
    const Result refused =
        run(QStringLiteral("zov-import"),
            importArgs(range + QStringList{QStringLiteral("--report"), nowhere}));
    QCOMPARE(refused.code, 64);
    QVERIFY2(
        refused.err.startsWith(zov::text("CLI_BAD_REPORT_FILE").section(QLatin1Char('%'), 0, 0)),
        qPrintable(refused.err));

    const QString dryFile = m_dir->path() + QStringLiteral("/dry.json");
    const Result dry = run(QStringLiteral("zov-import"),
                           importArgs(range + QStringList{QStringLiteral("--dry-run"),
                                                          QStringLiteral("--report"), dryFile}));
    QVERIFY2(dry.code == 0, qPrintable(dry.err));
    QVERIFY2(dry.out.contains(zov::text("CLI_DRY_RUN_DONE").arg(msg("SUCESSO"))),
             qPrintable(dry.out));
    QCOMPARE(state(), before);
    QJsonObject preview = readJson(dryFile);
    QCOMPARE(preview.value(QStringLiteral("preview")).toBool(), true);
    QVERIFY(!preview.value(QStringLiteral("days")).toArray().isEmpty());

    const QString realFile = m_dir->path() + QStringLiteral("/real.json");
    const Result real = run(QStringLiteral("zov-import"),
                            importArgs(range + QStringList{QStringLiteral("--report"), realFile}));
    QVERIFY2(real.code == 0, qPrintable(real.err));
    QJsonObject done = readJson(realFile);
    QCOMPARE(done.value(QStringLiteral("preview")).toBool(), false);
    // the preview foretold the run, menu numbers and rounding included
    const auto withoutStored = [](QJsonObject report) {
        report.remove(QStringLiteral("preview"));
        report.remove(QStringLiteral("runId"));
        report.remove(QStringLiteral("summary")); // in the conditional, for a preview
        report.remove(QStringLiteral("head"));    // names the run and when it ran
        report.remove(QStringLiteral("startedAt"));
        QJsonArray days = report.value(QStringLiteral("days")).toArray();
        for (qsizetype i = 0; i < days.size(); ++i) {
            QJsonObject day = days.at(i).toObject();
            day.remove(QStringLiteral("stored"));
            days[i] = day;
        }
        report.insert(QStringLiteral("days"), days);
        return report;
    };
    QCOMPARE(withoutStored(done), withoutStored(preview));
    QVERIFY(state() != before);

    // the run is listed and undone: a dry run changes nothing and says what the undo
    // would do, the undo puts every row back (menu numbers stay used), a second one
    // finds nothing to do, an unknown id changes nothing
    const QString id = done.value(QStringLiteral("runId")).toString();
    const Result listed = run(QStringLiteral("zov-import"),
                              {QStringLiteral("--db"), dbPath(), QStringLiteral("--list-runs")});
    QCOMPARE(listed.code, 0);
    QVERIFY2(listed.out.startsWith(id + QLatin1Char('\t')), qPrintable(listed.out));
    const QString undoFile = m_dir->path() + QStringLiteral("/undo.json");
    const QStringList undo{QStringLiteral("--db"), dbPath(), QStringLiteral("--undo"), id};
    const Result dryUndo =
        run(QStringLiteral("zov-import"),
            undo + QStringList{QStringLiteral("--dry-run"), QStringLiteral("--report"), undoFile});
    QCOMPARE(dryUndo.code, 0);
    QVERIFY(state() != before);
    const int batches = done.value(QStringLiteral("batches")).toInt();
    QCOMPARE(readJson(undoFile).value(QStringLiteral("restored")).toInt(), batches);
    const Result undone = run(QStringLiteral("zov-import"), undo);
    QVERIFY2(undone.code == 0, qPrintable(undone.err));
    QCOMPARE(undone.out.trimmed(),
             zov::text("UNDO_DONE").arg(zov::countText("COUNT_RESTORED", batches)));
    QCOMPARE(menus(), menusBefore);
    const Result again = run(QStringLiteral("zov-import"), undo);
    QCOMPARE(again.code, 0);
    QCOMPARE(again.out.trimmed(), zov::text("UNDO_WAS_UNDONE").arg(id));
    const Result unknown =
        run(QStringLiteral("zov-import"), {QStringLiteral("--db"), dbPath(),
                                           QStringLiteral("--undo"), QStringLiteral("nenhuma")});
    QCOMPARE(unknown.code, 2);
    QCOMPARE(unknown.err.trimmed(), zov::text("RUN_UNKNOWN").arg(QStringLiteral("nenhuma")));

    // a command stopped before the import (a range over two months) leaves the
    // earlier report in the file as it was
    const Result stopped = run(
        QStringLiteral("zov-import"),
        importArgs({QStringLiteral("--date"), QStringLiteral("2024-04-10"),
                    QStringLiteral("--from"), QStringLiteral("2024-03-30"), QStringLiteral("--to"),
                    QStringLiteral("2024-04-02"), QStringLiteral("--report"), realFile}));
    QCOMPARE(stopped.code, 2);
    QCOMPARE(readJson(realFile), done);
}

void TestCommandLines::unreachableServerIsNamed()
{
    const QString address = QStringLiteral("127.0.0.1:%1").arg(freePort());
    QElapsedTimer timer;
    timer.start();
    const Result r = run(QStringLiteral("zov-import"),
                         importArgs({QStringLiteral("--server"), address, QStringLiteral("--date"),
                                     QStringLiteral("2024-04-01"), QStringLiteral("--from"),
                                     QStringLiteral("2024-03-04")}));
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(address), qPrintable(r.err));
    QVERIFY(timer.elapsed() < 20000);
}

void TestCommandLines::databaseToolRefusesBadTargets_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::newRow("init where nothing can be created")
        << QStringList{QStringLiteral("init"), QStringLiteral("--db"), QStringLiteral("@NOWHERE@")}
        << 1;
    QTest::newRow("seed a missing database")
        << QStringList{QStringLiteral("seed-demo"), QStringLiteral("--db"),
                       QStringLiteral("@MISSING@")}
        << 1;
    QTest::newRow("seed twice") << QStringList{QStringLiteral("seed-demo"), QStringLiteral("--db"),
                                               QStringLiteral("@DB@")}
                                << 1;
    QTest::newRow("month not a first day")
        << QStringList{QStringLiteral("seed-demo"), QStringLiteral("--db"), QStringLiteral("@DB@"),
                       QStringLiteral("--month"), QStringLiteral("2024-03-02")}
        << 64;
    QTest::newRow("unknown command")
        << QStringList{QStringLiteral("drop"), QStringLiteral("--db"), QStringLiteral("@DB@")}
        << 64;
    QTest::newRow("init again") << QStringList{QStringLiteral("init"), QStringLiteral("--db"),
                                               QStringLiteral("@DB@")}
                                << 0;
    const auto add = [](const char *branches, const char *role) {
        return QStringList{"operator",     "add",
                           "--db",         "@DB@",
                           "--operator",   "MARIA",
                           "--name",       "Maria",
                           "--role",       QString::fromLatin1(role),
                           "--branches",   QString::fromLatin1(branches),
                           "--token-file", "@FILE@"};
    };
    QTest::newRow("an operator of an unknown branch") << add("HC01,ZZ99", "planner") << 1;
    QTest::newRow("an operator of an unknown role") << add("HC01", "chef") << 64;
    QTest::newRow("an operator without a name")
        << add("all", "admin").mid(0, 6) + add("all", "admin").mid(8) << 64;
    QTest::newRow("a rotation of an unknown operator")
        << QStringList{"operator",   "rotate",  "--db",         "@DB@",
                       "--operator", "NINGUEM", "--token-file", "@FILE@"}
        << 1;
    QTest::newRow("old tokens kept past 90 days")
        << QStringList{"operator",         "rotate",          "--db",         "@DB@",
                       "--operator",       "MARIA",           "--token-file", "@FILE@",
                       "--keep-old-until", "2099-01-01T00:00"}
        << 64;
    QTest::newRow("operator without what to do") << QStringList{"operator", "--db", "@DB@"} << 64;
}

void TestCommandLines::databaseToolRefusesBadTargets()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    // on PostgreSQL a server nobody listens on, and a database the cluster lacks
    const QString pg = qEnvironmentVariable("ZOV_TEST_PG");
    for (QString &a : arguments) {
        a.replace(QLatin1String("@DB@"), dbPath());
        a.replace(QLatin1String("@FILE@"), m_dir->filePath(QStringLiteral("operator.token")));
        a.replace(QLatin1String("@NOWHERE@"), onPostgres()
                                                  ? QStringLiteral("postgresql://zov@127.0.0.1:1/x")
                                                  : QStringLiteral("/nonexistent/dir/x.sqlite"));
        a.replace(QLatin1String("@MISSING@"),
                  onPostgres() ? pg.section(QLatin1Char('/'), 0, -2) + QStringLiteral("/none")
                               : m_dir->filePath(QStringLiteral("none.sqlite")));
    }
    const QString before = countRows(QStringLiteral("CARDADIA"));
    const Result r = run(QStringLiteral("zov-db"), arguments);
    QCOMPARE(r.code, code);
    if (code != 0)
        QVERIFY(!r.err.isEmpty());
    // a refused operator leaves no token behind
    if (code != 0)
        QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("operator.token"))));
    QCOMPARE(countRows(QStringLiteral("CARDADIA")), before);
}

void TestCommandLines::schemaCheckAndUpgrade_data()
{
    QTest::addColumn<QStringList>("change"); // statements that make the schema differ
    QTest::addColumn<QString>("named");      // what zov-db check names
    QTest::addColumn<int>("upgrade");        // zov-db upgrade's exit code
    QTest::newRow("current") << QStringList{} << QString() << 0;
    QTest::newRow("from before versions, without the undo's tables")
        << QStringList{QStringLiteral("DROP TABLE IMPORTACAODIA"),
                       QStringLiteral("DROP TABLE IMPORTACAO"),
                       QStringLiteral("DROP TABLE ZOVSCHEMA")}
        << QStringLiteral("IMPORTACAODIA") << 0;
    QTest::newRow("a column missing")
        << QStringList{QStringLiteral("ALTER TABLE IMPORTACAODIA DROP COLUMN CDOPERDESFEZ")}
        << QStringLiteral("CDOPERDESFEZ") << 1;
    QTest::newRow("version 1, before the audit of the batches")
        << QStringList{QStringLiteral("DROP TABLE LOTEAUDITORIA"),
                       QStringLiteral("UPDATE ZOVSCHEMA SET NRVERSAO = 1")}
        << QStringLiteral("LOTEAUDITORIA") << 0;
    QTest::newRow("version 2, before the operators")
        << QStringList{QStringLiteral("DROP TABLE OPERADORCRED"),
                       QStringLiteral("DROP TABLE OPERADOR"),
                       QStringLiteral("UPDATE ZOVSCHEMA SET NRVERSAO = 2")}
        << QStringLiteral("OPERADORCRED") << 0;
    QTest::newRow("a newer database")
        << QStringList{QStringLiteral("UPDATE ZOVSCHEMA SET NRVERSAO = 4")}
        << QStringLiteral("versão 4") << 1;
}

void TestCommandLines::schemaCheckAndUpgrade()
{
    QFETCH(QStringList, change);
    QFETCH(QString, named);
    QFETCH(int, upgrade);
    for (const QString &sql : std::as_const(change))
        execute(dbPath(), sql);
    const QStringList db{QStringLiteral("--db"), dbPath()};
    const Result check = run(QStringLiteral("zov-db"), QStringList{QStringLiteral("check")} + db);
    QCOMPARE(check.code, named.isEmpty() ? 0 : 2);
    QVERIFY2(check.out.contains(named), qPrintable(check.out));
    // the server refuses a schema of another version and names the command that mends it
    const Result server =
        run(QStringLiteral("zov-server"),
            db + QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                             QStringLiteral("--check")});
    QCOMPARE(server.code, named.isEmpty() ? 0 : 1);
    if (!named.isEmpty())
        QVERIFY2(server.err.contains(QStringLiteral("zov-db upgrade")), qPrintable(server.err));
    const QString dishes = countRows(QStringLiteral("COMPCARD"));
    const Result up = run(QStringLiteral("zov-db"), QStringList{QStringLiteral("upgrade")} + db);
    QVERIFY2(up.code == upgrade, qPrintable(up.err));
    QCOMPARE(run(QStringLiteral("zov-db"), QStringList{QStringLiteral("check")} + db).code,
             upgrade == 0 ? 0 : 2);
    QCOMPARE(countRows(QStringLiteral("COMPCARD")), dishes);
}

void TestCommandLines::serverRefusesBadDatabases_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("says");
    QTest::addColumn<QString>("token"); // a token file: "mode:content", "/dev/zero", ...
    QTest::addColumn<QString>("listen");
    QTest::addColumn<int>("code");
    const QString loopback = QStringLiteral("127.0.0.1:0");
    QTest::newRow("missing") << QStringLiteral("none.sqlite") << QStringLiteral("não existe")
                             << QString() << loopback << 1;
    QTest::newRow("another schema") << QStringLiteral("other.sqlite") << QStringLiteral("CARDADIA")
                                    << QString() << loopback << 1;
    QTest::newRow("not a database") << QStringLiteral("text.sqlite")
                                    << QStringLiteral("text.sqlite") << QString() << loopback << 1;
    // what --check let through before, and could not work or was unsafe
    QTest::newRow("a file the server cannot write")
        << QStringLiteral("read-only") << QStringLiteral("só pode ser lido") << QString()
        << loopback << 1;
    QTest::newRow("a token that cannot be sent")
        << QString() << QStringLiteral("não pode ser enviada") << QStringLiteral("600:t0k3n ção")
        << loopback << 64;
    QTest::newRow("a token everyone may read, off loopback")
        << QString() << QStringLiteral("chmod 640") << QStringLiteral("644:t0k3n-x")
        << QStringLiteral("0.0.0.0:0") << 1;
    // the documented 0640 root:zov passes the secret check and meets the TLS rule next
    QTest::newRow("a token its group may read, off loopback")
        << QString() << QStringLiteral("TLS") << QStringLiteral("640:t0k3n-x")
        << QStringLiteral("0.0.0.0:0") << 1;
    QTest::newRow("a token everyone may read, on loopback")
        << QString() << QStringLiteral("Atenção") << QStringLiteral("644:t0k3n-x") << loopback << 0;
    QTest::newRow("a device for a token file") << QString() << QStringLiteral("arquivo comum")
                                               << QStringLiteral("/dev/zero") << loopback << 64;
    QTest::newRow("a token file too large")
        << QString() << QStringLiteral("grande demais")
        << QStringLiteral("600:") + QString(8000, 'x') << loopback << 64;
}

void TestCommandLines::serverRefusesBadDatabases()
{
    QFETCH(QString, file);
    QFETCH(QString, says);
    QFETCH(QString, token);
    QFETCH(QString, listen);
    QFETCH(int, code);
    QString path = file.isEmpty() ? m_db : m_dir->filePath(file);
    QStringList args{QStringLiteral("--check")};
    std::unique_ptr<OtherUserProgram> program;
    if (token.startsWith(QLatin1Char('/'))) {
        args << QStringLiteral("--token-file") << token;
    } else if (!token.isEmpty()) {
        const QString tokenFile = m_dir->filePath(QStringLiteral("token"));
        QFile f(tokenFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(token.section(QLatin1Char(':'), 1).toUtf8() + '\n');
        f.close();
        QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner;
        if (!token.startsWith(QLatin1String("600")))
            mode |= QFile::ReadGroup;
        if (token.startsWith(QLatin1String("644")))
            mode |= QFile::ReadOther;
        QVERIFY(QFile::setPermissions(tokenFile, mode));
        args << QStringLiteral("--token-file") << tokenFile;
    }
    if (file == QLatin1String("read-only")) {
        // the file and its folder belong to another user, who may only read them
        if (onPostgres())
            QSKIP("a read-only file is an SQLite case");
        program = std::make_unique<OtherUserProgram>(QStringLiteral("zov-server"));
        if (!program->unavailable().isEmpty())
            QSKIP(qPrintable(program->unavailable()));
        path = m_db;
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ReadOther |
                                                         QFile::ExeOther));
        if (const QString closed = closedToOthers(m_dir->path()); !closed.isEmpty())
            QSKIP(qPrintable(QStringLiteral("the database lies under %1, which another user "
                                            "cannot enter")
                                 .arg(closed)));
    } else if (file == QLatin1String("other.sqlite")) {
        path = newDatabase(m_dir->path(), QStringLiteral("other"));
        execute(path, QStringLiteral("CREATE TABLE FILIAL (CDFILIAL VARCHAR(4))"));
    } else if (file == QLatin1String("text.sqlite")) {
        if (onPostgres())
            QSKIP("a file that is not a database is an SQLite case");
        QFile text(path);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write(QByteArray(4096, 'x'));
    } else if (file == QLatin1String("none.sqlite") && onPostgres()) {
        path = qEnvironmentVariable("ZOV_TEST_PG").section(QLatin1Char('/'), 0, -2) +
               QStringLiteral("/none");
        says = QStringLiteral("none");
    }
    args << QStringLiteral("--db") << path << QStringLiteral("--listen") << listen;
    Result r;
    if (!program) {
        r = run(QStringLiteral("zov-server"), args, 15000);
    } else {
        QProcess p;
        program->start(p, args);
        QVERIFY(p.waitForFinished(15000));
        r.code = p.exitCode();
        r.err = QString::fromUtf8(p.readAllStandardError());
    }
    QVERIFY2(r.code == code, qPrintable(QString::number(r.code) + QLatin1Char(' ') + r.err));
    QVERIFY2(r.err.contains(says), qPrintable(r.err));
    // no token is ever printed
    if (!token.isEmpty() && !token.startsWith(QLatin1Char('/')))
        QVERIFY2(!r.err.contains(QStringLiteral("t0k3n")), qPrintable(r.err));
}

void TestCommandLines::serverStopsCleanlyOnSigterm_data()
{
    QTest::addColumn<bool>("journal");
    QTest::addColumn<QString>("line"); // what every line of the log looks like
    QTest::newRow("to a file: the local time with its offset")
        << false
        << QStringLiteral(
               "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d zov\\.");
    QTest::newRow("to the journal: the syslog priority, no time")
        << true << QStringLiteral("^<6>zov\\.");
}

void TestCommandLines::serverStopsCleanlyOnSigterm()
{
    QFETCH(bool, journal);
    QFETCH(QString, line);
    // standard error into a file, which stands for the journal's stream when
    // JOURNAL_STREAM names its device and inode
    const QString logFile = m_dir->filePath(QStringLiteral("server.log"));
    QFile(logFile).open(QIODevice::WriteOnly);
    struct stat file
    {
    };
    QVERIFY(::stat(QFile::encodeName(logFile).constData(), &file) == 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("JOURNAL_STREAM"));
    if (journal)
        env.insert(QStringLiteral("JOURNAL_STREAM"),
                   QStringLiteral("%1:%2").arg(quint64(file.st_dev)).arg(quint64(file.st_ino)));
    QProcess server;
    server.setProcessEnvironment(env);
    server.setStandardErrorFile(logFile, QIODevice::Append);
    server.start(binary(QStringLiteral("zov-server")),
                 {QStringLiteral("--db"), dbPath(), QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:0")});
    QVERIFY(server.waitForStarted());
    const auto log = [&logFile] {
        QFile f(logFile);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("no ar")), 10000);
    ::kill(static_cast<pid_t>(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    const QString said = log();
    QVERIFY(said.contains(QStringLiteral("encerrado")));
    const QRegularExpression shape(line);
    for (const QString &l : said.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(shape.match(l).hasMatch(), qPrintable(l));
}

// Every zov-rpc example of docs/protocol.md still gets an answer of the kind shown.
void TestCommandLines::protocolExamplesAnswer()
{
    const QString db = newDatabase(m_dir->path(), QStringLiteral("docs"));
    QCOMPARE(
        run(QStringLiteral("zov-db"), {QStringLiteral("init"), QStringLiteral("--db"), db}).code,
        0);
    QCOMPARE(
        run(QStringLiteral("zov-db"), {QStringLiteral("seed-demo"), QStringLiteral("--db"), db,
                                       QStringLiteral("--month"), QStringLiteral("2026-12-01")})
            .code,
        0);
    const int port = freePort();
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(binary(QStringLiteral("zov-server")),
                 {QStringLiteral("--db"), db, QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:%1").arg(port)});
    QVERIFY(waitForPort(port));

    QFile doc(qEnvironmentVariable("ZOV_SOURCE_DIR") + QStringLiteral("/docs/protocol.md"));
    QVERIFY(doc.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(doc.readAll()).split(QLatin1Char('\n'));
    static const QRegularExpression quoted(QStringLiteral("'([^']*)'"));
    int examples = 0;
    for (int i = 0; i < lines.size(); ++i) {
        if (!lines.at(i).startsWith(QLatin1String("zov-rpc ")))
            continue;
        QStringList args{QStringLiteral("--server"), QStringLiteral("127.0.0.1:%1").arg(port),
                         lines.at(i).section(QLatin1Char(' '), 1, 1)};
        for (const QRegularExpressionMatch &m : quoted.globalMatch(lines.at(i)))
            args.append(m.captured(1));
        const Result r = run(QStringLiteral("zov-rpc"), args);
        QVERIFY2(r.code == 0, qPrintable(lines.at(i) + QLatin1Char(' ') + r.err));
        // the documented answer's first value line tells its kind
        const QString shown = lines.mid(i, 40)
                                  .join(QLatin1Char('\n'))
                                  .section(QStringLiteral("\"value\": "), 1)
                                  .left(12);
        const QJsonValue value =
            QJsonDocument::fromJson(r.out.toUtf8()).object().value(QStringLiteral("value"));
        if (shown.startsWith(QLatin1Char('"')))
            QVERIFY2(value.isString(), qPrintable(lines.at(i)));
        else
            QVERIFY2(value.isObject() || value.isArray(), qPrintable(lines.at(i)));
        ++examples;
    }
    QCOMPARE(examples, 15);
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
}

void TestCommandLines::everyProgramAnswersHelpAndVersion_data()
{
    QTest::addColumn<QString>("program");
    for (const char *program : {"zov-db", "zov-server", "zov-rpc", "zov-import", "zov-host"})
        QTest::newRow(program) << QString::fromLatin1(program);
}

void TestCommandLines::everyProgramAnswersHelpAndVersion()
{
    QFETCH(QString, program);
    const Result help = run(program, {QStringLiteral("--help")});
    QCOMPARE(help.code, 0);
    QVERIFY2(help.out.startsWith(QStringLiteral("Uso: ") + program), qPrintable(help.out));
    const Result version = run(program, {QStringLiteral("--version")});
    QCOMPARE(version.code, 0);
    QVERIFY2(version.out.startsWith(program + QLatin1Char(' ')), qPrintable(version.out));
}

// gRPC's own health checking and server reflection, asked as a generic client does
// (Debian's python3-grpcio, with raw messages: no code generated for them here)
void TestCommandLines::standardToolsProbeTheServer()
{
    const QString python = QStringLiteral("/usr/bin/python3");
    if (QProcess::execute(python, {QStringLiteral("-c"), QStringLiteral("import grpc")}) != 0)
        QSKIP("needs Debian's python3-grpcio");
    const int port = freePort();
    const int metricsPort = freePort();
    QProcess server;
    server.start(binary(QStringLiteral("zov-server")),
                 {QStringLiteral("--db"), dbPath(), QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--metrics"),
                  QStringLiteral("127.0.0.1:%1").arg(metricsPort)});
    QVERIFY(waitForPort(port));
    // an import, so that the metrics have something to count
    const Result imported =
        run(QStringLiteral("zov-import"),
            importArgs({QStringLiteral("--server"), QStringLiteral("127.0.0.1:%1").arg(port),
                        QStringLiteral("--date"), QStringLiteral("2024-04-01"),
                        QStringLiteral("--from"), QStringLiteral("2024-03-04")}));
    QVERIFY2(imported.code == 0, qPrintable(imported.err));
    QProcess probe;
    probe.start(python, {QStringLiteral("-c"), QStringLiteral(R"(
import grpc, sys, urllib.request
channel = grpc.insecure_channel(sys.argv[1])
print('health', channel.unary_unary('/grpc.health.v1.Health/Check')(b'', timeout=10).hex())
for version in ('v1alpha', 'v1'):
    info = channel.stream_stream('/grpc.reflection.%s.ServerReflection/ServerReflectionInfo' % version)
    print(version, b''.join(info(iter([b'\x3a\x00']), timeout=10)))
print(urllib.request.urlopen('http://' + sys.argv[2] + '/metrics', timeout=10).read().decode())
)"),
                         QStringLiteral("127.0.0.1:%1").arg(port),
                         QStringLiteral("127.0.0.1:%1").arg(metricsPort)});
    QVERIFY(probe.waitForFinished(30000));
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    server.terminate();
    server.waitForFinished();
    QVERIFY2(out.contains(QStringLiteral("health 0801")), qPrintable(out)); // SERVING
    // grpcurl asks v1 first, older tools v1alpha
    QVERIFY2(out.contains(QRegularExpression(QStringLiteral("v1alpha b'.*zov.rpc.AppServer"))),
             qPrintable(out));
    QVERIFY2(out.contains(QRegularExpression(QStringLiteral("v1 b'.*zov.rpc.AppServer"))),
             qPrintable(out));
    // the counters moved with the import: one run, its batches stored, none refused
    const auto value = [&out](const QString &name) {
        const QRegularExpressionMatch m =
            QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(name) +
                                   QStringLiteral(" (\\d+)$"),
                               QRegularExpression::MultilineOption)
                .match(out);
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    };
    QCOMPARE(value(QStringLiteral("zov_imports_total")), 1);
    QVERIFY2(value(QStringLiteral("zov_batches_stored_total")) > 0, qPrintable(out));
    QCOMPARE(value(QStringLiteral("zov_batches_refused_total")), 0);
    QVERIFY2(value(QStringLiteral("grpc_server_handled_total{grpc_type=\"bidi_stream\","
                                  "grpc_service=\"zov.rpc.AppServer\",grpc_method="
                                  "\"InvokeStream\",grpc_code=\"OK\"}")) == 1,
             qPrintable(out));
}

QTEST_GUILESS_MAIN(TestCommandLines)
#include "tst_commandlines.moc"
