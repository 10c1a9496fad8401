#include "impocardhosp.h"

#include "appserver.h"
#include "callmetadata.h"
#include "consiste.h"
#include "dates.h"
#include "dietlist.h"
#include "error.h"
#include "filter.h"
#include "hostcontext.h"
#include "messages.h"
#include "referencecodes.h"
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
    qryServicoPesq = std::make_unique<Query>(QStringLiteral("qryServicoPesq"), connection);
    qryFeriFili = std::make_unique<Query>(QStringLiteral("qryFeriFili"), connection);
    qryTurno = std::make_unique<Query>(QStringLiteral("qryTurno"), connection);
    qryNaoUtil = std::make_unique<Query>(QStringLiteral("qryNaoUtil"), connection);
    adqDietaX = std::make_unique<Query>(QStringLiteral("adqDietaX"), connection);
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

void ImpoCardHosp::setUntil(const QDate &date)
{
    if (date == m_until)
        return;
    m_until = date;
    Q_EMIT changed(depRepetirAte);
}

void ImpoCardHosp::setAlignWeekday(bool align)
{
    m_alignWeekday = align;
    Q_EMIT changed(chkAlinhaSemana);
}

ImportRun::Cycle ImpoCardHosp::cycle() const
{
    if (!m_until.isValid() || !m_start.isValid())
        return {};
    const QDate last = m_end.isValid() ? m_end : m_start;
    return {m_start, static_cast<int>(m_start.daysTo(last)) + 1, m_until};
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

void ImpoCardHosp::setMode(ImportRun::Mode mode)
{
    m_mode = mode;
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
    set(m_branchName, zov::branchName(m_branch).value_or(QString()), edtNmFilial);

    setServiceText(u.CdServFili);
    set(m_serviceName, zov::serviceName(m_branch, m_service).value_or(QString()), edtNmServico);

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
            setServiceText(paddedServiceCode(m_service));
            const std::optional<QString> name = zov::serviceName(m_branch, m_service);
            if (!name)
                MensErro(TMessages::Msg(QStringLiteral("SERV_NAO_CAD")));
            set(m_serviceName, *name, edtNmServico);
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
    adqDietaX->ParamByName(QStringLiteral("P_CDDIETPAD")).setAsString(zov::allDiets());
    adqDietaX->ParamByName(QStringLiteral("P_TCDDIETPAD")).setAsString(zov::allDiets());
    adqDietaX->Open();
}

void ImpoCardHosp::Vd_CdDieta(bool)
{
    if (!m_allDiets)
        return;
    UnitValues &u = unitValues();
    u.TodasDietas = zov::allDiets();
    openServiceDiets();
    QStringList codes;
    for (adqDietaX->First(); !adqDietaX->Eof(); adqDietaX->Next())
        codes.append(adqDietaX->FieldByName(QStringLiteral("CDDIETPAD")).asString());
    u.TodasDietas = dietList(codes);
}

void ImpoCardHosp::BtnDietaClick()
{
    UnitValues &u = unitValues();
    u.TodasDietas = zov::allDiets();
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
    if (m_destinationServiceName.isNull())
        m_destinationServiceName =
            zov::serviceName(u.CdFilial, u.CdServFili).value_or(QStringLiteral(""));
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
    if (const ImportRun::Cycle c = cycle(); rangeValid && c.repeats() && c.until >= u.DtCardapio) {
        // the period, and how many times the cycle fits in it
        const int period = static_cast<int>(u.DtCardapio.daysTo(c.until)) + 1;
        line += text("DEST_CYCLE")
                    .arg(shortDate(u.DtCardapio), shortDate(c.until),
                         countText("CYCLE_REPEATS", period / c.length),
                         countText("CYCLE_DAYS", c.length));
        if (period % c.length != 0)
            line += countText("DEST_CYCLE_REST", period % c.length);
        return line;
    }
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

// ---------------------------------------------------------------------------
// "Importar" and "Simular"

void ImpoCardHosp::setProgress(int position)
{
    if (position == m_progressPos)
        return;
    m_progressPos = position;
    Q_EMIT changed(pgbProgresso);
}

void ImpoCardHosp::setCaption(const QString &caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    Q_EMIT changed(lblProgresso);
}

void ImpoCardHosp::setRunning(bool running)
{
    m_running = running;
    Q_EMIT changed(sbtImportExport);
}

void ImpoCardHosp::callFailed(const Error &e)
{
    // a call the server refused (an operator outside their rights) is its refusal
    if (!m_running)
        MensErro(e.text(), true,
                 dynamic_cast<const ServerTextError *>(&e) ? AbortKind::Server
                                                           : AbortKind::Failure);
    // an import says it at its end, with what it stored
    throw e;
}

const ImportReport &ImpoCardHosp::report() const
{
    static const ImportReport none;
    return m_lastRun ? m_lastRun->report() : none;
}

ImportRun::Loaded ImpoCardHosp::loaded()
{
    return {cdsCardOrigem,    cdsTipoPrato, cdsPesqConfDestino, cdsCardaDia,
            cdsCompCardCache, cdsComensais, adqValidDiet,       adqData,
            adqVerifCardaDia, *qryFeriFili, *qryTurno,          *qryNaoUtil};
}

void ImpoCardHosp::sbtImportExportClick()
{
    // the command cannot start again while it runs
    if (m_running)
        return;
    struct RunGuard
    {
        ImpoCardHosp *self;
        QDate entryDay;
        ~RunGuard()
        {
            // the next run maps its days from the entry's destination day again
            unitValues().DtCardapio = entryDay;
            // a run that stopped leaves no stale step on the bar
            self->setCaption(QString());
            self->setProgress(0);
            self->setRunning(false);
        }
    } runGuard{this, unitValues().DtCardapio};
    setRunning(true);
    m_lastRun.reset();
    const UnitValues &u = unitValues();
    ImportReport report;
    report.preview = m_dryRun;
    report.operatorCode = Operador();
    report.startedAt = QDateTime::currentDateTime();
    report.branch = u.CdFilial;
    report.service = u.CdServFili;
    report.month = u.DtMesCard;
    report.mode = QString(m_mode == ImportRun::Mode::Append ? kAppendMode : kOverwriteMode);
    report.rounding = u.SemArredondamento == 0 ? m_rounding : 0.0;
    if (cycle().repeats()) {
        report.until = m_until;
        report.cycleLength = cycle().length;
    }
    const RunTags tags(m_server, report, m_service, m_start, m_end);
    try {
        checkRun(report);
        prepareRun(report);
    } catch (const ServerTextError &) {
        throw; // the server's refusal, said as it is
    } catch (const Error &e) {
        // a call or the workstation's own database failed before anything was sent
        presenter().showError(ImportRun::callFailureText(e.text(), m_dryRun, {}), e.details());
        throw AbortError(e.text(), AbortKind::Failure);
    }
    m_lastRun = std::make_unique<ImportRun>(
        *m_server, loaded(), ImportRun::Choices{m_mode, m_dryRun, m_rounding, cycle()},
        std::move(report));
    ImportRun &run = *m_lastRun;
    connect(&run, &ImportRun::progress, this, [this](int position, int maximum, const QString &c) {
        if (maximum != m_progressMax) {
            m_progressMax = maximum;
            m_progressPos = -1; // the bar is drawn again with its new maximum
        }
        setProgress(position);
        setCaption(c);
    });
    run.setMessagePump([this] { pump(); });
    Q_EMIT runStarted(&run);
    if (!run.exec())
        run.rethrowError();
    // a dry run leaves the screen open: its report is what it shows
    if (!m_dryRun) {
        if (run.outcome() == ImportRun::Outcome::LeftOut)
            presenter().showWarning(run.report().closingMessage());
        else
            presenter().showInformation(run.report().closingMessage());
        m_modalResult = 1;
        Q_EMIT modalResultChanged(m_modalResult);
    }
}

void ImpoCardHosp::checkRun(ImportReport &report)
{
    UnitValues &u = unitValues();
    Vd_CdServico(true);
    if (EmptyString(shortDate(m_start))) {
        focus(depCardOrig);
        MensErro(TMessages::Msg(QStringLiteral("Data_inf")));
    }
    Vd_Data();
    if (m_branch == u.CdFilial && m_service == u.CdServFili) {
        const QDate s = m_start;
        const QDate e = orZero(m_end);
        const QDate d = u.DtCardapio;
        if (s == d || e == d || (s < d && d < e))
            MensErro(TMessages::Msg(QStringLiteral("MESMO_CARD")));
        // a cycle would copy over its own source days
        if (m_until.isValid() && d <= (m_end.isValid() ? m_end : s) && s <= m_until)
            MensErro(TMessages::Msg(QStringLiteral("MESMO_CARD")));
    }
    checkCycle();
    grbDietaExit();
    // the report names the diets: with all diets picked, the check above has just read
    // them with their names
    if (!m_allDiets)
        openServiceDiets();
    for (int r = 0; r < adqDietaX->rowCount(); ++r)
        report.dietNames.insert(adqDietaX->valueAt(r, QStringLiteral("CDDIETPAD")).toString(),
                                adqDietaX->valueAt(r, QStringLiteral("DSDIETPAD")).toString());
    if (u.ListaDietas.isEmpty())
        MensErro(TMessages::Msg(QStringLiteral("diet_inf")));
    // a preview of another selection than the one on screen counts as none: the
    // import copies only what the planner was shown
    if (cdsCardOrigem.IsEmpty() || !previewIsCurrent())
        MensErro(TMessages::Msg(QStringLiteral("NAO_HA_CARD")));
    if (m_rounding < 0 || m_rounding >= 10)
        MensErro(TMessages::Msg(QStringLiteral("ARRE_DEVE")));
    // a month whose slots were never configured for the service would get headers
    // and no dish at all
    if (cdsPesqConfDestino.IsEmpty())
        noSlotsIn(u.DtMesCard);
}

void ImpoCardHosp::noSlotsIn(const QDate &month)
{
    const UnitValues &u = unitValues();
    MensErro(
        TMessages::Msg(QStringLiteral("MES_SEM_POSICAO"))
            .arg(month.toString(QStringLiteral("MM/yyyy")),
                 QString(u.CdServFili + QLatin1Char(' ') + destinationServiceName()).trimmed()));
}

void ImpoCardHosp::checkCycle()
{
    const ImportRun::Cycle c = cycle();
    if (!c.repeats())
        return;
    const UnitValues &u = unitValues();
    const QDate d = u.DtCardapio;
    const auto day = [](const QDate &date) -> QString {
        return shortDate(date) + QLatin1Char(' ') + NomeSemana(date);
    };
    const auto refuse = [this](const QString &message) {
        focus(depRepetirAte);
        MensErro(message);
    };
    if (c.until < d)
        refuse(text("CYCLE_UNTIL_BEFORE").arg(shortDate(c.until), day(d)));
    if (c.until > d.addYears(1))
        refuse(text("CYCLE_TOO_LONG").arg(shortDate(c.until), day(d)));
    // each day of a cycle has its own month's reference: the entry's is the first day's
    if (u.DtMesCard != firstDayOfMonth(d))
        refuse(text("CYCLE_MONTH").arg(u.DtMesCard.toString(QStringLiteral("MM/yyyy")), day(d)));
    if (!m_alignWeekday)
        return;
    if (weekdayNumber(d) != weekdayNumber(c.first))
        refuse(text("CYCLE_ALIGN_WEEKDAY").arg(day(d), day(c.first)));
    if (c.length % 7 != 0)
        refuse(text("CYCLE_ALIGN_LENGTH").arg(countText("CYCLE_DAYS", c.length)));
}

void ImpoCardHosp::loadCycleMonths()
{
    const UnitValues &u = unitValues();
    const QDate last = firstDayOfMonth(m_until);
    Packet slots;
    for (QDate month = firstDayOfMonth(u.DtCardapio); month <= last; month = month.addMonths(1)) {
        QVariantList args{u.CdFilial, u.CdServFili, month};
        Packet monthSlots =
            packetOf(checkedRemote(Method::GetPesqConfDestino, args), Method::GetPesqConfDestino);
        if (monthSlots.rows.isEmpty())
            noSlotsIn(month);
        if (slots.fields.isEmpty())
            slots.fields = monthSlots.fields;
        slots.rows.append(std::move(monthSlots.rows));
    }
    // the destination of the months after the first, behind what Cardadia_Compcard loaded
    Packet headers = cdsCardaDia.data();
    Packet dishes = cdsCompCardCache.data();
    for (QDate month = firstDayOfMonth(u.DtCardapio).addMonths(1); month <= last;
         month = month.addMonths(1)) {
        QVariantList args{u.CdFilial, u.CdServFili, month, u.ListaDietas};
        auto [h, d] = pairOf(checkedRemote(Method::GetCardadia, args), Method::GetCardadia);
        headers.rows.append(std::move(h.rows));
        dishes.rows.append(std::move(d.rows));
    }
    cdsPesqConfDestino.SetData(std::move(slots));
    cdsCardaDia.SetData(std::move(headers));
    cdsCompCardCache.SetData(std::move(dishes));
}

void ImpoCardHosp::prepareRun(ImportReport &report)
{
    UnitValues &u = unitValues();
    u.DiaSemComensais.clear(); // a warning of an earlier run does not carry over
    {
        QVariantList args{u.ListaDietas, m_branch, m_service, firstDayOfMonth(orZero(m_start))};
        adqValidDiet.SetData(packetOf(checkedRemote(Method::Dieta, args), Method::Dieta));
        u.ListaDietas = args.at(0).toString();
    }
    // the diets of the list the service does not serve get nothing: the report says so
    for (const QString &code : dietListCodes(u.ListaDietas)) {
        if (!adqValidDiet.contains(QStringLiteral("CDDIETPAD"), {code}))
            report.dietsNotServed.append(code);
    }
    Cardadia_Compcard();
    if (cycle().repeats())
        loadCycleMonths();
    AtualizaLocalCache({QStringLiteral("DELETECACHE"), QStringLiteral("TURNOSERV")});
}

} // namespace zov
