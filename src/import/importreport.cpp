#include "importreport.h"

#include "callmetadata.h"
#include "commandline.h"
#include "dates.h"
#include "texts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <cerrno>
#include <cmath>
#include <cstring>

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
    case Outcome::NoType:
        return text("REPORT_NO_TYPE");
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
    case Outcome::NoType:
        return QStringLiteral("noType");
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
    root.insert(QStringLiteral("operator"), operatorCode);
    root.insert(QStringLiteral("startedAt"), startedAt.toString(Qt::ISODate));
    root.insert(QStringLiteral("head"), headLine());
    if (month.isValid())
        root.insert(QStringLiteral("month"), isoDate(month));
    if (until.isValid()) {
        root.insert(QStringLiteral("until"), isoDate(until));
        root.insert(QStringLiteral("cycleDays"), cycleLength);
    }
    if (finished)
        root.insert(QStringLiteral("ending"), endingKey(ending));
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
                                {QStringLiteral("unknown"), e.unknown},
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
                            {QStringLiteral("unknown"), t.unknown},
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
    // who, when, which run and how; then, each after an empty line, a line per dish, a
    // line per day and diet with its totals, and the run's summary. Semicolons and
    // decimal commas, as spreadsheets here expect.
    const auto field = &ImportReport::csvField;
    const auto number = [](double v) {
        return QString::number(rounded(v), 'f', 3).replace(QLatin1Char('.'), QLatin1Char(','));
    };
    QStringList lines{text("REPORT_CSV_HEAD") + QLatin1Char(';') + field(headLine()), QString(),
                      text("REPORT_CSV_HEADER")};
    QStringList days{QString(), text("REPORT_CSV_DAYS_HEADER")};
    for (const DayDiet &e : entries) {
        const QString stored = e.unknown   ? text("REPORT_MAYBE")
                               : !e.stored ? text("REPORT_NO")
                               : preview   ? text("REPORT_SIMULATED")
                                           : text("REPORT_YES");
        const QStringList head{shortDate(e.day),     shortDate(e.sourceDay),
                               field(e.diet),        field(dietNames.value(e.diet)),
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
                             outcomeName(d.outcome), copied ? stored : text("REPORT_NO")})
                    .join(QLatin1Char(';')));
        }
        days.append((head + QStringList{QString::number(e.dishes.size()),
                                        QString::number(e.copied()), number(e.roundingCost()),
                                        e.cleared ? QString::number(e.removed) : QString(), stored})
                        .join(QLatin1Char(';')));
    }
    for (const QDate &d : skippedDays)
        days.append(shortDate(d) + QLatin1Char(';') + shortDate(sourceDays.value(d)) +
                    QStringLiteral(";;;") + text("REPORT_SKIPPED_DAY"));
    lines += days;
    lines.append(QString());
    QStringList said = summary();
    if (!finished)
        said.append(text("REPORT_UNFINISHED"));
    for (const QString &line : std::as_const(said))
        lines.append(text("REPORT_CSV_SUMMARY") + QLatin1Char(';') + field(line));
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

