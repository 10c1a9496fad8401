#pragma once

#include <QDate>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantMap>

namespace bench {

// The benchmark hospital: one branch (BN01) and service (00001), twelve diets, a
// source month (January 2025) with 25 x scale dishes per day and diet in 5 x scale
// dish types of five slots, the slots of the source and of the destination month
// (March 2025), diner estimates and three shifts; no holidays.
inline const QString kBranch = QStringLiteral("BN01");
inline const QString kService = QStringLiteral("00001");
inline const QDate kSourceMonth(2025, 1, 1);
inline const QDate kDestinationMonth(2025, 3, 1);
constexpr int kDiets = 12;
constexpr int kSlotsPerType = 5;

void generate(const QString &path, int scale);

// A consistent copy of an SQLite database (VACUUM INTO), whatever its journal holds.
void copyDatabase(const QString &from, const QString &to);

// A database of the PostgreSQL server `server` (a URL), created afresh: empty, or a
// copy of the database `from`; its URL.
QString pgDatabase(const QString &server, const QString &name, const QString &from = {});

// The code of the d-th diet ("0001").
QString diet(int d);

// A prepared statement that throws zov::Error, naming itself, when it fails.
struct Query
{
    Query(QSqlDatabase &db, const QString &sql);
    void run(const QVariantList &values);
    void runNamed(const QVariantMap &values);
    QSqlQuery q;
};

} // namespace bench
