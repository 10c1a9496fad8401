// The import run: the destination days, the header step (GravaCardadia), the dish
// copy (CopiaPrato) and the batches, on the record sets the screen loaded.

#include "importrun.h"

#include "batchprotocol.h"
#include "batchstatus.h"
#include "callmetadata.h"
#include "dates.h"
#include "daydigest.h"
#include "error.h"
#include "filter.h"
#include "hostcontext.h"
#include "portions.h"
#include "unitvalues.h"

#include "messages.h"
#include "texts.h"

#include <QUuid>

#include <cmath>
#include <optional>
#include <utility>

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

// What ends a run before its end: the job says it at its end.
struct RunStopped
{
};

// Shift estimate columns by weekday, Sunday first.
const char *const kShiftColumns[] = {"QTCOMESTTDOM", "QTCOMESTTSEG", "QTCOMESTTTER", "QTCOMESTTQUA",
                                     "QTCOMESTTQUI", "QTCOMESTTSEX", "QTCOMESTTSAB"};
constexpr int kShiftFields = 4;

const QString kHeaderKey = QStringLiteral("CDFILIAL;CDSERVFILI;DTCARDAPIO;CDDIETPAD");

} // namespace

// The fields the dish copy reads and writes for every slot, looked up once.
struct ImportRun::Fields
{
    explicit Fields(ImportRun &s)
        : estimate(s.cdsCardaDia.FieldByName(QStringLiteral("QTCOMESTICAR")))
        , type(s.cdsTipoPrato.FieldByName(QStringLiteral("CDTIPOPRAT")))
        , sourceDay(s.adqData.FieldByName(QStringLiteral("DTCARDAPIO")))
        , slotDish(s.adqVerifCardaDia.FieldByName(QStringLiteral("CDPRATO")))
        , srcValue(s.cdsCardOrigem.FieldByName(QStringLiteral("VRPECONSCARD")))
        , srcAuxBranch(s.cdsCardOrigem.FieldByName(QStringLiteral("CDFILAUXPRAT")))
        , srcDish(s.cdsCardOrigem.FieldByName(QStringLiteral("CDPRATO")))
        , srcDishName(s.cdsCardOrigem.FieldByName(QStringLiteral("NMPRATO")))
        , srcType(s.cdsCardOrigem.FieldByName(QStringLiteral("CDTIPOPRAT")))
        , srcTypeName(s.cdsCardOrigem.FieldByName(QStringLiteral("NMTIPOPRAT")))
        , slotNumber(s.cdsPesqConfDestino.FieldByName(QStringLiteral("NRSEQCNFMES")))
        , slotOrder(s.cdsPesqConfDestino.FieldByName(QStringLiteral("NRORDCNFMES")))
        , CDFILIAL(s.cdsCompCardCache.FieldByName(QStringLiteral("CDFILIAL")))
        , NRCARDAPIO(s.cdsCompCardCache.FieldByName(QStringLiteral("NRCARDAPIO")))
        , CDDIETPAD(s.cdsCompCardCache.FieldByName(QStringLiteral("CDDIETPAD")))
        , NRSEQPRATCAR(s.cdsCompCardCache.FieldByName(QStringLiteral("NRSEQPRATCAR")))
        , NRORDPRATCAR(s.cdsCompCardCache.FieldByName(QStringLiteral("NRORDPRATCAR")))
        , CDFILAUXPRAT(s.cdsCompCardCache.FieldByName(QStringLiteral("CDFILAUXPRAT")))
        , CDPRATO(s.cdsCompCardCache.FieldByName(QStringLiteral("CDPRATO")))
        , NMPRATO(s.cdsCompCardCache.FieldByName(QStringLiteral("NMPRATO")))
        , VRPECONSCARD(s.cdsCompCardCache.FieldByName(QStringLiteral("VRPECONSCARD")))
        , CDTIPOPRAT(s.cdsCompCardCache.FieldByName(QStringLiteral("CDTIPOPRAT")))
        , NMTIPOPRAT(s.cdsCompCardCache.FieldByName(QStringLiteral("NMTIPOPRAT")))
        , DTCARDAPIO(s.cdsCompCardCache.FieldByName(QStringLiteral("DTCARDAPIO")))
    {}

    Field estimate, type, sourceDay, slotDish;
    Field srcValue, srcAuxBranch, srcDish, srcDishName, srcType, srcTypeName;
    Field slotNumber, slotOrder; // of the month's slot under way
    // the new row of cdsCompCardCache
    Field CDFILIAL, NRCARDAPIO, CDDIETPAD, NRSEQPRATCAR, NRORDPRATCAR, CDFILAUXPRAT, CDPRATO,
        NMPRATO, VRPECONSCARD, CDTIPOPRAT, NMTIPOPRAT, DTCARDAPIO;
};

