#pragma once

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSaveFile>
#include <QString>
#include <QTextStream>

namespace zov {

// What an import run did, or in a dry run would do, per destination day and diet: the
// header, every source dish paired with a slot and what became of it, the days left
// out as non-working, the batches stored, and what the rounding added. The run only
// records; nothing here changes what it does.
struct ImportReport
{
    enum class Outcome {
        Copied,
        SlotTaken,      // the destination holds a dish in the slot already
        NoSlot,         // the destination month's slots of the dish's type are all paired
        TypeNotInMonth, // the destination month has no slot of the dish's type at all
        SlotZero,       // the slot's number is 0
        NoDiners,       // the per-capita value came to 0 (no diners, or none given)
        NotInSource,    // the source check did not find the dish
        NoType,         // the source dish has no dish type: no slot can take it
    };

    // How a finished run ended, which the closing dialog says.
    enum class Ending {
        Stored,         // SUCESSO
        TypeNotInMonth, // SEM_POSICAO: dishes whose type has no slot in the month
        NoDiners,       // COMEN_ZERO: dishes left out for want of diners
        NothingStored,  // every day and diet already had what the source would bring
        NoWorkingDay,   // every destination day was a non-working day of the branch
        NoDietServed,   // the service serves none of the diets chosen
    };

    // what the step did to the day's header
    enum class Header {
        Created,  // a new header with a new menu number
        Refilled, // a header without diners got its estimates again
        Stamped,  // a header with diners only got the operator and the date
    };

    struct Dish
    {
        QString type; // dish type code
        QString typeName;
        QString dish; // source dish code
        QString name;
        int slot = 0; // NRSEQPRATCAR of the destination slot (0 without one)
        int order = 0;
        double perCapitaBefore = 0; // the source's per-capita value
        double perCapitaAfter = 0;  // the value stored (after rounding)
        double portionsBefore = 0;  // diners x per-capita / 100, before and after
        double portionsAfter = 0;
        Outcome outcome = Outcome::Copied;
    };

    struct DayDiet
    {
        QDate sourceDay;
        QDate day;
        QString diet;
        Header header = Header::Stamped;
        QString menuNumber;
        double diners = 0; // QTCOMESTICAR of the header
        double cli = 0;    // the three diner kinds: QTCLIESTICAR, QTFUNESTICAR, QTDOAESTICAR
        double fun = 0;
        double doa = 0;
        QList<double> shifts;
        QList<Dish> dishes;
        bool stored = false; // its batch was stored (or, in a dry run, accepted)
        QString refusal;     // the server's text when it refused the batch
        // its batch was sent and no answer came: the server may have stored it
        bool unknown = false;
        QString batchId;        // of the batch that carried it
        bool unchanged = false; // nothing to store: no dish copied or removed, no new header
        bool cleared = false;   // an overwrite removed the day's dishes of the diet
        int removed = 0;
        double roundingCost() const; // portions the rounding added
        int copied() const;
    };

    bool preview = false; // a dry run: nothing was stored
    QString runId;        // the run's id, by which it can be undone (empty in a dry run)
    QString operatorCode; // who ran it
    QDateTime startedAt;  // when, local time
    QString branch;
    QString service;
    QDate month;         // the destination month reference
    QDate until;         // a cycle's last destination day; null for a single import
    int cycleLength = 0; // a cycle's length in days
    QString mode;        // "append" or "overwrite"
    double rounding = 0;
    bool finished = false;
    Ending ending = Ending::Stored;    // of a finished run
    QString closingText;               // the message the closing dialog shows
    QStringList dietsNotServed;        // listed diets the service does not serve
    QList<QDate> skippedDays;          // non-working destination days
    QMap<QDate, QDate> sourceDays;     // the source day of each destination day, skipped or not
    QHash<QString, QString> dietNames; // the diets' names by code
    QList<DayDiet> entries;
    int batches = 0;

    // The run's totals. Copied dishes and the rounding cost count the day and diets
    // whose batch was stored (in a dry run, accepted); the dishes copied into a batch
    // that was refused or never sent are counted apart.
    struct Totals
    {
        int copied = 0;
        int left = 0; // source dishes not copied, for any reason
        int notStored = 0;
        int unknown = 0;  // copied into batches whose answer never came
        double added = 0; // portions the rounding added
    };
    Totals totals() const;

