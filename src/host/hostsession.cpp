#include "hostsession.h"

#include "commandline.h"
#include "database.h"
#include "hostcontext.h"

namespace zov {

HostSession::HostSession(QString connectionName)
    : m_connection(std::move(connectionName))
{}

HostSession::~HostSession()
{
    setPresenter(nullptr);
    setBusyIndicator(nullptr);
    QSqlDatabase::removeDatabase(m_connection);
}

QString HostSession::readOptions(const CommandLine &options)
{
    LoginContext &login = loginContext();
    QString problem = readServerOptions(options, login);
    if (problem.isEmpty())
        login.operador = readOperator(options, login.token, &problem);
    return problem;
}

QSqlDatabase HostSession::open(const DatabaseConfig &db)
{
    QSqlDatabase connection = openDatabase(db, m_connection);
    loginContext().connectionName = m_connection;
    return connection;
}

void HostSession::useServer(const QString &host, int port)
{
    loginContext().webUrl = host;
    loginContext().webPort = port;
}

void HostSession::show(Presenter *presenter, BusyIndicator *busy)
{
    setPresenter(presenter);
    setBusyIndicator(busy);
}

} // namespace zov
