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
#include <QSqlDatabase>
#include <QTextStream>

using zov::text;

namespace {

const QString kConnection = QStringLiteral("zov-db");

// What a subcommand works on: the database (open unless it copies the file), the
// options and the values read from them.
struct Job
{
    const zov::CommandLine &options;
    const zov::DatabaseConfig &config;
    QSqlDatabase &db;
    QDate month;   // seed-demo's, the first of this month by default
    int olderThan; // purge-runs' days
    QTextStream &out;
};

int init(const Job &j)
{
    // creates a new database; an older one is left to upgrade, and said so
    zov::applySchema(j.db);
    zov::requireCurrentSchema(j.db, j.config);
    j.out << text("DB_READY").arg(j.config.display()) << Qt::endl;
    return 0;
}

int check(const Job &j)
{
    const QStringList differences = zov::schemaDifferences(j.db);
    const char *said = differences.isEmpty() ? "DB_SCHEMA_CURRENT" : "DB_SCHEMA_DIFFERS";
    j.out << text(said).arg(j.config.display()).arg(zov::kSchemaVersion) << Qt::endl;
    for (const QString &d : differences)
        j.out << "  " << d << Qt::endl;
    return differences.isEmpty() ? 0 : 2;
}

int upgrade(const Job &j)
{
    const QList<int> steps = zov::upgradeSchema(j.db);
    zov::requireCurrentSchema(j.db, j.config);
    j.out << text(steps.isEmpty() ? "DB_UP_TO_DATE" : "DB_UPGRADED")
                 .arg(j.config.display())
                 .arg(zov::kSchemaVersion)
          << Qt::endl;
    return 0;
}

int seedDemo(const Job &j)
{
    zov::seedDemo(j.db, j.month);
    j.out << text("DB_SEEDED").arg(j.config.display(), j.month.toString(Qt::ISODate)) << Qt::endl;
    return 0;
}

int purgeRuns(const Job &j)
{
    const QDateTime before = QDateTime::currentDateTime().addDays(-j.olderThan);
    zov::PurgeCounts counts;
    {
        zov::SqlSession session(j.config, QStringLiteral("zov-db-purge"));
        try {
            counts = zov::purgeRuns(session, before);
        } catch (const zov::SqlFailure &e) {
            throw zov::Error(e.text());
        }
    }
    j.out << text("DB_PURGED")
                 .arg(counts.runs)
                 .arg(counts.menus)
                 .arg(counts.batches)
                 .arg(before.toString(QStringLiteral("dd/MM/yyyy HH:mm")), j.config.display())
          << Qt::endl;
    return 0;
}

// the copies work on the SQLite file itself, with no connection of their own open
int backup(const Job &j)
{
    const QString to = j.options.value(QStringLiteral("to"));
    const zov::CopyCounts n = zov::backupSqlite(j.config.path, to);
    j.out << text("DB_BACKED_UP").arg(j.config.path, to).arg(n.headers).arg(n.dishes) << Qt::endl;
    return 0;
}

int restore(const Job &j)
{
    const QString from = j.options.value(QStringLiteral("from"));
    const zov::CopyCounts n = zov::restoreSqlite(j.config.path, from);
    j.out << text("DB_RESTORED").arg(j.config.path, from).arg(n.headers).arg(n.dishes) << Qt::endl;
    return 0;
}

// How a subcommand finds its database before it runs.
enum class Opens {
    Created,  // the SQLite file is created when missing
    AsItIs,   // it must exist
    Current,  // it must exist and have the current schema
    FileOnly, // SQLite only, and not opened
};

// Each subcommand, the option it takes besides --db (required but for --month), and how
// it opens the database.
struct Subcommand
{
    const char *name;
    const char *option;
    Opens opens;
    int (*run)(const Job &);
};
constexpr Subcommand kSubcommands[] = {
    {"init", nullptr, Opens::Created, init},
    {"check", nullptr, Opens::AsItIs, check},
    {"upgrade", nullptr, Opens::AsItIs, upgrade},
    {"seed-demo", "month", Opens::Current, seedDemo},
    {"purge-runs", "older-than", Opens::Current, purgeRuns},
    {"backup", "to", Opens::FileOnly, backup},
    {"restore", "from", Opens::FileOnly, restore},
};

const Subcommand *find(const QString &name)
{
    for (const Subcommand &s : kSubcommands) {
        if (name == QLatin1String(s.name))
            return &s;
    }
    return nullptr;
}

// The subcommand the options name, fit to run; throws UsageError otherwise.
const Subcommand &usable(const zov::CommandLine &options, bool parsed)
{
    const QStringList words = options.positional();
    const Subcommand *command = words.size() == 1 ? find(words.first()) : nullptr;
    bool fits = parsed && command && options.has(QStringLiteral("db"));
    for (const char *option : {"month", "older-than", "to", "from"}) {
        const bool allowed = command && command->option && qstrcmp(command->option, option) == 0;
        const bool required = allowed && qstrcmp(option, "month") != 0;
        const bool given = options.has(QLatin1String(option));
        fits = fits && (allowed || !given) && (!required || given);
    }
    if (fits)
        return *command;
    if (!options.error().isEmpty())
        throw zov::UsageError(options.error());
    if (find(words.value(0)) && !options.has(QStringLiteral("db")))
        throw zov::UsageError(text("CLI_MISSING_OPTION").arg(QStringLiteral("db")));
    throw zov::UsageError(QString());
}

// The values of --month and --older-than, checked before the database is touched.
void readValues(const zov::CommandLine &options, const Subcommand &command, QDate *month,
                int *olderThan)
{
    using Usage = zov::UsageError::Usage;
    *month = zov::firstDayOfMonth(QDate::currentDate());
    if (options.has(QStringLiteral("month"))) {
        *month = zov::parseIsoDate(options.value(QStringLiteral("month")));
        if (!zov::isFirstOfMonth(*month))
            throw zov::UsageError(text("CLI_BAD_MONTH").arg(options.value(QStringLiteral("month"))),
                                  Usage::Left);
    }
    bool ok = false;
    *olderThan = options.value(QStringLiteral("older-than")).toInt(&ok);
    if (command.run == purgeRuns && (!ok || *olderThan < 0 || *olderThan > 36500))
        throw zov::UsageError(
            text("CLI_BAD_DAYS").arg(options.value(QStringLiteral("older-than")).left(40)),
            Usage::Left);
}

int run(const QStringList &arguments, QTextStream &out, QTextStream &)
{
    zov::CommandLine options("db month older-than to from config", "");
    const bool parsed = options.parse(arguments);
    // --config FILE: the database of the server's configuration, unless --db names one;
    // the file's other lines are the server's
    if (parsed && options.has(QStringLiteral("config"))) {
        const QString problem =
            options.readDefaults(options.value(QStringLiteral("config")), zov::serverOptions());
        if (!problem.isEmpty())
            throw zov::UsageError(problem, zov::UsageError::Usage::Left);
    }
    const Subcommand &command = usable(options, parsed);
    QDate month;
    int olderThan = 0;
    readValues(options, command, &month, &olderThan);
    const zov::DatabaseConfig config =
        zov::DatabaseConfig::parse(options.value(QStringLiteral("db")));
    QSqlDatabase db;
    if (command.opens == Opens::FileOnly && !config.isSQLite())
        throw zov::UsageError(text("DB_SQLITE_ONLY").arg(QLatin1String(command.name)),
                              zov::UsageError::Usage::Left);
    if (command.opens != Opens::FileOnly)
        db = zov::openDatabase(config, kConnection,
                               command.opens == Opens::Created ? zov::OpenMode::Create
                                                               : zov::OpenMode::MustExist);
    if (command.opens == Opens::Current)
        zov::requireCurrentSchema(db, config);
    const int code = command.run({options, config, db, month, olderThan, out});
    db.close();
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int code = zov::runTool(app.arguments(), "USAGE_DB", "USAGE_DB_DETAILS", run);
    QSqlDatabase::removeDatabase(kConnection);
    return code;
}