QString ImportReport::cellText(const DayDiet &entry)
{
    return text("REPORT_TEXT_CELL")
        .arg(entry.copied())
        .arg(entry.dishes.size())
        .arg(decimal(entry.roundingCost()));
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
    const bool months = !g.days.isEmpty() &&
                        firstDayOfMonth(g.days.constFirst()) != firstDayOfMonth(g.days.constLast());
    for (qsizetype i = 0; i < g.days.size(); ++i) {
        const QDate month = firstDayOfMonth(g.days.at(i));
        if (months && (i == 0 || firstDayOfMonth(g.days.at(i - 1)) != month))
            g.rows.append({-1, month});
        g.rows.append({i, month});
    }
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

    // the cells first, then the columns as wide as their widest cell; a month's heading
    // is a line of its own
    QList<QStringList> rows{QStringList{text("REPORT_TEXT_DAY")} + diets};
    QHash<qsizetype, QString> headings; // before the row of that index
    for (const Grid::Row &line : g.rows) {
        if (line.heading()) {
            headings.insert(rows.size(), monthHeading(line.month));
            continue;
        }
        const QDate &day = days.at(line.day);
        QStringList row{dayLabel(day)};
        for (const QString &diet : std::as_const(diets)) {
            QString cell = skippedDays.contains(day) ? text("REPORT_TEXT_SKIPPED") : QString();
            if (const DayDiet *e = g.entries.value({day, diet}))
                cell = cellText(*e) + (e->unknown                  ? QStringLiteral(" ?")
                                       : e->stored || e->unchanged ? QString()
                                                                   : QStringLiteral(" *"));
            row.append(cell);
        }
        rows.append(row);
    }
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row.at(c).size());
    }
    QStringList lines{headLine()};
    if (preview)
        lines.append(text("REPORT_PREVIEW_NOTICE"));
    if (const QString left = leftOutLine(); !left.isEmpty())
        lines.append(left);
    lines.append(text("REPORT_TEXT_LEGEND"));
    for (qsizetype r = 0; r < rows.size(); ++r) {
        if (const auto heading = headings.constFind(r); heading != headings.cend())
            lines.append(*heading);
        const QStringList &row = rows.at(r);
        QStringList cells;
        for (qsizetype c = 0; c < row.size(); ++c)
            cells.append(row.at(c).leftJustified(widths.at(c)));
        lines.append(cells.join(QStringLiteral("  ")).trimmed());
    }
    bool unsent = false;
    bool unknown = false;
    QString refusal;
    // the dishes left out, counted by reason and dish type (the JSON and the CSV
    // name every one)
    QMap<std::pair<QString, QString>, int> leftOut;
    for (const DayDiet &e : entries) {
        if (!e.refusal.isEmpty())
            refusal = e.refusal;
        else if (e.unknown)
            unknown = true;
        else
            unsent = unsent || (!e.stored && !e.unchanged);
        for (const Dish &d : e.dishes) {
            if (d.outcome != Outcome::Copied)
                ++leftOut[{outcomeName(d.outcome), d.typeName}];
        }
    }
    for (auto it = leftOut.cbegin(); it != leftOut.cend(); ++it)
        lines.append(
            countText("REPORT_TEXT_LEFT_OUT", it.value()).arg(it.key().second, it.key().first));
    if (!refusal.isEmpty())
        lines.append(text("REPORT_TEXT_REFUSED").arg(refusal));
    if (unknown)
        lines.append(text("REPORT_TEXT_UNKNOWN"));
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
        } else if (e.unknown) {
            t.unknown += copied;
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
    const int stored = storedCount();
    QStringList lines;
    lines.append(text(preview ? "REPORT_PREVIEW_SUMMARY" : "REPORT_SUMMARY")
                     .arg(countText(preview ? "COUNT_WOULD_STORE" : "COUNT_STORED", stored),
                          countText(preview ? "COUNT_WOULD_COPY" : "COUNT_COPIED", t.copied),
                          countText("COUNT_LEFT", t.left),
                          countText("COUNT_PORTIONS", std::abs(t.added) < 0.0005 ? 0 : t.added,
                                    decimal(t.added))));
    if (t.notStored > 0)
        lines.append(
            countText(preview ? "REPORT_PREVIEW_NOT_STORED_DISHES" : "REPORT_NOT_STORED_DISHES",
                      t.notStored));
    if (const int unknown = unknownCount(); unknown > 0)
        lines.append(countText("REPORT_UNKNOWN_DAYS", unknown).arg(runId));
    return lines;
}

namespace {

// "janeiro" for a date of January
QString monthName(const QDate &month)
{
    const QStringList names = text("MONTHS").split(QLatin1Char(','));
    return month.isValid() ? names.value(month.month() - 1) : QString();
}

} // namespace

QString ImportReport::monthHeading(const QDate &month)
{
    QString name = monthName(month);
    if (!name.isEmpty())
        name[0] = name.at(0).toUpper();
    return text("REPORT_MONTH_HEADING").arg(name).arg(month.year());
}

QString ImportReport::leftOutLine() const
{
    // by reason and dish type, the largest groups first; the reasons that do not hang
    // on the type go as one group each
    struct Group
    {
        Outcome outcome;
        QString type;
        QDate month; // whose slots: a cycle's days have their own months
        int count = 0;
        int first = 0; // the order they were met in, for ties
    };
    QList<Group> groups;
    int left = 0;
    for (const DayDiet &e : entries) {
        for (const Dish &d : e.dishes) {
            if (d.outcome == Outcome::Copied)
                continue;
            ++left;
            const bool byType = d.outcome == Outcome::NoSlot ||
                                d.outcome == Outcome::TypeNotInMonth ||
                                d.outcome == Outcome::SlotZero;
            const QString type = byType ? d.typeName : QString();
            const QDate slotMonth = until.isValid() ? firstDayOfMonth(e.day) : month;
            auto it = std::find_if(groups.begin(), groups.end(), [&](const Group &g) {
                return g.outcome == d.outcome && g.type == type && g.month == slotMonth;
            });
            if (it == groups.end())
                groups.append({d.outcome, type, slotMonth, 1, static_cast<int>(groups.size())});
            else
                ++it->count;
        }
    }
    QStringList sentences;
    if (left > 0) {
        std::stable_sort(groups.begin(), groups.end(),
                         [](const Group &a, const Group &b) { return a.count > b.count; });
        const auto reason = [&](const Group &g) {
            const QString month = monthName(g.month);
            switch (g.outcome) {
            case Outcome::NoSlot:
                return text("REASON_NO_SLOT").arg(g.type, month);
            case Outcome::TypeNotInMonth:
                return text("REASON_TYPE_NOT_IN_MONTH").arg(g.type, month);
            case Outcome::SlotTaken:
                return text("REASON_SLOT_TAKEN");
            case Outcome::SlotZero:
                return text("REASON_SLOT_ZERO").arg(g.type, month);
            case Outcome::NoDiners:
                return text("REASON_NO_DINERS");
            case Outcome::NotInSource:
                return text("REASON_NOT_IN_SOURCE");
            case Outcome::NoType:
                return text("REASON_NO_TYPE");
            case Outcome::Copied:
                break;
            }
            return QString();
        };
        constexpr int kShown = 3;
        QStringList parts;
        int shown = 0;
        for (int i = 0; i < std::min<int>(kShown, groups.size()); ++i) {
            parts.append(
                groups.size() == 1
                    ? reason(groups.at(i))
                    : countText("REASON_COUNT", groups.at(i).count).arg(reason(groups.at(i))));
            shown += groups.at(i).count;
        }
        if (shown < left)
            parts.append(countText("REASON_OTHERS", left - shown));
        sentences.append(
            text("LEFT_OUT_SENTENCE")
                .arg(countText("LEFT_OUT_COUNT", left), parts.join(QStringLiteral("; "))));
    }
    if (!dietsNotServed.isEmpty())
        sentences.append(
            (dietsNotServed.size() == 1 ? text("DIET_NOT_SERVED") : text("DIETS_NOT_SERVED"))
                .arg(dietsNotServed.join(QStringLiteral(", ")), service));
    return sentences.join(QLatin1Char(' '));
}

