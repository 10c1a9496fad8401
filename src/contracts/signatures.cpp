#include "signatures.h"

#include "packet.h"
#include "texts.h"

#include <QDate>

namespace zov {

const QList<MethodSignature> &methodSignatures()
{
    using K = ArgKind;
    using M = Method;
    static const QList<MethodSignature> table = {
        {M::GetPesqConfDestino,
         QStringLiteral("GetPesqConfDestino"),
         {{QStringLiteral("CdFilial"), K::Text, true},
          {QStringLiteral("CdServFili"), K::Text, true},
          {QStringLiteral("DtMesCard"), K::Date, true}}},
        {M::GetCardOrigem,
         QStringLiteral("GetCardOrigem"),
         {{QStringLiteral("CdFilial"), K::Text, false},
          {QStringLiteral("CdServFili"), K::Text, false},
          {QStringLiteral("DtInicial"), K::Date, false},
          {QStringLiteral("DtFinal"), K::Date, false},
          {QStringLiteral("ListaDietas"), K::Text, true}},
         /*largeReply*/ true},
        {M::GetPrxCardapio,
         QStringLiteral("GetPrxCardapio"),
         {{QStringLiteral("CdFilial"), K::Text, true},
          {QStringLiteral("CdServFili"), K::Text, true},
          {QStringLiteral("DtCardapio"), K::Date, true},
          {QStringLiteral("CdDietPad"), K::Text, true}},
         /*largeReply*/ false,
         /*textAnswer*/ true,
         /*batch*/ false,
         /*ahead*/ true},
        {M::GetComensais,
         QStringLiteral("GetComensais"),
         {{QStringLiteral("CdFilial"), K::Text, true},
          {QStringLiteral("CdServFili"), K::Text, true},
          {QStringLiteral("CdDietPad"), K::Text, true},
          {QStringLiteral("DtCardapio"), K::Date, true}},
         /*largeReply*/ false,
         /*textAnswer*/ false,
         /*batch*/ false,
         /*ahead*/ true},
        {M::Dieta,
         QStringLiteral("Dieta"),
         {{QStringLiteral("ListaDietas"), K::Text, true},
          {QStringLiteral("CdFilial"), K::Text, false},
          {QStringLiteral("CdServFili"), K::Text, false},
          {QStringLiteral("DtMes"), K::Date, false}}},
        {M::VerifCardadia,
         QStringLiteral("VerifCardadia"),
         {{QStringLiteral("DtCardapio"), K::Date, true},
          {QStringLiteral("CdFilial"), K::Text, true},
          {QStringLiteral("CdServFili"), K::Text, true},
          {QStringLiteral("CdDietPad"), K::Text, true}},
         /*largeReply*/ false,
         /*textAnswer*/ false,
         /*batch*/ false,
         /*ahead*/ true},
        {M::DelPratosDiet,
         QStringLiteral("DelPratosDiet"),
         {{QStringLiteral("CdFilial"), K::Text, true},
          {QStringLiteral("CdServFili"), K::Text, true},
          {QStringLiteral("CdDietPad"), K::Text, true},
          {QStringLiteral("DtCardapio"), K::Date, true}},
         /*largeReply*/ false,
         /*textAnswer*/ false,
         /*batch*/ false,
         /*ahead*/ true},
        {M::SetImportacao,
         QStringLiteral("SetImportacao"),
         {{QStringLiteral("DeltaCardaDia"), K::Delta, true},
          {QStringLiteral("DeltaCompCard"), K::Delta, true}},
         /*largeReply*/ false,
         /*textAnswer*/ false,
         /*batch*/ true},
        {M::GetTemCard,
         QStringLiteral("GetTemCard"),
         {{QStringLiteral("CdFilial"), K::Text, false},
          {QStringLiteral("CdServFili"), K::Text, false},
          {QStringLiteral("DtMes"), K::Date, false},
          {QStringLiteral("ListaDietas"), K::Text, true}}},
        {M::Data,
         QStringLiteral("Data"),
         {{QStringLiteral("DtInicial"), K::Date, false},
          {QStringLiteral("DtFinal"), K::Date, false},
          {QStringLiteral("CdFilial"), K::Text, false},
          {QStringLiteral("CdServFili"), K::Text, false}}},
        {M::GetCardadia,
         QStringLiteral("GetCardadia"),
         {{QStringLiteral("CdFilial"), K::Text, false},
          {QStringLiteral("CdServFili"), K::Text, false},
          {QStringLiteral("DtCardapio"), K::Date, true},
          {QStringLiteral("ListaDietas"), K::Text, true}},
         /*largeReply*/ true},
        {M::GetImportacoes,
         QStringLiteral("GetImportacoes"),
         {{QStringLiteral("CdFilial"), K::Text, false}}},
        {M::DesfazImportacao,
         QStringLiteral("DesfazImportacao"),
         {{QStringLiteral("IdImportacao"), K::Text, false},
          {QStringLiteral("CdFilial"), K::Text, false}}},
        {M::VerifLotes,
         QStringLiteral("VerifLotes"),
         {{QStringLiteral("IdsLotes"), K::Text, false}}},
        // the reads of a destination step as one call: `Partes` names them in the order
        // their answers come, N GetPrxCardapio, C GetComensais, V VerifCardadia and D
        // DelPratosDiet, each at most once
        {M::GetPassoDestino,
         QStringLiteral("GetPassoDestino"),
         {{QStringLiteral("CdFilial"), K::Text, false},
          {QStringLiteral("CdServFili"), K::Text, false},
          {QStringLiteral("DtCardapio"), K::Date, false},
          {QStringLiteral("CdDietPad"), K::Text, false},
          {QStringLiteral("Partes"), K::Text, false}},
         /*largeReply*/ false,
         /*textAnswer*/ false,
         /*batch*/ false,
         /*ahead*/ true},
    };
    return table;
}

const MethodSignature &signatureOf(Method method)
{
    const MethodSignature &s = methodSignatures().at(static_cast<int>(method));
    Q_ASSERT(s.id == method);
    return s;
}

const MethodSignature *findSignature(const QString &method)
{
    for (const MethodSignature &s : methodSignatures()) {
        if (s.name == method)
            return &s;
    }
    return nullptr;
}

bool isBatch(const QString &method)
{
    const MethodSignature *signature = findSignature(method);
    return signature && signature->batch;
}

QString checkArguments(const MethodSignature &signature, const QVariantList &args)
{
    if (args.size() != signature.params.size())
        return text("ARGS_COUNT").arg(signature.name).arg(signature.params.size()).arg(args.size());
    for (int i = 0; i < args.size(); ++i) {
        const Param &p = signature.params.at(i);
        const QVariant &v = args.at(i);
        const bool null = !v.isValid() || v.isNull();
        switch (p.kind) {
        case ArgKind::Text:
            if (null || v.typeId() != QMetaType::QString)
                return text("ARG_NOT_TEXT").arg(p.name, signature.name).arg(i + 1);
            if (v.toString().size() > kMaxTextArgument)
                return text("ARG_TOO_LONG").arg(p.name, signature.name).arg(kMaxTextArgument);
            break;
        case ArgKind::Date:
            if (null || v.typeId() != QMetaType::QDate || !v.toDate().isValid())
                return text("ARG_NOT_DATE").arg(p.name, signature.name).arg(i + 1);
            break;
        case ArgKind::Delta:
            if (!null && v.typeId() != qMetaTypeId<Packet>())
                return text("ARG_NOT_DELTA").arg(p.name, signature.name).arg(i + 1);
            break;
        }
    }
    return {};
}

} // namespace zov
