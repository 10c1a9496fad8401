// The import command: checks, preparation, the day and diet loops, the header
// step (GravaCardadia), the dish copy (CopiaPrato) and the batches.

#include "appserver.h"
#include "batchstatus.h"
#include "consiste.h"
#include "dates.h"
#include "daydigest.h"
#include "dietlist.h"
#include "error.h"
#include "filter.h"
#include "hostcontext.h"
#include "impocardhosp.h"
#include "importfields.h"
#include "portions.h"

#include "messages.h"
#include "texts.h"

#include <QUuid>

#include <cmath>
#include <optional>

namespace zov {

namespace {

QString msg(const char *key)
{
    return TMessages::Msg(QLatin1String(key));
}

// Switches the filters of the source and slot record sets off when it goes out of
// scope, whatever ended the step.
class FiltersOff
{
public:
    FiltersOff(RecordSet &a, RecordSet &b)
        : m_a(a)
        , m_b(b)
    {}
    ~FiltersOff()
    {
        m_a.setFiltered(false);
        m_b.setFiltered(false);
    }

private:
    RecordSet &m_a;
    RecordSet &m_b;
};

class ControlsDisabled
{
public:
    explicit ControlsDisabled(RecordSet &rs)
        : m_rs(rs)
    {
        m_rs.DisableControls();
    }
    ~ControlsDisabled() { m_rs.EnableControls(); }

private:
    RecordSet &m_rs;
};

// A row left half-filled by an error is dropped, never posted later.
class CancelUnposted
{
public:
    explicit CancelUnposted(RecordSet &rs)
        : m_rs(rs)
    {}
    ~CancelUnposted()
    {
        if (!posted)
            m_rs.Cancel();
    }
    bool posted = false;

private:
    RecordSet &m_rs;
};

// Shift estimate columns by weekday, Sunday first.
const char *const kShiftColumns[] = {"QTCOMESTTDOM", "QTCOMESTTSEG", "QTCOMESTTTER", "QTCOMESTTQUA",
                                     "QTCOMESTTQUI", "QTCOMESTTSEX", "QTCOMESTTSAB"};
constexpr int kShiftFields = 4;

} // namespace

void ImpoCardHosp::setProgress(int position)
{
    // the repeated walks of a dish type would run past the maximum: the bar stops there
    position = std::clamp(position, 0, std::max(0, m_progressMax));
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

void ImpoCardHosp::sbtImportExportClick()
{
    // the command cannot start again while it runs
    if (m_running)
        return;
    UnitValues &u = unitValues();
    struct RunGuard
    {
        ImpoCardHosp *self;
        QDate entryDay;
        ~RunGuard()
        {
            // what the batches on their way did is known before the run ends, also when
            // it ends on an error: the report says what was stored
            self->settleBatches();
            self->m_calls.reset();
            // the next run maps its days from the entry's destination day again
            unitValues().DtCardapio = entryDay;
            // a run that stopped leaves no stale step on the bar
            self->setCaption(QString());
            self->setProgress(0);
            if (self->m_server) {
                self->m_server->setMetadata(QStringLiteral("zov-config-month"), QString());
                self->m_server->setMetadata(QStringLiteral("zov-run-id"), QString());
                self->m_server->setMetadata(QStringLiteral("zov-run-mode"), QString());
                self->m_server->setMetadata(QStringLiteral("zov-run-source"), QString());
                if (self->m_dryRun)
                    self->m_server->setMetadata(QStringLiteral("zov-dry-run"), QString());
            }
            self->setRunning(false);
        }
    } runGuard{this, u.DtCardapio};
    try {
        setRunning(true);
        m_run = RunVariables();
        m_slotPairs = 0;
        m_unsentEntries.clear();
        m_report = ImportReport();
        m_report.preview = m_dryRun;
        m_report.operatorCode = Operador();
        m_report.startedAt = QDateTime::currentDateTime();
        m_report.branch = u.CdFilial;
        m_report.service = u.CdServFili;
        m_report.month = u.DtMesCard;
        m_report.mode = m_append ? QStringLiteral("append") : QStringLiteral("overwrite");
        m_report.rounding = u.SemArredondamento == 0 ? m_rounding : 0.0;
        // the day check rows come from the slots of the month reference, as the slot filter
        // of the mode pass does, also when it is not the destination day's own month
        if (m_server)
            m_server->setMetadata(QStringLiteral("zov-config-month"),
                                  u.DtMesCard.toString(Qt::ISODate));
        // the batches of a run carry its id: the server keeps what they change, so that the
        // run can be undone
        if (!m_dryRun && m_server) {
            m_report.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
            m_server->setMetadata(QStringLiteral("zov-run-id"), m_report.runId);
            m_server->setMetadata(QStringLiteral("zov-run-mode"), m_report.mode);
            // the audit of each batch names where the run copies from
            m_server->setMetadata(
                QStringLiteral("zov-run-source"),
                QStringList{m_service, m_start.toString(Qt::ISODate),
                            (m_end.isValid() ? m_end : m_start).toString(Qt::ISODate)}
                    .join(QLatin1Char(';')));
        }
        // every call of a dry run carries its id: the server keeps nothing any of them does
        if (m_dryRun && m_server)
            m_server->setMetadata(QStringLiteral("zov-dry-run"),
                                  QUuid::createUuid().toString(QUuid::WithoutBraces));

        // --- checks, in their order
        Vd_CdServico(true);
        if (EmptyString(shortDate(m_start))) {
            focus(depCardOrig);
            MensErro(msg("Data_inf"));
        }
        Vd_Data();
        if (m_branch == u.CdFilial && m_service == u.CdServFili) {
            const QDate s = m_start;
            const QDate e = orZero(m_end);
            const QDate d = u.DtCardapio;
            if (s == d || e == d || (s < d && d < e))
                MensErro(msg("MESMO_CARD"));
        }
        grbDietaExit();
        // the report names the diets: with all diets picked, the check above has just read
        // them with their names
        if (!m_allDiets)
            openServiceDiets();
        for (int r = 0; r < adqDietaX->rowCount(); ++r)
            m_report.dietNames.insert(
                adqDietaX->valueAt(r, QStringLiteral("CDDIETPAD")).toString(),
                adqDietaX->valueAt(r, QStringLiteral("DSDIETPAD")).toString());
        if (u.ListaDietas.isEmpty())
            MensErro(msg("diet_inf"));
        // a preview of another selection than the one on screen counts as none: the
        // import copies only what the planner was shown
        if (cdsCardOrigem.IsEmpty() || !previewIsCurrent())
            MensErro(msg("NAO_HA_CARD"));
        if (m_rounding < 0 || m_rounding >= 10)
            MensErro(msg("ARRE_DEVE"));
        // a month whose slots were never configured for the service would get headers
        // and no dish at all
        if (cdsPesqConfDestino.IsEmpty())
            MensErro(msg("MES_SEM_POSICAO")
                         .arg(u.DtMesCard.toString(QStringLiteral("MM/yyyy")),
                              QString(u.CdServFili + QLatin1Char(' ') + destinationServiceName())
                                  .trimmed()));

        // --- preparation
        u.DiaSemComensais.clear(); // a warning of an earlier run does not carry over
        {
            QVariantList args{u.ListaDietas, m_branch, m_service, firstDayOfMonth(orZero(m_start))};
            adqValidDiet.SetData(packetOf(checkedRemote(Method::Dieta, args), Method::Dieta));
            u.ListaDietas = args.at(0).toString();
        }
        // the diets of the list the service does not serve get nothing: the report says so
        for (const QString &code : dietListCodes(u.ListaDietas)) {
            if (!adqValidDiet.contains(QStringLiteral("CDDIETPAD"), {code}))
                m_report.dietsNotServed.append(code);
        }
        Cardadia_Compcard();
        AtualizaLocalCache({QStringLiteral("DELETECACHE"), QStringLiteral("TURNOSERV")});
        {
            const bool wasFiltered = cdsCardOrigem.filtered();
            cdsCardOrigem.setFiltered(false);
            m_progressMax = cdsCardOrigem.RecordCount();
            cdsCardOrigem.setFiltered(wasFiltered);
            m_progressPos = 0;
            Q_EMIT changed(pgbProgresso);
        }
        m_run.LotePendente.clear();
        FiltersOff filtersOff(cdsCardOrigem, cdsPesqConfDestino);
        // the grid keeps showing the preview while the run filters the source
        ControlsDisabled previewKept(cdsCardOrigem);
        collectUntypedDishes();
        // The source's two look-ups are indexed here, one at a time with the window
        // painting in between, rather than inside the first dish copy: a month of a large
        // hospital holds tens of thousands of source rows.
        cdsCardOrigem.prepareFilter(QStringLiteral("CDTIPOPRAT;DTCARDAPIO;CDDIETPAD"));
        pump();
        cdsCardOrigem.prepareLocate(QStringLiteral("CDTIPOPRAT;DTCARDAPIO;CDDIETPAD;CDPRATO"));
        pump();

        // --- the days: the k-th source day goes to the destination day D + k; a
        // non-working destination day receives nothing and still uses up its day
        QList<std::pair<QDate, bool>> days; // destination day, a working day
        for (int k = 0; k < adqData.RecordCount(); ++k) {
            const QDate day = u.DtCardapio.addDays(k);
            qryNaoUtil->Close();
            qryNaoUtil->ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(u.CdFilial);
            qryNaoUtil->ParamByName(QStringLiteral("P_DTFERIFILI")).setAsDate(day);
            qryNaoUtil->Open();
            days.append({day, qryNaoUtil->IsEmpty()});
        }
        // A header holds four shift estimates. A service with more shifts is refused before
        // anything is stored, when the run must create or refill a header: the only steps
        // that read them.
        qryTurno->Close();
        qryTurno->ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(u.CdFilial);
        qryTurno->ParamByName(QStringLiteral("P_CDSERVFILI")).setAsString(u.CdServFili);
        qryTurno->Open();
        if (qryTurno->rowCount() > kShiftFields) {
            for (const auto &[day, working] : std::as_const(days)) {
                for (adqValidDiet.First(); working && !adqValidDiet.Eof(); adqValidDiet.Next()) {
                    const QString diet =
                        adqValidDiet.FieldByName(QStringLiteral("CDDIETPAD")).asString();
                    if (!cdsCardaDia.Locate(
                            QStringLiteral("CDFILIAL;CDSERVFILI;DTCARDAPIO;CDDIETPAD"),
                            {u.CdFilial, u.CdServFili, day, diet}) ||
                        cdsCardaDia.FieldByName(QStringLiteral("QTCOMESTICAR")).asFloat() == 0)
                        MensErro(msg("TURNO_MAIOR"));
                }
            }
        }

        // --- the steps' reads go ahead on one stream, in the order of the steps (so the
        // menu numbers are handed out in that order), a window of steps before the one
        // under way; each step sends its batch when it ends and goes on while the server
        // stores it
        m_calls = m_server->openStream();
        m_steps.clear();
        m_stepCalls.clear();
        m_step = 0;
        m_sentBatches.clear();
        for (const auto &[day, working] : std::as_const(days)) {
            for (adqValidDiet.First(); working && !adqValidDiet.Eof(); adqValidDiet.Next()) {
                const QString diet =
                    adqValidDiet.FieldByName(QStringLiteral("CDDIETPAD")).asString();
                // a header to create or refill takes a menu number and the diners
                const bool header =
                    !cdsCardaDia.Locate(QStringLiteral("CDFILIAL;CDSERVFILI;DTCARDAPIO;CDDIETPAD"),
                                        {u.CdFilial, u.CdServFili, day, diet}) ||
                    cdsCardaDia.FieldByName(QStringLiteral("QTCOMESTICAR")).asFloat() == 0;
                m_steps.append({day, diet, header});
            }
        }
        sendStepReads();

        // --- day loop
        qsizetype k = 0;
        for (adqData.First(); !adqData.Eof(); adqData.Next(), ++k) {
            u.DtCardapio = days.at(k).first;
            m_report.sourceDays.insert(u.DtCardapio,
                                       adqData.FieldByName(QStringLiteral("DTCARDAPIO")).asDate());
            if (!days.at(k).second) {
                m_report.skippedDays.append(u.DtCardapio);
                continue;
            }
            for (adqValidDiet.First(); !adqValidDiet.Eof(); adqValidDiet.Next()) {
                dietStep();
                ++m_step;
                sendStepReads();
            }
        }
        m_calls->finish();
        {
            BusyGuard busy(1); // hidden on every path
            takeBatchAnswers(true);
        }

        // --- finish
        setCaption(msg("BASE"));
        pump();
        finishReport();
        // a dry run leaves the screen open: its report is what it shows
        if (!m_dryRun) {
            if (m_report.endsWithWarning())
                presenter().showWarning(m_report.closingMessage());
            else
                presenter().showInformation(m_report.closingMessage());
            m_modalResult = 1;
            Q_EMIT modalResultChanged(m_modalResult);
        }
    } catch (const ServerTextError &) {
        throw; // the server's refusal, said as it is
    } catch (const Error &e) {
        // a call or the workstation's own database failed under way: said once the
        // batches on their way are known, with what stays stored
        settleBatches();
        showCallFailure(e);
        throw AbortError(e.text(), AbortKind::Failure);
    }
}

void ImpoCardHosp::finishReport()
{
    const UnitValues &u = unitValues();
    bool noSlots = false;
    for (const ImportReport::DayDiet &e : std::as_const(m_report.entries)) {
        for (const ImportReport::Dish &d : e.dishes)
            noSlots = noSlots || d.outcome == ImportReport::Outcome::TypeNotInMonth;
    }
    using Ending = ImportReport::Ending;
    // Source dishes whose type has no slot at all in the destination month were not
    // copied (a month not configured for them): that is said, not "success". It takes
    // precedence over the diners' warning, which names a smaller loss. A run that had
    // nothing to store, or nowhere to store it, says that.
    Ending ending = Ending::Stored;
    if (adqValidDiet.IsEmpty())
        ending = Ending::NoDietServed;
    else if (m_report.entries.isEmpty() && !m_report.skippedDays.isEmpty())
        ending = Ending::NoWorkingDay;
    else if (m_report.batches == 0)
        ending = Ending::NothingStored;
    else if (noSlots)
        ending = Ending::TypeNotInMonth;
    else if (u.DiaSemComensais == QLatin1String("S"))
        ending = Ending::NoDiners;
    const char *key = "SUCESSO";
    switch (ending) {
    case Ending::Stored:
        break;
    case Ending::TypeNotInMonth:
        key = "SEM_POSICAO";
        break;
    case Ending::NoDiners:
        key = "COMEN_ZERO";
        break;
    case Ending::NothingStored:
        key = "NADA_IMPORTAR";
        break;
    case Ending::NoWorkingDay:
        key = "SEM_DIA_UTIL";
        break;
    case Ending::NoDietServed:
        key = "SEM_DIETA";
        break;
    }
    m_report.ending = ending;
    m_report.closingText = msg(key);
    m_report.finished = true;
}

void ImpoCardHosp::collectUntypedDishes()
{
    m_untyped.clear();
    const Fields &f = *m_fields;
    const Field day = cdsCardOrigem.FieldByName(QStringLiteral("DTCARDAPIO"));
    const Field diet = cdsCardOrigem.FieldByName(QStringLiteral("CDDIETPAD"));
    for (cdsCardOrigem.First(); !cdsCardOrigem.Eof(); cdsCardOrigem.Next()) {
        if (!f.srcType.asString().trimmed().isEmpty())
            continue;
        ImportReport::Dish d;
        d.typeName = f.srcTypeName.asString();
        d.dish = f.srcDish.asString();
        d.name = f.srcDishName.asString();
        d.perCapitaBefore = f.srcValue.asFloat();
        d.outcome = ImportReport::Outcome::NoType;
        m_untyped[{day.asDate(), diet.asString()}].append(d);
    }
    cdsCardOrigem.First();
}

void ImpoCardHosp::dietStep()
{
    UnitValues &u = unitValues();
    u.DietaAtual = adqValidDiet.FieldByName(QStringLiteral("CDDIETPAD")).asString();
    FiltersOff filtersOff(cdsCardOrigem, cdsPesqConfDestino);
    {
        ImportReport::DayDiet entry;
        entry.sourceDay = adqData.FieldByName(QStringLiteral("DTCARDAPIO")).asDate();
        entry.day = u.DtCardapio;
        entry.diet = u.DietaAtual;
        m_report.entries.append(entry);
    }
    ImportReport::DayDiet &entry = reportEntry();

    // the diners the step reads decide the per-capita values: the batch is stored only
    // while the header still has them
    const bool found =
        cdsCardaDia.Locate(QStringLiteral("CDFILIAL;CDSERVFILI;DTCARDAPIO;CDDIETPAD"),
                           {u.CdFilial, u.CdServFili, u.DtCardapio, u.DietaAtual});
    const Field diners = cdsCardaDia.FieldByName(QStringLiteral("QTCOMESTICAR"));
    const QVariant dinersRead = found ? diners.value() : QVariant();
    if (!found) {
        entry.header = ImportReport::Header::Created;
        GravaCardadia(true);
    } else if (diners.asFloat() == 0) {
        entry.header = ImportReport::Header::Refilled;
        GravaCardadia(false);
    } else {
        // stamped once the step has changed something of the day: a step that copies
        // and removes nothing stores nothing
        entry.header = ImportReport::Header::Stamped;
    }
    m_run.NrCardapioDestino = cdsCardaDia.FieldByName(QStringLiteral("NRCARDAPIO")).asString();
    m_unsentEntries.append(m_report.entries.size() - 1);
    entry.menuNumber = m_run.NrCardapioDestino;
    entry.diners = cdsCardaDia.FieldByName(QStringLiteral("QTCOMESTICAR")).asFloat();
    entry.cli = cdsCardaDia.FieldByName(QStringLiteral("QTCLIESTICAR")).asFloat();
    entry.fun = cdsCardaDia.FieldByName(QStringLiteral("QTFUNESTICAR")).asFloat();
    entry.doa = cdsCardaDia.FieldByName(QStringLiteral("QTDOAESTICAR")).asFloat();
    for (int shift = 1; shift <= kShiftFields; ++shift)
        entry.shifts.append(
            cdsCardaDia.FieldByName(QStringLiteral("QTESTITURNO%1").arg(shift)).asFloat());

    adqVerifCardaDia.SetData(packetAnswer(stepCalls().slots, Method::VerifCardadia));
    adqVerifCardaDia.First();
    noteDaySeen(entry.header != ImportReport::Header::Created, dinersRead);

    if (m_append) {
        modePass();
    } else if (m_overwrite) {
        overwriteClearing();
        modePass();
    }
    cdsCardOrigem.setFiltered(false);
    cdsPesqConfDestino.setFiltered(false);
    // the source dishes no slot can take, because they have no type, are said too
    for (ImportReport::Dish d : m_untyped.value({entry.sourceDay, u.DietaAtual})) {
        d.portionsBefore = entry.diners * d.perCapitaBefore / 100.0;
        entry.dishes.append(d);
    }
    if (entry.header == ImportReport::Header::Stamped && (entry.copied() > 0 || entry.removed > 0))
        stampHeader();
    storeBatch();
}

void ImpoCardHosp::stampHeader()
{
    const UnitValues &u = unitValues();
    // the cursor may have moved since the header step: the header is found again
    cdsCardaDia.Locate(QStringLiteral("CDFILIAL;CDSERVFILI;DTCARDAPIO;CDDIETPAD"),
                       {u.CdFilial, u.CdServFili, u.DtCardapio, u.DietaAtual});
    cdsCardaDia.Edit();
    cdsCardaDia.FieldByName(QStringLiteral("CDOPERADOR")).setValue(QVariant(Operador()));
    cdsCardaDia.FieldByName(QStringLiteral("DTULTATUACAR")).setValue(loginContext().today());
    cdsCardaDia.Post();
}

// What the step's decisions rest on: the dishes the destination cache holds for the
// day's menu and diet, in append mode the dishes the day check rows show, and the
// diners of a header that was there before the run. The batch carries its digest;
// the server refuses it if the day holds anything else by then.
void ImpoCardHosp::noteDaySeen(bool headerWasThere, const QVariant &diners)
{
    const UnitValues &u = unitValues();
    QStringList seen;
    for (const QVariantList &row :
         cdsCompCardCache.valuesWhere(QStringLiteral("CDFILIAL;NRCARDAPIO;CDDIETPAD"),
                                      {u.CdFilial, m_run.NrCardapioDestino, u.DietaAtual},
                                      {QStringLiteral("NRSEQPRATCAR"), QStringLiteral("CDPRATO")}))
        seen.append(dayEntry(std::llround(row.at(0).toDouble()), row.at(1).toString()));
    if (m_append) {
        const Field slot = adqVerifCardaDia.FieldByName(QStringLiteral("NRSEQPRATCAR"));
        const Field dish = adqVerifCardaDia.FieldByName(QStringLiteral("CDPRATO"));
        for (adqVerifCardaDia.First(); !adqVerifCardaDia.Eof(); adqVerifCardaDia.Next()) {
            if (!dish.asString().isEmpty())
                seen.append(dayEntry(std::llround(slot.asFloat()), dish.asString()));
        }
        adqVerifCardaDia.First();
    }
    if (headerWasThere)
        seen.append(headerEntry(diners));
    DaySeen day;
    day.branch = u.CdFilial;
    day.number = m_run.NrCardapioDestino;
    day.day = u.DtCardapio;
    day.diet = u.DietaAtual;
    day.digest = dayDigest(seen);
    m_run.DaySeen = day.toText();
}

void ImpoCardHosp::modePass()
{
    const UnitValues &u = unitValues();
    m_run.NrSeqConfig = 0;
    m_run.NrOrdConfig = 0;
    const QString sourceDay = shortDate(adqData.FieldByName(QStringLiteral("DTCARDAPIO")).asDate());
    const Field type = cdsTipoPrato.FieldByName(QStringLiteral("CDTIPOPRAT"));
    const Field slotNumber = cdsPesqConfDestino.FieldByName(QStringLiteral("NRSEQCNFMES"));
    const Field slotOrder = cdsPesqConfDestino.FieldByName(QStringLiteral("NRORDCNFMES"));
    const Field typeName = cdsCardOrigem.FieldByName(QStringLiteral("NMTIPOPRAT"));
    const Field dishName = cdsCardOrigem.FieldByName(QStringLiteral("NMPRATO"));
    const QString slotFilterHead = QStringLiteral("CDFILIAL = ") + QuotedStr(u.CdFilial) +
                                   QStringLiteral(" AND CDSERVFILI = ") + QuotedStr(u.CdServFili) +
                                   QStringLiteral(" AND DTREFECNFMES = ") +
                                   QuotedStr(shortDate(u.DtMesCard)) +
                                   QStringLiteral(" AND CDTIPOPRAT = ");
    ControlsDisabled quiet(cdsCardOrigem);

    // Each dish type is walked once per source day and diet. A walk of the same type
    // for another row of cdsTipoPrato would pair the same source dishes with the same
    // slots, find the slots the first walk filled taken and repeat its decisions for
    // the others: it stores nothing more, so it is left out.
    cdsTipoPrato.setFiltered(false);
    cdsTipoPrato.setFilter(QStringLiteral("DTCARDAPIO = ") + QuotedStr(sourceDay));
    cdsTipoPrato.setFiltered(true);
    struct Unfilter
    {
        RecordSet &rs;
        ~Unfilter() { rs.setFiltered(false); }
    } unfilter{cdsTipoPrato};

    for (cdsTipoPrato.First(); !cdsTipoPrato.Eof(); cdsTipoPrato.Next()) {
        const QString t = type.asString();
        // dishes without a type take no slot; the step names them apart
        if (t.trimmed().isEmpty())
            continue;
        cdsCardOrigem.setFiltered(false);
        cdsCardOrigem.setFilter(QStringLiteral("CDTIPOPRAT = ") + QuotedStr(t) +
                                QStringLiteral(" AND DTCARDAPIO = ") + QuotedStr(sourceDay) +
                                QStringLiteral(" AND CDDIETPAD = ") + QuotedStr(u.DietaAtual));
        cdsCardOrigem.setFiltered(true);
        cdsPesqConfDestino.setFiltered(false);
        cdsPesqConfDestino.setFilter(slotFilterHead + QuotedStr(t));
        cdsPesqConfDestino.setFiltered(true);

        const int sources = cdsCardOrigem.RecordCount();
        const int slots = cdsPesqConfDestino.RecordCount();
        m_run.OrigemMenor = sources < slots;
        const int count = std::min(sources, slots);
        cdsCardOrigem.First();
        cdsPesqConfDestino.First();
        for (int i = 0; i < count; ++i) {
            if (!cdsPesqConfDestino.IsEmpty()) {
                m_run.NrSeqConfig = slotNumber.asInteger();
                m_run.NrOrdConfig = slotOrder.asInteger();
            }
            // a slot the destination holds already is passed over (the look-up moves no
            // cursor: nothing reads the dish record set's position before the next clearing)
            if (m_run.NrSeqConfig <= 0) {
                noteDish(ImportReport::Outcome::SlotZero, 0);
            } else if (cdsCompCardCache.contains(
                           QStringLiteral("CDFILIAL;NRCARDAPIO;CDDIETPAD;NRSEQPRATCAR"),
                           {u.CdFilial, m_run.NrCardapioDestino, u.DietaAtual, m_run.NrSeqConfig},
                           Qt::CaseInsensitive)) {
                noteDish(ImportReport::Outcome::SlotTaken, 0);
            } else {
                // a dry run says so while it runs
                setCaption((m_dryRun ? text("CAPTION_SIMULATING") : msg("IMP")) +
                           typeName.asString() + QStringLiteral(" - ") + dishName.asString());
                pump();
                CopiaPrato(m_run.OrigemMenor);
            }
            cdsCardOrigem.Next();
            cdsPesqConfDestino.Next();
            ++m_slotPairs;
            setProgress(m_progressPos + 1);
            pump();
        }
        // source dishes beyond the month's slots of their type stay out
        m_run.NrSeqConfig = 0;
        m_run.NrOrdConfig = 0;
        for (int i = count; i < sources; ++i, cdsCardOrigem.Next())
            noteDish(slots == 0 ? ImportReport::Outcome::TypeNotInMonth
                                : ImportReport::Outcome::NoSlot,
                     0);
    }
}

void ImpoCardHosp::noteDish(ImportReport::Outcome outcome, double perCapitaAfter)
{
    const Fields &f = *m_fields;
    ImportReport::Dish d;
    d.type = f.srcType.asString();
    d.typeName = f.srcTypeName.asString();
    d.dish = f.srcDish.asString();
    d.name = f.srcDishName.asString();
    d.slot = m_run.NrSeqConfig;
    d.order = m_run.NrOrdConfig;
    d.outcome = outcome;
    const double estimate = f.estimate.asFloat();
    d.perCapitaBefore = f.srcValue.asFloat();
    d.portionsBefore = estimate * d.perCapitaBefore / 100.0;
    if (outcome == ImportReport::Outcome::Copied) {
        d.perCapitaAfter = perCapitaAfter;
        d.portionsAfter = estimate * perCapitaAfter / 100.0;
    }
    reportEntry().dishes.append(d);
}

void ImpoCardHosp::overwriteClearing()
{
    const UnitValues &u = unitValues();
    // every dish of the day, diet and service goes; the deletions travel in the next batch
    int deleted = 0;
    while (cdsCompCardCache.Locate(QStringLiteral("DTCARDAPIO;CDDIETPAD;CDSERVFILI"),
                                   {u.DtCardapio, u.DietaAtual, u.CdServFili})) {
        cdsCompCardCache.Delete();
        ++deleted;
    }
    reportEntry().removed = deleted;
    reportEntry().cleared = true;
    const QVariant answer = answerOf(stepCalls().clearing);
    if (answer.typeId() == QMetaType::QString && !answer.toString().isEmpty())
        serverStopped(answer.toString(), nullptr);
}

Packet ImpoCardHosp::packetAnswer(int position, Method method)
{
    QVariant answer = answerOf(position);
    if (answer.typeId() == QMetaType::QString && !answer.toString().isEmpty())
        serverStopped(answer.toString(), nullptr);
    return packetOf(std::move(answer), method);
}

void ImpoCardHosp::storeBatch()
{
    // Every step stores what it changed in a batch of its own: the header it created,
    // refilled or stamped goes also when no dish was copied, and an overwrite that
    // removed dishes leaves the day cleared, so that what a day keeps never depends
    // on the days after it.
    QVariant headerDelta;
    QVariant dishDelta;
    if (cdsCardaDia.ChangeCount() > 0)
        headerDelta = QVariant::fromValue(cdsCardaDia.GetDelta());
    if (cdsCompCardCache.ChangeCount() > 0)
        dishDelta = QVariant::fromValue(cdsCompCardCache.GetDelta());
    if (!headerDelta.isValid() && !dishDelta.isValid()) {
        // the day and diet had nothing to store: no batch, no record of the run
        for (const qsizetype i : std::as_const(m_unsentEntries))
            m_report.entries[i].unchanged = true;
        m_unsentEntries.clear();
        return;
    }
    QVariantList args{headerDelta, dishDelta};
    // the batch's id is the client's: a batch whose answer is lost can be asked about
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    for (const qsizetype i : std::as_const(m_unsentEntries))
        m_report.entries[i].batchId = id;
    const int position = m_calls->send(
        Method::SetImportacao, args,
        {{QStringLiteral("zov-day-seen"), m_run.DaySeen}, {QStringLiteral("zov-batch-id"), id}});
    // the next step's changes are counted from here: these are on their way
    cdsCardaDia.MergeChangeLog();
    cdsCompCardCache.MergeChangeLog();
    m_run.LotePendente = QStringLiteral("N");
    m_sentBatches.push_back({position, m_unsentEntries, id});
    m_unsentEntries.clear();
    takeBatchAnswers(false);
    // a server slower than the steps is waited for: what waits in memory stays small
    while (m_sentBatches.size() > kBatchesAhead) {
        waitForAnswer(m_sentBatches.front().position);
        takeBatchAnswers(false);
    }
}

void ImpoCardHosp::sendStepReads()
{
    const UnitValues &u = unitValues();
    const qsizetype until = std::min(m_steps.size(), m_step + kStepsAhead);
    while (m_stepCalls.size() < until) {
        const PlannedStep &step = m_steps.at(m_stepCalls.size());
        StepCalls calls;
        if (step.header) {
            calls.number = m_calls->send(Method::GetPrxCardapio,
                                         {u.CdFilial, u.CdServFili, step.day, step.diet});
            calls.diners = m_calls->send(Method::GetComensais,
                                         {u.CdFilial, u.CdServFili, step.diet, step.day});
        }
        calls.slots =
            m_calls->send(Method::VerifCardadia, {step.day, u.CdFilial, u.CdServFili, step.diet});
        if (m_overwrite)
            calls.clearing = m_calls->send(Method::DelPratosDiet,
                                           {u.CdFilial, u.CdServFili, step.diet, step.day});
        m_stepCalls.append(calls);
    }
}

void ImpoCardHosp::waitForAnswer(int position)
{
    // the window paints while the answer is on its way
    while (!m_calls->waitFor(position, 20))
        pump();
}

QVariant ImpoCardHosp::answerOf(int position)
{
    waitForAnswer(position);
    try {
        return m_calls->answer(position);
    } catch (const Error &e) {
        callFailed(e);
    }
    return {};
}

void ImpoCardHosp::callFailed(const Error &e)
{
    if (!m_running)
        MensErro(e.text(), true, AbortKind::Failure);
    // an import says it at its end, with what it stored
    throw e;
}

QStringList ImpoCardHosp::whatStays() const
{
    if (m_dryRun)
        return {};
    QDate last;
    for (const ImportReport::DayDiet &e : std::as_const(m_report.entries)) {
        if (e.stored)
            last = e.day;
    }
    QStringList lines;
    const int stored = m_report.storedCount();
    if (stored > 0)
        lines.append(
            countText("RUN_KEPT", stored)
                .arg(shortDate(last) + QLatin1Char(' ') + NomeSemana(last), m_report.runId));
    if (const int unknown = m_report.unknownCount(); unknown > 0)
        lines.append(countText("RUN_MAYBE_KEPT", unknown).arg(m_report.runId));
    return lines;
}

void ImpoCardHosp::showCallFailure(const Error &failure)
{
    if (m_dryRun) {
        presenter().showError(text("DRY_RUN_FAILED").arg(failure.text()), failure.details());
        return;
    }
    QStringList lines{text("IMPORT_FAILED").arg(failure.text())};
    const QStringList stays = whatStays();
    lines += stays.isEmpty() ? QStringList{text("IMPORT_FAILED_NOTHING")} : stays;
    lines.append(text("IMPORT_FAILED_TODO"));
    presenter().showError(lines.join(QLatin1Char('\n')), failure.details());
}

void ImpoCardHosp::serverStopped(const QString &answer, const ImportReport::DayDiet *refused)
{
    // what the batches on their way did is known before it is said
    settleBatches();
    const QString said = refusedAt(refused, answer);
    const QStringList stays = whatStays();
    MensErro((QStringList{said} + stays).join(QLatin1Char('\n')), true, AbortKind::Server);
    throw AbortError(said, AbortKind::Server); // (MensErro with abort does not return)
}

void ImpoCardHosp::takeBatchAnswers(bool all)
{
    while (!m_sentBatches.empty()) {
        const SentBatch batch = m_sentBatches.front();
        if (!all && !m_calls->waitFor(batch.position, 0))
            return;
        waitForAnswer(batch.position);
        QString answer;
        std::optional<DatabaseFailure> failed; // answered: the database stored nothing
        try {
            answer = m_calls->answer(batch.position).toString();
        } catch (const DatabaseFailure &e) {
            failed = e;
            answer = e.text();
        } catch (const Error &e) {
            // no answer: the server may have stored it; settleBatches asks
            callFailed(e);
        }
        m_sentBatches.pop_front();
        if (noteBatchAnswer(batch, answer))
            continue;
        const ImportReport::DayDiet *refused =
            batch.entries.isEmpty() ? nullptr : &m_report.entries.at(batch.entries.first());
        if (failed)
            throw DatabaseFailure(refusedAt(refused, answer), failed->details());
        serverStopped(answer, refused);
    }
}

bool ImpoCardHosp::noteBatchAnswer(const SentBatch &batch, const QString &answer)
{
    const bool refused = answer.size() > 10;
    for (const qsizetype i : batch.entries) {
        if (refused)
            m_report.entries[i].refusal = answer;
        else
            m_report.entries[i].stored = true;
    }
    if (refused)
        forgetStepsAfter(batch);
    else
        ++m_report.batches;
    return !refused;
}

QString ImpoCardHosp::refusedAt(const ImportReport::DayDiet *refused, const QString &answer) const
{
    // the server speaks of its batch: that day and diet is what it did not store
    if (!refused || m_dryRun)
        return answer;
    return text("BATCH_REFUSED_AT")
        .arg(shortDate(refused->day) + QLatin1Char(' ') + NomeSemana(refused->day), refused->diet,
             answer);
}

// The server runs no batch after a refused one: the steps sent behind it did not run,
// and the report ends where the run stopped, as it does when the calls go one by one.
void ImpoCardHosp::forgetStepsAfter(const SentBatch &refused)
{
    if (!refused.entries.isEmpty())
        m_report.entries.resize(
            *std::max_element(refused.entries.cbegin(), refused.entries.cend()) + 1);
    m_sentBatches.clear();
    m_unsentEntries.clear();
}

void ImpoCardHosp::settleBatches() noexcept
{
    if (!m_calls)
        return;
    try {
        m_calls->finish();
    } catch (...) {
    }
    bool lost = false;
    while (!m_sentBatches.empty()) {
        const SentBatch batch = m_sentBatches.front();
        m_sentBatches.pop_front();
        QString answer;
        if (!lost) {
            try {
                answer = m_calls->answer(batch.position).toString();
            } catch (const DatabaseFailure &e) {
                answer = e.text(); // answered: nothing of it stored
            } catch (...) {
                // the answers stop here: this batch and the ones behind it may or may
                // not have been stored
                lost = true;
            }
        }
        if (lost) {
            for (const qsizetype i : batch.entries)
                m_report.entries[i].unknown = true;
        } else if (!noteBatchAnswer(batch, answer)) {
            break;
        }
    }
    m_sentBatches.clear();
    m_calls.reset();
    // a batch whose answer was lost: the server is asked what became of it; when it
    // cannot say yet, the report says "talvez gravado" and can ask again later
    try {
        askAboutLostBatches();
    } catch (...) {
    }
}

int ImpoCardHosp::askAboutLostBatches()
{
    if (m_report.unknownCount() > 0 && m_server) {
        try {
            askAboutBatches(*m_server, m_report);
        } catch (const Error &) {
            // the server cannot say yet
        }
    }
    return m_report.unknownCount();
}

void ImpoCardHosp::GravaCardadia(bool inclui)
{
    UnitValues &u = unitValues();
    const QString number = answerOf(stepCalls().number).toString();
    if (number.size() > 10)
        serverStopped(number, nullptr);

    CancelUnposted cancel(cdsCardaDia);

    const auto field = [this](const char *name) {
        return cdsCardaDia.FieldByName(QLatin1String(name));
    };
    if (inclui) {
        cdsCardaDia.Insert();
        field("CDFILIAL").setValue(u.CdFilial);
        field("CDSERVFILI").setValue(u.CdServFili);
        field("DTCARDAPIO").setValue(u.DtCardapio);
        field("NRCARDAPIO").setValue(number);
        field("DTMESCARD").setValue(u.DtMesCard);
        field("CDDIETPAD").setValue(u.DietaAtual);
    } else {
        cdsCardaDia.Edit();
    }
    field("CDOPERADOR").setValue(Operador());
    field("DTULTATUACAR").setValue(loginContext().today());

    cdsComensais.SetData(packetAnswer(stepCalls().diners, Method::GetComensais));
    for (const char *name : {"QTCOMESTICAR", "QTCLIESTICAR", "QTFUNESTICAR", "QTDOAESTICAR"}) {
        const double value =
            cdsComensais.IsEmpty() ? 0.0 : cdsComensais.FieldByName(QLatin1String(name)).asFloat();
        field(name).setValue(value);
    }

    // the holiday column applies on the days the branch lists in FERICARD
    qryFeriFili->Close();
    qryFeriFili->ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(u.CdFilial);
    qryFeriFili->ParamByName(QStringLiteral("P_DTFERIFILI")).setAsDate(u.DtCardapio);
    qryFeriFili->Open();
    qryTurno->Close();
    qryTurno->ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(u.CdFilial);
    qryTurno->ParamByName(QStringLiteral("P_CDSERVFILI")).setAsString(u.CdServFili);
    qryTurno->Open();
    const char *weekdayColumn = kShiftColumns[weekdayNumber(u.DtCardapio) - 1];
    int shift = 1;
    for (qryTurno->First(); !qryTurno->Eof(); qryTurno->Next(), ++shift) {
        Field estimate = cdsCardaDia.FieldByName(QStringLiteral("QTESTITURNO%1").arg(shift));
        estimate.setValue(qryTurno->FieldByName(QLatin1String(weekdayColumn)).asFloat());
        if (!qryFeriFili->IsEmpty())
            estimate.setValue(qryTurno->FieldByName(QStringLiteral("QTCOMESTTFER")).asFloat());
    }
    cdsCardaDia.Post();
    cancel.posted = true;
}

double ImpoCardHosp::perCapita(double estimate, double value) const
{
    const double r = m_rounding;
    if (unitValues().SemArredondamento == 0 && r > 0) {
        const double n = roundedUpPortions(estimate, value, r);
        return estimate != 0 ? r * n * 100.0 / estimate : 0.0;
    }
    return value;
}

bool ImpoCardHosp::sourceHasDish()
{
    // looks for the dish code in the filtered source view without moving its cursor,
    // so that each source dish is considered once
    const Fields &f = *m_fields;
    return cdsCardOrigem.contains(
        QStringLiteral("CDTIPOPRAT;DTCARDAPIO;CDDIETPAD;CDPRATO"),
        {f.type.value(), f.sourceDay.value(), unitValues().DietaAtual, f.srcDish.value()});
}

void ImpoCardHosp::CopiaPrato(bool origemMenor)
{
    UnitValues &u = unitValues();
    Fields &f = *m_fields;
    const double p = perCapita(f.estimate.asFloat(), f.srcValue.asFloat());
    m_run.TipoPratoAtual.clear();

    bool copy = false;
    bool takenInDay = false;
    if (m_overwrite) {
        copy = origemMenor || sourceHasDish();
    } else {
        // the day check rows carry the destination day
        if (!adqVerifCardaDia.Locate(QStringLiteral("CDTIPOPRAT;DTCARDAPIO;NRSEQPRATCAR"),
                                     {f.type.value(), u.DtCardapio, m_run.NrSeqConfig})) {
            copy = true;
        } else if (f.slotDish.asString().isEmpty()) {
            copy = origemMenor || sourceHasDish();
        } else {
            takenInDay = true;
        }
    }
    if (!copy) {
        noteDish(takenInDay ? ImportReport::Outcome::SlotTaken : ImportReport::Outcome::NotInSource,
                 0);
        return;
    }
    if (p == 0) {
        u.DiaSemComensais = QStringLiteral("S");
        noteDish(ImportReport::Outcome::NoDiners, 0);
        return;
    }

    const QVariant auxBranch = f.srcAuxBranch.value();
    const QVariant dish = f.srcDish.value();
    const QVariant dishName = f.srcDishName.value();
    m_run.TipoPratoAtual = f.srcType.asString();
    const QString typeName = f.srcTypeName.asString();
    m_run.LotePendente = QStringLiteral("S");

    CancelUnposted cancel(cdsCompCardCache);
    cdsCompCardCache.Insert();
    f.CDFILIAL.setValue(u.CdFilial);
    f.NRCARDAPIO.setValue(m_run.NrCardapioDestino);
    f.CDDIETPAD.setValue(u.DietaAtual);
    f.NRSEQPRATCAR.setValue(m_run.NrSeqConfig);
    f.NRORDPRATCAR.setValue(m_run.NrOrdConfig);
    f.CDFILAUXPRAT.setValue(auxBranch);
    f.CDPRATO.setValue(dish);
    f.NMPRATO.setValue(dishName);
    f.VRPECONSCARD.setValue(p);
    f.CDTIPOPRAT.setValue(m_run.TipoPratoAtual);
    f.NMTIPOPRAT.setValue(
        QString(Ajusta(QString::number(m_run.NrOrdConfig), 3) + m_run.TipoPratoAtual + typeName));
    f.DTCARDAPIO.setValue(u.DtCardapio);
    cdsCompCardCache.Post();
    cancel.posted = true;
    noteDish(ImportReport::Outcome::Copied, p);
}

} // namespace zov