QString ImportReport::endingKey(Ending ending)
{
    switch (ending) {
    case Ending::Stored:
        return QStringLiteral("stored");
    case Ending::TypeNotInMonth:
        return QStringLiteral("typeNotInMonth");
    case Ending::NoDiners:
        return QStringLiteral("noDiners");
    case Ending::NothingStored:
        return QStringLiteral("nothingStored");
    case Ending::NoWorkingDay:
        return QStringLiteral("noWorkingDay");
    case Ending::NoDietServed:
        return QStringLiteral("noDietServed");
    }
    return {};
}

QString ImportReport::closingMessage() const
{
    const QString left = leftOutLine();
    return left.isEmpty() ? closingText : closingText + QLatin1Char('\n') + left;
}

bool ImportReport::endsWithWarning() const
{
    switch (ending) {
    case Ending::Stored:
        return false;
    case Ending::NothingStored:
        // nothing to add is no warning, unless dishes stayed out for want of a slot
        // of their type or of diners
        for (const DayDiet &e : entries) {
            for (const Dish &d : e.dishes) {
                if (d.outcome == Outcome::TypeNotInMonth || d.outcome == Outcome::NoDiners)
                    return true;
            }
        }
        return false;
    case Ending::TypeNotInMonth:
    case Ending::NoDiners:
    case Ending::NoWorkingDay:
    case Ending::NoDietServed:
        return true;
    }
    return false;
}

int ImportReport::storedCount() const
{
    int n = 0;
    for (const DayDiet &e : entries)
        n += e.stored ? 1 : 0;
    return n;
}

int ImportReport::unknownCount() const
{
    int n = 0;
    for (const DayDiet &e : entries)
        n += e.unknown ? 1 : 0;
    return n;
}

QString ImportReport::headLine() const
{
    const QString when = startedAt.toString(QStringLiteral("dd/MM/yyyy HH:mm"));
    const QString how = mode == kOverwriteMode ? text("RUNS_OVERWRITE") : text("RUNS_APPEND");
    if (preview || runId.isEmpty())
        return text("REPORT_HEAD_PREVIEW").arg(operatorCode, when, how);
    return text("REPORT_HEAD").arg(runId, operatorCode, when, how);
}

QString ImportReport::dayLabel(const QDate &day) const
{
    const QString label = shortDate(day) + QLatin1Char(' ') + NomeSemana(day);
    const QDate source = sourceDays.value(day);
    return source.isValid() ? text("REPORT_DAY_FROM").arg(label, shortDate(source)) : label;
}

bool isCsvFileName(const QString &fileName)
{
    return fileName.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive);
}

QByteArray csvFileBytes(const QByteArray &csv)
{
    return QByteArrayLiteral("\xEF\xBB\xBF") + csv;
}

QString saveReportFile(QSaveFile &file, const QByteArray &bytes)
{
    errno = 0;
    // flushed here: QSaveFile's commit does not see a buffered write that fell short
    const bool whole = file.write(bytes) == bytes.size() && file.flush();
    const int cause = errno;
    if (!whole)
        file.cancelWriting();
    if (whole && file.commit())
        return {};
    return cause != 0 ? QString::fromLocal8Bit(std::strerror(cause)) : file.errorString();
}

ReportFile::ReportFile(QString name)
    : m_name(std::move(name))
    , m_file(m_name)
{
    if (!m_name.isEmpty() && !onTerminal() && !m_file.open(QIODevice::WriteOnly))
        throw UsageError(text("CLI_BAD_REPORT_FILE").arg(m_name, m_file.errorString()),
                         UsageError::Usage::Left);
}

bool ReportFile::saved(const QString &problem, QTextStream &err) const
{
    if (!problem.isEmpty())
        err << text("CLI_BAD_REPORT_FILE").arg(m_name, problem) << Qt::endl;
    return problem.isEmpty();
}

} // namespace zov
