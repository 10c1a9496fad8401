// Faults and load, end to end: the server killed at random moments of a month
// import, and eight imports at once against one server. Long: CI runs a few kills,
// "./run soak" many (ZOV_SOAK_KILLS).

#include "processes.h"

#include <QDate>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace zov::test;

namespace {

const QString kBranch = QStringLiteral("HC01");

QVariant scalar(const QString &db, const QString &sql)
{
    const QString name = QStringLiteral("scalar");
    QVariant value;
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        c.setDatabaseName(db);
        c.open();
        QSqlQuery q(c);
        if (q.exec(sql) && q.next())
            value = q.value(0);
    }
    QSqlDatabase::removeDatabase(name);
    return value;
}

QStringList rows(const QString &db, const QString &sql)
{
    const QString name = QStringLiteral("rows");
    QStringList result;
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        c.setDatabaseName(db);
        c.open();
        QSqlQuery q(c);
        q.exec(sql);
        while (q.next()) {
            QStringList cells;
            for (int i = 0; q.value(i).isValid(); ++i)
                cells.append(q.value(i).toString());
            result.append(cells.join(QLatin1Char('|')));
        }
    }
    QSqlDatabase::removeDatabase(name);
    result.sort();
    return result;
}

void copyDatabase(const QString &from, const QString &to)
{
    const QString name = QStringLiteral("copy");
    {
        QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        c.setDatabaseName(from);
        c.open();
        QSqlQuery q(c);
        q.prepare(QStringLiteral("VACUUM INTO ?"));
        q.addBindValue(to);
        q.exec();
    }
    QSqlDatabase::removeDatabase(name);
}

// What an import stored in April, menu numbers and stamps aside: per day and diet,
// the header's estimates and every dish.
const QString kDishes = QStringLiteral(
    "SELECT H.DTCARDAPIO, H.CDDIETPAD, C.NRSEQPRATCAR, C.NRORDPRATCAR, C.CDPRATO, C.NMPRATO, "
    "ROUND(C.VRPECONSCARD, 6), C.CDSERVFILI FROM CARDADIA H JOIN COMPCARD C ON C.CDFILIAL = H.CDFILIAL "
    "AND C.NRCARDAPIO = H.NRCARDAPIO WHERE H.DTCARDAPIO >= '2024-04-01'");
const QString kHeaders = QStringLiteral(
    "SELECT DTCARDAPIO, CDDIETPAD, QTCOMESTICAR, QTCLIESTICAR, QTFUNESTICAR, QTDOAESTICAR, QTESTITURNO1, "
    "QTESTITURNO2, QTESTITURNO3, DTMESCARD FROM CARDADIA WHERE DTCARDAPIO >= '2024-04-01'");

QStringList importArgs(const QString &db, const QString &server, const QDate &day, const QDate &from,
                       const QDate &to)
{
    QStringList args{QStringLiteral("--db"), db, QStringLiteral("--branch"), kBranch, QStringLiteral("--service"),
                     QStringLiteral("1"), QStringLiteral("--operator"), QStringLiteral("CARGA"),
                     QStringLiteral("--date"), day.toString(Qt::ISODate), QStringLiteral("--from"),
                     from.toString(Qt::ISODate), QStringLiteral("--to"), to.toString(Qt::ISODate)};
    if (!server.isEmpty())
        args << QStringLiteral("--server") << server;
    return args;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void killedServerLeavesWholeBatches();
    void eightImportsAtOnce();

private:
    QTemporaryDir m_dir;
    QString m_template;
};

void TestFaults::initTestCase()
{
    m_template = m_dir.filePath(QStringLiteral("template.sqlite"));
    QCOMPARE(run(QStringLiteral("zov-db"), {QStringLiteral("init"), QStringLiteral("--db"), m_template}).code, 0);
    QCOMPARE(run(QStringLiteral("zov-db"), {QStringLiteral("seed-demo"), QStringLiteral("--db"), m_template,
                                            QStringLiteral("--month"), QStringLiteral("2024-03-01")})
                 .code,
             0);
}