RunTags::RunTags(AppServer *server, ImportReport &report, const QString &sourceService,
                 const QDate &from, const QDate &to)
    : m_server(server)
    , m_dryRun(report.preview)
{
    if (!m_server)
        return;
    // the day check rows come from the slots of the month reference, as the slot filter
    // of the mode pass does, also when it is not the destination day's own month; a
    // cycle's days use their own months, as the server does untold
    if (!report.until.isValid())
        m_server->setMetadata(QString(kConfigMonthKey.name), report.month.toString(Qt::ISODate));
    if (m_dryRun) {
        // every call of a dry run carries its id: the server keeps nothing any of them does
        m_server->setMetadata(QString(kDryRunKey.name),
                              QUuid::createUuid().toString(QUuid::WithoutBraces));
        return;
    }
    // the batches of a run carry its id: the server keeps what they change, so that the
    // run can be undone
    report.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_server->setMetadata(QString(kRunIdKey.name), report.runId);
    m_server->setMetadata(QString(kRunModeKey.name), report.mode);
    // the audit of each batch names where the run copies from
    m_server->setMetadata(QString(kRunSourceKey.name),
                          QStringList{sourceService, from.toString(Qt::ISODate),
                                      (to.isValid() ? to : from).toString(Qt::ISODate)}
                              .join(QLatin1Char(';')));
}

RunTags::~RunTags()
{
    if (!m_server)
        return;
    m_server->setMetadata(QString(kConfigMonthKey.name), QString());
    m_server->setMetadata(QString(kRunIdKey.name), QString());
    m_server->setMetadata(QString(kRunModeKey.name), QString());
    m_server->setMetadata(QString(kRunSourceKey.name), QString());
    if (m_dryRun)
        m_server->setMetadata(QString(kDryRunKey.name), QString());
}

ImportRun::ImportRun(AppServer &server, const Loaded &l, const Choices &choices,
                     ImportReport report, QObject *parent)
    : QObject(parent)
    , m_server(server)
    , cdsCardOrigem(l.cdsCardOrigem)
    , cdsTipoPrato(l.cdsTipoPrato)
    , cdsPesqConfDestino(l.cdsPesqConfDestino)
    , cdsCardaDia(l.cdsCardaDia)
    , cdsCompCardCache(l.cdsCompCardCache)
    , cdsComensais(l.cdsComensais)
    , adqValidDiet(l.adqValidDiet)
    , adqData(l.adqData)
    , adqVerifCardaDia(l.adqVerifCardaDia)
    , qryFeriFili(l.qryFeriFili)
    , qryTurno(l.qryTurno)
    , qryNaoUtil(l.qryNaoUtil)
    , m_choices(choices)
    , m_fields(std::make_unique<Fields>(*this))
    , m_report(std::move(report))
{
    m_report.preview = m_choices.dryRun;
}

ImportRun::~ImportRun() = default;

QString ImportRun::callFailureText(const QString &failure, bool dryRun, const QStringList &stays,
                                   bool access)
{
    if (dryRun)
        return text("DRY_RUN_FAILED").arg(failure);
    QStringList lines{text("IMPORT_FAILED").arg(failure)};
    lines += stays.isEmpty() ? QStringList{text("IMPORT_FAILED_NOTHING")} : stays;
    lines.append(text(access ? "IMPORT_FAILED_ACCESS_TODO" : "IMPORT_FAILED_TODO"));
    return lines.join(QLatin1Char('\n'));
}

bool ImportRun::exec()
{
    const bool completed = execute();
    Q_EMIT finished(this);
    return completed;
}

bool ImportRun::execute()
{
    m_error = Stop();
    try {
        run();
        m_outcome = m_report.endsWithWarning() ? Outcome::LeftOut : Outcome::Stored;
        return true;
    } catch (const RunStopped &) {
        // m_error says it
    } catch (const ServerTextError &e) {
        m_error.text = m_error.abortText = e.text();
        m_error.kind = AbortKind::Server;
        m_error.unshown = std::current_exception();
    } catch (const Error &e) {
        m_error.abortText = e.text();
        m_error.kind = AbortKind::Failure;
        m_error.details = e.details();
        m_error.access = dynamic_cast<const AccessRefusal *>(&e) != nullptr;
    }
    // what the batches on their way did is known before the run ends, also when it
    // ends on an error: the report says what was stored
    settleBatches();
    // a call or the workstation's own database failed under way: said with what stays
    // stored, now that the batches on their way are known
    if (m_error.kind == AbortKind::Failure && m_error.text.isEmpty())
        m_error.text =
            callFailureText(m_error.abortText, m_choices.dryRun, whatStays(), m_error.access);
    m_outcome = m_error.kind == AbortKind::Failure ? Outcome::Failed : Outcome::Refused;
    return false;
}

