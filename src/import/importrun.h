#pragma once

#include "appserver.h"
#include "consiste.h"
#include "importreport.h"
#include "query.h"
#include "recordset.h"
#include "streamwindows.h"

#include <QDate>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include <deque>
#include <exception>
#include <functional>
#include <memory>

namespace zov {

// The import of a menu as a job. The screen checks the planner's choices and loads
// what the run reads (the source menu and its days, the month's slots, the
// destination's headers and dishes, the diets served); the job is built from that
// state and then runs by itself: for every destination day and diet it makes sure the
// header is there, copies the source dishes into the slots and sends the step's
// batch, reporting progress as it goes. It ends with an outcome and the report, or
// with an error text. The screen, zov-import, the tests and the benchmarks listen.
class ImportRun : public QObject
{
    Q_OBJECT
public:
    enum class Mode { Append, Overwrite }; // "Acrescentar", "Sobrepor"
    // How the run ended; the values are zov-import's exit codes.
    enum class Outcome {
        Stored = 0,  // every day and diet went (or, in a dry run, would go)
        Failed = 1,  // the connection, the database, the program
        Refused = 2, // a check, or the server's text
        LeftOut = 3, // stored, with a warning: dishes left out (no slot of their type, no diners)
    };
    Q_ENUM(Outcome)

    // What the screen loaded for the run, by the screen's names; the job reads and
    // changes these record sets while it runs.
    struct Loaded
    {
        RecordSet &cdsCardOrigem;      // the source dishes of the range
        RecordSet &cdsTipoPrato;       // the source's dish types by day
        RecordSet &cdsPesqConfDestino; // the slots of the destination month
        RecordSet &cdsCardaDia;        // the destination headers
        RecordSet &cdsCompCardCache;   // the destination dishes
        RecordSet &cdsComensais;
        RecordSet &adqValidDiet; // the diets the service serves
        RecordSet &adqData;      // the source days
        RecordSet &adqVerifCardaDia;
        Query &qryFeriFili;
        Query &qryTurno;
        Query &qryNaoUtil;
    };
    // A menu cycle: the source range is a cycle of `length` calendar days, repeated from
    // the destination day until `until`. The source day at offset k of the cycle goes to
    // D + n*length + k for every repetition n; a source day without a menu leaves its
    // destination day as it is, and a non-working day gets nothing without shifting the
    // cycle. Each day has its own month's slots and month reference.
    struct Cycle
    {
        QDate first; // the source day at offset 0 ("De")
        int length = 0;
        QDate until;
        bool repeats() const { return length > 0 && until.isValid(); }
    };
    // The planner's validated choices.
    struct Choices
    {
        Mode mode = Mode::Append;
        bool dryRun = false;
        double rounding = 1.0; // 0 or less: the per-capita values stay as they are
        Cycle cycle;           // none: the single import, one destination day per source day
    };

    // `report` holds what the screen knows before the run (branch, service, month,
    // mode, diets, the run's id); the job fills in the rest.
    ImportRun(AppServer &server, const Loaded &loaded, const Choices &choices, ImportReport report,
              QObject *parent = nullptr);
    ~ImportRun() override;

    // Called while the job waits and after every progress step, so that a window
    // repaints (and a test can act in the middle of a run).
    void setMessagePump(std::function<void()> pump) { m_pump = std::move(pump); }

    // Runs the job to its end; true when it went through every day (see outcome()).
    bool exec();

    Outcome outcome() const { return m_outcome; }
    // What the last run did, or would have done in a dry run; kept after an error.
    const ImportReport &report() const { return m_report; }
    // The error that ended the run, for people (with what stays stored), and what
    // lies behind it; empty when the run went through.
    QString errorText() const { return m_error.text; }
    QString errorDetails() const { return m_error.details; }
    // The error in the form the screen's handlers end with: shown through the
    // presenter and then AbortError, or the server's own error passed on as it is.
    [[noreturn]] void rethrowError() const;
    // How a call failure that ended a run is said: what failed, what stays stored
    // (`stays`, from whatStays) and what can be done.
    // `access`: the server refused who sent the calls, which the network does not mend
    static QString callFailureText(const QString &failure, bool dryRun, const QStringList &stays,
                                   bool access = false);

    // Asks the server again what became of the batches whose answer never came, and
    // writes it into the report; how many days and diets are still unknown.
    int askAboutLostBatches();
    // Source dish and slot pairs the run visited.
    long slotPairsVisited() const { return m_slotPairs; }

Q_SIGNALS:
    // The bar moved or the caption changed.
    void progress(int position, int maximum, const QString &caption);
    // The run ended, through every day or on an error (see outcome()).
    void finished(zov::ImportRun *job);

private:
    struct Fields;
    // A destination day, the row of adqData it copies and whether the branch works then.
    struct Placement
    {
        QDate day;
        int sourceRow;
        bool working;
    };
    using Placements = QList<Placement>;
    struct PlannedStep
    {
        QDate day;
        QString diet;
        bool header; // to create or refill
    };
    struct StepCalls
    {
        int number = -1;   // GetPrxCardapio, for a header to create or refill
        int diners = -1;   // GetComensais, the same
        int slots = -1;    // VerifCardadia
        int clearing = -1; // DelPratosDiet, in overwrite mode
        // GetPassoDestino, the reads above as one call where the server takes it (they
        // are then unsent): `parts` says which, in its answer's order
        int step = -1;
        QString parts;
        QVariantList answers; // its answers not yet taken
        qint64 sentNs = 0;    // when its reads went, on the run's clock
    };
    struct SentBatch
    {
        int position;
        QList<qsizetype> entries;
        QString id;
    };
    // A stop that the job says at its end: the shown text, the text of the abort,
    // its kind and what lies behind it.
    struct Stop
    {
        QString text;
        QString abortText;
        AbortKind kind = AbortKind::Check;
        QString details;
        std::exception_ptr unshown; // the server's own error, passed on as it is
        bool access = false;        // the server refused the operator's credential or rights
    };

