#pragma once

#include "sqlsession.h"

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QString>
#include <QVariant>

namespace zov {

struct CallContext;

// A menu as the database holds it: its header (empty when there is none) and its
// dishes by diet and slot, each in its layout's field order.
struct MenuState
{
    QVariantList header;
    QMap<QString, QVariantList> dishes;

    // Reads the menu `number` of `branch` (on PostgreSQL its header row locked).
    static MenuState read(SqlSession &s, const QString &branch, const QString &number);
    // Tells two states apart; the same state always gives the same digest.
    QString digest() const;
};

// What a stored batch changed, kept to undo its run: in the batch's own transaction,
// for every menu it touched, the state before and a digest of the state after. The
// state after follows from the state before and the rows the batch wrote, each as the
// database keeps it: nothing is read back. Keeps no record for a batch that carries
// no run id.
class RunRecorder
{
public:
    RunRecorder(SqlSession &s, const CallContext &context);
    // Before the batch's writes: the menus it will touch (branch, menu number), and of
    // those the ones whose header it creates.
    void before(const QList<QPair<QString, QString>> &menus,
                const QList<QPair<QString, QString>> &created);
    // The menu as the database holds it before the batch's writes: read once for the
    // batch (its header locked), whoever asks; nothing for a menu whose header the
    // batch creates (its number is new, and the header's own checks refuse a number
    // that is not).
    const MenuState &found(const QString &branch, const QString &number);
    // The rows the batch wrote, in its layout's field order, as it wrote them.
    void headerWritten(const QVariantList &h);
    void dishRemoved(const QVariantList &c);
    void dishWritten(const QVariantList &c);
    // After the writes, before the commit: one record per menu the batch changed.
    void after();

private:
    MenuState *written(const QVariant &branch, const QVariant &number);

    SqlSession &m_s;
    const CallContext &m_context;
    QList<QPair<QString, QString>> m_menus;
    QList<MenuState> m_before;
    QList<MenuState> m_after;
    QHash<QPair<QString, QString>, MenuState> m_found;
    QList<QPair<QString, QString>> m_created;
};

// The runs that stored something, newest first; of `branch` only when it is not empty.
QVariant listRuns(SqlSession &s, const QString &branch);

// Puts every day and diet of a run back as it was before the run, one transaction each,
// the latest batch first; a menu changed since the run is left as it is. An error text
// (an unknown run, a run of another branch than `branch`), or one row per menu.
QVariant undoRun(SqlSession &s, const QString &runId, const QString &branch,
                 const CallContext &context);

// What became of batches whose answer a client lost, by their ids (separated by
// commas): one row a batch, its id and "stored", or "refused" with the server's text.
// A batch the server has no answer for is recorded as given up, in the same
// transaction, so that it can never be stored afterwards (a server that was held up
// and resumes refuses it), and answered "refused" with that text.
QVariant batchOutcomes(SqlSession &s, const QString &ids, const CallContext &context);

// Removes what is kept of the runs stored before `before` (and the records of their
// batches' answers): the history stays bounded.
struct PurgeCounts
{
    int runs = 0;
    int menus = 0;
    int batches = 0;
};
PurgeCounts purgeRuns(SqlSession &s, const QDateTime &before);

} // namespace zov