void ImportRun::rethrowError() const
{
    if (m_error.unshown)
        std::rethrow_exception(m_error.unshown);
    if (m_error.details.isEmpty())
        presenter().showError(m_error.text);
    else
        presenter().showError(m_error.text, m_error.details);
    throw AbortError(m_error.abortText, m_error.kind);
}

void ImportRun::stop(const QString &text, AbortKind kind)
{
    m_error.text = m_error.abortText = text;
    m_error.kind = kind;
    throw RunStopped();
}

void ImportRun::pump()
{
    if (m_pump)
        m_pump();
}

void ImportRun::setProgress(int position)
{
    // the repeated walks of a dish type would run past the maximum: the bar stops there
    position = std::clamp(position, 0, std::max(0, m_progressMax));
    if (position == m_progressPos)
        return;
    m_progressPos = position;
    Q_EMIT progress(m_progressPos, m_progressMax, m_caption);
}

void ImportRun::setCaption(const QString &caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    Q_EMIT progress(m_progressPos, m_progressMax, m_caption);
}

void ImportRun::run()
{
    UnitValues &u = unitValues();
    m_slotPairs = 0;
    m_unsentEntries.clear();
    const Cycle &cycle = m_choices.cycle;
    const QDate firstDay = u.DtCardapio;
    if (cycle.repeats()) {
        // a cycle's bar counts the days of the period
        m_progressMax = static_cast<int>(firstDay.daysTo(cycle.until)) + 1;
    } else {
        const bool wasFiltered = cdsCardOrigem.filtered();
        cdsCardOrigem.setFiltered(false);
        m_progressMax = cdsCardOrigem.RecordCount();
        cdsCardOrigem.setFiltered(wasFiltered);
    }
    m_progressPos = 0;
    Q_EMIT progress(m_progressPos, m_progressMax, m_caption);
    // a cycle moves the month reference from day to day: the entry's comes back
    struct MonthKept
    {
        QDate month;
        ~MonthKept() { unitValues().DtMesCard = month; }
    } monthKept{u.DtMesCard};
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

    const Placements days = cycle.repeats() ? cycleDays() : destinationDays();
    checkShifts(days);
    // The steps' reads go ahead on one stream, in the order of the steps (so the menu
    // numbers are handed out in that order), a window of steps before the one under
    // way; each step sends its batch when it ends and goes on while the server stores it.
    m_calls = m_server.openStream();
    m_runClock.start();
    // the link's round trip, as the run's single calls saw it, sizes the first windows
    if (const qint64 ns = m_server.roundTripNs(); ns > 0)
        m_windows.noteRoundTrip(ns);
    m_windows.fit(0, 0);
    planSteps(days);
    sendStepReads();

    // --- day loop
    for (const Placement &placement : days) {
        enterDay(placement);
        m_report.sourceDays.insert(u.DtCardapio, m_fields->sourceDay.asDate());
        if (!placement.working) {
            m_report.skippedDays.append(u.DtCardapio);
        } else {
            for (adqValidDiet.First(); !adqValidDiet.Eof(); adqValidDiet.Next()) {
                dietStep();
                ++m_step;
                m_windows.fit(m_runClock.nsecsElapsed(), m_step);
                sendStepReads();
            }
        }
        if (cycle.repeats())
            setProgress(static_cast<int>(firstDay.daysTo(placement.day)) + 1);
    }
    if (cycle.repeats())
        setProgress(m_progressMax); // the period's last days may hold no menu of the cycle
    m_calls->finish();
    {
        BusyGuard busy(1); // hidden on every path
        takeBatchAnswers(true);
    }

    // --- finish
    setCaption(msg("BASE"));
    pump();
    finishReport();
}

ImportRun::Placements ImportRun::destinationDays()
{
    // the k-th source day goes to the destination day D + k; a non-working destination
    // day receives nothing and still uses up its day
    const QDate first = unitValues().DtCardapio;
    Placements days;
    for (int k = 0; k < adqData.RecordCount(); ++k)
        days.append({first.addDays(k), k, isWorkingDay(first.addDays(k))});
    return days;
}

