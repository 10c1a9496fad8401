// zov-db: creates the schema of a database (init), checks and upgrades it (check,
// upgrade), fills it with a demo hospital (seed-demo), keeps the history of import runs
// bounded (purge-runs), and copies an SQLite database safely (backup, restore). The
// database is --db, or the db line of the server's configuration (--config), so that a
// timer of the server's package purges what the server stores.

#include "backup.h"
#include "commandline.h"
#include "database.h"
#include "dates.h"
#include "demoseed.h"
#include "error.h"
#include "runhistory.h"
#include "schema.h"
#include "serveroptions.h"
#include "sqlsession.h"
#include "texts.h"

#include <QCoreApplication>
#include <QDate>
#include <QHash>
#include <QSqlDatabase>
#include <QTextStream>

namespace {

int run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    if (zov::answeredHelpOrVersion(arguments, zov::text("USAGE_DB"), zov::text("USAGE_DB_DETAILS"),
                                   out))
        return 0;
    zov::CommandLine options({QStringLiteral("db"), QStringLiteral("month"),
                              QStringLiteral("older-than"), QStringLiteral("to"),
                              QStringLiteral("from"), QStringLiteral("config")},
                             {});
    const bool parsed = options.parse(arguments);
    // --config FILE: the database of the server's configuration, unless --db names one;
    // the file's other lines are the server's
    if (parsed && options.has(QStringLiteral("config"))) {
        if (const QString problem =
                options.readDefaults(options.value(QStringLiteral("config")), zov::serverOptions());
            !problem.isEmpty()) {
            err << problem << Qt::endl;
            return 64;
        }
    }
    const QStringList words = options.positional();
    const QString command = words.value(0);
    // each command and the options it takes besides --db, the one they all need
    const QHash<QString, QStringList> commands{
        {QStringLiteral("init"), {}},
        {QStringLiteral("check"), {}},
        {QStringLiteral("upgrade"), {}},
        {QStringLiteral("seed-demo"), {QStringLiteral("month")}},
        {QStringLiteral("purge-runs"), {QStringLiteral("older-than")}},
        {QStringLiteral("backup"), {QStringLiteral("to")}},
        {QStringLiteral("restore"), {QStringLiteral("from")}}};
    bool usable = parsed && words.size() == 1 && commands.contains(command) &&
                  options.has(QStringLiteral("db"));
    for (const QString &option : {QStringLiteral("month"), QStringLiteral("older-than"),
                                  QStringLiteral("to"), QStringLiteral("from")}) {
        const bool allowed = commands.value(command).contains(option);
        const bool required = allowed && option != QLatin1String("month");
        usable = usable && (allowed || !options.has(option)) && (!required || options.has(option));
    }
    if (!usable) {
        if (!options.error().isEmpty())
            err << options.error() << Qt::endl;
        else if (commands.contains(command) && !options.has(QStringLiteral("db")))
            err << zov::text("CLI_MISSING_OPTION").arg(QStringLiteral("db")) << Qt::endl;
        err << zov::text("USAGE_DB") << Qt::endl;
        return 64;
    }
    QDate month = QDate::currentDate();
    month = QDate(month.year(), month.month(), 1);
    if (options.has(QStringLiteral("month"))) {
        month = zov::parseIsoDate(options.value(QStringLiteral("month")));
        if (!month.isValid() || month.day() != 1) {
            err << zov::text("CLI_BAD_MONTH").arg(options.value(QStringLiteral("month")))
                << Qt::endl;
            return 64;
        }
    }
    bool ok = false;
    const int olderThan = options.value(QStringLiteral("older-than")).toInt(&ok);
    if (command == QLatin1String("purge-runs") && (!ok || olderThan < 0 || olderThan > 36500)) {
        err << zov::text("CLI_BAD_DAYS").arg(options.value(QStringLiteral("older-than")).left(40))
            << Qt::endl;
        return 64;
    }
    const QString connection = QStringLiteral("zov-db");
    try {
        const zov::DatabaseConfig config =
            zov::DatabaseConfig::parse(options.value(QStringLiteral("db")));
        // the copies work on the SQLite file itself, with no connection of their own open
        if (command == QLatin1String("backup") || command == QLatin1String("restore")) {
            if (!config.isSQLite()) {
                err << zov::text("DB_SQLITE_ONLY").arg(command) << Qt::endl;
                return 64;
            }
            if (command == QLatin1String("backup")) {
                const QString to = options.value(QStringLiteral("to"));
                const zov::CopyCounts n = zov::backupSqlite(config.path, to);
                out << zov::text("DB_BACKED_UP").arg(config.path, to).arg(n.headers).arg(n.dishes)
                    << Qt::endl;
            } else {
                const QString from = options.value(QStringLiteral("from"));
                const zov::CopyCounts n = zov::restoreSqlite(config.path, from);
                out << zov::text("DB_RESTORED").arg(config.path, from).arg(n.headers).arg(n.dishes)
                    << Qt::endl;
            }
            return 0;
        }
        QSqlDatabase db = zov::openDatabase(
            config, connection,
            command == QLatin1String("init") ? zov::OpenMode::Create : zov::OpenMode::MustExist);
        const auto requireCurrent = [&] {
            const QString problem = zov::schemaProblem(db);
            if (!problem.isEmpty())
                throw zov::Error(zov::text("DB_WRONG_SCHEMA").arg(config.display(), problem));
        };
        if (command == QLatin1String("init")) {
            // creates a new database; an older one is left to upgrade, and said so
            zov::applySchema(db);
            requireCurrent();
            out << zov::text("DB_READY").arg(config.display()) << Qt::endl;
        } else if (command == QLatin1String("check")) {
            const QStringList differences = zov::schemaDifferences(db);
            if (!differences.isEmpty()) {
                out << zov::text("DB_SCHEMA_DIFFERS").arg(config.display()).arg(zov::kSchemaVersion)
                    << Qt::endl;
                for (const QString &d : differences)
                    out << "  " << d << Qt::endl;
                db.close();
                return 2;
            }
            out << zov::text("DB_SCHEMA_CURRENT").arg(config.display()).arg(zov::kSchemaVersion)
                << Qt::endl;
        } else if (command == QLatin1String("upgrade")) {
            const QList<int> steps = zov::upgradeSchema(db);
            requireCurrent();
            out << (steps.isEmpty() ? zov::text("DB_UP_TO_DATE") : zov::text("DB_UPGRADED"))
                       .arg(config.display())
                       .arg(zov::kSchemaVersion)
                << Qt::endl;
        } else if (command == QLatin1String("purge-runs")) {
            requireCurrent();
            const QDateTime before = QDateTime::currentDateTime().addDays(-olderThan);
            zov::PurgeCounts counts;
            {
                zov::SqlSession session(config, QStringLiteral("zov-db-purge"));
                try {
                    counts = zov::purgeRuns(session, before);
                } catch (const zov::SqlFailure &e) {
                    throw zov::Error(e.text());
                }
            }
            out << zov::text("DB_PURGED")
                       .arg(counts.runs)
                       .arg(counts.menus)
                       .arg(counts.batches)
                       .arg(before.toString(QStringLiteral("dd/MM/yyyy HH:mm")), config.display())
                << Qt::endl;
        } else {
            requireCurrent();
            zov::seedDemo(db, month);
            out << zov::text("DB_SEEDED").arg(config.display(), month.toString(Qt::ISODate))
                << Qt::endl;
        }
        db.close();
    } catch (const zov::Error &e) {
        err << e.text() << Qt::endl;
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int code = run(app.arguments().mid(1), out, err);
    QSqlDatabase::removeDatabase(QStringLiteral("zov-db"));
    return code;
}
