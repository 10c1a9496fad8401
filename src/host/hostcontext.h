#pragma once

#include "hostservices.h"

#include <QDate>
#include <QObject>
#include <QString>
#include <QTextStream>
#include <functional>

namespace zov {

// 30 seconds, or the milliseconds in the environment variable ZOV_CALL_DEADLINE_MS.
int defaultDeadlineMs();

// Today's date, read from the clock at most once a second: reading it goes through
// the time zone, which the C library looks up again on every call.
QDate currentDay();

// The login context the host owns: who is logged in, where the application server
// is, and which database connection the screen's own queries use.
struct LoginContext
{
    QString operador; // operator code, at most 12 characters
    QString webUrl = QStringLiteral("127.0.0.1");
    int webPort = 8211;
    QString connectionName;               // QSqlDatabase connection of the host
    QString caFile;                       // CA certificate for TLS, empty for none
    QString token;                        // access token sent with every call
    int deadlineMs = defaultDeadlineMs(); // deadline of every remote call
    QObject *mainWindow = nullptr;        // the host's main window, owner of the screens
    std::function<QDate()> today = [] { return currentDay(); };
};

LoginContext &loginContext();
QString Operador();
// The database driver's own warnings about a connection that went away ("Unable to
// free statement: no connection to the server", once per statement) become one line
// in Portuguese on standard error; every other message goes on as before.
void sayLostConnectionsOnce();
// The name the system knows the user by (the session's LOGNAME or USER, else the
// account of the process); empty when there is none, as for a service without one.
QString systemLoginName();
QString WebURL();
int WebPort();

// Messages on text streams, for programs without windows: errors on `err`, notices
// and warnings on `out`; a pick list picks nothing.
class StreamPresenter : public Presenter
{
public:
    StreamPresenter(QTextStream &out, QTextStream &err);
    void showError(const QString &text) override;
    void showError(const QString &text, const QString &details) override;
    void showInformation(const QString &text) override;
    void showWarning(const QString &text) override;
    int choose(const QString &title, const PickList &list, const QString &emptyText) override;
    // a command line asks nothing: what it is told to do is what was asked
    bool confirm(const QString &, const QString &) override { return true; }
    bool chooseMany(const QString &title, const PickList &list, const QList<int> &preselected,
                    QList<int> *picked) override;

private:
    QTextStream &m_out;
    QTextStream &m_err;
};

// The current presenter and busy indicator. Until a host sets its own, errors and
// notices go to standard error and the busy indicator does nothing.
Presenter &presenter();
void setPresenter(Presenter *presenter); // nullptr restores the default
BusyIndicator &busyIndicator();
void setBusyIndicator(BusyIndicator *indicator);

void ActiveShowAvi(int kind);
void DeactiveShowAvi();

// Hides the busy indication when it goes out of scope.
class BusyGuard
{
public:
    explicit BusyGuard(int kind) { ActiveShowAvi(kind); }
    ~BusyGuard() { DeactiveShowAvi(); }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;
};

// This host keeps no local copy of any table: every query reads the database, so
// dropping a cached table (["DELETECACHE", "TURNOSERV"]) has nothing to do.
void AtualizaLocalCache(const QStringList &request);

} // namespace zov
