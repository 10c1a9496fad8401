// SetImportacao: stores one batch of the import (the header delta and the dish
// delta) in one transaction, or nothing of it.

#include "callmetadata.h"
#include "dates.h"
#include "daydigest.h"
#include "dispatcher.h"
#include "error.h"
#include "layout.h"
#include "menurows.h"
#include "rdmimpcardzov.h"
#include "runhistory.h"
#include "serversql.h"
#include "texts.h"

#include <QDateTime>
#include <QMap>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QUuid>
#include <cmath>
#include <deque>
#include <optional>

namespace zov {

namespace {

// the run's source as the client sent it ("SERVICE;FIRST;LAST"), for people
QString sourceText(const QString &source)
{
    const QStringList parts = source.split(QLatin1Char(';'));
    const QDate first = parts.size() == 3 ? parseIsoDate(parts.at(1)) : QDate();
    const QDate last = parts.size() == 3 ? parseIsoDate(parts.at(2)) : QDate();
    if (!first.isValid() || !last.isValid())
        return logSafe(source.isEmpty() ? QStringLiteral("?") : source, 40);
    return text("AUDIT_SOURCE").arg(logSafe(parts.at(0), 12), shortDate(first), shortDate(last));
}

QString modeText(const QString &mode)
{
    if (mode == kAppendMode)
        return text("AUDIT_MODE_APPEND");
    if (mode == kOverwriteMode)
        return text("AUDIT_MODE_OVERWRITE");
    return logSafe(mode.isEmpty() ? QStringLiteral("?") : mode, 12);
}

// The rows of one delta, each in its layout's field order.
struct DeltaRows
{
    QList<QVariantList> inserts;
    QList<QPair<QVariantList, QVariantList>> changes; // new values, original values
    QList<QVariantList> deletions;                    // original values
    int size() const { return inserts.size() + changes.size() + deletions.size(); }
};

QVariantList inLayoutOrder(const Layout &layout, const QVector<int> &columnOf,
                           const QVariantList &values)
{
    QVariantList ordered;
    for (int f = 0; f < layout.fields.size(); ++f) {
        const FieldDef &def = layout.fields.at(f);
        if (def.calculated)
            continue;
        try {
            ordered.append(fitValue(layout.name, def.name, def.type, def.size,
                                    values.at(columnOf.at(f)), Conversion::Strict));
        } catch (const Error &e) {
            throw InvalidArgument(e.text());
        }
    }
    return ordered;
}

// A delta must carry exactly the declared fields of its record set.
DeltaRows readDelta(const QVariant &argument, const QString &layoutName)
{
    DeltaRows rows;
    if (!argument.isValid() || argument.isNull())
        return rows;
    const Layout &layout = zov::layout(layoutName);
    const Packet packet = argument.value<Packet>();
    QVector<int> columnOf(layout.fields.size(), -1);
    for (int f = 0; f < layout.fields.size(); ++f) {
        const FieldDef &def = layout.fields.at(f);
        if (def.calculated)
            continue;
        const int c = packet.indexOf(def.name);
        if (c < 0)
            throw InvalidArgument(text("DELTA_MISSING_FIELD").arg(def.name, layoutName));
        if (packet.fields.at(c).type != def.type)
            throw InvalidArgument(text("PACKET_WRONG_TYPE")
                                      .arg(def.name, layoutName,
                                           fieldTypeName(packet.fields.at(c).type),
                                           fieldTypeName(def.type)));
        columnOf[f] = c;
    }
    if (packet.fields.size() != layout.dataFieldCount()) {
        for (const PacketField &f : packet.fields) {
            if (layout.indexOf(f.name) < 0)
                throw InvalidArgument(text("DELTA_EXTRA_FIELD").arg(f.name, layoutName));
        }
    }
    for (const PacketRow &row : packet.rows) {
        switch (row.kind) {
        case ChangeKind::Insert:
            rows.inserts.append(inLayoutOrder(layout, columnOf, row.values));
            break;
        case ChangeKind::Modify:
            rows.changes.append({inLayoutOrder(layout, columnOf, row.values),
                                 inLayoutOrder(layout, columnOf, row.original)});
            break;
        case ChangeKind::Delete:
            rows.deletions.append(inLayoutOrder(layout, columnOf, row.values));
            break;
        case ChangeKind::None:
            throw InvalidArgument(text("DELTA_ROW_WITHOUT_KIND").arg(layoutName));
        }
    }
    return rows;
}

const Layout &headerLayout()
{
    static const Layout &l = zov::layout(QStringLiteral("cdsCardaDia"));
    return l;
}

const Layout &dishLayout()
{
    static const Layout &l = zov::layout(QStringLiteral("cdsCompCardCache"));
    return l;
}

QString dayChanged(const QString &branch, const QString &number, const QDate &day,
                   const QString &diet)
{
    return text("DAY_CHANGED").arg(branch, number, shortDate(day), diet);
}

QString describeHeader(const QVariantList &h)
{
    return text("DESCRIBE_HEADER")
        .arg(h.at(headerAt().CDFILIAL).toString(), h.at(headerAt().CDSERVFILI).toString(),
             shortDate(h.at(headerAt().DTCARDAPIO).toDate()),
             h.at(headerAt().CDDIETPAD).toString());
}

QString describeDish(const QVariantList &c)
{
    return text("DESCRIBE_DISH")
        .arg(c.at(dishAt().CDFILIAL).toString(), c.at(dishAt().NRCARDAPIO).toString(),
             c.at(dishAt().CDDIETPAD).toString())
        .arg(c.at(dishAt().NRSEQPRATCAR).toDouble(), 0, 'g', 12);
}

// A column of a row whose value no import produces: out of its range, a menu number
// that is not one the server hands out, a date far from any menu. The text says the
// column and the value; empty when every column is sound. `described` names the row,
// only for the text.
template<typename Describe>
QString badValue(const Layout &layout, const QVariantList &row, const Describe &described)
{
    int i = 0;
    for (const FieldDef &def : layout.fields) {
        if (def.calculated)
            continue;
        const QVariant &v = row.at(i++);
        if (isNull(v))
            continue;
        QString reason;
        if (def.type == FieldType::Float) {
            const double x = v.toDouble();
            double low = 0, high = 1e6;
            bool whole = false;
            if (def.name == QLatin1String("NRSEQPRATCAR")) {
                low = 1, high = 99999, whole = true;
            } else if (def.name == QLatin1String("NRORDPRATCAR")) {
                high = 99999, whole = true;
            }
            if (!std::isfinite(x) || x < low || x > high || (whole && x != std::floor(x)))
                reason = text(whole ? "VALUE_WHOLE_RANGE" : "VALUE_RANGE")
                             .arg(QString::number(low, 'f', 0), QString::number(high, 'f', 0));
        } else if (def.type == FieldType::Date) {
            const QDate d = v.toDate();
            if (!d.isValid() || d.year() < 1900 || d.year() > 2199)
                reason = text("VALUE_DATE_WINDOW");
        } else if (def.name == QLatin1String("NRCARDAPIO")) {
            static const QRegularExpression number(QStringLiteral("^[1-9][0-9]{0,9}$"));
            if (!number.match(v.toString()).hasMatch())
                reason = text("VALUE_MENU_NUMBER");
        }
        if (!reason.isEmpty())
            return text("DELTA_BAD_VALUE")
                .arg(described(), def.name, logSafe(v.toString(), 40), reason);
    }
    return {};
}

// Rows a batch inserted, modified and deleted per branch, service, day and diet.
struct Tally
{
    int inserted = 0;
    int modified = 0;
    int deleted = 0;
};

class BatchWriter
{
public:
    QMap<QStringList, Tally> tallies;

