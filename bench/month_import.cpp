// month_import: a month of a large hospital imported by zov-import, measured against
// the floor: the same destination rows written by set-based SQL inside the database,
// one transaction per destination day and diet, with the same SQLite settings.
//
// For 1x, 2x and 4x the dishes it prints rows, seconds (median of 3), the
// import/floor ratio, remote calls and how many of them went on a stream, client CPU per slot
// pair (median of 3), the peak memory of zov-import, and the growth from 1x to 4x.

#include "appserverhost.h"
#include "benchdata.h"
#include "database.h"
#include "dates.h"
#include "error.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <fcntl.h>
#include <iterator>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

void exec(QSqlDatabase &db, const QString &sql)
{
    zov::execOrThrow(db, sql);
}

// The floor: headers and dishes of every destination day and diet written by
// INSERT ... SELECT, one transaction each; dishes paired with slots by their order
// within the dish type, per-capita values rounded up to whole diners.
double floorRun(const QString &path)
{
    const QString name = QStringLiteral("floor");
    const bool sqlite = zov::DatabaseConfig::parse(path).isSQLite();
    // what the two dialects spell apart: a parameter in a select list takes its type,
    // a number rounds, a whole part, a padded number
    const auto date = [&](const QString &parameter) {
        return sqlite ? parameter : QStringLiteral("CAST(%1 AS DATE)").arg(parameter);
    };
    const QString round9 = sqlite ? QStringLiteral("ROUND(D.Q * S.VRPECONSCARD / 100.0, 9)")
                                  : QStringLiteral("ROUND(CAST(D.Q * S.VRPECONSCARD / 100.0 AS "
                                                   "NUMERIC), 9)");
    const QString whole =
        sqlite ? QStringLiteral("CAST(P.N AS INTEGER)") : QStringLiteral("FLOOR(P.N)");
    const QString padded = sqlite ? QStringLiteral("printf('%03d', P.NRORDCNFMES)")
                                  : QStringLiteral("LPAD(CAST(P.NRORDCNFMES AS TEXT), 3, '0')");
    double seconds = 0;
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(path), name);
        static const char *const weekdayColumn[] = {"QTCOMESTTDOM", "QTCOMESTTSEG", "QTCOMESTTTER",
                                                    "QTCOMESTTQUA", "QTCOMESTTQUI", "QTCOMESTTSEX",
                                                    "QTCOMESTTSAB"};
        QElapsedTimer timer;
        timer.start();
        int number = 1000000;
        {
            std::vector<std::unique_ptr<Query>> headers(7);
            for (int w = 0; w < 7; ++w) {
                const QString col = QLatin1String(weekdayColumn[w]);
                headers[w] = std::make_unique<Query>(
                    db,
                    QStringLiteral("INSERT INTO CARDADIA (CDFILIAL, CDSERVFILI, DTCARDAPIO, "
                                   "CDDIETPAD, NRCARDAPIO, CDOPERADOR, "
                                   "QTCOMESTICAR, QTCLIESTICAR, QTFUNESTICAR, QTDOAESTICAR, "
                                   "QTESTITURNO1, QTESTITURNO2, "
                                   "QTESTITURNO3, DTMESCARD, DTULTATUACAR) "
                                   "SELECT E.CDFILIAL, E.CDSERVFILI, %2, E.CDDIETPAD, ?, 'BENCH', "
                                   "E.QTCOMESTICAR, E.QTCLIESTICAR, "
                                   "E.QTFUNESTICAR, E.QTDOAESTICAR, "
                                   "(SELECT %1 FROM TURNOSERV T WHERE T.CDFILIAL = E.CDFILIAL AND "
                                   "T.CDSERVFILI = E.CDSERVFILI "
                                   "AND T.CDTURNO = '1'), "
                                   "(SELECT %1 FROM TURNOSERV T WHERE T.CDFILIAL = E.CDFILIAL AND "
                                   "T.CDSERVFILI = E.CDSERVFILI "
                                   "AND T.CDTURNO = '2'), "
                                   "(SELECT %1 FROM TURNOSERV T WHERE T.CDFILIAL = E.CDFILIAL AND "
                                   "T.CDSERVFILI = E.CDSERVFILI "
                                   "AND T.CDTURNO = '3'), %3, %4 "
                                   "FROM ESTIDIETA E WHERE E.CDFILIAL = ? AND E.CDSERVFILI = ? AND "
                                   "E.CDDIETPAD = ? AND "
                                   "E.NRDIASEMANA = ?")
                        .arg(col, date(QStringLiteral("?")), date(QStringLiteral("?")),
                             date(QStringLiteral("?"))));
            }
            Query dishes(
                db,
                QStringLiteral(
                    "INSERT INTO COMPCARD (CDFILIAL, DTCARDAPIO, CDDIETPAD, NRCARDAPIO, "
                    "NRSEQPRATCAR, "
                    "CDFILAUXPRAT, CDPRATO, NMPRATO, VRPECONSCARD, CDTIPOPRAT, NMTIPOPRAT, "
                    "NRORDPRATCAR, "
                    "CDSERVFILI) "
                    "WITH D AS (SELECT QTCOMESTICAR AS Q FROM CARDADIA WHERE CDFILIAL = :branch "
                    "AND "
                    "NRCARDAPIO = :number), "
                    "S AS (SELECT C.*, ROW_NUMBER() OVER (PARTITION BY C.CDTIPOPRAT ORDER BY "
                    "C.NRORDPRATCAR, "
                    "C.NRSEQPRATCAR) AS K FROM CARDADIA H JOIN COMPCARD C ON C.CDFILIAL = "
                    "H.CDFILIAL "
                    "AND "
                    "C.NRCARDAPIO = H.NRCARDAPIO AND C.CDDIETPAD = H.CDDIETPAD WHERE H.CDFILIAL = "
                    ":branch AND "
                    "H.CDSERVFILI = :service AND H.DTCARDAPIO = :source AND H.CDDIETPAD = :diet), "
                    "F AS (SELECT *, ROW_NUMBER() OVER (PARTITION BY CDTIPOPRAT ORDER BY "
                    "NRORDCNFMES, "
                    "NRSEQCNFMES) AS K FROM CNFCAMES WHERE CDFILIAL = :branch AND CDSERVFILI = "
                    ":service AND "
                    "DTREFECNFMES = :month), "
                    "P AS (SELECT S.*, F.NRSEQCNFMES, F.NRORDCNFMES, D.Q, "
                    "%1 AS N FROM S JOIN F ON F.CDTIPOPRAT = "
                    "S.CDTIPOPRAT "
                    "AND F.K = S.K, D WHERE F.NRSEQCNFMES > 0) "
                    "SELECT :branch, %2, P.CDDIETPAD, :number, P.NRSEQCNFMES, "
                    "P.CDFILAUXPRAT, P.CDPRATO, P.NMPRATO, "
                    "1.0 * (CASE WHEN P.N > %3 THEN %3 + 1 ELSE "
                    "%3 END) * 100.0 / P.Q, P.CDTIPOPRAT, "
                    "%4 || P.CDTIPOPRAT || T.NMTIPOPRAT, P.NRORDCNFMES, "
                    ":service "
                    "FROM P JOIN TIPOPRAT T ON T.CDTIPOPRAT = P.CDTIPOPRAT WHERE P.Q <> 0")
                    .arg(round9, date(QStringLiteral(":destination")), whole, padded));
            for (int day = 0; day < kSourceMonth.daysInMonth(); ++day) {
                const QDate source = kSourceMonth.addDays(day);
                const QDate destination = kDestinationMonth.addDays(day);
                for (int d = 1; d <= kDiets; ++d) {
                    const QString nr = QString::number(++number);
                    exec(db, sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
                    headers[zov::weekdayNumber(destination) - 1]->run(
                        {destination, nr, kDestinationMonth, QDate(2025, 2, 1), kBranch, kService,
                         diet(d), zov::weekdayNumber(destination)});
                    dishes.runNamed({{QStringLiteral("branch"), kBranch},
                                     {QStringLiteral("number"), nr},
                                     {QStringLiteral("service"), kService},
                                     {QStringLiteral("source"), source},
                                     {QStringLiteral("diet"), diet(d)},
                                     {QStringLiteral("month"), kDestinationMonth},
                                     {QStringLiteral("destination"), destination}});
                    exec(db, QStringLiteral("COMMIT"));
                }
            }
        }
        seconds = timer.nsecsElapsed() / 1e9;
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return seconds;
}

