#pragma once

#include "runreplies.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>

namespace zov {

class AppServer;
class CommandLine;

// An import run as the server keeps it for an undo, with when it was made in local time.
struct RunSummary : RunRow
{
    QDateTime when;

    // For people: the destination days ("dd/MM/yyyy" or "dd/MM/yyyy a dd/MM/yyyy"), the
    // mode ("Acrescentar", "Sobrepor") and whether it was undone, wholly or in part.
    QString daysText() const;
    QString modeText() const;
    QString undoneText() const;
    bool whollyUndone() const { return menus > 0 && undoneMenus == menus; }
    // One line, tab-separated: id, when, operator, branch, service, days, mode, batches,
    // whether it was undone.
    QString toLine() const;
};

// What an undo did (in a dry run, would do) per destination day and diet.
struct UndoReport
{
    using Outcome = UndoRow::Outcome;
    using Entry = UndoRow; // as the server answers it

    QString runId;
    bool preview = false;
    QList<Entry> entries;

    int count(Outcome outcome) const;
    // every day and diet restored, now or by an earlier undo
    bool complete() const { return count(Outcome::Changed) == 0; }
    // For people: what was restored, and each day and diet left as it is.
    QString closingText() const;
    QStringList leftLines() const;
    // Says it through the presenter: an information when every day and diet came back,
    // else a warning naming the ones left as they are.
    void show() const;
    QByteArray toJson() const;
    QByteArray toCsv() const;
    QString toText() const;
};

// The undo of import runs through the application server.
class RunUndo
{
public:
    explicit RunUndo(AppServer &server);

    // The runs that stored something, newest first; of `branch` only when given.
    QList<RunSummary> list(const QString &branch);
    // Restores the days and diets of `runId`; a run unknown or of another branch than
    // `branch` (when given) throws ServerTextError with the server's words, a failure
    // zov::Error. In a dry run nothing changes and the report says what would.
    UndoReport undo(const QString &runId, const QString &branch, bool dryRun);

private:
    AppServer &m_server;
};

// zov-import's --list-runs and --undo RUN_ID take only the options that tell where and
// who (--db, --server, --branch, --operator, --ca, --token-file; the undo --dry-run and
// --report too): empty when the command line keeps to them, else the mistake.
QString undoOptionsProblem(const CommandLine &options);

} // namespace zov