    BatchWriter(SqlSession &s, RunRecorder &recorder)
        : m_s(s)
        , m_recorder(recorder)
    {}

    // The batch was decided on a day that held what the digest it carries covers: the
    // dishes of the menu in its header's diet and the header's diners. The header is
    // locked and the day must still hold exactly that.
    QString checkDaySeen(const QString &seenText)
    {
        if (seenText.isEmpty())
            return {};
        const DaySeen seen = DaySeen::fromText(seenText);
        // a client of the earlier form digests the dishes only
        const bool withHeader = seen.day.isValid();
        QStringList now;
        QDate day = seen.day;
        QString diet = seen.diet;
        const MenuState &menu = m_recorder.found(seen.branch, seen.number);
        if (!menu.header.isEmpty()) {
            if (withHeader)
                now.append(headerEntry(menu.header.at(headerAt().QTCOMESTICAR)));
            day = menu.header.at(headerAt().DTCARDAPIO).toDate();
            diet = menu.header.at(headerAt().CDDIETPAD).toString();
            // the dishes of the menu in its header's diet
            for (const QVariantList &c : menu.dishes) {
                if (c.at(dishAt().CDDIETPAD).toString() == diet)
                    now.append(dayEntry(static_cast<qint64>(c.at(dishAt().NRSEQPRATCAR).toDouble()),
                                        c.at(dishAt().CDPRATO).toString()));
            }
        }
        if (dayDigest(now) != seen.digest)
            return dayChanged(seen.branch, seen.number, day, diet);
        return {};
    }