struct ImportRun
{
    double seconds = 0;
    long peakKiB = 0;
    QJsonObject stats;
};

// the whole source month onto the month of `destination`
QStringList monthRange(const QDate &destination = kDestinationMonth)
{
    return {QStringLiteral("--date"),
            destination.toString(Qt::ISODate),
            QStringLiteral("--from"),
            kSourceMonth.toString(Qt::ISODate),
            QStringLiteral("--to"),
            kSourceMonth.addDays(kSourceMonth.daysInMonth() - 1).toString(Qt::ISODate)};
}

pid_t startImport(const QString &binDir, const QString &path, const QString &statsFile,
                  const QStringList &extra, const QStringList &range);

ImportRun finishImport(pid_t pid, const QElapsedTimer &timer, const QString &statsFile)
{
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    ImportRun run;
    run.seconds = timer.nsecsElapsed() / 1e9;
    run.peakKiB = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw zov::Error(
            QStringLiteral("zov-import ended with status %1").arg(WEXITSTATUS(status)));
    QFile file(statsFile);
    if (file.open(QIODevice::ReadOnly))
        run.stats = QJsonDocument::fromJson(file.readAll()).object();
    return run;
}

ImportRun importRun(const QString &binDir, const QString &path, const QString &statsFile,
                    const QStringList &extra = {}, const QStringList &range = monthRange())
{
    QElapsedTimer timer;
    timer.start();
    return finishImport(startImport(binDir, path, statsFile, extra, range), timer, statsFile);
}

