#include "rdmimpcardzov.h"

#include "dates.h"
#include "dispatcher.h"
#include "error.h"
#include "layout.h"
#include "runhistory.h"
#include "serversql.h"
#include "signatures.h"
#include "texts.h"

#include <QSqlQuery>
#include <cmath>
#include <vector>

namespace zov {

Q_LOGGING_CATEGORY(lcAudit, "zov.server.audit")

namespace {

constexpr qint64 kLargestMenuNumber = 9999999999LL; // NRCARDAPIO is ten characters

// A value read from the database in the type of its packet column. Bad stored data
// becomes a database failure that names the column.
QVariant fromDatabase(const QString &owner, const FieldDef &def, const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return {};
    QVariant typed;
    switch (def.type) {
    case FieldType::Text:
        typed = value.toString();
        break;
    case FieldType::Float: {
        bool ok = false;
        const double d = value.toDouble(&ok);
        if (!ok || !std::isfinite(d))
            throw SqlFailure(text("DB_BAD_VALUE").arg(def.name, owner, value.toString().left(40)));
        typed = d;
        break;
    }
    case FieldType::Date: {
        QDate d = value.typeId() == QMetaType::QDate
                      ? value.toDate()
                      : parseIsoDate(QStringView(value.toString()).left(10));
        if (!d.isValid())
            throw SqlFailure(text("DB_BAD_VALUE").arg(def.name, owner, value.toString().left(40)));
        typed = d;
        break;
    }
    }
    try {
        return fitValue(owner, def.name, def.type, def.size, typed, Conversion::Strict);
    } catch (const Error &e) {
        throw SqlFailure(e.text());
    }
}

// Builds a packet of a record-set layout from result rows whose columns come in the
// layout's field order (from `firstColumn` on).
class PacketBuilder
{
public:
    explicit PacketBuilder(const QString &layoutName)
        : m_layout(layout(layoutName))
        , m_packet(Packet::forLayout(m_layout))
    {}

    void addRow(const SqlRow &q)
    {
        PacketRow row;
        row.values.reserve(m_packet.fields.size());
        int column = 0;
        for (const FieldDef &def : m_layout.fields) {
            if (def.calculated)
                continue;
            // days, codes and names come in runs: a text the row before had is
            // converted once, and the rows share it
            const std::optional<std::string_view> stored = q.storedText(column);
            if (size_t(column) >= m_before.size())
                m_before.resize(size_t(column) + 1);
            Before &before = m_before[size_t(column)];
            if (stored && before.typed.isValid() && before.stored == *stored) {
                row.values.append(before.typed);
            } else {
                row.values.append(fromDatabase(m_layout.name, def, q.value(column)));
                before.typed = stored ? row.values.constLast() : QVariant();
                if (stored)
                    before.stored.assign(*stored);
            }
            ++column;
        }
        m_packet.rows.append(std::move(row));
    }

    void addValues(const QVariantList &values)
    {
        PacketRow row;
        int column = 0;
        for (const FieldDef &def : m_layout.fields) {
            if (!def.calculated)
                row.values.append(fromDatabase(m_layout.name, def, values.value(column++)));
        }
        m_packet.rows.append(std::move(row));
    }