    // Each returns an empty text, or the error that cancels the whole batch.
    QString deleteDish(QVariantList c)
    {
        if (!toWhole(c[dishAt().NRSEQPRATCAR]))
            return text("DISH_BAD_NUMBER").arg(describeDish(c));
        if (m_s.exec(sql("dish_delete"), dishKey(c)) == 0)
            return text("DISH_GONE").arg(describeDish(c));
        m_recorder.dishRemoved(c);
        tally(c.at(dishAt().CDFILIAL), c.at(dishAt().CDSERVFILI), c.at(dishAt().DTCARDAPIO),
              c.at(dishAt().CDDIETPAD))
            .deleted++;
        return {};
    }

    // The audit of the batch, in its transaction: a row per day and diet it wrote.
    void audit(const QString &batchId, const CallContext &context, const QString &when)
    {
        int line = 0;
        for (auto it = tallies.cbegin(); it != tallies.cend(); ++it) {
            const QStringList &key = it.key();
            const QDate day = parseIsoDate(key.at(2));
            m_s.execLater(sql("audit_insert"),
                          {batchId, ++line, key.at(0), key.at(1),
                           day.isValid() ? QVariant(day) : QVariant(QMetaType::fromType<QDate>()),
                           key.at(3), context.operatorCode, when,
                           context.runId.isEmpty() ? QVariant() : QVariant(context.runId),
                           it->inserted, it->modified, it->deleted, context.peer.left(200)});
        }
    }

    QString insertHeader(const QVariantList &h)
    {
        for (const int key : {headerAt().CDFILIAL, headerAt().CDSERVFILI, headerAt().DTCARDAPIO,
                              headerAt().CDDIETPAD, headerAt().NRCARDAPIO}) {
            if (isNull(h.at(key)) || h.at(key).toString().trimmed().isEmpty())
                return text("HEADER_INCOMPLETE").arg(describeHeader(h));
        }
        if (const QString bad = badValue(headerLayout(), h, [&] { return describeHeader(h); });
            !bad.isEmpty())
            return bad;
        // its codes known and its day and number free, asked at once; on PostgreSQL the
        // answer comes with the statements after it, and is weighed before theirs
        const QVariant branch = h.at(headerAt().CDFILIAL);
        NewHeader &checked = m_newHeaders.emplace_back(NewHeader{h});
        m_s.selectLater(
            sql("header_new_checks"),
            QVariantList{branch, branch, h.at(headerAt().CDSERVFILI), h.at(headerAt().CDDIETPAD)} +
                headerKey(h) + QVariantList{branch, h.at(headerAt().NRCARDAPIO)},
            [&checked](const SqlRow &q) {
                for (int i = 0; i < 5; ++i)
                    checked.found[i] = q.value(i).toLongLong();
                checked.answered = true;
            });
        // answered at once (SQLite): a header refused is not even tried
        if (checked.answered) {
            if (const QString refused = refusal(checked); !refused.isEmpty())
                return refused;
        }
        m_s.execLater(sql("header_insert"), h);
        m_recorder.headerWritten(h);
        // the batch's dishes of this header need not read it back
        m_headers.insert(
            h.at(headerAt().CDFILIAL).toString() + QLatin1Char('|') +
                h.at(headerAt().NRCARDAPIO).toString(),
            {h.at(headerAt().CDSERVFILI), h.at(headerAt().DTCARDAPIO), h.at(headerAt().CDDIETPAD)});
        tally(h.at(headerAt().CDFILIAL), h.at(headerAt().CDSERVFILI), h.at(headerAt().DTCARDAPIO),
              h.at(headerAt().CDDIETPAD))
            .inserted++;
        return {};
    }

