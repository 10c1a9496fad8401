#include "importrunner.h"

#include "consiste.h"
#include "dietlist.h"
#include "error.h"
#include "hostcontext.h"
#include "impocardhosp.h"
#include "layout.h"
#include "query.h"
#include "texts.h"
#include "unitvalues.h"

#include <cmath>

namespace zov {

QString ImportRequest::problem() const
{
    const int branchWidth = codeWidth(QStringLiteral("CDFILIAL"));
    const int serviceWidth = codeWidth(QStringLiteral("CDSERVFILI"));
    if (branch.trimmed().isEmpty() || branch.size() > branchWidth)
        return text("CLI_BAD_BRANCH").arg(branch.left(40));
    for (const QString &code : {service, sourceService}) {
        if (code.size() > serviceWidth || (&code == &service && code.trimmed().isEmpty()))
            return text("CLI_BAD_SERVICE").arg(code.left(40));
    }
    if (month.isValid() && month.day() != 1)
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
    const QString connection = loginContext().connectionName;
    Query filial(QStringLiteral("qryFilial"), connection);
    filial.ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(branch);
    filial.Open();
    if (filial.IsEmpty())
        return text("CLI_UNKNOWN_BRANCH").arg(branch);
    const QString padded = Ajusta(service, codeWidth(QStringLiteral("CDSERVFILI")));
    Query servico(QStringLiteral("qryServico"), connection);
    servico.ParamByName(QStringLiteral("P_CDFILIAL")).setAsString(branch);
    servico.ParamByName(QStringLiteral("P_CDSERVFILI")).setAsString(padded);
    servico.Open();
    if (servico.IsEmpty())
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
                     r.month.isValid() ? r.month : QDate(r.day.year(), r.day.month(), 1), QString(),
                     QString(), r.noRounding ? 1 : 0);
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
    s.setMode(r.append ? ImportRun::Mode::Append : ImportRun::Mode::Overwrite);
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

} // namespace zov
