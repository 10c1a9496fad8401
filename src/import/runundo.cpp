#include "runundo.h"

#include "appserver.h"
#include "callmetadata.h"
#include "commandline.h"
#include "consiste.h"
#include "dates.h"
#include "error.h"
#include "hostcontext.h"
#include "importreport.h"
#include "texts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

namespace zov {

namespace {

// The rows of a reply, each of the shape it must have: a server that answers otherwise
// is named, not believed.
template<typename Row>
QList<Row> rowsOf(const QVariant &reply, Method method)
{
    const auto bad = [&] { return Error(text("UNDO_BAD_REPLY").arg(methodName(method))); };
    if (reply.typeId() != QMetaType::QVariantList)
        throw bad();
    QList<Row> rows;
    for (const QVariant &row : reply.toList()) {
        const std::optional<Row> read = Row::fromReply(row);
        if (!read)
            throw bad();
        rows.append(*read);
    }
    return rows;
}

QString outcomeKey(UndoReport::Outcome outcome)
{
    switch (outcome) {
    case UndoReport::Outcome::Restored:
        return QStringLiteral("restored");
    case UndoReport::Outcome::Changed:
        return QStringLiteral("changed");
    case UndoReport::Outcome::AlreadyUndone:
        return QStringLiteral("undone");
    }
    return {};
}

QString outcomeName(UndoReport::Outcome outcome)
{
    switch (outcome) {
    case UndoReport::Outcome::Restored:
        return text("UNDO_RESTORED");
    case UndoReport::Outcome::Changed:
        return text("UNDO_CHANGED");
    case UndoReport::Outcome::AlreadyUndone:
        return text("UNDO_ALREADY_UNDONE");
    }
    return {};
}

QString headerName(const UndoReport::Entry &e)
{
    if (e.outcome != UndoReport::Outcome::Restored)
        return {};
    return e.headerRemoved ? text("UNDO_HEADER_REMOVED") : text("UNDO_HEADER_RESTORED");
}

} // namespace

QString RunSummary::daysText() const
{
    return firstDay == lastDay ? shortDate(firstDay)
                               : text("RUNS_DAYS").arg(shortDate(firstDay), shortDate(lastDay));
}

QString RunSummary::modeText() const
{
    return mode == kOverwriteMode ? text("RUNS_OVERWRITE") : text("RUNS_APPEND");
}

QString RunSummary::undoneText() const
{
    const QString undone = undoneMenus == 0 ? text("RUNS_NOT_UNDONE")
                           : whollyUndone() ? text("RUNS_UNDONE")
                                            : text("RUNS_PARTLY_UNDONE");
    return undoneMenus == 0 || undoneBy.isEmpty() ? undone
                                                  : text("RUNS_UNDONE_BY").arg(undone, undoneBy);
}

QString RunSummary::toLine() const
{
    return QStringList{id,           when.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")),
                       operatorCode, branch,
                       service,      daysText(),
                       modeText(),   QString::number(batches),
                       undoneText()}
        .join(QLatin1Char('\t'));
}

int UndoReport::count(Outcome outcome) const
{
    int n = 0;
    for (const Entry &e : entries)
        n += e.outcome == outcome ? 1 : 0;
    return n;
}

QString UndoReport::closingText() const
{
    QString said;
    if (count(Outcome::Restored) == 0 && complete())
        said = text("UNDO_WAS_UNDONE").arg(runId);
    else if (complete())
        said = text("UNDO_DONE").arg(countText("COUNT_RESTORED", count(Outcome::Restored)));
    else
        said = text("UNDO_PARTLY")
                   .arg(countText("COUNT_RESTORED", count(Outcome::Restored)),
                        countText("COUNT_LEFT_CHANGED", count(Outcome::Changed)));
    return preview ? text("UNDO_PREVIEW").arg(said) : said;
}

QStringList UndoReport::leftLines() const
{
    QStringList lines;
    for (const Entry &e : entries) {
        if (e.outcome == Outcome::Changed)
            lines.append(text("UNDO_LEFT_LINE")
                             .arg(shortDate(e.day), NomeSemana(e.day), e.diet, e.menuNumber));
    }
    return lines;
}

void UndoReport::show() const
{
    if (complete())
        presenter().showInformation(closingText());
    else
        presenter().showWarning((QStringList{closingText()} + leftLines()).join(QLatin1Char('\n')));
}

QByteArray UndoReport::toJson() const
{
    QJsonArray days;
    for (const Entry &e : entries)
        days.append(QJsonObject{{QStringLiteral("day"), e.day.toString(Qt::ISODate)},
                                {QStringLiteral("diet"), e.diet},
                                {QStringLiteral("menuNumber"), e.menuNumber},
                                {QStringLiteral("outcome"), outcomeKey(e.outcome)},
                                {QStringLiteral("dishesRemoved"), e.dishesRemoved},
                                {QStringLiteral("dishesRestored"), e.dishesRestored},
                                {QStringLiteral("headerRemoved"), e.headerRemoved}});
    const QJsonObject root{{QStringLiteral("undo"), runId},
                           {QStringLiteral("preview"), preview},
                           {QStringLiteral("restored"), count(Outcome::Restored)},
                           {QStringLiteral("left"), count(Outcome::Changed)},
                           {QStringLiteral("alreadyUndone"), count(Outcome::AlreadyUndone)},
                           {QStringLiteral("closingText"), closingText()},
                           {QStringLiteral("days"), days}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QByteArray UndoReport::toCsv() const
{
    QStringList lines{text("UNDO_CSV_HEADER")};
    for (const Entry &e : entries)
        lines.append(QStringList{shortDate(e.day), ImportReport::csvField(e.diet),
                                 ImportReport::csvField(e.menuNumber), outcomeName(e.outcome),
                                 QString::number(e.dishesRemoved),
                                 QString::number(e.dishesRestored), headerName(e)}
                         .join(QLatin1Char(';')));
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

QString UndoReport::toText() const
{
    QStringList lines;
    for (const Entry &e : entries)
        lines.append(QStringLiteral("%1 %2  %3  %4  %5")
                         .arg(shortDate(e.day), NomeSemana(e.day).leftJustified(7), e.diet,
                              e.menuNumber.leftJustified(10), outcomeName(e.outcome)));
    lines.append(closingText());
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

RunUndo::RunUndo(AppServer &server)
    : m_server(server)
{}

QList<RunSummary> RunUndo::list(const QString &branch)
{
    QVariantList args{branch};
    const QVariant reply = m_server.invoke(Method::GetImportacoes, args);
    QList<RunSummary> runs;
    for (const RunRow &r : rowsOf<RunRow>(reply, Method::GetImportacoes)) {
        // kept in UTC
        runs.append(
            {r,
             QDateTime::fromString(r.started + QLatin1Char('Z'), Qt::ISODateWithMs).toLocalTime()});
    }
    return runs;
}

UndoReport RunUndo::undo(const QString &runId, const QString &branch, bool dryRun)
{
    // every call of a dry run carries its id: the server keeps nothing it does
    if (dryRun)
        m_server.setMetadata(kDryRunKey.name, QUuid::createUuid().toString(QUuid::WithoutBraces));
    struct DryRunEnd
    {
        AppServer &server;
        ~DryRunEnd() { server.setMetadata(kDryRunKey.name, QString()); }
    } dryRunEnd{m_server};
    QVariantList args{runId, branch};
    const QVariant reply = m_server.invoke(Method::DesfazImportacao, args);
    if (reply.typeId() == QMetaType::QString)
        throw ServerTextError(reply.toString());
    UndoReport report;
    report.runId = runId;
    report.preview = dryRun;
    report.entries = rowsOf<UndoRow>(reply, Method::DesfazImportacao);
    return report;
}

QString undoOptionsProblem(const CommandLine &options)
{
    const QString command =
        options.has(QStringLiteral("undo")) ? QStringLiteral("undo") : QStringLiteral("list-runs");
    QStringList refused{
        QStringLiteral("service"),     QStringLiteral("date"), QStringLiteral("month"),
        QStringLiteral("from"),        QStringLiteral("to"),   QStringLiteral("source-service"),
        QStringLiteral("diets"),       QStringLiteral("mode"), QStringLiteral("rounding"),
        QStringLiteral("no-rounding"), QStringLiteral("stats")};
    if (command == QLatin1String("list-runs"))
        refused << QStringLiteral("undo") << QStringLiteral("report") << QStringLiteral("dry-run");
    for (const QString &option : std::as_const(refused)) {
        if (options.has(option))
            return text("CLI_UNDO_OPTION").arg(option, command);
    }
    if (const QString problem = options.missingOrStray({QStringLiteral("db")}); !problem.isEmpty())
        return problem;
    if (options.has(QStringLiteral("branch")))
        return branchCodeProblem(options.value(QStringLiteral("branch")));
    return {};
}

} // namespace zov