    // The first new header its checks refuse, of those answered so far.
    QString newHeaderRefused() const
    {
        for (const NewHeader &n : m_newHeaders) {
            if (!n.answered)
                break;
            if (QString refused = refusal(n); !refused.isEmpty())
                return refused;
        }
        return {};
    }

    // The checks of the new headers weighed, sent first if they are still held back:
    // before anything the batch reads back after them, or stores.
    QString newHeadersChecked()
    {
        if (m_newHeaders.empty())
            return {};
        if (!m_newHeaders.back().answered)
            m_s.sendHeldBack();
        QString refused = newHeaderRefused();
        m_newHeaders.clear();
        return refused;
    }

    // A new header refused comes before a later problem of the batch, as it does when
    // its checks are answered at once.
    QString newHeadersFirst(const QString &problem)
    {
        const QString refused = newHeadersChecked();
        return refused.isEmpty() ? problem : refused;
    }

    // Writes the columns the batch changed, and only while each still holds the value
    // the batch was decided on: a change another writer stored in between is never
    // undone (the day is refused instead), and one to a column the batch leaves alone
    // stays.
    QString changeHeader(const QVariantList &h, const QVariantList &original)
    {
        if (h.at(headerAt().NRCARDAPIO) != original.at(headerAt().NRCARDAPIO) ||
            h.at(headerAt().CDFILIAL) != original.at(headerAt().CDFILIAL))
            return text("HEADER_NUMBER_CHANGE").arg(describeHeader(original));
        for (const int key : {headerAt().CDSERVFILI, headerAt().DTCARDAPIO, headerAt().CDDIETPAD}) {
            if (isNull(h.at(key)))
                return text("HEADER_INCOMPLETE").arg(describeHeader(h));
        }
        // the dishes of a menu carry its service, day and diet: a header keeps its key
        const Layout &keys = zov::layout(QStringLiteral("cdsCardaDia"));
        for (const int key : {headerAt().CDSERVFILI, headerAt().DTCARDAPIO, headerAt().CDDIETPAD}) {
            if (!sameValue(h.at(key), original.at(key)))
                return text("HEADER_KEY_CHANGE")
                    .arg(describeHeader(original), dataFieldName(keys, key),
                         logSafe(canonicalText(original.at(key)), 40),
                         logSafe(canonicalText(h.at(key)), 40));
        }
        if (const QString bad = soundHeader(h); !bad.isEmpty())
            return bad;
        const Layout &layout = zov::layout(QStringLiteral("cdsCardaDia"));
        QVariantList current;
        m_s.select(sql("header_current"), headerKey(original), [&](const SqlRow &q) {
            for (int f = 0; f < layout.fields.size(); ++f) {
                const FieldDef &def = layout.fields.at(f);
                current.append(
                    fitValue(layout.name, def.name, def.type, 0, q.value(f), Conversion::Lenient));
            }
        });
        if (current.isEmpty())
            return text("HEADER_GONE").arg(describeHeader(original));
        QVariantList written = current;
        for (int f = 0; f < layout.fields.size(); ++f) {
            if (sameValue(h.at(f), original.at(f)))
                continue;
            if (!sameValue(current.at(f), original.at(f)))
                return dayChanged(original.at(headerAt().CDFILIAL).toString(),
                                  original.at(headerAt().NRCARDAPIO).toString(),
                                  original.at(headerAt().DTCARDAPIO).toDate(),
                                  original.at(headerAt().CDDIETPAD).toString());
            written[f] = h.at(f);
        }
        if (m_s.exec(sql("header_update"), written + headerKey(original)) == 0)
            return text("HEADER_GONE").arg(describeHeader(original));
        m_recorder.headerWritten(written);
        tally(h.at(headerAt().CDFILIAL), h.at(headerAt().CDSERVFILI), h.at(headerAt().DTCARDAPIO),
              h.at(headerAt().CDDIETPAD))
            .modified++;
        return {};
    }

