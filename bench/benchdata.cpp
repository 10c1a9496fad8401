#include "benchdata.h"

#include "database.h"
#include "error.h"
#include "schema.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

namespace bench {

namespace {

void exec(QSqlDatabase &db, const QString &sql)
{
    zov::execOrThrow(db, sql);
}

} // namespace

void copyDatabase(const QString &from, const QString &to)
{
    QFile::remove(to);
    const QString name = QStringLiteral("copy");
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(from), name);
        Query vacuum(db, QStringLiteral("VACUUM INTO ?"));
        vacuum.run({to});
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

QString pgDatabase(const QString &server, const QString &name, const QString &from)
{
    const QString admin = QStringLiteral("admin");
    {
        QSqlDatabase db = zov::openDatabase(zov::DatabaseConfig::parse(server), admin);
        exec(db, QStringLiteral("DROP DATABASE IF EXISTS %1").arg(name));
        exec(db, from.isEmpty() ? QStringLiteral("CREATE DATABASE %1").arg(name)
                                : QStringLiteral("CREATE DATABASE %1 TEMPLATE %2").arg(name, from));
        db.close();
    }
    QSqlDatabase::removeDatabase(admin);
    QUrl url(server);
    url.setPath(QLatin1Char('/') + name);
    return url.toString();
}

QString diet(int d)
{
    return QStringLiteral("%1").arg(d, 4, 10, QLatin1Char('0'));
}

Query::Query(QSqlDatabase &db, const QString &sql)
    : q(db)
{
    if (!q.prepare(sql))
        throw zov::Error(sql + QLatin1Char(' ') + q.lastError().text());
}

void Query::run(const QVariantList &values)
{
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        throw zov::Error(q.lastQuery() + QLatin1Char(' ') + q.lastError().text());
}

void Query::runNamed(const QVariantMap &values)
{
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        q.bindValue(QLatin1Char(':') + it.key(), it.value());
    if (!q.exec())
        throw zov::Error(q.lastQuery() + QLatin1Char(' ') + q.lastError().text());
}

namespace {

QString type(int t)
{
    return QStringLiteral("%1").arg(t, 2, 10, QLatin1Char('0'));
}

} // namespace

void generate(const QString &path, int scale)
{
    const QString name = QStringLiteral("generate");
    {
        QSqlDatabase db =
            zov::openDatabase(zov::DatabaseConfig::parse(path), name, zov::OpenMode::Create);
        zov::applySchema(db);
        db.transaction();
        {
            exec(db, QStringLiteral("INSERT INTO FILIAL VALUES ('BN01', 'HOSPITAL DE BANCADA')"));
            exec(db, QStringLiteral("INSERT INTO PARAMPLANEJA VALUES ('BN01', 'S')"));
            exec(db, QStringLiteral(
                         "INSERT INTO SERVICO VALUES ('BN01', '00001', 'ALMOÇO', 'D', NULL)"));
            Query dietRow(db, QStringLiteral("INSERT INTO DIETPADR VALUES (?, ?)"));
            Query served(db, QStringLiteral("INSERT INTO DIETSERV VALUES (?, ?, ?)"));
            Query estimate(db,
                           QStringLiteral("INSERT INTO ESTIDIETA VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
            for (int d = 1; d <= kDiets; ++d) {
                dietRow.run({diet(d), QStringLiteral("DIETA %1").arg(d)});
                served.run({kBranch, kService, diet(d)});
                for (int w = 1; w <= 7; ++w) {
                    const double total = 50 + d * 10 + w;
                    estimate.run({kBranch, kService, diet(d), w, total, total - 20, 15.0, 5.0});
                }
            }
            Query shift(db, QStringLiteral(
                                "INSERT INTO TURNOSERV VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
            for (int s = 1; s <= 3; ++s)
                shift.run({kBranch, kService, QString::number(s), 100 * s, 101 * s, 102 * s,
                           103 * s, 104 * s, 105 * s, 106 * s, 90 * s});
            const int types = 5 * scale;
            Query typeRow(db, QStringLiteral("INSERT INTO TIPOPRAT VALUES (?, ?)"));
            Query slot(db, QStringLiteral("INSERT INTO CNFCAMES VALUES (?, ?, ?, ?, ?, ?)"));
            for (int t = 1; t <= types; ++t) {
                typeRow.run({type(t), QStringLiteral("TIPO %1").arg(t)});
                for (int k = 1; k <= kSlotsPerType; ++k) {
                    for (const QDate &month : {kSourceMonth, kDestinationMonth})
                        slot.run(
                            {kBranch, kService, month, (t - 1) * kSlotsPerType + k, type(t), k});
                }
            }
            Query header(
                db, QStringLiteral(
                        "INSERT INTO CARDADIA (CDFILIAL, CDSERVFILI, DTCARDAPIO, CDDIETPAD, "
                        "NRCARDAPIO, "
                        "CDOPERADOR, QTCOMESTICAR, DTMESCARD, DTULTATUACAR) VALUES (?, ?, ?, ?, ?, "
                        "'GERADOR', ?, ?, ?)"));
            Query dish(db,
                       QStringLiteral(
                           "INSERT INTO COMPCARD VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
            int number = 0;
            for (int day = 0; day < kSourceMonth.daysInMonth(); ++day) {
                const QDate date = kSourceMonth.addDays(day);
                for (int d = 1; d <= kDiets; ++d) {
                    const QString nr = QString::number(++number);
                    header.run({kBranch, kService, date, diet(d), nr, 100, kSourceMonth, date});
                    for (int t = 1; t <= types; ++t) {
                        for (int k = 1; k <= kSlotsPerType; ++k) {
                            const int code = (t * 7 + k * 3 + day) % 97;
                            dish.run(
                                {kBranch, date, diet(d), nr, (t - 1) * kSlotsPerType + k, kBranch,
                                 QStringLiteral("P%1%2").arg(type(t)).arg(code, 3, 10,
                                                                          QLatin1Char('0')),
                                 QStringLiteral("PRATO %1 DO TIPO %2").arg(code).arg(t),
                                 20.0 + (t * 13 + k * 7 + day + d) % 80 + 0.5 * (k % 2), type(t),
                                 QStringLiteral("%1%2")
                                     .arg(k, 3, 10, QLatin1Char('0'))
                                     .arg(type(t)),
                                 k, kService});
                        }
                    }
                }
            }
            exec(db, QStringLiteral("INSERT INTO CARDSEQ VALUES ('BN01', %1)").arg(number));
        }
        db.commit();
        if (zov::DatabaseConfig::parse(path).isSQLite())
            exec(db, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace bench