ImportRun::Placements ImportRun::cycleDays()
{
    const Cycle &cycle = m_choices.cycle;
    QHash<QDate, int> rowOf;
    int row = 0;
    for (adqData.First(); !adqData.Eof(); adqData.Next(), ++row)
        rowOf.insert(m_fields->sourceDay.asDate(), row);
    const QDate first = unitValues().DtCardapio;
    Placements days;
    for (QDate day = first; day <= cycle.until; day = day.addDays(1)) {
        const auto source = rowOf.constFind(cycle.first.addDays(first.daysTo(day) % cycle.length));
        // a day of the cycle without a menu leaves its destination day as it is
        if (source != rowOf.cend())
            days.append({day, *source, isWorkingDay(day)});
    }
    return days;
}

bool ImportRun::isWorkingDay(const QDate &day)
{
    qryNaoUtil.Close();
    qryNaoUtil.ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(unitValues().CdFilial);
    qryNaoUtil.ParamByName(QStringLiteral("P_DTFERIFILI")).setAsDate(day);
    qryNaoUtil.Open();
    return qryNaoUtil.IsEmpty();
}

void ImportRun::enterDay(const Placement &placement)
{
    UnitValues &u = unitValues();
    adqData.setRecNo(placement.sourceRow);
    u.DtCardapio = placement.day;
    m_month = firstDayOfMonth(placement.day);
    if (m_choices.cycle.repeats())
        u.DtMesCard = m_month;
}

QString ImportRun::stepCaption(const QString &caption) const
{
    // a cycle's caption names the month under way
    if (!m_choices.cycle.repeats())
        return caption;
    return text("CYCLE_CAPTION").arg(m_month.toString(QStringLiteral("MM/yyyy")), caption);
}

void ImportRun::readShifts()
{
    const UnitValues &u = unitValues();
    qryTurno.Close();
    qryTurno.ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(u.CdFilial);
    qryTurno.ParamByName(QStringLiteral("P_CDSERVFILI")).setAsString(u.CdServFili);
    qryTurno.Open();
    m_shiftsRead = true;
}

void ImportRun::checkShifts(const Placements &days)
{
    // A header holds four shift estimates. A service with more shifts is refused before
    // anything is stored, when the run must create or refill a header: the only steps
    // that read them.
    readShifts();
    if (qryTurno.rowCount() <= kShiftFields)
        return;
    for (const Placement &p : days) {
        for (adqValidDiet.First(); p.working && !adqValidDiet.Eof(); adqValidDiet.Next()) {
            const QString diet = adqValidDiet.FieldByName(QStringLiteral("CDDIETPAD")).asString();
            if (headerStep(p.day, diet) != ImportReport::Header::Stamped)
                stop(msg("TURNO_MAIOR"), AbortKind::Check);
        }
    }
}

void ImportRun::planSteps(const Placements &days)
{
    m_steps.clear();
    m_stepCalls.clear();
    m_step = 0;
    m_sentBatches.clear();
    for (const Placement &p : days) {
        for (adqValidDiet.First(); p.working && !adqValidDiet.Eof(); adqValidDiet.Next()) {
            const QString diet = adqValidDiet.FieldByName(QStringLiteral("CDDIETPAD")).asString();
            // a header to create or refill takes a menu number and the diners
            m_steps.append({p.day, diet, headerStep(p.day, diet) != ImportReport::Header::Stamped});
        }
    }
}

ImportReport::Header ImportRun::headerStep(const QDate &day, const QString &diet)
{
    const UnitValues &u = unitValues();
    if (!cdsCardaDia.Locate(kHeaderKey, {u.CdFilial, u.CdServFili, day, diet}))
        return ImportReport::Header::Created;
    // a header without diners is filled again
    if (cdsCardaDia.FieldByName(QStringLiteral("QTCOMESTICAR")).asFloat() == 0)
        return ImportReport::Header::Refilled;
    return ImportReport::Header::Stamped;
}

void ImportRun::stamp()
{
    cdsCardaDia.FieldByName(QStringLiteral("CDOPERADOR")).setValue(QVariant(Operador()));
    cdsCardaDia.FieldByName(QStringLiteral("DTULTATUACAR")).setValue(loginContext().today());
}
void ImportRun::finishReport()
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

void ImportRun::collectUntypedDishes()
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

