#include "importrunner.h"

#include "callmetadata.h"
#include "commandline.h"
#include "consiste.h"
#include "dates.h"
#include "dietlist.h"
#include "error.h"
#include "impocardhosp.h"
#include "referencecodes.h"
#include "texts.h"
#include "unitvalues.h"

#include <QThread>

#include <cmath>

namespace zov {

namespace {

// A date option, when given, must be YYYY-MM-DD.
QString badDate(const CommandLine &options)
{
    for (const char *name : {"date", "from", "to", "month", "until"}) {
        const QString value = options.value(QLatin1String(name));
        if (options.has(QLatin1String(name)) && !parseIsoDate(value).isValid())
            return text("CLI_BAD_DATE").arg(QLatin1String(name), value.left(40));
    }
    return {};
}

// The choices of the screen's panel: the diets, the mode and the rounding.
QString readChoices(const CommandLine &options, ImportRequest *r)
{
    const QString diets = options.value(QStringLiteral("diets"), QStringLiteral("all"));
    if (diets != QLatin1String("all"))
        r->diets = diets.split(QLatin1Char(','));
    const QString mode = options.value(QStringLiteral("mode"), kAppendMode);
    if (mode != kAppendMode && mode != kOverwriteMode)
        return text("CLI_BAD_MODE").arg(mode.left(40));
    r->mode = mode == kAppendMode ? ImportRun::Mode::Append : ImportRun::Mode::Overwrite;
    if (options.has(QStringLiteral("rounding"))) {
        const QString rounding = options.value(QStringLiteral("rounding"));
        bool ok = false;
        r->rounding = QString(rounding).replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok);
        if (!ok)
            return text("CLI_BAD_ROUNDING").arg(rounding.left(40));
    }
    if (options.has(QStringLiteral("align"))) {
        const QString align = options.value(QStringLiteral("align"));
        if (align != QLatin1String("weekday"))
            return text("CLI_BAD_ALIGN").arg(align.left(40));
        if (!options.has(QStringLiteral("until")))
            return text("CLI_ALIGN_NEEDS_UNTIL");
        r->alignWeekday = true;
    }
    return {};
}

} // namespace

ImportRequest ImportRequest::fromOptions(const CommandLine &options, QString *problem)
{
    ImportRequest r;
    *problem = options.missingOrStray({QStringLiteral("db"), QStringLiteral("branch"),
                                       QStringLiteral("service"), QStringLiteral("date"),
                                       QStringLiteral("from")});
    if (problem->isEmpty())
        *problem = badDate(options);
    if (!problem->isEmpty())
        return r;
    r.branch = options.value(QStringLiteral("branch"));
    r.service = options.value(QStringLiteral("service"));
    r.sourceService = options.value(QStringLiteral("source-service"));
    r.day = parseIsoDate(options.value(QStringLiteral("date")));
    r.month = parseIsoDate(options.value(QStringLiteral("month")));
    r.from = parseIsoDate(options.value(QStringLiteral("from")));
    r.to = parseIsoDate(options.value(QStringLiteral("to")));
    r.until = parseIsoDate(options.value(QStringLiteral("until")));
    r.noRounding = options.has(QStringLiteral("no-rounding"));
    r.dryRun = options.has(QStringLiteral("dry-run"));
    *problem = readChoices(options, &r);
    if (problem->isEmpty())
        *problem = r.problem();
    return r;
}

QString ImportRequest::problem() const
{
    if (const QString bad = branchCodeProblem(branch); !bad.isEmpty())
        return bad;
    for (const QString &code : {service, sourceService}) {
        if (code.size() > serviceCodeWidth() || (&code == &service && code.trimmed().isEmpty()))
            return text("CLI_BAD_SERVICE").arg(code.left(40));
    }
    if (month.isValid() && !isFirstOfMonth(month))
        return text("CLI_BAD_MONTH").arg(month.toString(Qt::ISODate));
    for (const QString &code : diets) {
        if (!isDietCode(code))
            return text("CLI_BAD_DIET").arg(code.left(40));
    }
    // the screen's edit holds three decimals: 9.9999 never reaches the import there
    const double thousandths = rounding * 1000;
    if (!std::isfinite(rounding) || std::fabs(thousandths - std::round(thousandths)) >
                                        1e-6 * std::max(1.0, std::fabs(thousandths)))
        return text("CLI_ROUNDING_DECIMALS").arg(rounding);
    return {};
}

