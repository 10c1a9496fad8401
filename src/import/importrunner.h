#pragma once

#include "importreport.h"
#include "importrun.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <functional>

namespace zov {

class CommandLine;
class ImpoCardHosp;

// What a planner brings to the screen: the entry values the host gives and the choices
// made on it. The command line, the tests and the benchmarks describe an import so.
struct ImportRequest
{
    // the entry values
    QString branch;
    QString service;
    QDate day;   // the destination day
    QDate month; // the destination month reference; null: the first of the day's month
    bool noRounding = false;
    // what the planner does on the screen
    QString sourceService; // typed into "Serviço" when not the entry's; empty: the entry's
    QDate from;            // "De"
    QDate to;              // "Até"; null: a single day
    QDate until;           // "Repetir até"; null: no cycle
    bool alignWeekday = false;
    QStringList diets; // "Lista" with these codes picked; empty: "Todos"
    ImportRun::Mode mode = ImportRun::Mode::Append; // "Acrescentar" or "Sobrepor"
    double rounding = 1;                            // "Arredondamento para Comensais"
    bool dryRun = false;                            // "Simular"

    // The request of zov-import's options: the entry values (--branch, --service, --date,
    // --month, --no-rounding), --from and --to (YYYY-MM-DD), --source-service, --diets
    // all|CODE,CODE..., --mode append|overwrite, --rounding (a decimal point or comma),
    // --until YYYY-MM-DD with --align weekday, and --dry-run, with --db, which the codes are looked
    // up in. `problem` is set to the usage mistake in Portuguese (what problem() says included),
    // else left empty.
    static ImportRequest fromOptions(const CommandLine &options, QString *problem);
    // What makes it unfit before anything runs, in Portuguese: a code longer than its
    // field, a month reference that is not a first day, a diet code with "_", a rounding
    // with more decimals than the screen's edit holds. Empty when sound.
    QString problem() const;
    // The entry branch or service that the database does not know, looked up with the
    // screen's own queries over the host's connection; empty when both are known.
    QString unknownCode() const;
};

// Walks the screen's path for a request, as a job that runs synchronously: the
// creation and first activation, the planner's choices, leaving the selection panel
// (range check and source load), then "Importar" or "Simular".
class ImportRunner
{
public:
    using Outcome = ImportRun::Outcome;

    explicit ImportRunner(ImpoCardHosp &screen);

    // The steps, for callers that act between them; each throws as the screen's
    // handlers do (AbortError after MensErro, zov::Error).
    void open(const ImportRequest &request);
    void choose(const ImportRequest &request);
    Outcome import(bool dryRun);

    // The three steps; never throws. `beforeImport` runs between the choices and the
    // click (a measurement starts there).
    Outcome run(const ImportRequest &request, const std::function<void()> &beforeImport = {});

    // After a run with batches whose answer never came: asks the server about them once
    // more, `waitMs` later, when it may be answering again, so that the report says the
    // truth. What was learnt, for people (BATCHES_SETTLED), or empty when nothing was.
    QString settleLostBatches(int waitMs = 2000);

    // The text of an error that ended the run without being shown (MensErro shows its
    // own); empty after a run that ended through MensErro or completed.
    QString errorText() const { return m_error; }
    const ImportReport &report() const;

private:
    template<typename Step>
    Outcome guarded(Step step);

    ImpoCardHosp &m_screen;
    QString m_error;
};

} // namespace zov