    // The day x diet table that the terminal and the report window show: the days
    // (skipped ones included) in order, the diets in the order the run met them, and
    // the entry of each cell (null where the run has none).
    struct Grid
    {
        // A line of the table: a day (its index in `days`), or, when the days lie in
        // more than one month, the heading that leads each month's days (day -1).
        struct Row
        {
            qsizetype day = -1;
            QDate month; // the first day of the heading's month
            bool heading() const { return day < 0; }
        };
        QList<QDate> days;
        QStringList diets;
        QList<Row> rows; // the days alone when they lie in one month
        const DayDiet *cell(qsizetype day, qsizetype diet) const;
        QHash<QPair<QDate, QString>, const DayDiet *> entries;
    };
    Grid grid() const;
    // the heading of a month's days in the table: "Março de 2027"
    static QString monthHeading(const QDate &month);
    // Who ran it, when, its id and mode: "Importação 5f0c... de MARIA em 03/12/2026
    // 14:05, Acrescentar".
    QString headLine() const;
    // the totals for people, in one or two lines; the line of the dishes left out,
    // when there are any, comes first
    QStringList summary() const;
    QStringList totalsLines() const; // the summary without the line of the dishes left out
    // The dishes left out and their main reasons in plain words ("63 pratos ficaram de
    // fora: as posições de GUARNIÇÃO de janeiro já estavam todas usadas."), with the
    // diets the service does not serve; empty when nothing was left out.
    QString leftOutLine() const;
    // What the closing dialog says: the ending's message, and the line of what was left
    // out under it.
    QString closingMessage() const;
    // The ending of a finished run for exit codes: true when it is a warning (dishes
    // left out for want of a slot of their type or of diners, or nothing imported for
    // want of a working day or of a diet the service serves).
    bool endsWithWarning() const;
    // How many days and diets were stored, and how many may have been (their answer
    // never came).
    int storedCount() const;
    int unknownCount() const;
    // A real run that stored, or may have stored, something: it has a run to undo.
    bool mayHaveStored() const
    {
        return !preview && !runId.isEmpty() && (batches > 0 || unknownCount() > 0);
    }
    // "03/01/2027 Domingo (de 03/12/2026)": a destination day and where it comes from
    QString dayLabel(const QDate &day) const;

    // A cell of the day x diet table, as the terminal and the report window show it:
    // the dishes copied of the source's and the portions the rounding added, "5/7 +1,2".
    static QString cellText(const DayDiet &entry);
    // up to three decimals, with a decimal comma and no trailing zeros: "27,3"
    static QString decimal(double value);
    // a CSV field, quoted when it holds a separator, a quote or a line break
    static QString csvField(QString value);
    static QString outcomeName(Outcome outcome); // for people
    static QString outcomeKey(Outcome outcome);  // for programs
    static QString endingKey(Ending ending);     // for programs
    static QString headerName(Header header);    // for people
    static QString headerKey(Header header);     // for programs
    QByteArray toJson() const;
    QByteArray toCsv() const;
    // For a terminal: a day x diet table, then the dishes left out and why.
    QString toText() const;
};

// The bytes of a report file, whatever the report (an import's, an undo's): a name ending
// in .csv gets the CSV, led by UTF-8's byte-order mark so that spreadsheets read the
// accents of the dish names, any other name the JSON.
bool isCsvFileName(const QString &fileName);
QByteArray csvFileBytes(const QByteArray &csv);
template<typename Report>
QByteArray reportFileBytes(const QString &fileName, const Report &report)
{
    return isCsvFileName(fileName) ? csvFileBytes(report.toCsv()) : report.toJson();
}

// Writes `bytes` into `file`, open for writing, whole or not at all: a short write (a full
// disk, a file size limit) cancels it and an earlier file of the name stays. Empty when
// saved, else the cause in the system's words.
QString saveReportFile(QSaveFile &file, const QByteArray &bytes);
template<typename Report>
QString saveReport(QSaveFile &file, const Report &report)
{
    return saveReportFile(file, reportFileBytes(file.fileName(), report));
}

// The report of a command line (--report NAME): "-" is the terminal, any other name a
// file opened at once, so that a path that cannot be written stops the command before
// anything is stored, and saved at the end whole or not at all.
class ReportFile
{
public:
    // Empty: no report. Throws UsageError (CLI_BAD_REPORT_FILE, exit 64 without the
    // usage) when the file cannot be written.
    explicit ReportFile(QString name);
    bool onTerminal() const { return m_name == QLatin1String("-"); }
    // "-" prints the table on `out`; a file gets the report. False, with the cause on
    // `err`, when it could not be saved.
    template<typename Report>
    bool save(const Report &report, QTextStream &out, QTextStream &err)
    {
        if (onTerminal())
            out << report.toText() << Qt::flush;
        return !m_file.isOpen() || saved(saveReport(m_file, report), err);
    }

private:
    bool saved(const QString &problem, QTextStream &err) const;

    QString m_name;
    QSaveFile m_file;
};

} // namespace zov