QString ImportRequest::unknownCode() const
{
    if (!branchName(branch))
        return text("CLI_UNKNOWN_BRANCH").arg(branch);
    const QString padded = paddedServiceCode(service);
    if (!serviceName(branch, padded))
        return text("CLI_UNKNOWN_SERVICE").arg(padded, branch);
    return {};
}

ImportRunner::ImportRunner(ImpoCardHosp &screen)
    : m_screen(screen)
{}

const ImportReport &ImportRunner::report() const
{
    return m_screen.report();
}

void ImportRunner::open(const ImportRequest &r)
{
    storeEntryValues(r.branch, r.service, r.day,
                     r.month.isValid() ? r.month : firstDayOfMonth(r.day), QString(), allDiets(),
                     r.noRounding ? 1 : 0);
    m_screen.FormCreate();
    m_screen.FormActivate();
}

void ImportRunner::choose(const ImportRequest &r)
{
    ImpoCardHosp &s = m_screen;
    if (!r.sourceService.isEmpty() && r.sourceService != s.serviceText()) {
        s.setServiceText(r.sourceService);
        s.medCdServicoExit();
    }
    s.setStartDate(r.from);
    if (r.to.isValid()) {
        s.setEndDate(r.to);
        s.depCardOrigAteExit();
    }
    if (r.diets.isEmpty()) {
        s.setDietChoice(true, false);
    } else {
        s.setDietChoice(false, true);
        unitValues().DietasEscolhidas = dietList(r.diets); // as the multi-select returns them
    }
    s.grbDietaExit();
    s.setUntil(r.until);
    s.setAlignWeekday(r.alignWeekday);
    s.setMode(r.mode);
    s.setRounding(r.rounding);
    // leaving the selection panel for the grid
    s.panOrigemExit();
}

ImportRunner::Outcome ImportRunner::import(bool dryRun)
{
    m_screen.setDryRun(dryRun);
    struct Reset
    {
        ImpoCardHosp &s;
        ~Reset() { s.setDryRun(false); }
    } reset{m_screen};
    m_screen.sbtImportExportClick();
    // a click that returns without a job (one under way already) stored nothing
    const ImportRun *run = m_screen.lastRun();
    return run ? run->outcome() : Outcome::Failed;
}

template<typename Step>
ImportRunner::Outcome ImportRunner::guarded(Step step)
{
    m_error.clear();
    try {
        return step();
    } catch (const AbortError &e) {
        // MensErro has shown the text already
        return e.kind() == AbortKind::Failure ? Outcome::Failed : Outcome::Refused;
    } catch (const ServerTextError &e) {
        m_error = e.text();
        return Outcome::Refused;
    } catch (const Error &e) {
        m_error = e.text();
        return Outcome::Failed;
    }
}

ImportRunner::Outcome ImportRunner::run(const ImportRequest &request,
                                        const std::function<void()> &beforeImport)
{
    return guarded([&] {
        open(request);
        choose(request);
        if (beforeImport)
            beforeImport();
        return import(request.dryRun);
    });
}

QString ImportRunner::settleLostBatches(int waitMs)
{
    const int unknown = m_screen.report().unknownCount();
    if (unknown == 0)
        return {};
    const int storedBefore = m_screen.report().storedCount();
    // once: a server that is gone would make every question wait for its deadline
    QThread::msleep(static_cast<unsigned long>(waitMs));
    m_screen.lastRun()->askAboutLostBatches();
    const int left = m_screen.report().unknownCount();
    if (left >= unknown)
        return {};
    const int stored = m_screen.report().storedCount() - storedBefore;
    return text("BATCHES_SETTLED")
        .arg(countText("COUNT_STORED", stored),
             countText("COUNT_NOT_STORED", unknown - left - stored));
}

} // namespace zov
