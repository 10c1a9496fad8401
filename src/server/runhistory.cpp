// The history of import runs: what each stored batch changed, kept in the batch's own
// transaction, and the undo of a run from it.

#include "runhistory.h"

#include "callmetadata.h"
#include "dates.h"
#include "dispatcher.h"
#include "error.h"
#include "layout.h"
#include "menurows.h"
#include "packet.h"
#include "rdmimpcardzov.h"
#include "runreplies.h"
#include "serversql.h"
#include "texts.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>

#include <openssl/evp.h>

#include <cstring>

namespace zov {

namespace {

const Layout &headerLayout()
{
    return layout(QStringLiteral("cdsCardaDia"));
}

const Layout &dishLayout()
{
    return layout(QStringLiteral("cdsCompCardCache"));
}

QString sql(const SqlSession &s, const char *name)
{
    return serverSql(s.isSQLite(), name);
}

// A row read in the layout's field order, each value fitted to its field's type, so
// that both databases give the same values.
QVariantList rowOf(const Layout &l, const SqlRow &q)
{
    QVariantList row;
    for (int f = 0; f < l.fields.size(); ++f) {
        const FieldDef &def = l.fields.at(f);
        row.append(fitValue(l.name, def.name, def.type, 0, q.value(f), Conversion::Lenient));
    }
    return row;
}

// A row as the database gives it back once written: each value fitted to its field's
// type, an empty text or date as NULL
QVariantList keptRow(const Layout &l, const QVariantList &written)
{
    QVariantList row;
    row.reserve(l.fields.size());
    for (int f = 0; f < l.fields.size(); ++f) {
        const FieldDef &def = l.fields.at(f);
        const QVariant &v = written.at(f);
        const bool none = isNull(v) ||
                          (v.typeId() == QMetaType::QString && v.toString().isNull()) ||
                          (v.typeId() == QMetaType::QDate && !v.toDate().isValid());
        row.append(none ? QVariant()
                        : fitValue(l.name, def.name, def.type, 0, v, Conversion::Lenient));
    }
    return row;
}

QString dishSlot(const QVariantList &c)
{
    return c.at(dishAt().CDDIETPAD).toString() + QLatin1Char('|') +
           QString::number(c.at(dishAt().NRSEQPRATCAR).toDouble(), 'f', 0);
}

bool sameRow(const QVariantList &a, const QVariantList &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (!sameValue(a.at(i), b.at(i)))
            return false;
    }
    return true;
}

QJsonArray toJson(const QVariantList &row)
{
    QJsonArray a;
    for (const QVariant &v : row) {
        if (isNull(v))
            a.append(QJsonValue());
        else if (v.typeId() == QMetaType::QDate)
            a.append(v.toDate().toString(Qt::ISODate));
        else if (v.typeId() == QMetaType::Double)
            a.append(v.toDouble());
        else
            a.append(v.toString());
    }
    return a;
}

QVariantList fromJson(const Layout &l, const QJsonValue &value)
{
    const QJsonArray a = value.toArray();
    if (a.size() != l.fields.size())
        throw Error(text("RUN_RECORD_DAMAGED").arg(l.name));
    QVariantList row;
    for (int f = 0; f < l.fields.size(); ++f) {
        const FieldDef &def = l.fields.at(f);
        row.append(a.at(f).isNull() ? QVariant()
                                    : fitValue(l.name, def.name, def.type, 0, a.at(f).toVariant(),
                                               Conversion::Lenient));
    }
    return row;
}

QString nowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).left(23);
}

// A record as it was written, or an error: a damaged one must not be taken for "there
// was no header".
QJsonObject recordOf(const QString &text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    const QJsonObject record = document.object();
    for (const char *key : {"header", "removed", "changed", "added"}) {
        if (error.error != QJsonParseError::NoError || !record.contains(QLatin1String(key)))
            throw Error(zov::text("RUN_RECORD_DAMAGED").arg(QLatin1String(key)));
    }
    const QJsonValue header = record.value(QStringLiteral("header"));
    if (!header.isNull() && !header.isArray())
        throw Error(zov::text("RUN_RECORD_DAMAGED").arg(QStringLiteral("header")));
    return record;
}

// Puts a menu back as `before` describes it; `now` is the menu as the run left it.
struct Restored
{
    int removed = 0;  // dishes the run had added
    int restored = 0; // dishes it had removed or changed
    bool headerRemoved = false;
};

