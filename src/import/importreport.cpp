#include "importreport.h"

#include "dates.h"
#include "texts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <cmath>

namespace zov {

double ImportReport::DayDiet::roundingCost() const
{
    double added = 0;
    for (const Dish &d : dishes) {
        if (d.outcome == Outcome::Copied)
            added += d.portionsAfter - d.portionsBefore;
    }
    return added;
}

int ImportReport::DayDiet::copied() const
{
    int n = 0;
    for (const Dish &d : dishes)
        n += d.outcome == Outcome::Copied ? 1 : 0;
    return n;
}

QString ImportReport::outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Copied:
        return text("REPORT_COPIED");
    case Outcome::SlotTaken:
        return text("REPORT_SLOT_TAKEN");
    case Outcome::NoSlot:
        return text("REPORT_NO_SLOT");
    case Outcome::TypeNotInMonth:
        return text("REPORT_TYPE_NOT_IN_MONTH");
    case Outcome::SlotZero:
        return text("REPORT_SLOT_ZERO");
    case Outcome::NoDiners:
        return text("REPORT_NO_DINERS");
    case Outcome::NotInSource:
        return text("REPORT_NOT_IN_SOURCE");
    }
    return {};
}

QString ImportReport::outcomeKey(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Copied:
        return QStringLiteral("copied");
    case Outcome::SlotTaken:
        return QStringLiteral("slotTaken");
    case Outcome::NoSlot:
        return QStringLiteral("noSlot");
    case Outcome::TypeNotInMonth:
        return QStringLiteral("typeNotInMonth");
    case Outcome::SlotZero:
        return QStringLiteral("slotZero");
    case Outcome::NoDiners:
        return QStringLiteral("noDiners");
    case Outcome::NotInSource:
        return QStringLiteral("notInSource");
    }
    return {};
}

QString ImportReport::headerName(Header header)
{
    switch (header) {
    case Header::Created:
        return text("REPORT_CREATED");
    case Header::Refilled:
        return text("REPORT_REFILLED");
    case Header::Stamped:
        return text("REPORT_STAMPED");
    }
    return {};
}

QString ImportReport::headerKey(Header header)
{
    switch (header) {
    case Header::Created:
        return QStringLiteral("created");
    case Header::Refilled:
        return QStringLiteral("refilled");
    case Header::Stamped:
        return QStringLiteral("stamped");
    }
    return {};
}

namespace {
double rounded(double v)
{
    return std::round(v * 1e6) / 1e6;
}
} // namespace