void ImportRun::dietStep()
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
    entry.header = headerStep(u.DtCardapio, u.DietaAtual);
    const QVariant dinersRead =
        entry.header == ImportReport::Header::Created
            ? QVariant()
            : cdsCardaDia.FieldByName(QStringLiteral("QTCOMESTICAR")).value();
    // a header that has its diners is stamped once the step has changed something of
    // the day: a step that copies and removes nothing stores nothing
    if (entry.header != ImportReport::Header::Stamped)
        GravaCardadia(entry.header == ImportReport::Header::Created);
    NrCardapioDestino = cdsCardaDia.FieldByName(QStringLiteral("NRCARDAPIO")).asString();
    m_unsentEntries.append(m_report.entries.size() - 1);
    entry.menuNumber = NrCardapioDestino;
    entry.diners = cdsCardaDia.FieldByName(QStringLiteral("QTCOMESTICAR")).asFloat();
    entry.cli = cdsCardaDia.FieldByName(QStringLiteral("QTCLIESTICAR")).asFloat();
    entry.fun = cdsCardaDia.FieldByName(QStringLiteral("QTFUNESTICAR")).asFloat();
    entry.doa = cdsCardaDia.FieldByName(QStringLiteral("QTDOAESTICAR")).asFloat();
    for (int shift = 1; shift <= kShiftFields; ++shift)
        entry.shifts.append(
            cdsCardaDia.FieldByName(QStringLiteral("QTESTITURNO%1").arg(shift)).asFloat());

    adqVerifCardaDia.SetData(
        packetAnswer(readAnswer(stepCalls().slots, QLatin1Char('V')), Method::VerifCardadia));
    adqVerifCardaDia.First();
    noteDaySeen(entry.header != ImportReport::Header::Created, dinersRead);

    if (m_choices.mode == Mode::Append) {
        modePass();
    } else if (m_choices.mode == Mode::Overwrite) {
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

void ImportRun::stampHeader()
{
    const UnitValues &u = unitValues();
    // the cursor may have moved since the header step: the header is found again
    cdsCardaDia.Locate(kHeaderKey, {u.CdFilial, u.CdServFili, u.DtCardapio, u.DietaAtual});
    cdsCardaDia.Edit();
    stamp();
    cdsCardaDia.Post();
}

// What the step's decisions rest on: the dishes the destination cache holds for the
// day's menu and diet, in append mode the dishes the day check rows show, and the
// diners of a header that was there before the run. The batch carries its digest;
// the server refuses it if the day holds anything else by then.
void ImportRun::noteDaySeen(bool headerWasThere, const QVariant &diners)
{
    const UnitValues &u = unitValues();
    QStringList seen;
    for (const QVariantList &row :
         cdsCompCardCache.valuesWhere(QStringLiteral("CDFILIAL;NRCARDAPIO;CDDIETPAD"),
                                      {u.CdFilial, NrCardapioDestino, u.DietaAtual},
                                      {QStringLiteral("NRSEQPRATCAR"), QStringLiteral("CDPRATO")}))
        seen.append(dayEntry(std::llround(row.at(0).toDouble()), row.at(1).toString()));
    if (m_choices.mode == Mode::Append) {
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
    day.number = NrCardapioDestino;
    day.day = u.DtCardapio;
    day.diet = u.DietaAtual;
    day.digest = dayDigest(seen);
    m_daySeen = day.toText();
}

void ImportRun::modePass()
{
    const UnitValues &u = unitValues();
    NrSeqConfig = 0;
    NrOrdConfig = 0;
    const QString sourceDay = shortDate(adqData.FieldByName(QStringLiteral("DTCARDAPIO")).asDate());
    const Field type = cdsTipoPrato.FieldByName(QStringLiteral("CDTIPOPRAT"));
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
        if (!t.trimmed().isEmpty())
            walkType(t, sourceDay, slotFilterHead);
    }
}

// Pairs the source dishes of one type with the month's slots of that type, in order.
void ImportRun::walkType(const QString &t, const QString &sourceDay, const QString &slotFilterHead)
{
    const UnitValues &u = unitValues();
    const Fields &f = *m_fields;
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
    const bool origemMenor = sources < slots;
    const int count = std::min(sources, slots);
    cdsCardOrigem.First();
    cdsPesqConfDestino.First();
    for (int i = 0; i < count; ++i) {
        if (!cdsPesqConfDestino.IsEmpty()) {
            NrSeqConfig = f.slotNumber.asInteger();
            NrOrdConfig = f.slotOrder.asInteger();
        }
        // a slot the destination holds already is passed over (the look-up moves no
        // cursor: nothing reads the dish record set's position before the next clearing)
        if (NrSeqConfig <= 0) {
            noteDish(ImportReport::Outcome::SlotZero, 0);
        } else if (cdsCompCardCache.contains(
                       QStringLiteral("CDFILIAL;NRCARDAPIO;CDDIETPAD;NRSEQPRATCAR"),
                       {u.CdFilial, NrCardapioDestino, u.DietaAtual, NrSeqConfig},
                       Qt::CaseInsensitive)) {
            noteDish(ImportReport::Outcome::SlotTaken, 0);
        } else {
            // a dry run says so while it runs
            setCaption(stepCaption((m_choices.dryRun ? text("CAPTION_SIMULATING") : msg("IMP")) +
                                   f.srcTypeName.asString() + QStringLiteral(" - ") +
                                   f.srcDishName.asString()));
            pump();
            CopiaPrato(origemMenor);
        }
        cdsCardOrigem.Next();
        cdsPesqConfDestino.Next();
        ++m_slotPairs;
        if (!m_choices.cycle.repeats())
            setProgress(m_progressPos + 1);
        pump();
    }
    // source dishes beyond the month's slots of their type stay out
    NrSeqConfig = 0;
    NrOrdConfig = 0;
    for (int i = count; i < sources; ++i, cdsCardOrigem.Next())
        noteDish(slots == 0 ? ImportReport::Outcome::TypeNotInMonth : ImportReport::Outcome::NoSlot,
                 0);
}

void ImportRun::noteDish(ImportReport::Outcome outcome, double perCapitaAfter)
{
    const Fields &f = *m_fields;
    ImportReport::Dish d;
    d.type = f.srcType.asString();
    d.typeName = f.srcTypeName.asString();
    d.dish = f.srcDish.asString();
    d.name = f.srcDishName.asString();
    d.slot = NrSeqConfig;
    d.order = NrOrdConfig;
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

void ImportRun::overwriteClearing()
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
    const QVariant answer = readAnswer(stepCalls().clearing, QLatin1Char('D'));
    if (answer.typeId() == QMetaType::QString && !answer.toString().isEmpty())
        serverStopped(answer.toString(), nullptr);
}

QVariant ImportRun::readAnswer(int position, QChar part)
{
    StepCalls &calls = m_stepCalls[m_step];
    if (calls.step < 0)
        return answerOf(position);
    if (calls.answers.isEmpty()) {
        const QVariant all = answerOf(calls.step);
        if (all.typeId() == QMetaType::QString && !all.toString().isEmpty())
            serverStopped(all.toString(), nullptr);
        if (all.typeId() != QMetaType::QVariantList || all.toList().size() != calls.parts.size())
            stop(text("UNEXPECTED_REPLY").arg(methodName(Method::GetPassoDestino)),
                 AbortKind::Failure);
        calls.answers = all.toList();
    }
    const qsizetype at = calls.parts.indexOf(part);
    if (at < 0)
        stop(text("UNEXPECTED_REPLY").arg(methodName(Method::GetPassoDestino)), AbortKind::Failure);
    // each part is taken once: its memory goes with it
    return std::exchange(calls.answers[at], QVariant());
}

Packet ImportRun::packetAnswer(QVariant answer, Method method)
{
    if (answer.typeId() == QMetaType::QString && !answer.toString().isEmpty())
        serverStopped(answer.toString(), nullptr);
    if (answer.typeId() != qMetaTypeId<Packet>())
        stop(text("UNEXPECTED_REPLY").arg(methodName(method)), AbortKind::Failure);
    return takePacket(answer);
}

void ImportRun::storeBatch()
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
    const int position =
        m_calls->send(Method::SetImportacao, args,
                      {{QString(kDaySeenKey.name), m_daySeen}, {QString(kBatchIdKey.name), id}});
    // the next step's changes are counted from here: these are on their way
    cdsCardaDia.MergeChangeLog();
    cdsCompCardCache.MergeChangeLog();
    m_sentBatches.push_back({position, m_unsentEntries, id});
    m_unsentEntries.clear();
    takeBatchAnswers(false);
    // a server slower than the steps is waited for: what waits in memory stays small
    while (m_sentBatches.size() > static_cast<size_t>(m_windows.batches)) {
        waitForAnswer(m_sentBatches.front().position);
        takeBatchAnswers(false);
    }
}