Restored restore(SqlSession &s, const QString &branch, const QString &number,
                 const QJsonObject &before)
{
    Restored done;
    for (const QJsonValue &slot : before.value(QStringLiteral("added")).toArray()) {
        QVariant seq = slot.toArray().at(1).toVariant();
        toWhole(seq);
        s.exec(sql(s, "dish_delete"), {branch, number, slot.toArray().at(0).toString(), seq});
        ++done.removed;
    }
    const auto dish = [&](const QJsonValue &value) {
        QVariantList c = fromJson(dishLayout(), value);
        toWhole(c[dishAt().NRSEQPRATCAR]);
        toWhole(c[dishAt().NRORDPRATCAR]);
        return c;
    };
    for (const QJsonValue &value : before.value(QStringLiteral("changed")).toArray()) {
        const QVariantList c = dish(value);
        s.exec(sql(s, "dish_update"), c + dishKey(c));
        ++done.restored;
    }
    for (const QJsonValue &value : before.value(QStringLiteral("removed")).toArray()) {
        s.exec(sql(s, "dish_insert"), dish(value));
        ++done.restored;
    }
    const QJsonValue header = before.value(QStringLiteral("header"));
    if (header.isNull()) {
        s.exec(sql(s, "run_header_delete"), {branch, number});
        done.headerRemoved = true;
    } else {
        const QVariantList h = fromJson(headerLayout(), header);
        s.exec(sql(s, "header_update"), h + headerKey(h));
    }
    return done;
}

} // namespace

MenuState MenuState::read(SqlSession &s, const QString &branch, const QString &number)
{
    MenuState state;
    s.select(sql(s, "run_header_state"), {branch, number},
             [&](const SqlRow &q) { state.header = rowOf(headerLayout(), q); });
    // a dish needs its menu's header (the database's key says so): no header, no dishes
    if (state.header.isEmpty())
        return state;
    s.select(sql(s, "run_dish_state"), {branch, number}, [&](const SqlRow &q) {
        const QVariantList c = rowOf(dishLayout(), q);
        state.dishes.insert(dishSlot(c), c);
    });
    return state;
}

namespace {

// A number's text in a digest, as QByteArray::number(value, 'g', 17) writes it. The
// formatting is most of a digest's work and a menu's numbers repeat from one batch
// to the next, so each thread keeps the texts it wrote last.
const QByteArray &numberText(double value)
{
    thread_local QHash<quint64, QByteArray> texts;
    quint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (const auto known = texts.constFind(bits); known != texts.cend())
        return *known;
    if (texts.size() >= 1024)
        texts.clear();
    return *texts.insert(bits, QByteArray::number(value, 'g', 17));
}

// the text in UTF-8; codes and most names are ASCII, which needs no conversion
void appendUtf8(QByteArray &text, const QString &value)
{
    if (!isAscii(value)) {
        text.append(value.toUtf8());
        return;
    }
    const qsizetype at = text.size();
    text.resize(at + value.size());
    char *out = text.data() + at;
    for (const QChar c : value)
        *out++ = static_cast<char>(c.unicode());
}

} // namespace

QString MenuState::digest() const
{
    // the canonical texts of the values, each ended by a unit separator and each row by
    // a record separator, hashed at once
    QByteArray text;
    text.reserve(64 * (dishes.size() + 1) * 16);
    const auto add = [&](const QVariantList &row) {
        for (const QVariant &v : row) {
            if (isNull(v))
                text.append('\x01');
            else if (v.typeId() == QMetaType::Double)
                text.append(numberText(v.toDouble() + 0.0)); // -0 is kept as 0
            else if (v.typeId() == QMetaType::QDate)
                appendUtf8(text, isoDate(v.toDate())); // as Qt::ISODate writes it
            else if (v.typeId() == QMetaType::QString)
                appendUtf8(text, *static_cast<const QString *>(v.constData()));
            else
                text.append(v.toString().toUtf8());
            text.append('\x1f');
        }
        text.append('\x1e');
    };
    if (header.isEmpty())
        text.append("-\x1e");
    else
        add(header);
    for (const QVariantList &c : dishes)
        add(c);
    // the same SHA-256 as Qt's, by the processor's own instructions where it has them:
    // six times quicker, and a batch hashes each menu it leaves
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.constData(), static_cast<size_t>(text.size()), hash, &size, EVP_sha256(),
                   nullptr) != 1)
        return QString::fromLatin1(
            QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
    return QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char *>(hash), int(size)).toHex());
}

RunRecorder::RunRecorder(SqlSession &s, const CallContext &context)
    : m_s(s)
    , m_context(context)
{}

void RunRecorder::before(const QList<QPair<QString, QString>> &menus,
                         const QList<QPair<QString, QString>> &created)
{
    m_created = created;
    if (m_context.runId.isEmpty())
        return;
    for (const auto &menu : menus) {
        if (m_menus.contains(menu))
            continue;
        m_menus.append(menu);
        // a header the batch creates takes a number no header has: nothing was there
        m_before.append(created.contains(menu) ? MenuState() : found(menu.first, menu.second));
    }
    m_after = m_before;
}