pid_t startImport(const QString &binDir, const QString &path, const QString &statsFile,
                  const QStringList &extra, const QStringList &range)
{
    const QStringList args =
        QStringList{QStringLiteral("--db"),      path,    QStringLiteral("--branch"), kBranch,
                    QStringLiteral("--service"), kService} +
        range +
        QStringList{QStringLiteral("--operator"), QStringLiteral("BENCH"),
                    QStringLiteral("--stats"), statsFile} +
        extra;
    const QByteArray program = (binDir + QStringLiteral("/zov-import")).toLocal8Bit();
    std::vector<QByteArray> owned;
    for (const QString &a : args)
        owned.push_back(a.toLocal8Bit());
    std::vector<char *> argv{const_cast<char *>(program.constData())};
    for (QByteArray &a : owned)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execv(program.constData(), argv.data());
        _exit(127);
    }
    return pid;
}

// The destination rows of a database, menu numbers and stamps aside, one text a row.
QStringList destinationRows(const QString &path)
{
    const QString name = QStringLiteral("compare");
    const bool sqlite = zov::DatabaseConfig::parse(path).isSQLite();
    QStringList rows;
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(path), name);
        const QString dishes =
            QStringLiteral(
                "SELECT 'D', DTCARDAPIO, CDDIETPAD, NRSEQPRATCAR, NRORDPRATCAR, CDPRATO, "
                "NMPRATO, CDTIPOPRAT, NMTIPOPRAT, CDSERVFILI, %1 FROM COMPCARD WHERE "
                "DTCARDAPIO >= '2025-03-01'")
                .arg(sqlite ? QStringLiteral("ROUND(VRPECONSCARD, 6)")
                            : QStringLiteral("ROUND(CAST(VRPECONSCARD AS NUMERIC), 6)"));
        const QString headers =
            QStringLiteral("SELECT 'H', DTCARDAPIO, CDDIETPAD, QTCOMESTICAR, QTCLIESTICAR, "
                           "QTFUNESTICAR, QTDOAESTICAR, QTESTITURNO1, "
                           "QTESTITURNO2, QTESTITURNO3, DTMESCARD FROM CARDADIA WHERE "
                           "DTCARDAPIO >= '2025-03-01'");
        for (const QString &select : {dishes, headers}) {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            if (!q.exec(select))
                throw zov::Error(q.lastError().text());
            while (q.next()) {
                QStringList row;
                for (int i = 0; i < q.record().count(); ++i) {
                    const QVariant v = q.value(i);
                    const bool number = v.typeId() == QMetaType::Double ||
                                        v.typeId() == QMetaType::LongLong ||
                                        v.typeId() == QMetaType::Int;
                    row.append(v.isNull() ? QStringLiteral("-")
                               : number   ? QString::number(v.toDouble(), 'g', 12)
                               : v.typeId() == QMetaType::QDate ? v.toDate().toString(Qt::ISODate)
                                                                : v.toString());
                }
                rows.append(row.join(QLatin1Char('|')));
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    rows.sort();
    return rows;
}

// Rows the two runs wrote that the other did not.
int differences(const QString &a, const QString &b)
{
    const QStringList x = destinationRows(a);
    const QStringList y = destinationRows(b);
    QStringList onlyX, onlyY;
    std::set_difference(x.cbegin(), x.cend(), y.cbegin(), y.cend(), std::back_inserter(onlyX));
    std::set_difference(y.cbegin(), y.cend(), x.cbegin(), x.cend(), std::back_inserter(onlyY));
    return static_cast<int>(onlyX.size() + onlyY.size());
}

// Bytes of the database's pages that keep the import runs for an undo.
qint64 keptForUndo(const QString &path)
{
    const QString name = QStringLiteral("kept");
    qint64 bytes = 0;
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(path), name);
        QSqlQuery q(db);
        if (!q.exec(
                QStringLiteral("SELECT SUM(pgsize) FROM dbstat WHERE name LIKE '%IMPORTACAO%'")) ||
            !q.next())
            throw zov::Error(q.lastError().text());
        bytes = q.value(0).toLongLong();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return bytes;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The destination month's slots, copied to `months`.
void addSlotMonths(const QString &path, const QList<QDate> &months)
{
    const QString name = QStringLiteral("slots");
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(path), name);
        for (const QDate &month : months) {
            Query copy(db, QStringLiteral("INSERT INTO CNFCAMES SELECT CDFILIAL, CDSERVFILI, %1, "
                                          "NRSEQCNFMES, CDTIPOPRAT, NRORDCNFMES FROM CNFCAMES "
                                          "WHERE DTREFECNFMES = ?")
                               .arg(zov::DatabaseConfig::parse(path).isSQLite()
                                        ? QStringLiteral("?")
                                        : QStringLiteral("CAST(? AS DATE)")));
            copy.run({month, kDestinationMonth});
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

int rowCount(const QString &path)
{
    const QString name = QStringLiteral("count");
    int n = 0;
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(path), name);
        QSqlQuery q(db);
        q.exec(QStringLiteral("SELECT COUNT(*) FROM COMPCARD WHERE DTCARDAPIO >= '2025-03-01'"));
        q.next();
        n = q.value(0).toInt();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return n;
}

// The same month on PostgreSQL: each run in databases of its own made from one
// template, the floor with the same statements, one transaction per day and diet; and
// two servers over one database importing two months at once, against one month alone.
int postgresMonths(const QString &binDir, const QString &server, const QString &tempDir,
                   QTextStream &out)
{
    constexpr int kRuns = 3;
    out << QStringLiteral("PostgreSQL  scale    rows  floor s  import s  ratio  target  peak MB\n");
    bool same = true;
    int scaleNumber = 0;
    for (const int scale : {1, 4}) {
        const QString tpl = QStringLiteral("bench_template_%1").arg(scale);
        const QString tplUrl = pgDatabase(server, tpl);
        generate(tplUrl, scale);
        addSlotMonths(tplUrl, {kDestinationMonth.addMonths(2)});
        std::vector<double> floors, imports;
        ImportRun last;
        QString floorDb, importDb;
        for (int run = 0; run < kRuns; ++run) {
            floorDb = pgDatabase(server, QStringLiteral("bench_floor"), tpl);
            floors.push_back(floorRun(floorDb));
            importDb = pgDatabase(server, QStringLiteral("bench_import"), tpl);
            last = importRun(binDir, importDb, tempDir + QStringLiteral("/pgstats.json"));
            imports.push_back(last.seconds);
        }
        const int diff = differences(floorDb, importDb);
        same = same && diff == 0;
        const double ratio = median(imports) / median(floors);
        out << QStringLiteral("            %1 %2 %3 %4 %5  %6  %7\n")
                   .arg(QStringLiteral("%1x").arg(scale), 5)
                   .arg(rowCount(importDb), 7)
                   .arg(median(floors), 8, 'f', 3)
                   .arg(median(imports), 9, 'f', 3)
                   .arg(ratio, 6, 'f', 2)
                   .arg(ratio <= 3.0 ? QStringLiteral("<= 3 met") : QStringLiteral("<= 3 NOT MET"))
                   .arg(last.peakKiB / 1024.0, 7, 'f', 1);
        if (diff != 0)
            out << QStringLiteral("            %1x: the import and the floor differ in %2 rows\n")
                       .arg(scale)
                       .arg(diff);
        if (scaleNumber++ > 0)
            continue;
        // two servers over one database, two months at once (March and May)
        const auto serversRun = [&](int months) {
            const QString db = pgDatabase(server, QStringLiteral("bench_two"), tpl);
            zov::AppServerHost::Options options;
            options.listen = QStringLiteral("127.0.0.1:0");
            std::vector<std::unique_ptr<zov::AppServerHost>> hosts;
            for (int i = 0; i < months; ++i) {
                hosts.push_back(
                    std::make_unique<zov::AppServerHost>(zov::DatabaseConfig::parse(db), options));
                hosts.back()->start();
            }
            QElapsedTimer timer;
            timer.start();
            std::vector<pid_t> pids;
            for (int i = 0; i < months; ++i)
                pids.push_back(
                    startImport(binDir, db, tempDir + QStringLiteral("/two%1.json").arg(i),
                                {QStringLiteral("--server"),
                                 QStringLiteral("127.0.0.1:%1").arg(hosts.at(i)->port())},
                                monthRange(kDestinationMonth.addMonths(2 * i))));
            for (int i = 0; i < months; ++i)
                finishImport(pids.at(i), timer, tempDir + QStringLiteral("/two%1.json").arg(i));
            return timer.nsecsElapsed() / 1e9;
        };
        std::vector<double> one, two;
        for (int run = 0; run < kRuns; ++run) {
            one.push_back(serversRun(1));
            two.push_back(serversRun(2));
        }
        const double growth = median(two) / median(one);
        out << QStringLiteral("two servers over one database, 1x: one month %1 s, two months at "
                              "once %2 s, %3x (target <= 1.3: %4)\n")
                   .arg(median(one), 0, 'f', 3)
                   .arg(median(two), 0, 'f', 3)
                   .arg(growth, 0, 'f', 2)
                   .arg(growth <= 1.3 ? QStringLiteral("met") : QStringLiteral("NOT MET"));
    }
    out << (same ? QStringLiteral("on PostgreSQL the import wrote the same rows as the floor\n")
                 : QStringLiteral("ON POSTGRESQL THE IMPORT AND THE FLOOR DIFFER\n"));
    return same ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("zov.server.*=false"));
    QTextStream out(stdout);
    // month_import --generate FILE SCALE: only the database, for profiling one import
    if (argc == 4 && QByteArray(argv[1]) == "--generate") {
        try {
            generate(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
        } catch (const zov::Error &e) {
            QTextStream(stderr) << e.text() << Qt::endl;
            return 1;
        }
        return 0;
    }
    // month_import --postgresql BIN_DIR: the months on the cluster ZOV_TEST_PG names
    if (argc == 3 && QByteArray(argv[1]) == "--postgresql") {
        const QString server = qEnvironmentVariable("ZOV_TEST_PG");
        if (server.isEmpty()) {
            QTextStream(stderr) << "month_import --postgresql: ZOV_TEST_PG names no server"
                                << Qt::endl;
            return 1;
        }
        QTemporaryDir dir;
        try {
            return postgresMonths(QString::fromLocal8Bit(argv[2]), server, dir.path(), out);
        } catch (const zov::Error &e) {
            QTextStream(stderr) << e.text() << Qt::endl;
            return 1;
        }
    }
    const QString binDir =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QCoreApplication::applicationDirPath();
    constexpr int kRuns = 3;
    QTemporaryDir dir;
    struct Line
    {
        int scale;
        int rows;
        double floorSeconds;
        double importSeconds;
        long calls;
        long streamed;
        double cpuPerPair;
        long peakKiB;
        int differences;
    };
    std::vector<Line> lines;
    qint64 keptAppend = 0, keptOverwrite = 0;
    double cycleSeconds = 0;
    int cycleRows = 0;
    try {
        for (const int scale : {1, 2, 4}) {
            const QString tpl = dir.filePath(QStringLiteral("template-%1.sqlite").arg(scale));
            generate(tpl, scale);
            std::vector<double> floors, imports, cpuPerPair;
            ImportRun last;
            QString floorDb, importDb;
            for (int run = 0; run < kRuns; ++run) {
                floorDb = dir.filePath(QStringLiteral("floor-%1-%2.sqlite").arg(scale).arg(run));
                copyDatabase(tpl, floorDb);
                floors.push_back(floorRun(floorDb));
                importDb = dir.filePath(QStringLiteral("import-%1-%2.sqlite").arg(scale).arg(run));
                copyDatabase(tpl, importDb);
                last = importRun(binDir, importDb, dir.filePath(QStringLiteral("stats.json")));
                imports.push_back(last.seconds);
                const double pairs = last.stats.value(QStringLiteral("slotPairs")).toDouble();
                cpuPerPair.push_back(
                    pairs > 0
                        ? 1e6 * last.stats.value(QStringLiteral("clientCpuSeconds")).toDouble() /
                              pairs
                        : 0);
            }
            lines.push_back(
                {scale, rowCount(importDb), median(floors), median(imports),
                 static_cast<long>(last.stats.value(QStringLiteral("calls")).toDouble() +
                                   last.stats.value(QStringLiteral("streamedCalls")).toDouble()),
                 static_cast<long>(last.stats.value(QStringLiteral("streamedCalls")).toDouble()),
                 median(cpuPerPair), last.peakKiB, differences(floorDb, importDb)});
            if (scale == 1) {
                // what an undo needs: of the run into the empty month, and of an overwrite
                // of the whole month it filled
                keptAppend = keptForUndo(importDb);
                importRun(binDir, importDb, dir.filePath(QStringLiteral("stats.json")),
                          {QStringLiteral("--mode"), QStringLiteral("overwrite"),
                           QStringLiteral("--rounding"), QStringLiteral("5")});
                keptOverwrite = keptForUndo(importDb) - keptAppend;
                // a cycle of four weeks over three months, each with its own slots
                const QString cycleDb = dir.filePath(QStringLiteral("cycle.sqlite"));
                copyDatabase(tpl, cycleDb);
                addSlotMonths(cycleDb,
                              {kDestinationMonth.addMonths(1), kDestinationMonth.addMonths(2)});
                const ImportRun cycle = importRun(
                    binDir, cycleDb, dir.filePath(QStringLiteral("stats.json")), {},
                    {QStringLiteral("--date"), kDestinationMonth.toString(Qt::ISODate),
                     QStringLiteral("--from"), kSourceMonth.toString(Qt::ISODate),
                     QStringLiteral("--to"), kSourceMonth.addDays(27).toString(Qt::ISODate),
                     QStringLiteral("--until"),
                     kDestinationMonth.addMonths(3).addDays(-1).toString(Qt::ISODate)});
                cycleSeconds = cycle.seconds;
                cycleRows = rowCount(cycleDb);
            }
        }
    } catch (const zov::Error &e) {
        QTextStream(stderr) << e.text() << Qt::endl;
        return 1;
    }
    out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
               .arg(QStringLiteral("scale"), 5)
               .arg(QStringLiteral("rows"), 7)
               .arg(QStringLiteral("floor s"), 8)
               .arg(QStringLiteral("import s"), 9)
               .arg(QStringLiteral("ratio"), 6)
               .arg(QStringLiteral("calls"), 6)
               .arg(QStringLiteral("streamed"), 8)
               .arg(QStringLiteral("cpu us/pair"), 12)
               .arg(QStringLiteral("peak MB"), 8);
    bool same = true;
    for (const Line &l : lines) {
        out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
                   .arg(QStringLiteral("%1x").arg(l.scale), 5)
                   .arg(l.rows, 7)
                   .arg(l.floorSeconds, 8, 'f', 3)
                   .arg(l.importSeconds, 9, 'f', 3)
                   .arg(l.importSeconds / l.floorSeconds, 6, 'f', 2)
                   .arg(l.calls, 6)
                   .arg(l.streamed, 8)
                   .arg(l.cpuPerPair, 12, 'f', 2)
                   .arg(l.peakKiB / 1024.0, 8, 'f', 1);
        same = same && l.differences == 0;
        if (l.differences != 0)
            out << QStringLiteral("      %1x: the import and the floor differ in %2 rows\n")
                       .arg(l.scale)
                       .arg(l.differences);
    }
    out << QStringLiteral("growth 1x -> 4x: floor %1x, import %2x\n")
               .arg(lines.back().floorSeconds / lines.front().floorSeconds, 0, 'f', 2)
               .arg(lines.back().importSeconds / lines.front().importSeconds, 0, 'f', 2);
    out << QStringLiteral("kept for an undo at 1x: %1 MB for the month into empty days, %2 MB "
                          "for an overwrite of the whole month\n")
               .arg(keptAppend / 1048576.0, 0, 'f', 2)
               .arg(keptOverwrite / 1048576.0, 0, 'f', 2);
    const Line &month = lines.front();
    out << QStringLiteral("a 28-day cycle over three months at 1x: %1 rows in %2 s, %3 rows/s "
                          "against the month's %4 rows/s\n")
               .arg(cycleRows)
               .arg(cycleSeconds, 0, 'f', 3)
               .arg(cycleRows / cycleSeconds, 0, 'f', 0)
               .arg(month.rows / month.importSeconds, 0, 'f', 0);
    out << (same ? QStringLiteral("the import wrote the same rows as the floor at every scale\n")
                 : QStringLiteral("THE IMPORT AND THE FLOOR DIFFER\n"));
    return same ? 0 : 1;
}
