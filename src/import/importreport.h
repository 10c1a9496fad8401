#pragma once

#include <QDate>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>

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
        bool stored = false;  // its batch was stored (or, in a dry run, accepted)
        QString refusal;      // the server's text when it refused the batch
        bool cleared = false; // an overwrite removed the day's dishes of the diet
        int removed = 0;
        double roundingCost() const; // portions the rounding added
        int copied() const;
    };

    bool preview = false; // a dry run: nothing was stored
    QString runId;        // the run's id, by which it can be undone (empty in a dry run)
    QString branch;
    QString service;
    QString mode; // "append" or "overwrite"
    double rounding = 0;
    bool finished = false;
    QString closingText;
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
        double added = 0; // portions the rounding added
    };
    Totals totals() const;

    // The day x diet table that the terminal and the report window show: the days
    // (skipped ones included) in order, the diets in the order the run met them, and
    // the entry of each cell (null where the run has none).
    struct Grid
    {
        QList<QDate> days;
        QStringList diets;
        const DayDiet *cell(qsizetype day, qsizetype diet) const;
        QHash<QPair<QDate, QString>, const DayDiet *> entries;
    };
    Grid grid() const;
    // the totals for people, in one or two lines; the line of the dishes left out,
    // when there are any, comes first
    QStringList summary() const;
    QStringList totalsLines() const; // the summary without the line of the dishes left out
    // "Deixados de fora 12 pratos: 8 porque ...; 4 porque ...", empty when none was
    QString leftOutLine() const;
    // "03/01/2027 Domingo (de 03/12/2026)": a destination day and where it comes from
    QString dayLabel(const QDate &day) const;

    // up to three decimals, with a decimal comma and no trailing zeros: "27,3"
    static QString decimal(double value);
    // a CSV field, quoted when it holds a separator, a quote or a line break
    static QString csvField(QString value);
    static QString outcomeName(Outcome outcome); // for people
    static QString outcomeKey(Outcome outcome);  // for programs
    static QString headerName(Header header);    // for people
    static QString headerKey(Header header);     // for programs
    QByteArray toJson() const;
    QByteArray toCsv() const;
    // For a terminal: a day x diet table, then the dishes left out and why.
    QString toText() const;
};

} // namespace zov