const MenuState &RunRecorder::found(const QString &branch, const QString &number)
{
    const QPair<QString, QString> menu{branch, number};
    auto it = m_found.find(menu);
    if (it == m_found.end())
        it = m_found.insert(menu, m_created.contains(menu) ? MenuState()
                                                           : MenuState::read(m_s, branch, number));
    return *it;
}

MenuState *RunRecorder::written(const QVariant &branch, const QVariant &number)
{
    const qsizetype i =
        m_menus.indexOf(QPair<QString, QString>{branch.toString(), number.toString()});
    return i < 0 ? nullptr : &m_after[i];
}

void RunRecorder::headerWritten(const QVariantList &h)
{
    if (MenuState *menu = written(h.at(headerAt().CDFILIAL), h.at(headerAt().NRCARDAPIO)))
        menu->header = keptRow(headerLayout(), h);
}

void RunRecorder::dishRemoved(const QVariantList &c)
{
    if (MenuState *menu = written(c.at(dishAt().CDFILIAL), c.at(dishAt().NRCARDAPIO)))
        menu->dishes.remove(dishSlot(c));
}

void RunRecorder::dishWritten(const QVariantList &c)
{
    if (MenuState *menu = written(c.at(dishAt().CDFILIAL), c.at(dishAt().NRCARDAPIO)))
        menu->dishes.insert(dishSlot(c), keptRow(dishLayout(), c));
}

void RunRecorder::after()
{
    if (m_context.runId.isEmpty() || m_menus.isEmpty())
        return;
    // the batch's records come after the run's last, all with the same order
    qint64 order = 0;
    const QString now = nowUtc();
    for (int i = 0; i < m_menus.size(); ++i) {
        const auto &[branch, number] = m_menus.at(i);
        const MenuState &was = m_before.at(i);
        const MenuState &after = m_after.at(i);
        QJsonArray removed, changed, added;
        for (auto it = was.dishes.cbegin(); it != was.dishes.cend(); ++it) {
            const auto later = after.dishes.constFind(it.key());
            if (later == after.dishes.cend())
                removed.append(toJson(*it));
            else if (!sameRow(*it, *later))
                changed.append(toJson(*it));
        }
        for (auto it = after.dishes.cbegin(); it != after.dishes.cend(); ++it) {
            if (!was.dishes.contains(it.key()))
                added.append(QJsonArray{it->at(dishAt().CDDIETPAD).toString(),
                                        it->at(dishAt().NRSEQPRATCAR).toDouble()});
        }
        const bool headerSame = !was.header.isEmpty() && sameRow(was.header, after.header);
        // nothing of the menu changed: nothing to put back
        if (headerSame && removed.isEmpty() && changed.isEmpty() && added.isEmpty())
            continue;
        const QVariantList &h = after.header.isEmpty() ? was.header : after.header;
        if (h.isEmpty())
            continue;
        const QJsonObject before{
            {QStringLiteral("header"), was.header.isEmpty() ? QJsonValue() : toJson(was.header)},
            {QStringLiteral("removed"), removed},
            {QStringLiteral("changed"), changed},
            {QStringLiteral("added"), added}};
        const QVariantList record{
            branch,
            number,
            h.at(headerAt().CDSERVFILI),
            h.at(headerAt().DTCARDAPIO),
            h.at(headerAt().CDDIETPAD),
            m_context.batchId,
            QString::fromUtf8(QJsonDocument(before).toJson(QJsonDocument::Compact)),
            after.digest()};
        if (order > 0) {
            m_s.execLater(sql(m_s, "run_record_insert"),
                          QVariantList{m_context.runId, order} + record);
            continue;
        }
        const QVariantList next =
            QVariantList{m_context.runId} + record + QVariantList{m_context.runId};
        const QVariantList run{m_context.runId,        branch, h.at(headerAt().CDSERVFILI),
                               m_context.operatorCode, now,    m_context.runMode};
        // the batch's last menu: its order is of no use here, so its record goes with
        // the commit, and with it the run's own row unless an earlier batch wrote it
        if (i + 1 == m_menus.size()) {
            m_s.execLater(sql(m_s, "run_record_next"), next);
            m_s.execLater(sql(m_s, "run_insert"), run);
            continue;
        }
        m_s.select(sql(m_s, "run_record_next"), next,
                   [&](const SqlRow &q) { order = q.value(0).toLongLong(); });
        // the run's own row comes with its first record
        if (order == 1)
            m_s.execLater(sql(m_s, "run_insert"), run);
    }
}

