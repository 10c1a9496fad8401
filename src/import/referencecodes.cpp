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

QList<CodeName> branchList()
{
    Query filiais(QStringLiteral("qryFilialPesq"), loginContext().connectionName);
    filiais.Open();
    QList<CodeName> list;
    for (; !filiais.Eof(); filiais.Next())
        list.append({filiais.FieldByName(QStringLiteral("CDFILIAL")).asString(),
                     filiais.FieldByName(QStringLiteral("NMFILIAL")).asString()});
    return list;
}

QList<CodeName> serviceList(const QString &branch)
{
    Query servicos(QStringLiteral("qryServicoPesq"), loginContext().connectionName);
    servicos.ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(branch);
    servicos.Open();
    QList<CodeName> list;
    for (; !servicos.Eof(); servicos.Next())
        list.append({servicos.FieldByName(QStringLiteral("CDSERVFILI")).asString(),
                     servicos.FieldByName(QStringLiteral("NMSERVICO")).asString()});
    return list;
}

} // namespace zov