    bool execute();
    void run();
    Placements destinationDays();
    Placements cycleDays();
    bool isWorkingDay(const QDate &day);
    void checkShifts(const Placements &days);
    // the service's shifts, read once for the run: every header it fills gets the same
    void readShifts();
    void planSteps(const Placements &days);
    // the day's month reference: the entry's, or in a cycle the day's own month
    void enterDay(const Placement &placement);
    QString stepCaption(const QString &caption) const;
    void finishReport();
    void collectUntypedDishes();

    // What the step does with the day and diet's header: create it, refill it (it has
    // no diners), or stamp it once the step has changed the day.
    ImportReport::Header headerStep(const QDate &day, const QString &diet);
    // The operator and the date of the change, on the header being edited.
    void stamp();
    void stampHeader();
    void dietStep();
    void noteDaySeen(bool headerWasThere, const QVariant &diners);
    void modePass();
    void walkType(const QString &type, const QString &sourceDay, const QString &slotFilterHead);
    void overwriteClearing();
    void storeBatch();
    void sendStepReads();
    void GravaCardadia(bool inclui);
    void CopiaPrato(bool origemMenor);
    void noteDish(ImportReport::Outcome outcome, double perCapitaAfter);
    ImportReport::DayDiet &reportEntry() { return m_report.entries.last(); }
    double perCapita(double estimate, double value) const;
    bool sourceHasDish();

    void setProgress(int position);
    void setCaption(const QString &caption);
    void pump();
    const StepCalls &stepCalls() const { return m_stepCalls.at(m_step); }
    // The answer of a call of the run's stream, the window painting while it comes.
    // The time it waited, in nanoseconds.
    qint64 waitForAnswer(int position);
    QVariant answerOf(int position);
    // The answer of the step's read `part` (N, C, V or D) sent as call `position`, or
    // as its part of the step's one call.
    QVariant readAnswer(int position, QChar part);
    // The packet a read of the step answered; a text ends the run as the server's.
    Packet packetAnswer(QVariant answer, Method method);
    // The answers of the batches sent: those already in, or all of them. A refused
    // batch ends the run with its text.
    void takeBatchAnswers(bool all);
    // Writes a batch's answer into the report: stored (true), or refused, and then the
    // steps behind it did not run.
    bool noteBatchAnswer(const SentBatch &batch, const QString &answer);
    void forgetStepsAfter(const SentBatch &refused);
    // After an error: what the batches on their way did, for the report; a batch whose
    // answer cannot be had is asked about once more (its id), else it stays unknown.
    void settleBatches() noexcept;
    // A text the server answered with ended the run: said with what stays stored.
    [[noreturn]] void serverStopped(const QString &answer, const ImportReport::DayDiet *refused);
    [[noreturn]] void stop(const QString &text, AbortKind kind);
    // The server's text, naming the day and diet of the batch it refused.
    QString refusedAt(const ImportReport::DayDiet *refused, const QString &answer) const;
    // What stays stored after a stop, for people: the days and diets stored, those the
    // server may have stored, the run's id and what can be done; empty when nothing was.
    QStringList whatStays() const;

    AppServer &m_server;
    RecordSet &cdsCardOrigem;
    RecordSet &cdsTipoPrato;
    RecordSet &cdsPesqConfDestino;
    RecordSet &cdsCardaDia;
    RecordSet &cdsCompCardCache;
    RecordSet &cdsComensais;
    RecordSet &adqValidDiet;
    RecordSet &adqData;
    RecordSet &adqVerifCardaDia;
    Query &qryFeriFili;
    Query &qryTurno;
    Query &qryNaoUtil;
    const Choices m_choices;
    std::unique_ptr<Fields> m_fields;
    std::function<void()> m_pump;

    ImportReport m_report;
    Outcome m_outcome = Outcome::Failed;
    Stop m_error;
    int m_progressMax = 0;
    int m_progressPos = 0;
    QString m_caption;
    QDate m_month; // the month of the day under way, on a cycle's caption
    long m_slotPairs = 0;
    bool m_shiftsRead = false;
    StreamWindows m_windows;
    QElapsedTimer m_runClock;
    QDate m_holidayReadFor; // the day qryFeriFili holds the holiday of

    // the step under way: its destination menu and slot, and what it saw of the day
    QString NrCardapioDestino;
    int NrSeqConfig = 0;
    int NrOrdConfig = 0;
    QString m_daySeen;

    // the entries whose changes the next batch carries
    QList<qsizetype> m_unsentEntries;
    // The calls of a run travel on one stream: every step's reads go before the first
    // step, each batch as its step ends, and the answers come in order.
    std::unique_ptr<CallStream> m_calls;
    QList<PlannedStep> m_steps;
    QList<StepCalls> m_stepCalls;
    qsizetype m_step = 0;
    std::deque<SentBatch> m_sentBatches;
    // source dishes without a dish type by source day and diet: no slot takes them
    QHash<QPair<QDate, QString>, QList<ImportReport::Dish>> m_untyped;
};

// The tags every call of a run carries while it lives: the month of the slots, the
// run's id, mode and source for the batches and their audit, or the dry run's id.
class RunTags
{
public:
    RunTags(AppServer *server, ImportReport &report, const QString &sourceService,
            const QDate &from, const QDate &to);
    ~RunTags();
    RunTags(const RunTags &) = delete;
    RunTags &operator=(const RunTags &) = delete;

private:
    AppServer *m_server;
    bool m_dryRun;
};

} // namespace zov