    const Packet &packet() const { return m_packet; }
    QVariant result() const { return QVariant::fromValue(m_packet); }

private:
    // a column's text in the row before, and its value
    struct Before
    {
        std::string stored;
        QVariant typed;
    };
    const Layout &m_layout;
    Packet m_packet;
    std::vector<Before> m_before;
};

// a code as its column holds it: not blank, no longer than the column
bool fitsCode(const QString &code, const char *column)
{
    return !code.trimmed().isEmpty() && code.size() <= codeWidth(QLatin1String(column));
}

} // namespace

rdmImpCardZov::rdmImpCardZov(int menuNumberBlock)
    : m_block(std::max(1, menuNumberBlock))
{
    // each method of the table, by its id; the arguments arrive checked against it
    using M = Method;
    using A = const QVariantList &;
    using C = const CallContext &;
    const auto t = [](A a, int i) { return a.at(i).toString(); };
    const auto d = [](A a, int i) { return a.at(i).toDate(); };
    const auto on = [this](M method, Handler handler) {
        m_handlers[static_cast<size_t>(method)] = std::move(handler);
    };
    on(M::GetPesqConfDestino, [=, this](SqlSession &s, A a, C) {
        return GetPesqConfDestino(s, t(a, 0), t(a, 1), d(a, 2));
    });
    on(M::GetCardOrigem, [=, this](SqlSession &s, A a, C) {
        return GetCardOrigem(s, t(a, 0), t(a, 1), d(a, 2), d(a, 3), t(a, 4));
    });
    on(M::GetPrxCardapio, [=, this](SqlSession &s, A a, C c) {
        return GetPrxCardapio(s, t(a, 0), t(a, 1), d(a, 2), t(a, 3), c.dryRun);
    });
    on(M::GetComensais, [=, this](SqlSession &s, A a, C) {
        return GetComensais(s, t(a, 0), t(a, 1), t(a, 2), d(a, 3));
    });
    on(M::Dieta,
       [=, this](SqlSession &s, A a, C) { return Dieta(s, t(a, 0), t(a, 1), t(a, 2), d(a, 3)); });
    // the month whose slots the run fills, when it is not the day's own
    const auto configMonth = [](C c) {
        QDate month;
        if (!c.configMonth.isEmpty()) {
            month = parseIsoDate(c.configMonth);
            if (!isFirstOfMonth(month))
                throw InvalidArgument(text("CONFIG_MONTH_BAD").arg(c.configMonth.left(20)));
        }
        return month;
    };
    on(M::VerifCardadia, [=, this](SqlSession &s, A a, C c) {
        return VerifCardadia(s, d(a, 0), t(a, 1), t(a, 2), t(a, 3), configMonth(c));
    });
    on(M::DelPratosDiet, [=, this](SqlSession &, A a, C) {
        return DelPratosDiet(t(a, 0), t(a, 1), t(a, 2), d(a, 3));
    });
    on(M::SetImportacao,
       [=, this](SqlSession &s, A a, C c) { return SetImportacao(s, a.at(0), a.at(1), c); });
    on(M::GetTemCard, [=, this](SqlSession &s, A a, C) {
        return GetTemCard(s, t(a, 0), t(a, 1), d(a, 2), t(a, 3));
    });
    on(M::Data,
       [=, this](SqlSession &s, A a, C) { return Data(s, d(a, 0), d(a, 1), t(a, 2), t(a, 3)); });
    on(M::GetCardadia, [=, this](SqlSession &s, A a, C) {
        return GetCardadia(s, t(a, 0), t(a, 1), d(a, 2), t(a, 3));
    });
    on(M::GetImportacoes, [=](SqlSession &s, A a, C) { return listRuns(s, t(a, 0)); });
    on(M::DesfazImportacao,
       [=](SqlSession &s, A a, C c) { return undoRun(s, t(a, 0), t(a, 1), c); });
    on(M::VerifLotes, [=](SqlSession &s, A a, C c) { return batchOutcomes(s, t(a, 0), c); });
    on(M::GetPassoDestino, [=, this](SqlSession &s, A a, C c) {
        const QString branch = t(a, 0), service = t(a, 1), diet = t(a, 3), parts = t(a, 4);
        const QDate day = d(a, 2);
        // the parts are all checked before the first one runs
        for (qsizetype i = 0; i < parts.size(); ++i) {
            if (!QStringLiteral("NCVD").contains(parts.at(i)) || parts.indexOf(parts.at(i)) != i)
                throw InvalidArgument(text("STEP_PARTS_BAD").arg(logSafe(parts, 20)));
        }
        if (parts.isEmpty())
            throw InvalidArgument(text("STEP_PARTS_BAD").arg(parts));
        const QDate month = configMonth(c);
        QVariantList answers;
        for (const QChar part : parts) {
            if (part == QLatin1Char('N'))
                answers.append(GetPrxCardapio(s, branch, service, day, diet, c.dryRun));
            else if (part == QLatin1Char('C'))
                answers.append(GetComensais(s, branch, service, diet, day));
            else if (part == QLatin1Char('V'))
                answers.append(VerifCardadia(s, day, branch, service, diet, month));
            else
                answers.append(DelPratosDiet(branch, service, diet, day));
        }
        return QVariant(answers);
    });
    for (const MethodSignature &signature : methodSignatures())
        Q_ASSERT(m_handlers[static_cast<size_t>(signature.id)]);
}

QVariant rdmImpCardZov::call(SqlSession &s, Method method, const QVariantList &args,
                             const CallContext &context)
{
    return m_handlers[static_cast<size_t>(method)](s, args, context);
}

QVariant rdmImpCardZov::GetPesqConfDestino(SqlSession &s, const QString &branch,
                                           const QString &service, const QDate &month)
{
    PacketBuilder packet(QStringLiteral("cdsPesqConfDestino"));
    s.select(serverSql(s.isSQLite(), "conf_destino"), {branch, service, month},
             [&](const SqlRow &q) { packet.addRow(q); });
    return packet.result();
}

QVariant rdmImpCardZov::GetCardOrigem(SqlSession &s, const QString &branch, const QString &service,
                                      const QDate &start, const QDate &end, const QString &diets)
{
    PacketBuilder dishes(QStringLiteral("cdsCardOrigem"));
    PacketBuilder types(QStringLiteral("cdsTipoPrato"));
    QDate lastDay;
    QString lastType;
    bool first = true;
    s.select(serverSql(s.isSQLite(), "origem_pratos"), {branch, service, start, end, diets},
             [&](const SqlRow &q) {
                 dishes.addRow(q);
                 // the rows come by day, then dish type: the distinct pairs follow
                 const PacketRow &row = dishes.packet().rows.constLast();
                 const QDate day = row.values.at(0).toDate();
                 const QString type = row.values.at(6).toString();
                 if (first || day != lastDay || type != lastType)
                     types.addValues({day, type});
                 first = false;
                 lastDay = day;
                 lastType = type;
             });
    return QVariantList{dishes.result(), types.result()};
}

void rdmImpCardZov::reserveNumbers(SqlSession &s, const QString &branch, NumberBlock &block)
{
    // a block "reserved" in a transaction that rolls back would hand out numbers twice
    if (s.dryRun())
        throw SqlFailure(text("DRY_RUN_WRITE"));
    WriteTransaction transaction(s);
    QVariant last;
    s.select(serverSql(s.isSQLite(), "seq_select"), {branch},
             [&](const SqlRow &q) { last = q.value(0); });
    qint64 from = 0;
    if (last.isValid() && !last.isNull()) {
        from = last.toLongLong();
    } else {
        s.select(serverSql(s.isSQLite(), "seq_max_number"), {branch},
                 [&](const SqlRow &q) { from = q.value(0).toLongLong(); });
    }
    const qint64 to = std::min(from + m_block, kLargestMenuNumber);
    if (to <= from)
        throw SqlFailure(text("MENU_NUMBERS_EXHAUSTED").arg(branch));
    if (last.isValid() && !last.isNull())
        s.exec(serverSql(s.isSQLite(), "seq_update"), {to, branch});
    else
        s.exec(serverSql(s.isSQLite(), "seq_insert"), {branch, to});
    transaction.commit();
    block.next = from + 1;
    block.last = to;
}

QVariant rdmImpCardZov::GetPrxCardapio(SqlSession &s, const QString &branch, const QString &service,
                                       const QDate &day, const QString &diet, const QString &dryRun)
{
    if (!fitsCode(branch, "CDFILIAL") || !fitsCode(service, "CDSERVFILI") ||
        !fitsCode(diet, "CDDIETPAD"))
        return text("BAD_MENU_KEY")
            .arg(branch.left(10), service.left(10), shortDate(day), diet.left(10));
    std::lock_guard lock(m_numbersMutex);
    // numbers are kept per branch: none is reserved for a branch that does not exist
    if (!m_numbers.contains(branch)) {
        bool known = false;
        s.select(serverSql(s.isSQLite(), "branch_exists"), {branch},
                 [&](const SqlRow &) { known = true; });
        if (!known)
            return text("PRX_UNKNOWN_BRANCH").arg(branch);
    }
    if (!dryRun.isEmpty())
        return provisionalNumber(s, branch, dryRun);
    NumberBlock &block = m_numbers[branch];
    for (;;) {
        if (block.next > block.last)
            reserveNumbers(s, branch, block);
        const QString number = QString::number(block.next++);
        bool taken = false;
        s.select(serverSql(s.isSQLite(), "header_number_exists"), {branch, number},
                 [&](const SqlRow &) { taken = true; });
        if (!taken)
            return number;
    }
}

// The numbers a dry run shows: where this server's next real call would go on (its
// block, else after the last number reserved), counted per run, never reserved.
QString rdmImpCardZov::provisionalNumber(SqlSession &s, const QString &branch,
                                         const QString &dryRun)
{
    const QString key = dryRun + QLatin1Char('|') + branch;
    auto it = m_provisional.find(key);
    if (it == m_provisional.end()) {
        const NumberBlock block = m_numbers.value(branch);
        qint64 from = block.next;
        if (block.next > block.last) {
            QVariant last;
            s.select(serverSql(s.isSQLite(), "seq_select"), {branch},
                     [&](const SqlRow &q) { last = q.value(0); });
            if (last.isValid() && !last.isNull()) {
                from = last.toLongLong() + 1;
            } else {
                s.select(serverSql(s.isSQLite(), "seq_max_number"), {branch},
                         [&](const SqlRow &q) { from = q.value(0).toLongLong() + 1; });
            }
        }
        if (m_provisionalOrder.size() >= 64)
            m_provisional.remove(m_provisionalOrder.takeFirst());
        m_provisionalOrder.append(key);
        it = m_provisional.insert(key, from);
    }
    for (;;) {
        if (*it > kLargestMenuNumber)
            throw SqlFailure(text("MENU_NUMBERS_EXHAUSTED").arg(branch));
        const QString number = QString::number((*it)++);
        bool taken = false;
        s.select(serverSql(s.isSQLite(), "header_number_exists"), {branch, number},
                 [&](const SqlRow &) { taken = true; });
        if (!taken)
            return number;
    }
}

QVariant rdmImpCardZov::GetComensais(SqlSession &s, const QString &branch, const QString &service,
                                     const QString &diet, const QDate &day)
{
    PacketBuilder packet(QStringLiteral("cdsComensais"));
    s.select(serverSql(s.isSQLite(), "comensais"), {branch, service, diet, weekdayNumber(day)},
             [&](const SqlRow &q) { packet.addRow(q); });
    return packet.result();
}

QVariant rdmImpCardZov::Dieta(SqlSession &s, const QString &diets, const QString &branch,
                              const QString &service, const QDate &)
{
    PacketBuilder packet(QStringLiteral("adqValidDiet"));
    s.select(serverSql(s.isSQLite(), "dieta"), {branch, service, diets},
             [&](const SqlRow &q) { packet.addRow(q); });
    return packet.result();
}

QVariant rdmImpCardZov::VerifCardadia(SqlSession &s, const QDate &day, const QString &branch,
                                      const QString &service, const QString &diet,
                                      const QDate &configMonth)
{
    // every row carries the destination day, so a look-up by that day finds it
    PacketBuilder packet(QStringLiteral("adqVerifCardaDia"));
    const auto add = [&](const SqlRow &q) {
        QVariantList values{day};
        for (int i = 0; i < 7; ++i)
            values.append(q.value(i));
        packet.addValues(values);
    };
    const QDate month = configMonth.isValid() ? configMonth : firstDayOfMonth(day);
    s.select(serverSql(s.isSQLite(), "verif_day"),
             {day, diet, branch, service, month, branch, service, day, diet, month}, add);
    return packet.result();
}

QVariant rdmImpCardZov::DelPratosDiet(const QString &branch, const QString &service,
                                      const QString &diet, const QDate &day)
{
    // Nothing is removed here: the import sends the removal of the day's dishes as
    // deletions in its next batch, stored in one transaction with the new dishes.
    if (!fitsCode(branch, "CDFILIAL") || !fitsCode(service, "CDSERVFILI") ||
        !fitsCode(diet, "CDDIETPAD") || !day.isValid())
        return text("BAD_MENU_KEY")
            .arg(branch.left(10), service.left(10), shortDate(day), diet.left(10));
    return QString();
}

QVariant rdmImpCardZov::GetTemCard(SqlSession &s, const QString &branch, const QString &service,
                                   const QDate &month, const QString &diets)
{
    PacketBuilder packet(QStringLiteral("cdsTemCard"));
    s.select(serverSql(s.isSQLite(), "temcard"),
             {branch, service, firstDayOfMonth(month), UltimoDiaMes(month), diets},
             [&](const SqlRow &q) {
                 const QVariant day =
                     fromDatabase(QStringLiteral("cdsTemCard"),
                                  layout(QStringLiteral("cdsTemCard")).fields.at(1), q.value(0));
                 packet.addValues({shortDate(day.toDate()), day});
             });
    return packet.result();
}

QVariant rdmImpCardZov::Data(SqlSession &s, const QDate &start, const QDate &end,
                             const QString &branch, const QString &service)
{
    PacketBuilder packet(QStringLiteral("adqData"));
    s.select(serverSql(s.isSQLite(), "data_dias"), {start, end, branch, service},
             [&](const SqlRow &q) { packet.addRow(q); });
    return packet.result();
}

QVariant rdmImpCardZov::GetCardadia(SqlSession &s, const QString &branch, const QString &service,
                                    const QDate &day, const QString &diets)
{
    PacketBuilder headers(QStringLiteral("cdsCardaDia"));
    PacketBuilder dishes(QStringLiteral("cdsCompCardCache"));
    const QVariantList values{branch, service, day, UltimoDiaMes(day), diets};
    s.select(serverSql(s.isSQLite(), "cardadia_cabecalhos"), values,
             [&](const SqlRow &q) { headers.addRow(q); });
    s.select(serverSql(s.isSQLite(), "cardadia_pratos"), values,
             [&](const SqlRow &q) { dishes.addRow(q); });
    return QVariantList{headers.result(), dishes.result()};
}

} // namespace zov