void ImportRun::sendStepReads()
{
    const UnitValues &u = unitValues();
    const qsizetype until = std::min(m_steps.size(), m_step + m_windows.steps);
    while (m_stepCalls.size() < until) {
        const PlannedStep &step = m_steps.at(m_stepCalls.size());
        StepCalls calls;
        calls.sentNs = m_runClock.nsecsElapsed();
        // they read nothing the batches on their way write: the server may run them
        // beside those batches
        const CallStream::Metadata ahead{{QString(kAheadKey.name), QStringLiteral("1")}};
        QString parts = step.header ? QStringLiteral("NCV") : QStringLiteral("V");
        if (m_choices.mode == Mode::Overwrite)
            parts += QLatin1Char('D');
        // more than one read goes as one call where the server takes it: a call less
        // for each on every thread on its way
        if (parts.size() > 1 && m_calls->offersStepReads()) {
            calls.step =
                m_calls->send(Method::GetPassoDestino,
                              {u.CdFilial, u.CdServFili, step.day, step.diet, parts}, ahead);
            calls.parts = parts;
            m_stepCalls.append(calls);
            continue;
        }
        if (step.header) {
            calls.number = m_calls->send(Method::GetPrxCardapio,
                                         {u.CdFilial, u.CdServFili, step.day, step.diet}, ahead);
            calls.diners = m_calls->send(Method::GetComensais,
                                         {u.CdFilial, u.CdServFili, step.diet, step.day}, ahead);
        }
        calls.slots = m_calls->send(Method::VerifCardadia,
                                    {step.day, u.CdFilial, u.CdServFili, step.diet}, ahead);
        if (m_choices.mode == Mode::Overwrite)
            calls.clearing = m_calls->send(Method::DelPratosDiet,
                                           {u.CdFilial, u.CdServFili, step.diet, step.day}, ahead);
        m_stepCalls.append(calls);
    }
}

