#include "referencecodes.h"

#include "hostcontext.h"
#include "query.h"

namespace zov {

std::optional<QString> branchName(const QString &branch)
{
    Query filial(QStringLiteral("qryFilial"), loginContext().connectionName);
    filial.ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(branch);
    filial.Open();
    if (filial.IsEmpty())
        return std::nullopt;
    return filial.FieldByName(QStringLiteral("NMFILIAL")).asString();
}

std::optional<QString> serviceName(const QString &branch, const QString &service)
{
    Query servico(QStringLiteral("qryServico"), loginContext().connectionName);
    servico.ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(branch);
    servico.ParamByName(QStringLiteral("P_CDSERVFILI")).setAsString(service);
    servico.Open();
    if (servico.IsEmpty())
        return std::nullopt;
    return servico.FieldByName(QStringLiteral("NMSERVICO")).asString();
}

} // namespace zov