    // The new dishes of the batch, a few statements for all of them; a slot already
    // taken, or taken twice by the batch, refuses the batch.
    QString insertDishes(QList<QVariantList> rows)
    {
        for (QVariantList &c : rows) {
            if (QString problem = soundDish(c); !problem.isEmpty())
                return newHeadersFirst(problem);
        }
        const auto slotOf = [](const QVariant &diet, const QVariant &slot) {
            QString key = diet.toString();
            key += QLatin1Char('|');
            key += QString::number(static_cast<qint64>(slot.toDouble()));
            return key;
        };
        // the primary key says whether a slot is taken: no look-up before each dish
        for (qsizetype done = 0; done < rows.size();) {
            const qsizetype left = rows.size() - done;
            // on SQLite a few statement sizes; on PostgreSQL, where each is a round trip,
            // all of them at once
            const int n = !m_s.isSQLite() ? int(std::min<qsizetype>(left, 64))
                          : left >= 64    ? 64
                          : left >= 16    ? 16
                          : left >= 4     ? 4
                                          : 1;
            QVariantList values;
            values.reserve(n * dishLayout().fields.size());
            for (qsizetype i = done; i < done + n; ++i)
                values.append(rows.at(i));
            QHash<QString, int> stored;
            m_s.select(serverSqlRows(m_s.isSQLite(), "dish_insert_rows", n), values,
                       [&](const SqlRow &q) { ++stored[slotOf(q.value(0), q.value(1))]; });
            if (const QString refused = newHeadersChecked(); !refused.isEmpty())
                return refused;
            for (qsizetype i = done; i < done + n; ++i) {
                const QVariantList &c = rows.at(i);
                int &count = stored[slotOf(c.at(dishAt().CDDIETPAD), c.at(dishAt().NRSEQPRATCAR))];
                if (count-- <= 0)
                    return text("DISH_TAKEN").arg(describeDish(c));
                m_recorder.dishWritten(c);
                tally(c.at(dishAt().CDFILIAL), c.at(dishAt().CDSERVFILI), c.at(dishAt().DTCARDAPIO),
                      c.at(dishAt().CDDIETPAD))
                    .inserted++;
            }
            done += n;
        }
        return {};
    }

    // A new dish complete, in range and in its header's service, day and diet.
    QString soundDish(QVariantList &c)
    {
        if (isNull(c.at(dishAt().CDFILIAL)) || isNull(c.at(dishAt().NRCARDAPIO)) ||
            isNull(c.at(dishAt().CDDIETPAD)) || isNull(c.at(dishAt().NRSEQPRATCAR)))
            return text("DISH_INCOMPLETE").arg(describeDish(c));
        if (const QString bad = badValue(dishLayout(), c, [&] { return describeDish(c); });
            !bad.isEmpty())
            return bad;
        if (!toWhole(c[dishAt().NRSEQPRATCAR]) || !toWhole(c[dishAt().NRORDPRATCAR]))
            return text("DISH_BAD_NUMBER").arg(describeDish(c));
        return completeFromHeader(c);
    }

    QString changeDish(QVariantList c, QVariantList original)
    {
        if (const QString bad = badValue(dishLayout(), c, [&] { return describeDish(c); });
            !bad.isEmpty())
            return bad;
        if (!toWhole(c[dishAt().NRSEQPRATCAR]) || !toWhole(c[dishAt().NRORDPRATCAR]) ||
            !toWhole(original[dishAt().NRSEQPRATCAR]))
            return text("DISH_BAD_NUMBER").arg(describeDish(c));
        const QString problem = completeFromHeader(c);
        if (!problem.isEmpty())
            return problem;
        if (m_s.exec(sql("dish_update"), c + dishKey(original)) == 0)
            return text("DISH_GONE").arg(describeDish(original));
        m_recorder.dishRemoved(original);
        m_recorder.dishWritten(c);
        tally(c.at(dishAt().CDFILIAL), c.at(dishAt().CDSERVFILI), c.at(dishAt().DTCARDAPIO),
              c.at(dishAt().CDDIETPAD))
            .modified++;
        return {};
    }

private:
    QString sql(const char *name) const { return serverSql(m_s.isSQLite(), name); }

