#include "impocardhosp.h"

#include "importfields.h"

#include "appserver.h"
#include "consiste.h"
#include "dates.h"
#include "dietlist.h"
#include "error.h"
#include "hostcontext.h"
#include "messages.h"
#include "rpcconnection.h"
#include "texts.h"

namespace zov {

namespace {

// The rows of a query as a pick list over its declared fields.
PickList pickListOf(const Query &query)
{
    PickList list;
    for (const QueryFieldDef &f : query.declaredFields())
        list.titles.append(f.label.isEmpty() ? f.name : f.label);
    for (int r = 0; r < query.rowCount(); ++r) {
        QStringList row;
        for (const QueryFieldDef &f : query.declaredFields())
            row.append(Query::Value(query.valueAt(r, f.name)).asString());
        list.rows.append(row);
    }
    return list;
}

// The visible rows of a record set as a pick list over its visible fields.
PickList pickListOf(RecordSet &rs)
{
    PickList list;
    QList<int> fields;
    for (int f = 0; f < rs.layout().fields.size(); ++f) {
        const FieldDef &def = rs.layout().fields.at(f);
        if (!def.hidden) {
            fields.append(f);
            list.titles.append(def.displayLabel());
        }
    }
    for (int r = 0; r < rs.RecordCount(); ++r) {
        QStringList row;
        for (const int f : fields) {
            const QVariant v = rs.valueAt(r, f);
            row.append(v.typeId() == QMetaType::QDate ? shortDate(v.toDate()) : v.toString());
        }
        list.rows.append(row);
    }
    return list;
}

// The two packets of an answer, moved out of it.
std::pair<Packet, Packet> pairOf(QVariant &&value, Method method)
{
    if (value.typeId() != QMetaType::QVariantList || value.toList().size() < 2)
        MensErro(text("UNEXPECTED_REPLY").arg(methodName(method)), true, AbortKind::Failure);
    auto &list = *static_cast<QVariantList *>(value.data());
    return {ImpoCardHosp::packetOf(std::move(list[0]), method),
            ImpoCardHosp::packetOf(std::move(list[1]), method)};
}

// Runs `onError` and passes the error on when the guarded code throws.
template<typename Body, typename OnError>
void guarded(Body body, OnError onError)
{
    try {
        body();
    } catch (...) {
        onError();
        throw;
    }
}

} // namespace

ImpoCardHosp::ImpoCardHosp(QObject *parent)
    : QObject(parent)
    , cdsCardOrigem(QStringLiteral("cdsCardOrigem"))
    , cdsTipoPrato(QStringLiteral("cdsTipoPrato"))
    , cdsPesqConfDestino(QStringLiteral("cdsPesqConfDestino"))
    , cdsTemCard(QStringLiteral("cdsTemCard"))
    , cdsDieta(QStringLiteral("cdsDieta"))
    , cdsComensais(QStringLiteral("cdsComensais"))
    , cdsCardaDia(QStringLiteral("cdsCardaDia"))
    , cdsCompCardCache(QStringLiteral("cdsCompCardCache"))
    , adqValidDiet(QStringLiteral("adqValidDiet"))
    , adqData(QStringLiteral("adqData"))
    , adqVerifCardaDia(QStringLiteral("adqVerifCardaDia"))
{
    const QString connection = loginContext().connectionName;
    Query::setTimeLimit(loginContext().deadlineMs);
    qryFilial = std::make_unique<Query>(QStringLiteral("qryFilial"), connection);
    qryServicoPesq = std::make_unique<Query>(QStringLiteral("qryServicoPesq"), connection);
    qryServico = std::make_unique<Query>(QStringLiteral("qryServico"), connection);
    qryFeriFili = std::make_unique<Query>(QStringLiteral("qryFeriFili"), connection);
    qryTurno = std::make_unique<Query>(QStringLiteral("qryTurno"), connection);
    qryNaoUtil = std::make_unique<Query>(QStringLiteral("qryNaoUtil"), connection);
    adqDietaX = std::make_unique<Query>(QStringLiteral("adqDietaX"), connection);
    m_fields = std::make_unique<Fields>(*this);
    cdsTemCard.setOnCalcFields([](RecordSet &rs) {
        rs.FieldByName(QStringLiteral("DiaSemana"))
            .setValue(shortWeekdayName(rs.FieldByName(QStringLiteral("DTCARDAPIO")).asDate()));
    });
}

ImpoCardHosp::~ImpoCardHosp() = default;

// ---------------------------------------------------------------------------
// plumbing

void ImpoCardHosp::FormCreate()
{
    m_primeiraAtivacao = true;
    QString failure;
    {
        BusyGuard busy(0);
        NetImpoCardHosp = std::make_unique<RpcConnection>();
        // NetImpoCardHospBeforeConnect: the address comes from the login context
        NetImpoCardHosp->setOptions(RpcConnection::loginOptions());
        try {
            NetImpoCardHosp->open();
        } catch (const Error &e) {
            failure = e.text();
        }
    }
    if (!failure.isEmpty())
        MensErro(failure, true, AbortKind::Failure);
    m_server = NetImpoCardHosp.get();
}

void ImpoCardHosp::set(QString &field, const QString &value, Control control)
{
    if (field == value)
        return;
    field = value;
    Q_EMIT changed(control);
}

void ImpoCardHosp::focus(Control control)
{
    Q_EMIT focusRequested(control);
}

void ImpoCardHosp::pump()
{
    if (m_pump)
        m_pump();
}

Packet ImpoCardHosp::packetOf(QVariant &&value, Method method)
{
    if (value.typeId() != qMetaTypeId<Packet>())
        MensErro(text("UNEXPECTED_REPLY").arg(methodName(method)), true, AbortKind::Failure);
    return takePacket(value);
}

QVariant ImpoCardHosp::remote(Method method, QVariantList &args)
{
    if (!m_server)
        MensErro(text("RPC_NOT_OPEN").arg(WebURL() + QLatin1Char(':') + QString::number(WebPort())),
                 true, AbortKind::Failure);
    try {
        return m_server->invoke(method, args);
    } catch (const Error &e) {
        callFailed(e);
    }
    return {};
}

QVariant ImpoCardHosp::checkedRemote(Method method, QVariantList &args)
{
    return CheckResultServ(remote(method, args), true, 0);
}

// ---------------------------------------------------------------------------
// input

void ImpoCardHosp::setServiceText(const QString &text)
{
    if (text == m_service)
        return;
    m_service = text;
    Q_EMIT changed(medCdServico);
    medCdServicoChange();
}

void ImpoCardHosp::setStartDate(const QDate &date)
{
    setDate(m_start, date, depCardOrig, &ImpoCardHosp::depCardOrigDateChange);
}

void ImpoCardHosp::setEndDate(const QDate &date)
{
    setDate(m_end, date, depCardOrigAte, &ImpoCardHosp::depCardOrigAteDateChange);
}

void ImpoCardHosp::setDate(QDate &field, const QDate &date, Control control,
                           void (ImpoCardHosp::*dateChange)())
{
    if (date == field)
        return;
    field = date;
    Q_EMIT changed(control);
    (this->*dateChange)();
    selectionChanged();
}

void ImpoCardHosp::setDietChoice(bool all, bool list)
{
    const bool wasAll = m_allDiets;
    const bool wasList = m_listDiets;
    m_allDiets = all;
    m_listDiets = !all && list;
    Q_EMIT changed(rbtTodosDiet);
    Q_EMIT changed(rbtListDiet);
    grbDietaClick();
    if (wasAll != m_allDiets || wasList != m_listDiets)
        selectionChanged();
}

void ImpoCardHosp::setMode(bool append)
{
    m_append = append;
    m_overwrite = !append;
    Q_EMIT changed(rdbAcrescentar);
    Q_EMIT changed(rdbSobrepor);
}

void ImpoCardHosp::setRounding(double value)
{
    m_rounding = value;
    Q_EMIT changed(nedArredonda);
}

// ---------------------------------------------------------------------------
// branch and service

void ImpoCardHosp::FormActivate()
{
    const UnitValues &u = unitValues();
    const bool visible = u.SemArredondamento == 0;
    if (visible != m_roundingStripVisible) {
        m_roundingStripVisible = visible;
        Q_EMIT changed(panArredonda);
    }
    if (!m_primeiraAtivacao)
        return;
    set(m_branch, u.CdFilial, medCdFilial);
    qryFilial->Close();
    qryFilial->ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(m_branch);
    qryFilial->Open();
    set(m_branchName,
        qryFilial->IsEmpty() ? QString()
                             : qryFilial->FieldByName(QStringLiteral("NMFILIAL")).asString(),
        edtNmFilial);

    setServiceText(u.CdServFili);
    qryServico->Close();
    qryServico->ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(m_branch);
    qryServico->ParamByName(QStringLiteral("P_CDSERVFILI")).setAsString(m_service);
    qryServico->Open();
    set(m_serviceName,
        qryServico->IsEmpty() ? QString()
                              : qryServico->FieldByName(QStringLiteral("NMSERVICO")).asString(),
        edtNmServico);

    setStartDate(u.DtCardapio);
    setEndDate(QDate());
    setDietChoice(true, false);
    Cardadia_Compcard();
    m_primeiraAtivacao = false;
}

void ImpoCardHosp::medCdServicoChange()
{
    set(m_serviceName, QString(), edtNmServico);
    selectionChanged();
}

void ImpoCardHosp::medCdServicoExit()
{
    Vd_CdServico(false);
}

void ImpoCardHosp::btnServicoBeforePesq()
{
    qryServicoPesq->Close();
    qryServicoPesq->ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(m_branch);
}

void ImpoCardHosp::btnServicoAfterPesq()
{
    setServiceText(qryServicoPesq->FieldByName(QStringLiteral("CDSERVFILI")).asString());
    set(m_serviceName, qryServicoPesq->FieldByName(QStringLiteral("NMSERVICO")).asString(),
        edtNmServico);
}

void ImpoCardHosp::btnServicoClick()
{
    btnServicoBeforePesq();
    qryServicoPesq->Open();
    const int picked = presenter().choose(text("SEARCH_SERVICE_TITLE"), pickListOf(*qryServicoPesq),
                                          text("SEARCH_SERVICE_EMPTY"));
    if (picked < 0 || picked >= qryServicoPesq->rowCount())
        return;
    qryServicoPesq->setRow(picked);
    btnServicoAfterPesq();
}

void ImpoCardHosp::Vd_CdServico(bool obrigatorio)
{
    // on any error the focus goes back to the service code
    guarded(
        [&] {
            if (EmptyString(m_service)) {
                if (obrigatorio)
                    MensErro(TMessages::Msg(QStringLiteral("SERV_DEVE")));
                return;
            }
            int width = 5;
            for (const QueryFieldDef &f : qryServico->declaredFields()) {
                if (f.name == QLatin1String("CDSERVFILI") && f.size > 0)
                    width = f.size;
            }
            setServiceText(Ajusta(m_service, width));
            qryServico->Close();
            qryServico->ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(m_branch);
            qryServico->ParamByName(QStringLiteral("P_CDSERVFILI")).setAsString(m_service);
            qryServico->Open();
            if (qryServico->IsEmpty())
                MensErro(TMessages::Msg(QStringLiteral("SERV_NAO_CAD")));
            set(m_serviceName, qryServico->FieldByName(QStringLiteral("NMSERVICO")).asString(),
                edtNmServico);
        },
        [&] { focus(medCdServico); });
}

// ---------------------------------------------------------------------------
// source date range

void ImpoCardHosp::depCardOrigDateChange()
{
    set(m_startWeekday, NomeSemana(m_start), edtDiaCardapio);
}

void ImpoCardHosp::depCardOrigAteDateChange()
{
    set(m_endWeekday, NomeSemana(m_end), edtDiaCardapioAte);
}

void ImpoCardHosp::depCardOrigAteExit()
{
    Vd_Data();
}

void ImpoCardHosp::Vd_Data()
{
    const UnitValues &u = unitValues();
    const QDate start = orZero(m_start);
    if (m_end.isValid()) {
        if (start.year() != m_end.year() || start.month() != m_end.month()) {
            focus(depCardOrigAte);
            MensErro(TMessages::Msg(QStringLiteral("Mes_Igual")));
        }
        if (start > m_end) {
            focus(depCardOrigAte);
            MensErro(TMessages::Msg(QStringLiteral("DTFIN_MENOR")));
        }
        QVariantList args{start, m_end, m_branch, m_service};
        adqData.SetData(packetOf(checkedRemote(Method::Data, args), Method::Data));
        // one destination day per source day, from the destination day to its month's end
        const QDate last = UltimoDiaMes(u.DtCardapio);
        QDate day = u.DtCardapio;
        const Field source = adqData.FieldByName(QStringLiteral("DTCARDAPIO"));
        for (adqData.First(); !adqData.Eof(); adqData.Next()) {
            if (day > last)
                MensErro(TMessages::dataInval(source.asDate().addDays(-1)));
            day = day.addDays(1);
        }
    } else {
        QVariantList args{start, start, m_branch, m_service};
        adqData.SetData(packetOf(checkedRemote(Method::Data, args), Method::Data));
    }
}

// ---------------------------------------------------------------------------
// menu-dates picker

void ImpoCardHosp::btpDataCardClick()
{
    UnitValues &u = unitValues();
    QVariantList args{m_branch, m_service, firstDayOfMonth(orZero(m_start)), u.ListaDietas};
    cdsTemCard.SetData(packetOf(checkedRemote(Method::GetTemCard, args), Method::GetTemCard));
    u.ListaDietas = args.at(3).toString();
    Field shown = cdsTemCard.FieldByName(QStringLiteral("DTDATA"));
    const Field day = cdsTemCard.FieldByName(QStringLiteral("DTCARDAPIO"));
    for (cdsTemCard.First(); !cdsTemCard.Eof(); cdsTemCard.Next()) {
        cdsTemCard.Edit();
        shown.setValue(shortDate(day.asDate()));
        cdsTemCard.Post();
    }
    cdsTemCard.First();
    const int picked =
        presenter().choose(TMessages::Msg(QStringLiteral("cardapios")), pickListOf(cdsTemCard), {});
    if (picked < 0 || picked >= cdsTemCard.RecordCount())
        return;
    cdsTemCard.setRecNo(picked);
    setStartDate(day.asDate());
}

// ---------------------------------------------------------------------------
// diet filter

void ImpoCardHosp::grbDietaClick()
{
    bool enabled = m_dietButtonEnabled;
    if (m_allDiets)
        enabled = false;
    else if (m_listDiets)
        enabled = true;
    if (enabled != m_dietButtonEnabled) {
        m_dietButtonEnabled = enabled;
        Q_EMIT changed(BtnDieta);
    }
}

void ImpoCardHosp::grbDietaExit()
{
    UnitValues &u = unitValues();
    if (m_allDiets) {
        Vd_CdDieta(true);
        u.ListaDietas = u.TodasDietas;
    } else if (m_listDiets) {
        u.ListaDietas = u.DietasEscolhidas;
    }
}

void ImpoCardHosp::openServiceDiets()
{
    adqDietaX->Close();
    adqDietaX->ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(m_branch);
    adqDietaX->ParamByName(QStringLiteral("P_CDSERVFILI")).setAsString(m_service);
    adqDietaX->ParamByName(QStringLiteral("P_CDDIETPAD")).setAsString(QStringLiteral("T"));
    adqDietaX->ParamByName(QStringLiteral("P_TCDDIETPAD")).setAsString(QStringLiteral("T"));
    adqDietaX->Open();
}

void ImpoCardHosp::Vd_CdDieta(bool)
{
    if (!m_allDiets)
        return;
    UnitValues &u = unitValues();
    u.TodasDietas = QStringLiteral("T");
    openServiceDiets();
    QStringList codes;
    for (adqDietaX->First(); !adqDietaX->Eof(); adqDietaX->Next())
        codes.append(adqDietaX->FieldByName(QStringLiteral("CDDIETPAD")).asString());
    u.TodasDietas = dietList(codes);
}

void ImpoCardHosp::BtnDietaClick()
{
    UnitValues &u = unitValues();
    u.TodasDietas = QStringLiteral("T");
    openServiceDiets();
    const QString title = TMessages::Msg(QStringLiteral("Diet"));
    if (adqDietaX->IsEmpty()) {
        presenter().showInformation(text("SEARCH_DIET_EMPTY"));
        return;
    }
    // PesquisaLista: the picked codes in the diet-list form "_A_B_"
    QList<int> preselected;
    for (int r = 0; r < adqDietaX->rowCount(); ++r) {
        const QString code = adqDietaX->valueAt(r, QStringLiteral("CDDIETPAD")).toString();
        if (dietListNames(u.DietasEscolhidas, code))
            preselected.append(r);
    }
    QList<int> picked;
    if (!presenter().chooseMany(title, pickListOf(*adqDietaX), preselected, &picked))
        return;
    std::sort(picked.begin(), picked.end());
    QStringList codes;
    for (const int r : picked) {
        if (r >= 0 && r < adqDietaX->rowCount())
            codes.append(adqDietaX->valueAt(r, QStringLiteral("CDDIETPAD")).toString());
    }
    // PesquisaLista: the picked codes as a diet list; nothing picked, no list
    const QString chosen = codes.isEmpty() ? QString() : dietList(codes);
    m_pickedDietNames.clear();
    for (const int r : picked) {
        if (r >= 0 && r < adqDietaX->rowCount())
            m_pickedDietNames.append(adqDietaX->valueAt(r, QStringLiteral("DSDIETPAD")).toString());
    }
    const bool same = chosen == u.DietasEscolhidas;
    u.DietasEscolhidas = chosen;
    // the summary of the diets follows the pick at once
    Q_EMIT changed(BtnDieta);
    if (!same && m_listDiets)
        selectionChanged();
}

// ---------------------------------------------------------------------------
// source menu and destination day

void ImpoCardHosp::AtualizaCardapio()
{
    UnitValues &u = unitValues();
    // the preview is of the diets chosen now, also when a pick came after the focus
    // left the diet group
    grbDietaExit();
    // what stays on a failed load is nothing or the preview of this same selection
    if (!previewIsCurrent())
        closePreview();
    BusyGuard busy(1); // hidden on every path
    QVariantList conf{u.CdFilial, u.CdServFili, u.DtMesCard};
    cdsPesqConfDestino.SetData(
        packetOf(checkedRemote(Method::GetPesqConfDestino, conf), Method::GetPesqConfDestino));
    u.CdFilial = conf.at(0).toString();
    u.CdServFili = conf.at(1).toString();
    u.DtMesCard = conf.at(2).toDate();

    const QDate start = orZero(m_start);
    QVariantList args{m_branch, m_service, start, m_end.isValid() ? m_end : start, u.ListaDietas};
    QVariant result = remote(Method::GetCardOrigem, args);
    u.ListaDietas = args.at(4).toString();
    if (result.typeId() == QMetaType::QString)
        throw ServerTextError(result.toString());
    auto [dishes, types] = pairOf(std::move(result), Method::GetCardOrigem);
    cdsCardOrigem.SetData(std::move(dishes));
    cdsTipoPrato.SetData(std::move(types));
    m_previewOf = selection();
    Q_EMIT changed(dbgPadrao);
}

void ImpoCardHosp::Cardadia_Compcard()
{
    grbDietaExit();
    UnitValues &u = unitValues();
    // The destination is the entry's branch and service, whatever source service
    // the screen shows: existing destination headers are found, never duplicated.
    QVariantList args{u.CdFilial, u.CdServFili, u.DtCardapio, u.ListaDietas};
    auto [headers, dishes] = pairOf(checkedRemote(Method::GetCardadia, args), Method::GetCardadia);
    cdsCardaDia.SetData(std::move(headers));
    cdsCompCardCache.SetData(std::move(dishes));
    u.ListaDietas = args.at(3).toString();
}

void ImpoCardHosp::panOrigemExit()
{
    Vd_Data();
    AtualizaCardapio();
}

void ImpoCardHosp::dbgPadraoEnter()
{
    m_gridFocused = true;
    AtualizaCardapio();
}

void ImpoCardHosp::pgcGridExit()
{
    m_gridFocused = false;
    m_previewReloadDue = false;
    closePreview();
}

// ---------------------------------------------------------------------------
// the preview and its selection

ImpoCardHosp::Selection ImpoCardHosp::selection() const
{
    return {m_branch, m_service, m_start, m_end, unitValues().ListaDietas};
}

bool ImpoCardHosp::previewIsCurrent() const
{
    return cdsCardOrigem.active() && m_previewOf && *m_previewOf == selection();
}

void ImpoCardHosp::closePreview()
{
    m_previewOf.reset();
    if (cdsCardOrigem.active()) {
        cdsCardOrigem.Close();
        Q_EMIT changed(dbgPadrao);
    }
}

void ImpoCardHosp::selectionChanged()
{
    closePreview();
    m_previewReloadDue = m_gridFocused;
}

QString ImpoCardHosp::destinationServiceName() const
{
    const UnitValues &u = unitValues();
    if (m_destinationServiceName.isNull()) {
        Query service(QStringLiteral("qryServico"), loginContext().connectionName);
        service.ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(u.CdFilial);
        service.ParamByName(QStringLiteral("P_CDSERVFILI")).setAsString(u.CdServFili);
        service.Open();
        m_destinationServiceName =
            service.IsEmpty() ? QStringLiteral("")
                              : service.FieldByName(QStringLiteral("NMSERVICO")).asString();
    }
    return m_destinationServiceName;
}

QString ImpoCardHosp::destinationLine() const
{
    const UnitValues &u = unitValues();
    QString line = text("DEST_LINE")
                       .arg(shortDate(u.DtCardapio), NomeSemana(u.DtCardapio),
                            u.DtMesCard.toString(QStringLiteral("MM/yyyy")), u.CdServFili,
                            destinationServiceName());
    const bool rangeValid = m_start.isValid() && (!m_end.isValid() || m_start <= m_end);
    const int days = adqData.RecordCount();
    if (rangeValid && previewIsCurrent() && days == 1)
        line += text("DEST_DAY").arg(shortDate(u.DtCardapio));
    else if (rangeValid && previewIsCurrent() && days > 1)
        line += text("DEST_DAYS")
                    .arg(shortDate(u.DtCardapio), shortDate(u.DtCardapio.addDays(days - 1)))
                    .arg(days);
    else if (rangeValid)
        line += text("DEST_FROM").arg(shortDate(u.DtCardapio));
    return line;
}

QString ImpoCardHosp::dietChoiceText() const
{
    if (m_allDiets)
        return text("DIETS_ALL");
    const QString picked = unitValues().DietasEscolhidas;
    const int count = static_cast<int>(picked.count(QLatin1Char('_'))) - 1;
    if (picked.isEmpty() || count <= 0)
        return text("DIETS_NONE");
    const QStringList names = m_pickedDietNames.size() == count
                                  ? m_pickedDietNames
                                  : picked.mid(1, picked.size() - 2).split(QLatin1Char('_'));
    return (count == 1 ? text("DIETS_ONE") : text("DIETS_SOME").arg(count))
        .arg(names.join(QStringLiteral(", ")));
}

void ImpoCardHosp::reloadPreview()
{
    m_previewReloadDue = false;
    Vd_Data();
    AtualizaCardapio();
}

} // namespace zov