QVariant batchOutcomes(SqlSession &s, const QString &ids, const CallContext &context)
{
    QStringList batches;
    for (const QString &id : ids.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (id.size() > 64)
            throw InvalidArgument(text("BATCH_ID_TOO_LONG"));
        if (!batches.contains(id))
            batches.append(id);
    }
    QVariantList rows;
    WriteTransaction transaction(s);
    for (const QString &id : std::as_const(batches)) {
        // a batch being stored holds its row: the give-up waits for it and loses
        s.exec(sql(s, "batch_give_up"),
               {id, context.operatorCode, nowUtc().left(19), text("BATCH_GIVEN_UP")});
        QString answer;
        s.select(sql(s, "batch_answer"), {id},
                 [&](const SqlRow &q) { answer = q.value(0).toString(); });
        rows.append(BatchOutcome{id, answer.isEmpty(), answer}.toReply());
    }
    transaction.commit();
    return rows;
}

QVariant listRuns(SqlSession &s, const QString &branch)
{
    QVariantList runs;
    s.select(sql(s, "run_list"), {}, [&](const SqlRow &q) {
        if (!branch.isEmpty() && q.value(3).toString() != branch)
            return;
        runs.append(RunRow{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                           q.value(3).toString(), q.value(4).toString(), dateOf(q.value(5)),
                           dateOf(q.value(6)), q.value(7).toString(), q.value(8).toInt(),
                           q.value(9).toInt(), q.value(10).toInt(), q.value(11).toString()}
                        .toReply());
    });
    return runs;
}

PurgeCounts purgeRuns(SqlSession &s, const QDateTime &before)
{
    const QString cutoff = before.toUTC().toString(Qt::ISODateWithMs).left(23);
    PurgeCounts counts;
    WriteTransaction transaction(s);
    s.select(sql(s, "run_purge_count"), {cutoff, cutoff}, [&](const SqlRow &q) {
        counts.runs = q.value(0).toInt();
        counts.menus = q.value(1).toInt();
    });
    s.exec(sql(s, "run_purge_records"), {cutoff});
    s.exec(sql(s, "run_purge_runs"), {cutoff});
    counts.batches = s.exec(sql(s, "batch_purge"), {cutoff.left(19)});
    transaction.commit();
    return counts;
}

QVariant undoRun(SqlSession &s, const QString &runId, const QString &branch,
                 const CallContext &context)
{
    QString runBranch, runService;
    bool known = false;
    if (!runId.isEmpty() && runId.size() <= kRunIdKey.maxLength)
        s.select(sql(s, "run_of_id"), {runId}, [&](const SqlRow &q) {
            runBranch = q.value(0).toString();
            runService = q.value(1).toString();
            known = true;
        });
    if (!known)
        return text("RUN_UNKNOWN").arg(kRunIdKey.kept(runId));
    if (!branch.isEmpty() && branch != runBranch)
        return text("RUN_OTHER_BRANCH").arg(runId, runBranch, branch);

    struct Record
    {
        qint64 order;
        QString branch, number, diet;
        QDate day;
    };
    QList<Record> records;
    s.select(sql(s, "run_records"), {runId}, [&](const SqlRow &q) {
        records.append({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(),
                        q.value(4).toString(), dateOf(q.value(3))});
    });
    QVariantList rows;
    for (const Record &r : std::as_const(records)) {
        const QVariantList key{runId, r.order, r.branch, r.number};
        UndoRow row{r.day, r.diet, r.number};
        Restored done;
        WriteTransaction transaction(s);
        QString before, after;
        bool undone = false;
        s.select(sql(s, "run_record"), key, [&](const SqlRow &q) {
            before = q.value(0).toString();
            after = q.value(1).toString();
            undone = !isNull(q.value(2));
        });
        if (undone) {
            row.outcome = UndoRow::Outcome::AlreadyUndone;
        } else if (MenuState::read(s, r.branch, r.number).digest() == after) {
            // the menu is as the run left it: it goes back to what it was before
            done = restore(s, r.branch, r.number, recordOf(before));
            s.exec(sql(s, "run_record_undone"), QVariantList{nowUtc(), context.operatorCode} + key);
            transaction.commit();
            row.outcome = UndoRow::Outcome::Restored;
        }
        row.dishesRemoved = done.removed;
        row.dishesRestored = done.restored;
        row.headerRemoved = done.headerRemoved;
        rows.append(row.toReply());
        if (s.dryRun())
            continue;
        if (row.outcome == UndoRow::Outcome::Restored)
            qCInfo(lcAudit).noquote()
                << text("AUDIT_UNDO")
                       .arg(logSafe(context.operatorCode), runId, logSafe(r.branch), runService,
                            shortDate(r.day), logSafe(r.diet))
                       .arg(done.removed)
                       .arg(done.restored);
        else if (row.outcome == UndoRow::Outcome::Changed)
            qCInfo(lcAudit).noquote()
                << text("AUDIT_UNDO_LEFT")
                       .arg(logSafe(context.operatorCode), runId, logSafe(r.branch), runService,
                            shortDate(r.day), logSafe(r.diet));
    }
    return rows;
}

} // namespace zov
