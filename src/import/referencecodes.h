#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace zov {

// The screen's look-ups of reference codes, with its own queries over the host's
// connection (loginContext().connectionName).

// The name of the branch (qryFilial); none when the branch is not registered.
std::optional<QString> branchName(const QString &branch);
// The name of the branch's service (qryServico), the code as stored (padded); none
// when the branch has no such service.
std::optional<QString> serviceName(const QString &branch, const QString &service);

// A code and its name, as a search list offers them.
struct CodeName
{
    QString code;
    QString name;
};
// The registered branches by code (qryFilialPesq), and the services of a branch as the
// screen's service search lists them (qryServicoPesq).
QList<CodeName> branchList();
QList<CodeName> serviceList(const QString &branch);

} // namespace zov
