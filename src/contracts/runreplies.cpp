#include "runreplies.h"

#include <QVariantList>

#include <initializer_list>

namespace zov {

namespace {

// The values of `row` when it holds exactly `kinds` (a date a valid one).
std::optional<QVariantList> valuesOf(const QVariant &row, std::initializer_list<int> kinds)
{
    if (row.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    const QVariantList values = row.toList();
    if (values.size() != qsizetype(kinds.size()))
        return std::nullopt;
    int i = 0;
    for (const int kind : kinds) {
        const QVariant &v = values.at(i++);
        if (v.typeId() != kind || (kind == QMetaType::QDate && !v.toDate().isValid()))
            return std::nullopt;
    }
    return values;
}

constexpr int T = QMetaType::QString, D = QMetaType::QDate, N = QMetaType::Double;

const QString kRestored = QStringLiteral("restored");
const QString kChanged = QStringLiteral("changed");
const QString kUndone = QStringLiteral("undone");
const QString kRemoved = QStringLiteral("removed");
const QString kStored = QStringLiteral("stored");
const QString kRefused = QStringLiteral("refused");

} // namespace

QVariant RunRow::toReply() const
{
    return QVariantList{id,
                        started,
                        operatorCode,
                        branch,
                        service,
                        firstDay,
                        lastDay,
                        mode,
                        double(batches),
                        double(menus),
                        double(undoneMenus),
                        undoneBy};
}

std::optional<RunRow> RunRow::fromReply(const QVariant &row)
{
    // a server from before operators answers without who undid
    auto v = valuesOf(row, {T, T, T, T, T, D, D, T, N, N, N, T});
    if (!v)
        v = valuesOf(row, {T, T, T, T, T, D, D, T, N, N, N});
    if (!v)
        return std::nullopt;
    RunRow r;
    r.id = v->at(0).toString();
    r.started = v->at(1).toString();
    r.operatorCode = v->at(2).toString();
    r.branch = v->at(3).toString();
    r.service = v->at(4).toString();
    r.firstDay = v->at(5).toDate();
    r.lastDay = v->at(6).toDate();
    r.mode = v->at(7).toString();
    r.batches = v->at(8).toInt();
    r.menus = v->at(9).toInt();
    r.undoneMenus = v->at(10).toInt();
    r.undoneBy = v->value(11).toString();
    return r;
}

QVariant UndoRow::toReply() const
{
    const QString outcomeKey = outcome == Outcome::Restored        ? kRestored
                               : outcome == Outcome::AlreadyUndone ? kUndone
                                                                   : kChanged;
    return QVariantList{day,
                        diet,
                        menuNumber,
                        outcomeKey,
                        double(dishesRemoved),
                        double(dishesRestored),
                        headerRemoved                  ? kRemoved
                        : outcome == Outcome::Restored ? kRestored
                                                       : QString()};
}

std::optional<UndoRow> UndoRow::fromReply(const QVariant &row)
{
    const auto v = valuesOf(row, {D, T, T, T, N, N, T});
    if (!v)
        return std::nullopt;
    UndoRow r;
    r.day = v->at(0).toDate();
    r.diet = v->at(1).toString();
    r.menuNumber = v->at(2).toString();
    const QString outcome = v->at(3).toString();
    if (outcome == kRestored)
        r.outcome = Outcome::Restored;
    else if (outcome == kUndone)
        r.outcome = Outcome::AlreadyUndone;
    else if (outcome != kChanged)
        return std::nullopt;
    r.dishesRemoved = v->at(4).toInt();
    r.dishesRestored = v->at(5).toInt();
    r.headerRemoved = v->at(6).toString() == kRemoved;
    return r;
}

QVariant BatchOutcome::toReply() const
{
    return QVariantList{id, stored ? kStored : kRefused, refusal};
}

std::optional<BatchOutcome> BatchOutcome::fromReply(const QVariant &row)
{
    const QVariantList values = row.toList();
    if (values.size() != 3)
        return std::nullopt;
    BatchOutcome b;
    b.id = values.at(0).toString();
    b.stored = values.at(1).toString() == kStored;
    b.refusal = values.at(2).toString();
    return b;
}

} // namespace zov
