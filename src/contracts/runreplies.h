#pragma once

#include <QDate>
#include <QString>
#include <QVariant>

#include <optional>

namespace zov {

// The rows of the answers about import runs, as the server writes them and the client
// reads them. Each reads back only a row of its exact shape (how many values, of which
// kinds): a server that answers otherwise is not believed.

// GetImportacoes: one row a run that stored something.
struct RunRow
{
    QString id;
    QString started; // UTC, ISO with milliseconds, as kept
    QString operatorCode;
    QString branch;
    QString service;
    QDate firstDay; // destination days
    QDate lastDay;
    QString mode; // "append" or "overwrite"
    int batches = 0;
    int menus = 0;       // day and diets it stored
    int undoneMenus = 0; // of those, the ones undone
    QString undoneBy;    // who undid them (of several, one); empty from older servers

    QVariant toReply() const;
    static std::optional<RunRow> fromReply(const QVariant &row);
};

// DesfazImportacao: one row a destination day and diet of the run, and what the undo
// did to it (in a dry run, would do).
struct UndoRow
{
    enum class Outcome {
        Restored,      // put back as it was before the run
        Changed,       // changed since the run: left as it is
        AlreadyUndone, // an earlier undo restored it
    };
    QDate day;
    QString diet;
    QString menuNumber;
    Outcome outcome = Outcome::Changed;
    int dishesRemoved = 0;  // dishes the run had added
    int dishesRestored = 0; // dishes it had removed or changed, back
    bool headerRemoved = false;

    QVariant toReply() const;
    static std::optional<UndoRow> fromReply(const QVariant &row);
};

// VerifLotes: what became of a batch whose answer a client lost.
struct BatchOutcome
{
    QString id;
    bool stored = false;
    QString refusal; // the server's text, when it was not stored

    QVariant toReply() const;
    // any row of three values: its id, "stored" or not, the text
    static std::optional<BatchOutcome> fromReply(const QVariant &row);
};

} // namespace zov