QByteArray ImportReport::toJson() const
{
    QJsonObject root{
        {QStringLiteral("preview"), preview},         {QStringLiteral("branch"), branch},
        {QStringLiteral("service"), service},         {QStringLiteral("mode"), mode},
        {QStringLiteral("rounding"), rounding},       {QStringLiteral("finished"), finished},
        {QStringLiteral("closingText"), closingText}, {QStringLiteral("batches"), batches}};
    if (!runId.isEmpty())
        root.insert(QStringLiteral("runId"), runId);
    QJsonArray skipped;
    for (const QDate &d : skippedDays)
        skipped.append(isoDate(d));
    root.insert(QStringLiteral("skippedDays"), skipped);
    root.insert(QStringLiteral("summary"), QJsonArray::fromStringList(summary()));
    QJsonArray days;
    for (const DayDiet &e : entries) {
        QJsonArray dishes;
        for (const Dish &d : e.dishes) {
            dishes.append(
                QJsonObject{{QStringLiteral("type"), d.type},
                            {QStringLiteral("typeName"), d.typeName},
                            {QStringLiteral("dish"), d.dish},
                            {QStringLiteral("name"), d.name},
                            {QStringLiteral("slot"), d.slot},
                            {QStringLiteral("order"), d.order},
                            {QStringLiteral("perCapitaBefore"), rounded(d.perCapitaBefore)},
                            {QStringLiteral("perCapitaAfter"), rounded(d.perCapitaAfter)},
                            {QStringLiteral("portionsBefore"), rounded(d.portionsBefore)},
                            {QStringLiteral("portionsAfter"), rounded(d.portionsAfter)},
                            {QStringLiteral("outcome"), outcomeKey(d.outcome)},
                            {QStringLiteral("reason"), outcomeName(d.outcome)}});
        }
        QJsonArray shifts;
        for (const double s : e.shifts)
            shifts.append(s);
        days.append(QJsonObject{{QStringLiteral("sourceDay"), isoDate(e.sourceDay)},
                                {QStringLiteral("day"), isoDate(e.day)},
                                {QStringLiteral("diet"), e.diet},
                                {QStringLiteral("dietName"), dietNames.value(e.diet)},
                                {QStringLiteral("header"), headerKey(e.header)},
                                {QStringLiteral("menuNumber"), e.menuNumber},
                                {QStringLiteral("diners"), e.diners},
                                {QStringLiteral("cli"), e.cli},
                                {QStringLiteral("fun"), e.fun},
                                {QStringLiteral("doa"), e.doa},
                                {QStringLiteral("shifts"), shifts},
                                {QStringLiteral("cleared"), e.cleared},
                                {QStringLiteral("removed"), e.removed},
                                {QStringLiteral("stored"), e.stored},
                                {QStringLiteral("refusal"), e.refusal},
                                {QStringLiteral("copied"), e.copied()},
                                {QStringLiteral("roundingCost"), rounded(e.roundingCost())},
                                {QStringLiteral("dishes"), dishes}});
    }
    root.insert(QStringLiteral("days"), days);
    const Totals t = totals();
    root.insert(QStringLiteral("totals"),
                QJsonObject{{QStringLiteral("copied"), t.copied},
                            {QStringLiteral("leftOut"), t.left},
                            {QStringLiteral("notStored"), t.notStored},
                            {QStringLiteral("roundingCost"), rounded(t.added)}});
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QString ImportReport::csvField(QString v)
{
    if (v.contains(QLatin1Char(';')) || v.contains(QLatin1Char('"')) ||
        v.contains(QLatin1Char('\n')) || v.contains(QLatin1Char('\r')))
        v = QLatin1Char('"') + v.replace(QLatin1Char('"'), QLatin1String("\"\"")) +
            QLatin1Char('"');
    return v;
}

QByteArray ImportReport::toCsv() const
{
    // one line per dish and a total line per day and diet; semicolons and decimal
    // commas, as spreadsheets here expect
    const auto field = &ImportReport::csvField;
    const auto number = [](double v) {
        return QString::number(rounded(v), 'f', 3).replace(QLatin1Char('.'), QLatin1Char(','));
    };
    QStringList lines{text("REPORT_CSV_HEADER")};
    for (const DayDiet &e : entries) {
        const QString stored = !e.stored ? text("REPORT_NO")
                               : preview ? text("REPORT_SIMULATED")
                                         : text("REPORT_YES");
        const QStringList head{shortDate(e.day), shortDate(e.sourceDay), field(e.diet),
                               headerName(e.header), field(e.menuNumber)};
        for (const Dish &d : e.dishes) {
            const bool copied = d.outcome == Outcome::Copied;
            lines.append(
                (head +
                 QStringList{d.slot > 0 ? QString::number(d.slot) : QString(),
                             d.slot > 0 ? QString::number(d.order) : QString(), field(d.typeName),
                             field(d.dish), field(d.name), number(d.perCapitaBefore),
                             copied ? number(d.perCapitaAfter) : QString(),
                             number(d.portionsBefore), copied ? number(d.portionsAfter) : QString(),
                             copied ? number(d.portionsAfter - d.portionsBefore) : QString(),
                             outcomeName(d.outcome), stored})
                    .join(QLatin1Char(';')));
        }
        lines.append(
            (head +
             QStringList{QString(), QString(), QString(), QString(),
                         text("REPORT_TOTAL").arg(e.copied()).arg(e.dishes.size()), QString(),
                         QString(), QString(), QString(), number(e.roundingCost()),
                         e.cleared ? text("REPORT_REMOVED").arg(e.removed) : QString(), stored})
                .join(QLatin1Char(';')));
    }
    for (const QDate &d : skippedDays)
        lines.append(shortDate(d) + QStringLiteral(";;;") + text("REPORT_SKIPPED_DAY"));
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

QString ImportReport::decimal(double value)
{
    // -0.0000001 is shown as 0, not as "-0"
    const double r = std::abs(value) < 0.0005 ? 0.0 : value;
    QString s = QString::number(r, 'f', 3);
    while (s.endsWith(QLatin1Char('0')))
        s.chop(1);
    if (s.endsWith(QLatin1Char('.')))
        s.chop(1);
    return s.replace(QLatin1Char('.'), QLatin1Char(','));
}

ImportReport::Grid ImportReport::grid() const
{
    Grid g;
    for (const DayDiet &e : entries) {
        if (!g.days.contains(e.day))
            g.days.append(e.day);
        if (!g.diets.contains(e.diet))
            g.diets.append(e.diet);
        g.entries.insert({e.day, e.diet}, &e);
    }
    for (const QDate &d : skippedDays) {
        if (!g.days.contains(d))
            g.days.append(d);
    }
    std::sort(g.days.begin(), g.days.end());
    return g;
}

const ImportReport::DayDiet *ImportReport::Grid::cell(qsizetype day, qsizetype diet) const
{
    if (day < 0 || diet < 0 || day >= days.size() || diet >= diets.size())
        return nullptr;
    return entries.value({days.at(day), diets.at(diet)});
}

QString ImportReport::toText() const
{
    const Grid g = grid();
    const QList<QDate> &days = g.days;
    const QStringList &diets = g.diets;

    // the cells first, then the columns as wide as their widest cell
    QList<QStringList> rows{QStringList{text("REPORT_TEXT_DAY")} + diets};
    for (const QDate &day : std::as_const(days)) {
        QStringList row{dayLabel(day)};
        for (const QString &diet : std::as_const(diets)) {
            QString cell = skippedDays.contains(day) ? text("REPORT_TEXT_SKIPPED") : QString();
            if (const DayDiet *e = g.entries.value({day, diet}))
                cell = text("REPORT_TEXT_CELL")
                           .arg(e->copied())
                           .arg(e->dishes.size())
                           .arg(decimal(e->roundingCost())) +
                       (e->stored ? QString() : QStringLiteral(" *"));
            row.append(cell);
        }
        rows.append(row);
    }
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row.at(c).size());
    }
    QStringList lines;
    if (preview)
        lines.append(text("REPORT_PREVIEW_NOTICE"));
    if (const QString left = leftOutLine(); !left.isEmpty())
        lines.append(left);
    lines.append(text("REPORT_TEXT_LEGEND"));
    for (const QStringList &row : std::as_const(rows)) {
        QStringList cells;
        for (qsizetype c = 0; c < row.size(); ++c)
            cells.append(row.at(c).leftJustified(widths.at(c)));
        lines.append(cells.join(QStringLiteral("  ")).trimmed());
    }
    bool unsent = false;
    QString refusal;
    // the dishes left out, counted by reason and dish type (the JSON and the CSV
    // name every one)
    QMap<std::pair<QString, QString>, int> leftOut;
    for (const DayDiet &e : entries) {
        if (!e.refusal.isEmpty())
            refusal = e.refusal;
        else
            unsent = unsent || !e.stored;
        for (const Dish &d : e.dishes) {
            if (d.outcome != Outcome::Copied)
                ++leftOut[{outcomeName(d.outcome), d.typeName}];
        }
    }
    for (auto it = leftOut.cbegin(); it != leftOut.cend(); ++it)
        lines.append(
            text("REPORT_TEXT_LEFT_OUT").arg(it.value()).arg(it.key().second, it.key().first));
    if (!refusal.isEmpty())
        lines.append(text("REPORT_TEXT_REFUSED").arg(refusal));
    if (unsent)
        lines.append(text("REPORT_TEXT_UNSENT"));
    lines.append(totalsLines());
    if (!finished)
        lines.append(text("REPORT_UNFINISHED"));
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

ImportReport::Totals ImportReport::totals() const
{
    Totals t;
    for (const DayDiet &e : entries) {
        const int copied = e.copied();
        t.left += static_cast<int>(e.dishes.size()) - copied;
        if (e.stored) {
            t.copied += copied;
            t.added += e.roundingCost();
        } else {
            t.notStored += copied;
        }
    }
    return t;
}

QStringList ImportReport::summary() const
{
    const QString left = leftOutLine();
    return (left.isEmpty() ? QStringList() : QStringList{left}) + totalsLines();
}

QStringList ImportReport::totalsLines() const
{
    const Totals t = totals();
    QStringList lines;
    lines.append(text(preview ? "REPORT_PREVIEW_SUMMARY" : "REPORT_SUMMARY")
                     .arg(batches)
                     .arg(t.copied)
                     .arg(t.left)
                     .arg(decimal(t.added)));
    if (t.notStored > 0)
        lines.append(text(preview ? "REPORT_PREVIEW_NOT_STORED_DISHES" : "REPORT_NOT_STORED_DISHES")
                         .arg(t.notStored));
    return lines;
}

QString ImportReport::leftOutLine() const
{
    // by reason, the reason met first first
    QList<Outcome> reasons;
    QHash<Outcome, int> counts;
    int left = 0;
    for (const DayDiet &e : entries) {
        for (const Dish &d : e.dishes) {
            if (d.outcome == Outcome::Copied)
                continue;
            if (!counts.contains(d.outcome))
                reasons.append(d.outcome);
            ++counts[d.outcome];
            ++left;
        }
    }
    if (left == 0)
        return {};
    QStringList parts;
    for (const Outcome reason : std::as_const(reasons))
        parts.append(
            text("REPORT_LEFT_OUT_REASON").arg(counts.value(reason)).arg(outcomeName(reason)));
    return text("REPORT_LEFT_OUT_LINE").arg(left).arg(parts.join(QStringLiteral("; ")));
}

QString ImportReport::dayLabel(const QDate &day) const
{
    const QString label = shortDate(day) + QLatin1Char(' ') + NomeSemana(day);
    const QDate source = sourceDays.value(day);
    return source.isValid() ? text("REPORT_DAY_FROM").arg(label, shortDate(source)) : label;
}

} // namespace zov