    // A header's values in range, and its branch, service and diet known.
    QString soundHeader(const QVariantList &h)
    {
        if (const QString bad = badValue(headerLayout(), h, [&] { return describeHeader(h); });
            !bad.isEmpty())
            return bad;
        const QVariant branch = h.at(headerAt().CDFILIAL);
        qint64 known[3] = {0, 0, 0};
        m_s.select(sql("header_codes_known"),
                   {branch, branch, h.at(headerAt().CDSERVFILI), h.at(headerAt().CDDIETPAD)},
                   [&](const SqlRow &q) {
                       for (int i = 0; i < 3; ++i)
                           known[i] = q.value(i).toLongLong();
                   });
        return unknownCode(h, known);
    }
    // The first of a header's branch, service and diet that `known` counts 0 of.
    static QString unknownCode(const QVariantList &h, const qint64 *known)
    {
        const char *const columns[] = {"CDFILIAL", "CDSERVFILI", "CDDIETPAD"};
        for (int i = 0; i < 3; ++i) {
            if (known[i] == 0)
                return text("HEADER_UNKNOWN_CODE")
                    .arg(describeHeader(h), QLatin1String(columns[i]));
        }
        return {};
    }

    static QString dataFieldName(const Layout &layout, int position)
    {
        int i = 0;
        for (const FieldDef &def : layout.fields) {
            if (def.calculated)
                continue;
            if (i++ == position)
                return def.name;
        }
        return {};
    }

    static QString canonicalText(const QVariant &v)
    {
        return v.typeId() == QMetaType::QDate ? shortDate(v.toDate()) : v.toString();
    }

    Tally &tally(const QVariant &branch, const QVariant &service, const QVariant &day,
                 const QVariant &diet)
    {
        return tallies[{branch.toString(), service.toString(), isoDate(day.toDate()),
                        diet.toString()}];
    }

    // A dish takes the service and the day of its header; one that names another
    // service, day or diet than its header's is refused.
    QString completeFromHeader(QVariantList &c)
    {
        // a batch holds the dishes of one or a few headers: each is read once
        const QString number = c.at(dishAt().CDFILIAL).toString() + QLatin1Char('|') +
                               c.at(dishAt().NRCARDAPIO).toString();
        auto known = m_headers.find(number);
        if (known == m_headers.end()) {
            QVariantList found;
            m_s.select(sql("header_by_number"),
                       {c.at(dishAt().CDFILIAL), c.at(dishAt().NRCARDAPIO)}, [&](const SqlRow &q) {
                           found = {q.value(0), q.value(1), q.value(2)};
                       });
            known = m_headers.insert(number, found);
        }
        const QVariantList &header = known.value();
        if (header.isEmpty())
            return text("DISH_NO_HEADER").arg(describeDish(c));
        const QString service = header.at(0).toString();
        const QDate day = dateOf(header.at(1));
        if (isNull(c.at(dishAt().CDSERVFILI)) || c.at(dishAt().CDSERVFILI).toString().isEmpty())
            c[dishAt().CDSERVFILI] = service;
        if (isNull(c.at(dishAt().DTCARDAPIO)))
            c[dishAt().DTCARDAPIO] = day;
        if (c.at(dishAt().CDSERVFILI).toString() != service ||
            c.at(dishAt().DTCARDAPIO).toDate() != day ||
            c.at(dishAt().CDDIETPAD).toString() != header.at(2).toString())
            return text("DISH_HEADER_MISMATCH").arg(describeDish(c));
        return {};
    }

    // A new header and what its checks found: its branch, service and diet (each 0
    // when unknown), then the headers already on its day and diet and with its number.
    struct NewHeader
    {
        QVariantList header;
        qint64 found[5] = {0, 0, 0, 0, 0};
        bool answered = false;
    };
    static QString refusal(const NewHeader &n)
    {
        const QVariantList &h = n.header;
        if (const QString unknown = unknownCode(h, n.found); !unknown.isEmpty())
            return unknown;
        if (n.found[3] > 0)
            return text("HEADER_TAKEN").arg(describeHeader(h));
        if (n.found[4] > 0)
            return text("HEADER_NUMBER_TAKEN")
                .arg(h.at(headerAt().NRCARDAPIO).toString(), describeHeader(h));
        return {};
    }

