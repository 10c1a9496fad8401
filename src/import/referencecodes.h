#pragma once

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

} // namespace zov