qint64 ImportRun::waitForAnswer(int position)
{
    if (m_calls->waitFor(position, 0))
        return 0;
    // the window paints while the answer is on its way
    const qint64 from = m_runClock.nsecsElapsed();
    while (!m_calls->waitFor(position, 20))
        pump();
    const qint64 waited = m_runClock.nsecsElapsed() - from;
    m_windows.waitedNs += waited;
    return waited;
}

QVariant ImportRun::answerOf(int position)
{
    // a read the step had to wait for came in just now: its round trip
    if (waitForAnswer(position) > 0 && m_step < m_stepCalls.size())
        m_windows.noteRoundTrip(m_runClock.nsecsElapsed() - stepCalls().sentNs);
    // a call that failed ends the run: it is said at the end, with what was stored
    return m_calls->answer(position);
}

QStringList ImportRun::whatStays() const
{
    if (m_choices.dryRun)
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

void ImportRun::serverStopped(const QString &answer, const ImportReport::DayDiet *refused)
{
    // what the batches on their way did is known before it is said
    settleBatches();
    const QString said = refusedAt(refused, answer);
    const QStringList stays = whatStays();
    m_error.text = (QStringList{said} + stays).join(QLatin1Char('\n'));
    m_error.abortText = said;
    m_error.kind = AbortKind::Server;
    throw RunStopped();
}

void ImportRun::takeBatchAnswers(bool all)
{
    while (!m_sentBatches.empty()) {
        const SentBatch batch = m_sentBatches.front();
        if (!all && !m_calls->waitFor(batch.position, 0))
            return;
        waitForAnswer(batch.position);
        QString answer;
        // answered: the database stored nothing, or the server refused the operator
        struct Failed
        {
            QString details;
            bool access;
        };
        std::optional<Failed> failed;
        try {
            answer = m_calls->answer(batch.position).toString();
        } catch (const DatabaseFailure &e) {
            failed = Failed{e.details(), dynamic_cast<const AccessRefusal *>(&e) != nullptr};
            answer = e.text();
        }
        // (no answer at all ends the run: the server may have stored it; settleBatches
        // asks)
        m_sentBatches.pop_front();
        if (noteBatchAnswer(batch, answer))
            continue;
        const ImportReport::DayDiet *refused =
            batch.entries.isEmpty() ? nullptr : &m_report.entries.at(batch.entries.first());
        if (failed && failed->access)
            throw AccessRefusal(refusedAt(refused, answer), failed->details);
        if (failed)
            throw DatabaseFailure(refusedAt(refused, answer), failed->details);
        serverStopped(answer, refused);
    }
}

bool ImportRun::noteBatchAnswer(const SentBatch &batch, const QString &answer)
{
    const bool refused = isRefusal(answer);
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

QString ImportRun::refusedAt(const ImportReport::DayDiet *refused, const QString &answer) const
{
    // the server speaks of its batch: that day and diet is what it did not store
    if (!refused || m_choices.dryRun)
        return answer;
    return text("BATCH_REFUSED_AT")
        .arg(shortDate(refused->day) + QLatin1Char(' ') + NomeSemana(refused->day), refused->diet,
             answer);
}

// The server runs no batch after a refused one: the steps sent behind it did not run,
// and the report ends where the run stopped, as it does when the calls go one by one.
void ImportRun::forgetStepsAfter(const SentBatch &refused)
{
    if (!refused.entries.isEmpty())
        m_report.entries.resize(
            *std::max_element(refused.entries.cbegin(), refused.entries.cend()) + 1);
    m_sentBatches.clear();
    m_unsentEntries.clear();
}

void ImportRun::settleBatches() noexcept
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

int ImportRun::askAboutLostBatches()
{
    if (m_report.unknownCount() > 0) {
        try {
            askAboutBatches(m_server, m_report);
        } catch (const Error &) {
            // the server cannot say yet
        }
    }
    return m_report.unknownCount();
}

void ImportRun::GravaCardadia(bool inclui)
{
    UnitValues &u = unitValues();
    const QString number = readAnswer(stepCalls().number, QLatin1Char('N')).toString();
    if (isRefusal(number))
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
    stamp();

    cdsComensais.SetData(
        packetAnswer(readAnswer(stepCalls().diners, QLatin1Char('C')), Method::GetComensais));
    for (const char *name : {"QTCOMESTICAR", "QTCLIESTICAR", "QTFUNESTICAR", "QTDOAESTICAR"}) {
        const double value =
            cdsComensais.IsEmpty() ? 0.0 : cdsComensais.FieldByName(QLatin1String(name)).asFloat();
        field(name).setValue(value);
    }

    // the holiday column applies on the days the branch lists in FERICARD: read once
    // for all the diets of the day
    if (m_holidayReadFor != u.DtCardapio) {
        qryFeriFili.Close();
        qryFeriFili.ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(u.CdFilial);
        qryFeriFili.ParamByName(QStringLiteral("P_DTFERIFILI")).setAsDate(u.DtCardapio);
        qryFeriFili.Open();
        m_holidayReadFor = u.DtCardapio;
    }
    // the service's shifts, as the run read them before its first step
    if (!m_shiftsRead)
        readShifts();
    const char *weekdayColumn = kShiftColumns[weekdayNumber(u.DtCardapio) - 1];
    int shift = 1;
    for (qryTurno.First(); !qryTurno.Eof(); qryTurno.Next(), ++shift) {
        Field estimate = cdsCardaDia.FieldByName(QStringLiteral("QTESTITURNO%1").arg(shift));
        estimate.setValue(qryTurno.FieldByName(QLatin1String(weekdayColumn)).asFloat());
        if (!qryFeriFili.IsEmpty())
            estimate.setValue(qryTurno.FieldByName(QStringLiteral("QTCOMESTTFER")).asFloat());
    }
    cdsCardaDia.Post();
    cancel.posted = true;
}

double ImportRun::perCapita(double estimate, double value) const
{
    const double r = m_choices.rounding;
    if (unitValues().SemArredondamento == 0 && r > 0) {
        const double n = roundedUpPortions(estimate, value, r);
        return estimate != 0 ? r * n * 100.0 / estimate : 0.0;
    }
    return value;
}

bool ImportRun::sourceHasDish()
{
    // looks for the dish code in the filtered source view without moving its cursor,
    // so that each source dish is considered once
    const Fields &f = *m_fields;
    return cdsCardOrigem.contains(
        QStringLiteral("CDTIPOPRAT;DTCARDAPIO;CDDIETPAD;CDPRATO"),
        {f.type.value(), f.sourceDay.value(), unitValues().DietaAtual, f.srcDish.value()});
}

void ImportRun::CopiaPrato(bool origemMenor)
{
    UnitValues &u = unitValues();
    Fields &f = *m_fields;
    const double p = perCapita(f.estimate.asFloat(), f.srcValue.asFloat());

    bool copy = false;
    bool takenInDay = false;
    if (m_choices.mode == Mode::Overwrite) {
        copy = origemMenor || sourceHasDish();
    } else {
        // the day check rows carry the destination day
        if (!adqVerifCardaDia.Locate(QStringLiteral("CDTIPOPRAT;DTCARDAPIO;NRSEQPRATCAR"),
                                     {f.type.value(), u.DtCardapio, NrSeqConfig})) {
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
    const QString type = f.srcType.asString();
    const QString typeName = f.srcTypeName.asString();

    CancelUnposted cancel(cdsCompCardCache);
    cdsCompCardCache.Insert();
    f.CDFILIAL.setValue(u.CdFilial);
    f.NRCARDAPIO.setValue(NrCardapioDestino);
    f.CDDIETPAD.setValue(u.DietaAtual);
    f.NRSEQPRATCAR.setValue(NrSeqConfig);
    f.NRORDPRATCAR.setValue(NrOrdConfig);
    f.CDFILAUXPRAT.setValue(auxBranch);
    f.CDPRATO.setValue(dish);
    f.NMPRATO.setValue(dishName);
    f.VRPECONSCARD.setValue(p);
    f.CDTIPOPRAT.setValue(type);
    f.NMTIPOPRAT.setValue(QString(Ajusta(QString::number(NrOrdConfig), 3) + type + typeName));
    f.DTCARDAPIO.setValue(u.DtCardapio);
    cdsCompCardCache.Post();
    cancel.posted = true;
    noteDish(ImportReport::Outcome::Copied, p);
}

} // namespace zov