    SqlSession &m_s;
    RunRecorder &m_recorder;
    QHash<QString, QVariantList> m_headers;
    // in the order they were asked; a deque keeps each where its answer is written
    std::deque<NewHeader> m_newHeaders;
};

// The menus (branch, number) whose header the batch creates.
QList<QPair<QString, QString>> createdMenus(const DeltaRows &headers)
{
    QList<QPair<QString, QString>> menus;
    for (const QVariantList &h : headers.inserts)
        menus.append(
            {h.at(headerAt().CDFILIAL).toString(), h.at(headerAt().NRCARDAPIO).toString()});
    return menus;
}

// The menus (branch, number) whose header or dishes the batch writes.
QList<QPair<QString, QString>> touchedMenus(const DeltaRows &headers, const DeltaRows &dishes)
{
    QList<QPair<QString, QString>> menus;
    const auto add = [&](const QVariantList &row, const Positions &at) {
        const QPair<QString, QString> menu{row.at(at.CDFILIAL).toString(),
                                           row.at(at.NRCARDAPIO).toString()};
        if (!menus.contains(menu))
            menus.append(menu);
    };
    for (const QVariantList &h : headers.inserts)
        add(h, headerAt());
    for (const auto &[h, original] : headers.changes)
        add(original, headerAt());
    for (const QVariantList &c : dishes.deletions)
        add(c, dishAt());
    for (const QVariantList &c : dishes.inserts)
        add(c, dishAt());
    for (const auto &[c, original] : dishes.changes) {
        add(original, dishAt());
        add(c, dishAt());
    }
    return menus;
}

// The rows of a batch, in the order that keeps the slots free: the problem that
// stops it, or nothing.
QString writeRows(BatchWriter &writer, const DeltaRows &headers, const DeltaRows &dishes)
{
    QString problem;
    // dish deletions first, so an overwrite frees its slots for the new dishes
    for (const QVariantList &c : dishes.deletions) {
        if (!(problem = writer.deleteDish(c)).isEmpty())
            return problem;
    }
    for (const QVariantList &h : headers.inserts) {
        if (!(problem = writer.insertHeader(h)).isEmpty())
            return writer.newHeadersFirst(problem);
    }
    // the new headers' checks weighed before a change is tried
    if (!headers.changes.isEmpty() && !(problem = writer.newHeadersChecked()).isEmpty())
        return problem;
    for (const auto &[h, original] : headers.changes) {
        if (!(problem = writer.changeHeader(h, original)).isEmpty())
            return problem;
    }
    if (!(problem = writer.insertDishes(dishes.inserts)).isEmpty())
        return problem;
    for (const auto &[c, original] : dishes.changes) {
        if (!(problem = writer.changeDish(c, original)).isEmpty())
            return problem;
    }
    // a batch of headers alone: their checks weighed before its commit
    return writer.newHeadersChecked();
}

// The audit of a stored batch: one line a day and diet.
void auditBatch(const BatchWriter &writer, const CallContext &context)
{
    // who stored what, from where: the run, its source and mode, the caller's address
    QString run;
    if (!context.runId.isEmpty())
        run = text("AUDIT_BATCH_RUN")
                  .arg(logSafe(context.runId), sourceText(context.runSource),
                       modeText(context.runMode));
    const QString from = QLatin1Char(' ') + text("LOG_FROM").arg(logSafe(context.peer));
    for (auto it = writer.tallies.cbegin(); it != writer.tallies.cend(); ++it) {
        const QStringList &key = it.key();
        qCInfo(lcAudit).noquote() << text("AUDIT_BATCH")
                                             .arg(logSafe(context.operatorCode), logSafe(key.at(0)),
                                                  logSafe(key.at(1)),
                                                  shortDate(parseIsoDate(key.at(2))),
                                                  logSafe(key.at(3)))
                                             .arg(it->inserted)
                                             .arg(it->modified)
                                             .arg(it->deleted) +
                                         run + from;
    }
}

} // namespace

QVariant rdmImpCardZov::SetImportacao(SqlSession &s, const QVariant &headerDelta,
                                      const QVariant &dishDelta, const CallContext &context)
{
    const DeltaRows headers = readDelta(headerDelta, QStringLiteral("cdsCardaDia"));
    const DeltaRows dishes = readDelta(dishDelta, QStringLiteral("cdsCompCardCache"));
    if (context.batchId.size() > 64)
        throw InvalidArgument(text("BATCH_ID_TOO_LONG"));
    if (!headers.deletions.isEmpty())
        return text("HEADER_DELETE_REFUSED").arg(describeHeader(headers.deletions.first()));
    if (headers.size() + dishes.size() == 0)
        return QString();

    const auto storedAnswer = [&](QString *answer) {
        bool found = false;
        s.select(serverSql(s.isSQLite(), "batch_answer"), {context.batchId}, [&](const SqlRow &q) {
            *answer = q.value(0).toString();
            found = true;
        });
        if (found && !s.dryRun())
            qCInfo(lcAudit).noquote()
                << text("AUDIT_RESENT")
                       .arg(logSafe(context.batchId, 64), logSafe(context.operatorCode),
                            answer->isEmpty() ? text("AUDIT_RESENT_STORED") : logSafe(*answer));
        return found;
    };
    // what the batch changes is kept with it, for an undo of its run
    RunRecorder recorder(s, context);
    BatchWriter writer(s, recorder);
    // A batch sent again after its reply was lost is answered, not stored twice: its id
    // is taken as its transaction begins, and given back with the rest if the batch is
    // not stored. On PostgreSQL the claim goes with the batch's first rows, and is
    // weighed before anything they met: a batch whose id was taken gets the answer it
    // got the first time.
    struct
    {
        bool answered = false;
        bool claimed = false;
    } claim;
    const auto answeredBefore = [&]() -> std::optional<QString> {
        if (!claim.answered)
            s.sendHeldBack();
        if (claim.claimed)
            return std::nullopt;
        // taken and then gone (never, in a transaction that sees what it was refused
        // for): nothing is stored without its id, the caller asks again
        QString answer;
        if (!storedAnswer(&answer))
            throw SqlFailure(text("DB_CONFLICT"));
        return answer;
    };
    QString problem;
    try {
        WriteTransaction transaction(s);
        const QString when = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).left(19);
        if (context.batchId.isEmpty())
            claim = {true, true};
        else
            s.selectLater(
                serverSql(s.isSQLite(), "batch_claim"),
                {context.batchId, context.operatorCode, when, QString()},
                [&](const SqlRow &) { claim.claimed = true; }, [&] { claim.answered = true; });
        recorder.before(touchedMenus(headers, dishes), createdMenus(headers));
        if (!(problem = writer.checkDaySeen(context.daySeen)).isEmpty())
            return answeredBefore().value_or(problem);
        if (!(problem = writeRows(writer, headers, dishes)).isEmpty())
            return answeredBefore().value_or(problem);
        // nothing is stored before the claim is weighed
        if (std::optional<QString> answer = answeredBefore())
            return *answer;
        // a server that was held up (frozen, say) does not store what its caller has
        // given up on: the batch is rolled back
        if (context.expired())
            return text("BATCH_EXPIRED");
        recorder.after();
        // a batch from a caller that gives no id is audited under one of the server's
        writer.audit(context.batchId.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces)
                                               : context.batchId,
                     context, when);
        transaction.commit();
    } catch (const SqlFailure &) {
        // the batch sent again, whose rows then failed on those of its first sending (its
        // header's day taken, say)
        QString answer;
        if (claim.answered && !claim.claimed && storedAnswer(&answer))
            return answer;
        // a new header its checks refuse, whose insert failed in the same round trip
        if (const QString refused = writer.newHeaderRefused(); !refused.isEmpty())
            return refused;
        // the same batch, sent again while this one was being stored, may have won
        if (!context.batchId.isEmpty() && storedAnswer(&answer))
            return answer;
        throw;
    }
    // a dry run's batch was rolled back: it is no one's change
    if (s.dryRun())
        return QString();
    auditBatch(writer, context);
    return QString();
}

} // namespace zov
