// month_import: a month of a large hospital imported by zov-import, measured against
// the floor: the same destination rows written by set-based SQL inside the database,
// one transaction per destination day and diet, with the same SQLite settings.
//
// For 1x, 2x and 4x the dishes it prints rows, seconds (median of 3), the
// import/floor ratio, remote calls and how many of them went on a stream, client CPU per slot
// pair, the peak memory of zov-import, and the growth from 1x to 4x.

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
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <fcntl.h>
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
    double seconds = 0;
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(path), name);
        static const char *const weekdayColumn[] = {"QTCOMESTTDOM", "QTCOMESTTSEG", "QTCOMESTTTER",
                                                    "QTCOMESTTQUA", "QTCOMESTTQUI", "QTCOMESTTSEX",
                                                    "QTCOMESTTSAB"};
        QElapsedTimer timer;
        timer.start();
        int number = 1000000;
        std::vector<std::unique_ptr<Query>> headers(7);
        for (int w = 0; w < 7; ++w) {
            const QString col = QLatin1String(weekdayColumn[w]);
            headers[w] = std::make_unique<Query>(
                db, QStringLiteral("INSERT INTO CARDADIA (CDFILIAL, CDSERVFILI, DTCARDAPIO, "
                                   "CDDIETPAD, NRCARDAPIO, CDOPERADOR, "
                                   "QTCOMESTICAR, QTCLIESTICAR, QTFUNESTICAR, QTDOAESTICAR, "
                                   "QTESTITURNO1, QTESTITURNO2, "
                                   "QTESTITURNO3, DTMESCARD, DTULTATUACAR) "
                                   "SELECT E.CDFILIAL, E.CDSERVFILI, ?, E.CDDIETPAD, ?, 'BENCH', "
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
                                   "AND T.CDTURNO = '3'), ?, ? "
                                   "FROM ESTIDIETA E WHERE E.CDFILIAL = ? AND E.CDSERVFILI = ? AND "
                                   "E.CDDIETPAD = ? AND "
                                   "E.NRDIASEMANA = ?")
                        .arg(col));
        }
        Query dishes(
            db,
            QStringLiteral(
                "INSERT INTO COMPCARD (CDFILIAL, DTCARDAPIO, CDDIETPAD, NRCARDAPIO, NRSEQPRATCAR, "
                "CDFILAUXPRAT, CDPRATO, NMPRATO, VRPECONSCARD, CDTIPOPRAT, NMTIPOPRAT, "
                "NRORDPRATCAR, "
                "CDSERVFILI) "
                "WITH D AS (SELECT QTCOMESTICAR AS Q FROM CARDADIA WHERE CDFILIAL = :branch AND "
                "NRCARDAPIO = :number), "
                "S AS (SELECT C.*, ROW_NUMBER() OVER (PARTITION BY C.CDTIPOPRAT ORDER BY "
                "C.NRORDPRATCAR, "
                "C.NRSEQPRATCAR) AS K FROM CARDADIA H JOIN COMPCARD C ON C.CDFILIAL = H.CDFILIAL "
                "AND "
                "C.NRCARDAPIO = H.NRCARDAPIO AND C.CDDIETPAD = H.CDDIETPAD WHERE H.CDFILIAL = "
                ":branch AND "
                "H.CDSERVFILI = :service AND H.DTCARDAPIO = :source AND H.CDDIETPAD = :diet), "
                "F AS (SELECT *, ROW_NUMBER() OVER (PARTITION BY CDTIPOPRAT ORDER BY NRORDCNFMES, "
                "NRSEQCNFMES) AS K FROM CNFCAMES WHERE CDFILIAL = :branch AND CDSERVFILI = "
                ":service AND "
                "DTREFECNFMES = :month), "
                "P AS (SELECT S.*, F.NRSEQCNFMES, F.NRORDCNFMES, D.Q, "
                "ROUND(D.Q * S.VRPECONSCARD / 100.0, 9) AS N FROM S JOIN F ON F.CDTIPOPRAT = "
                "S.CDTIPOPRAT "
                "AND F.K = S.K, D WHERE F.NRSEQCNFMES > 0) "
                "SELECT :branch, :destination, P.CDDIETPAD, :number, P.NRSEQCNFMES, "
                "P.CDFILAUXPRAT, P.CDPRATO, P.NMPRATO, "
                "1.0 * (CASE WHEN P.N > CAST(P.N AS INTEGER) THEN CAST(P.N AS INTEGER) + 1 ELSE "
                "CAST(P.N AS INTEGER) END) * 100.0 / P.Q, P.CDTIPOPRAT, "
                "printf('%03d', P.NRORDCNFMES) || P.CDTIPOPRAT || T.NMTIPOPRAT, P.NRORDCNFMES, "
                ":service "
                "FROM P JOIN TIPOPRAT T ON T.CDTIPOPRAT = P.CDTIPOPRAT WHERE P.Q <> 0"));
        for (int day = 0; day < kSourceMonth.daysInMonth(); ++day) {
            const QDate source = kSourceMonth.addDays(day);
            const QDate destination = kDestinationMonth.addDays(day);
            for (int d = 1; d <= kDiets; ++d) {
                const QString nr = QString::number(++number);
                exec(db, QStringLiteral("BEGIN IMMEDIATE"));
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

// the whole source month onto the destination month
QStringList monthRange()
{
    return {QStringLiteral("--date"),
            kDestinationMonth.toString(Qt::ISODate),
            QStringLiteral("--from"),
            kSourceMonth.toString(Qt::ISODate),
            QStringLiteral("--to"),
            kSourceMonth.addDays(kSourceMonth.daysInMonth() - 1).toString(Qt::ISODate)};
}

ImportRun importRun(const QString &binDir, const QString &path, const QString &statsFile,
                    const QStringList &extra = {}, const QStringList &range = monthRange())
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

    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execv(program.constData(), argv.data());
        _exit(127);
    }
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

// Rows the two runs wrote that the other did not, menu numbers and stamps aside.
int differences(const QString &a, const QString &b)
{
    const QString name = QStringLiteral("compare");
    int count = 0;
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(a), name);
        Query attach(db, QStringLiteral("ATTACH DATABASE ? AS other"));
        attach.run({b});
        const QString dishes = QStringLiteral(
            "SELECT DTCARDAPIO, CDDIETPAD, NRSEQPRATCAR, NRORDPRATCAR, CDPRATO, NMPRATO, "
            "CDTIPOPRAT, NMTIPOPRAT, "
            "CDSERVFILI, ROUND(VRPECONSCARD, 6) FROM %1.COMPCARD WHERE DTCARDAPIO >= '2025-03-01'");
        const QString headers =
            QStringLiteral("SELECT DTCARDAPIO, CDDIETPAD, QTCOMESTICAR, QTCLIESTICAR, "
                           "QTFUNESTICAR, QTDOAESTICAR, QTESTITURNO1, "
                           "QTESTITURNO2, QTESTITURNO3, DTMESCARD FROM %1.CARDADIA WHERE "
                           "DTCARDAPIO >= '2025-03-01'");
        for (const QString &select : {dishes, headers}) {
            for (const auto &[x, y] : {std::pair{"main", "other"}, std::pair{"other", "main"}}) {
                QSqlQuery q(db);
                if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM (%1 EXCEPT %2)")
                                .arg(select.arg(QLatin1String(x)), select.arg(QLatin1String(y)))) ||
                    !q.next())
                    throw zov::Error(q.lastError().text());
                count += q.value(0).toInt();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return count;
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

// The destination month's slots, copied to `months`.
void addSlotMonths(const QString &path, const QList<QDate> &months)
{
    const QString name = QStringLiteral("slots");
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(path), name);
        for (const QDate &month : months) {
            Query copy(db, QStringLiteral("INSERT INTO CNFCAMES SELECT CDFILIAL, CDSERVFILI, ?, "
                                          "NRSEQCNFMES, CDTIPOPRAT, NRORDCNFMES FROM CNFCAMES "
                                          "WHERE DTREFECNFMES = ?"));
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

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
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
            std::vector<double> floors, imports;
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
            }
            const double pairs = last.stats.value(QStringLiteral("slotPairs")).toDouble();
            lines.push_back(
                {scale, rowCount(importDb), median(floors), median(imports),
                 static_cast<long>(last.stats.value(QStringLiteral("calls")).toDouble() +
                                   last.stats.value(QStringLiteral("streamedCalls")).toDouble()),
                 static_cast<long>(last.stats.value(QStringLiteral("streamedCalls")).toDouble()),
                 pairs > 0
                     ? 1e6 * last.stats.value(QStringLiteral("clientCpuSeconds")).toDouble() / pairs
                     : 0,
                 last.peakKiB, differences(floorDb, importDb)});
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
