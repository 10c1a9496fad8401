// zov-db: creates the schema of a database (init), fills it with a demo hospital
// (seed-demo) and keeps the history of import runs bounded (purge-runs).

#include "commandline.h"
#include "database.h"
#include "dates.h"
#include "demoseed.h"
#include "error.h"
#include "runhistory.h"
#include "schema.h"
#include "sqlsession.h"
#include "texts.h"

#include <QCoreApplication>
#include <QDate>
#include <QSqlDatabase>
#include <QTextStream>

namespace {

int run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    if (zov::answeredHelpOrVersion(arguments, zov::text("USAGE_DB"), out))
        return 0;
    zov::CommandLine options(
        {QStringLiteral("db"), QStringLiteral("month"), QStringLiteral("older-than")}, {});
    const bool parsed = options.parse(arguments);
    const QStringList words = options.positional();
    const QString command = words.value(0);
    const bool purge = command == QLatin1String("purge-runs");
    if (!parsed || words.size() != 1 || !options.has(QStringLiteral("db")) ||
        (command != QLatin1String("init") && command != QLatin1String("seed-demo") && !purge) ||
        (command != QLatin1String("seed-demo") && options.has(QStringLiteral("month"))) ||
        purge != options.has(QStringLiteral("older-than"))) {
        if (!options.error().isEmpty())
            err << options.error() << Qt::endl;
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
    if (purge && (!ok || olderThan < 0 || olderThan > 36500)) {
        err << zov::text("CLI_BAD_DAYS").arg(options.value(QStringLiteral("older-than")).left(40))
            << Qt::endl;
        return 64;
    }
    const QString connection = QStringLiteral("zov-db");
    try {
        const zov::DatabaseConfig config =
            zov::DatabaseConfig::parse(options.value(QStringLiteral("db")));
        QSqlDatabase db = zov::openDatabase(
            config, connection,
            command == QLatin1String("init") ? zov::OpenMode::Create : zov::OpenMode::MustExist);
        if (command == QLatin1String("init")) {
            zov::applySchema(db);
            out << zov::text("DB_READY").arg(config.display()) << Qt::endl;
        } else if (purge) {
            const QString problem = zov::schemaProblem(db);
            if (!problem.isEmpty())
                throw zov::Error(zov::text("DB_WRONG_SCHEMA").arg(config.display(), problem));
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
            const QString problem = zov::schemaProblem(db);
            if (!problem.isEmpty())
                throw zov::Error(zov::text("DB_WRONG_SCHEMA").arg(config.display(), problem));
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
