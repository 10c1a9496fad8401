#pragma once

#include "appserverhost.h"
#include "database.h"
#include "hostservices.h"

#include <QDate>
#include <QSqlDatabase>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantList>

#include <memory>

namespace zov::test {

// A fresh SQLite database with the shipped schema in a temporary folder, with a
// connection of its own and helpers that write reference and menu rows.
class TestDatabase
{
public:
    TestDatabase();
    ~TestDatabase();

    DatabaseConfig config() const { return m_config; }
    QString url() const { return m_url; } // what --db takes
    bool postgres() const { return !m_config.isSQLite(); }
    QString connectionName() const { return m_connection; }
    QSqlDatabase db() const;

    // Runs one statement with values bound in order; fails the test (qFatal-free:
    // throws zov::Error) when the statement fails.
    void exec(const QString &sql, const QVariantList &values = {}) const;
    QVariant scalar(const QString &sql, const QVariantList &values = {}) const;
    int count(const QString &table, const QString &where = {},
              const QVariantList &values = {}) const;
    // Every row of a table in a stable order, each row as "v1|v2|..." (for comparing states).
    QStringList dump(const QString &table) const;

    void addBranch(const QString &branch, const QString &name,
                   const QString &idCardiaUtil = QStringLiteral("S")) const;
    void addService(const QString &branch, const QString &service, const QString &name,
                    const QString &tipo = QStringLiteral("D"), const QVariant &tipoHosp = {}) const;
    void addDiet(const QString &diet, const QString &name) const;
    void serveDiet(const QString &branch, const QString &service, const QString &diet) const;
    void addDishType(const QString &type, const QString &name) const;
    void addSlot(const QString &branch, const QString &service, const QDate &month, int seq,
                 const QString &type, int order) const;
    void addHeader(const QString &branch, const QString &service, const QDate &day,
                   const QString &diet, const QString &number, const QVariant &estimate,
                   const QDate &month = {}) const;
    void addDish(const QString &branch, const QString &number, const QString &diet, int seq,
                 const QString &dish, const QString &dishName, const QString &type,
                 const QVariant &perCapita, int order, const QDate &day,
                 const QString &service) const;
    // diner estimates of a diet for a weekday (1 = Sunday .. 7 = Saturday)
    void addEstimate(const QString &branch, const QString &service, const QString &diet,
                     int weekday, double total, double patients, double staff,
                     double companions) const;
    // shift defaults: seven weekday values, Sunday first, then the holiday value
    void addShift(const QString &branch, const QString &service, const QString &shift,
                  const QList<double> &weekdaysAndHoliday) const;
    void addHoliday(const QString &branch, const QDate &day) const;
    void addFeriCard(const QString &branch, const QDate &day) const;
    // Makes the database refuse dish rows (or rows of `table`) for which `condition`
    // (in terms of NEW.x) holds, with the error `message`, as a trigger of either
    // dialect does.
    void refuseDishes(const QString &condition, const QString &message,
                      const QString &table = QStringLiteral("COMPCARD")) const;
    void allowDishes() const;
    // Another writer holds the whole database (SQLite) or the menu tables
    // (PostgreSQL) until release().
    void holdWriteLock() const;
    void release() const;

private:
    QTemporaryDir m_dir;
    QString m_url;
    DatabaseConfig m_config;
    QString m_connection;
};

// The application server over a test database on a free loopback port.
class TestServer
{
public:
    // `offerStream` false: a server from before the call stream; `offerStepReads`
    // false: one from before a step's reads in one call
    explicit TestServer(const DatabaseConfig &config, int menuNumberBlock = 16,
                        bool offerStream = true, bool offerStepReads = true);
    ~TestServer();
    int port() const { return m_host->port(); }
    QString address() const { return m_host->address(); }

private:
    std::unique_ptr<AppServerHost> m_host;
};

// Records what the screen shows and answers its pick lists.
class RecordingPresenter : public Presenter
{
public:
    RecordingPresenter();
    ~RecordingPresenter() override;

    void showError(const QString &text) override { errors.append(text); }
    void showError(const QString &text, const QString &more) override
    {
        errors.append(text);
        details.append(more);
    }
    void showInformation(const QString &text) override { informations.append(text); }
    void showWarning(const QString &text) override { warnings.append(text); }
    int choose(const QString &title, const PickList &list, const QString &emptyText) override;
    bool chooseMany(const QString &title, const PickList &list, const QList<int> &preselected,
                    QList<int> *picked) override;
    bool confirm(const QString &title, const QString &text) override
    {
        titles.append(title);
        questions.append(text);
        return confirmAnswer;
    }

    void clear();

    QStringList errors;
    QStringList details; // of the errors shown with details
    QStringList informations;
    QStringList warnings;
    QStringList titles;
    QList<PickList> lists;
    int nextChoice = -1;    // the row choose() picks; -1 cancels
    QList<int> nextPicks;   // the rows chooseMany() picks
    bool acceptMany = true; // false cancels the multi-select
    QStringList questions;
    bool confirmAnswer = false;
};

} // namespace zov::test
