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
#include "operators.h"
#include "runhistory.h"
#include "schema.h"
#include "serveroptions.h"
#include "sqlsession.h"
#include "texts.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
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

// The operators' keeping runs on a session of its own, as the server's does.
template<typename Work>
auto onSession(const Job &j, Work &&work)
{
    zov::SqlSession session(j.config, QStringLiteral("zov-db-operator"));
    try {
        return work(session);
    } catch (const zov::SqlFailure &e) {
        throw zov::Error(e.text());
    }
}

int operatorAdd(const Job &j)
{
    using Usage = zov::UsageError::Usage;
    zov::OperatorRecord record;
    record.code = j.options.value(QStringLiteral("operator"));
    record.name = j.options.value(QStringLiteral("name"));
    const QString role = j.options.value(QStringLiteral("role"));
    const auto known = zov::roleFromName(role);
    if (!known)
        throw zov::UsageError(text("CLI_BAD_ROLE").arg(role.left(40)), Usage::Left);
    record.role = *known;
    const QString branches = j.options.value(QStringLiteral("branches")).trimmed();
    record.allBranches = branches == QLatin1String("all");
    if (!record.allBranches) {
        for (const QString &branch : branches.split(QLatin1Char(','), Qt::SkipEmptyParts))
            if (!record.branches.contains(branch.trimmed()))
                record.branches.append(branch.trimmed());
        if (record.branches.isEmpty())
            throw zov::UsageError(text("CLI_BAD_BRANCHES").arg(branches.left(40)), Usage::Left);
    }
    const QString file = j.options.value(QStringLiteral("token-file"));
    onSession(j, [&](zov::SqlSession &s) {
        zov::addOperator(s, record, file);
        return 0;
    });
    j.out << text("OPERATOR_ADDED")
                 .arg(record.code, record.name, zov::roleName(record.role), record.branchesText(),
                      file)
          << Qt::endl;
    return 0;
}

int operatorList(const Job &j)
{
    const QString now = zov::operatorTime(QDateTime::currentDateTimeUtc());
    onSession(j, [&](zov::SqlSession &s) {
        for (const zov::OperatorRecord &r : zov::listOperators(s)) {
            int valid = 0;
            for (const zov::StoredCredential &c : zov::credentialsOf(s, r.code))
                valid += c.validUntil.isEmpty() || c.validUntil > now ? 1 : 0;
            j.out << QStringList{r.code,
                                 r.name,
                                 zov::roleName(r.role),
                                 r.branchesText(),
                                 r.active ? text("OPERATOR_LIST_ACTIVE")
                                          : text("OPERATOR_LIST_DISABLED").arg(r.disabled),
                                 text("OPERATOR_LIST_TOKENS").arg(valid)}
                         .join(QLatin1Char('\t'))
                  << Qt::endl;
        }
        return 0;
    });
    return 0;
}

int operatorDisable(const Job &j)
{
    const QString code = j.options.value(QStringLiteral("operator"));
    const bool changed =
        onSession(j, [&](zov::SqlSession &s) { return zov::disableOperator(s, code); });
    j.out << text(changed ? "OPERATOR_DISABLED" : "OPERATOR_ALREADY_DISABLED").arg(code)
          << Qt::endl;
    return 0;
}

int operatorRotate(const Job &j)
{
    const QString code = j.options.value(QStringLiteral("operator"));
    const QString file = j.options.value(QStringLiteral("token-file"));
    // the earlier tokens stay valid until the time given (local), at most 90 days ahead;
    // without one they are refused at once
    QDateTime until = QDateTime::currentDateTime();
    if (j.options.has(QStringLiteral("keep-old-until"))) {
        const QString given = j.options.value(QStringLiteral("keep-old-until"));
        until = QDateTime::fromString(given, QStringLiteral("yyyy-MM-ddTHH:mm"));
        if (!until.isValid())
            until = QDateTime::fromString(given, QStringLiteral("yyyy-MM-dd HH:mm"));
        if (!until.isValid() || until > QDateTime::currentDateTime().addDays(90))
            throw zov::UsageError(text("CLI_BAD_KEEP_UNTIL").arg(given.left(40)),
                                  zov::UsageError::Usage::Left);
    }
    onSession(j, [&](zov::SqlSession &s) {
        zov::rotateOperator(s, code, until, file);
        return 0;
    });
    if (until > QDateTime::currentDateTime())
        j.out << text("OPERATOR_ROTATED")
                     .arg(code, file, until.toString(QStringLiteral("dd/MM/yyyy HH:mm")))
              << Qt::endl;
    else
        j.out << text("OPERATOR_ROTATED_NOW").arg(code, file) << Qt::endl;
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

// Each subcommand (one word, or "operator" and one), the options it takes besides --db
// (which is required) and of those the ones it requires, and how it opens the database.
struct Subcommand
{
    const char *name;
    const char *takes;
    const char *required;
    Opens opens;
    int (*run)(const Job &);
};
constexpr Subcommand kSubcommands[] = {
    {"init", "", "", Opens::Created, init},
    {"check", "", "", Opens::AsItIs, check},
    {"upgrade", "", "", Opens::AsItIs, upgrade},
    {"seed-demo", "month", "", Opens::Current, seedDemo},
    {"purge-runs", "older-than", "older-than", Opens::Current, purgeRuns},
    {"backup", "to", "to", Opens::FileOnly, backup},
    {"restore", "from", "from", Opens::FileOnly, restore},
    {"operator add", "operator name branches role token-file",
     "operator name branches role token-file", Opens::Current, operatorAdd},
    {"operator list", "", "", Opens::Current, operatorList},
    {"operator disable", "operator", "operator", Opens::Current, operatorDisable},
    {"operator rotate", "operator token-file keep-old-until", "operator token-file", Opens::Current,
     operatorRotate},
};
const QString kValued = QStringLiteral(
    "month older-than to from operator name branches role token-file keep-old-until");

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
    const Subcommand *command =
        words.size() == 1 || (words.size() == 2 && words.first() == QLatin1String("operator"))
            ? find(words.join(QLatin1Char(' ')))
            : nullptr;
    bool fits = parsed && command && options.has(QStringLiteral("db"));
    for (const QString &option : kValued.split(QLatin1Char(' '))) {
        const bool allowed =
            command && QString::fromLatin1(command->takes).split(QLatin1Char(' ')).contains(option);
        const bool required =
            command &&
            QString::fromLatin1(command->required).split(QLatin1Char(' ')).contains(option);
        const bool given = options.has(option);
        if (command && parsed && options.has(QStringLiteral("db")) && required && !given)
            throw zov::UsageError(text("CLI_MISSING_OPTION").arg(option));
        fits = fits && (allowed || !given);
    }
    if (fits)
        return *command;
    if (!options.error().isEmpty())
        throw zov::UsageError(options.error());
    if (command && !options.has(QStringLiteral("db")))
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
    zov::CommandLine options(
        QString(QStringLiteral("db config ") + kValued).split(QLatin1Char(' ')), QStringList());
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