void TestFaults::killedServerLeavesWholeBatches()
{
    const QDate day(2024, 4, 1), from(2024, 3, 1), to(2024, 3, 30);
    // the month as a run without faults stores it
        const QString reference = m_dir.filePath(QStringLiteral("reference.sqlite"));
    copyDatabase(m_template, reference);
    qint64 duration = 0;
    {
        ServerProcess server(reference);
        QVERIFY(server.started());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(run(QStringLiteral("zov-import"), importArgs(reference, server.address(), day, from, to)).code, 0);
        duration = timer.elapsed();
    }
    const QStringList wholeDishes = rows(reference, kDishes);
    const QStringList wholeHeaders = rows(reference, kHeaders);
    QVERIFY(wholeDishes.size() > 2000);

    const int kills = qEnvironmentVariableIntValue("ZOV_SOAK_KILLS") > 0 ? qEnvironmentVariableIntValue("ZOV_SOAK_KILLS") : 5;
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("killing the server %d times, seed %u", kills, seed);
    QRandomGenerator random(seed);
    int partial = 0;
    for (int k = 0; k < kills; ++k) {
        const QString db = m_dir.filePath(QStringLiteral("killed-%1.sqlite").arg(k));
        copyDatabase(m_template, db);
        {
            ServerProcess server(db);
            QVERIFY(server.started());
            QProcess import;
            import.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            import.start(binary(QStringLiteral("zov-import")), importArgs(db, server.address(), day, from, to));
            QVERIFY(import.waitForStarted());
                        // anywhere in the run, from its first calls to its last batches
            QThread::msleep(random.bounded(static_cast<quint32>(duration / 20), static_cast<quint32>(duration)));
            server.kill();
            QVERIFY(import.waitForFinished(60000));
        }
        QCOMPARE(scalar(db, QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        // every day and diet stored holds its whole batch
        const QStringList dishes = rows(db, kDishes);
        for (const QString &header : rows(db, QStringLiteral("SELECT DTCARDAPIO || '|' || CDDIETPAD FROM CARDADIA "
                                                             "WHERE DTCARDAPIO >= '2024-04-01'"))) {
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
        const Result again = run(QStringLiteral("zov-import"), importArgs(db, server.address(), day, from, to));
        QVERIFY2(again.code == 0, qPrintable(again.err));
        QCOMPARE(rows(db, kDishes), wholeDishes);
        QCOMPARE(rows(db, kHeaders), wholeHeaders);
        QVERIFY(server.stop());
    }
    qInfo("%d of %d kills interrupted the month", partial, kills);
}

void TestFaults::eightImportsAtOnce()
{
    constexpr int kImports = 8;
    const QDate from(2024, 3, 4), to(2024, 3, 6);
    const auto dayOf = [](int i) { return QDate(2024, 4, 1 + 3 * i); };
    // what the eight store when they run one after the other
    const QString reference = m_dir.filePath(QStringLiteral("serial.sqlite"));
    copyDatabase(m_template, reference);
    for (int i = 0; i < kImports; ++i)
        QCOMPARE(run(QStringLiteral("zov-import"), importArgs(reference, {}, dayOf(i), from, to)).code, 0);
    const QStringList serialDishes = rows(reference, kDishes);
    const QStringList serialHeaders = rows(reference, kHeaders);

    for (int round = 0; round < 3; ++round) {
        const QString db = m_dir.filePath(QStringLiteral("load-%1.sqlite").arg(round));
        copyDatabase(m_template, db);
        ServerProcess server(db);
        QVERIFY(server.started());
        std::vector<std::unique_ptr<QProcess>> imports;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kImports; ++i) {
            auto process = std::make_unique<QProcess>();
            process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process->start(binary(QStringLiteral("zov-import")), importArgs(db, server.address(), dayOf(i), from, to));
            imports.push_back(std::move(process));
        }
        for (auto &process : imports) {
            QVERIFY(process->waitForFinished(120000));
            QCOMPARE(process->exitCode(), 0);
        }
        qInfo("round %d: %d imports at once in %lld ms", round + 1, kImports, timer.elapsed());
        QCOMPARE(scalar(db, QStringLiteral("SELECT COUNT(*) - COUNT(DISTINCT NRCARDAPIO) FROM CARDADIA WHERE "
                                           "CDFILIAL = 'HC01'"))
                     .toInt(),
                 0);
        QCOMPARE(rows(db, kDishes), serialDishes);
        QCOMPARE(rows(db, kHeaders), serialHeaders);
        QVERIFY(server.stop());
    }
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
