#include "consiste.h"
#include "dates.h"
#include "dietlist.h"
#include "error.h"
#include "filter.h"
#include "layout.h"
#include "recordset.h"

#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

using namespace zov;

using Script = std::function<void(RecordSet &)>;
Q_DECLARE_METATYPE(Script)

namespace {

const QDate kMar1(2024, 3, 1);
const QDate kMar2(2024, 3, 2);
const QVariantMap kBranch1{{QStringLiteral("CDFILIAL"), QStringLiteral("1")}};

// A packet with the declared columns of `layoutName`; values come from the maps by
// column name (absent ones are null). `scramble` reverses the columns, writes one
// name in lower case and adds a column the layout does not know.
Packet makePacket(const QString &layoutName, const QList<QVariantMap> &rows, bool scramble = false)
{
    Packet p = Packet::forLayout(layout(layoutName));
    if (scramble) {
        std::reverse(p.fields.begin(), p.fields.end());
        p.fields.append({QStringLiteral("EXTRA"), FieldType::Text, 8});
    }
    for (const QVariantMap &m : rows) {
        PacketRow r;
        for (const PacketField &f : p.fields)
            r.values.append(m.value(f.name));
        p.rows.append(r);
    }
    if (scramble)
        p.fields[0].name = p.fields[0].name.toLower();
    return p;
}

QVariantMap dish(const QString &filial, QDate day, const QString &diet, const QString &menu,
                 double order, const QString &name)
{
    return {{QStringLiteral("CDFILIAL"), filial},
            {QStringLiteral("DTCARDAPIO"), day},
            {QStringLiteral("CDDIETPAD"), diet},
            {QStringLiteral("NRCARDAPIO"), menu},
            {QStringLiteral("NRSEQPRATCAR"), order},
            {QStringLiteral("NMPRATO"), name},
            {QStringLiteral("NRORDPRATCAR"), order},
            {QStringLiteral("CDTIPOPRAT"), QStringLiteral("01")},
            {QStringLiteral("CDSERVFILI"), QStringLiteral("00001")}};
}

// Rows of cdsCompCardCache in packet order; in index order they read as kOrder.
Packet cachePacket()
{
    return makePacket(QStringLiteral("cdsCompCardCache"),
                      {dish("1", kMar2, "D1", "0000000002", 1, QStringLiteral("Pão d'água")),
                       dish("1", kMar1, "D1", "0000000001", 10, QStringLiteral("Feijão")),
                       dish("1", kMar1, "D1", "0000000001", 2, QStringLiteral("Salada")),
                       dish("2", kMar1, "D2", "0000000001", 1, QStringLiteral("Sopa")),
                       dish("1", kMar1, "D2", "0000000003", 1, QStringLiteral("Purê")),
                       dish("1", kMar1, "D1", "Ab7", 1, QStringLiteral("Frango"))});
}
const QStringList kOrder = {QStringLiteral("Salada"),     QStringLiteral("Feijão"),
                            QStringLiteral("Purê"),       QStringLiteral("Frango"),
                            QStringLiteral("Pão d'água"), QStringLiteral("Sopa")};

std::unique_ptr<RecordSet> cache()
{
    auto rs = std::make_unique<RecordSet>(QStringLiteral("cdsCompCardCache"));
    rs->SetData(cachePacket());
    return rs;
}

QString current(RecordSet &rs, const char *field = "NMPRATO")
{
    return rs.FieldByName(QLatin1String(field)).asString();
}

QStringList walk(RecordSet &rs, const char *field = "NMPRATO")
{
    QStringList out;
    for (rs.First(); !rs.Eof(); rs.Next())
        out.append(current(rs, field));
    return out;
}

template<typename F>
QString errorOf(F &&f)
{
    try {
        f();
    } catch (const Error &e) {
        return e.text();
    }
    return {};
}

void at(RecordSet &rs, const QString &name)
{
    if (!rs.Locate(QStringLiteral("NMPRATO"), {name}))
        throw Error(QStringLiteral("no row ") + name);
}
void rename(RecordSet &rs, const QString &from, const QString &to)
{
    at(rs, from);
    rs.Edit();
    rs.FieldByName(QStringLiteral("NMPRATO")).setValue(to);
    rs.Post();
}
void remove(RecordSet &rs, const QString &name)
{
    at(rs, name);
    rs.Delete();
}
void add(RecordSet &rs, const QString &name)
{
    rs.Insert();
    rs.FieldByName(QStringLiteral("CDFILIAL")).setValue(QStringLiteral("3"));
    rs.FieldByName(QStringLiteral("DTCARDAPIO")).setValue(kMar1);
    rs.FieldByName(QStringLiteral("NRCARDAPIO")).setValue(QStringLiteral("0000000009"));
    rs.FieldByName(QStringLiteral("NRORDPRATCAR")).setValue(1);
    rs.FieldByName(QStringLiteral("NMPRATO")).setValue(name);
    rs.Post();
}

// One line per delta row: kind, NMPRATO and, for a modification, the original NMPRATO.
QStringList summary(const Packet &delta)
{
    const int c = delta.indexOf(QStringLiteral("NMPRATO"));
    QStringList out;
    for (const PacketRow &r : delta.rows) {
        const char *kind = r.kind == ChangeKind::Insert   ? "I"
                           : r.kind == ChangeKind::Modify ? "M"
                           : r.kind == ChangeKind::Delete ? "D"
                                                          : "?";
        QString line = QLatin1String(kind) + QLatin1Char('|') + r.values.at(c).toString();
        if (r.kind == ChangeKind::Modify)
            line += QLatin1Char('|') + r.original.at(c).toString();
        out.append(line);
    }
    return out;
}

} // namespace

class TestRecordSet : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bindsColumnsByNameInIndexOrder()
    {
        const QString longName = QStringLiteral("Frango à passarinho com açúcar e limão ç");
        QCOMPARE(longName.size(), 40);
        const auto row = [](QDate d, const char *type, const char *diet, double order,
                            const QString &name) {
            return QVariantMap{{QStringLiteral("DTCARDAPIO"), d},
                               {QStringLiteral("CDTIPOPRAT"), QLatin1String(type)},
                               {QStringLiteral("CDDIETPAD"), QLatin1String(diet)},
                               {QStringLiteral("NRORDPRATCAR"), order},
                               {QStringLiteral("NMPRATO"), name},
                               {QStringLiteral("EXTRA"), QStringLiteral("ignored")}};
        };
        // dates and numbers sort by value, not by their text
        const Packet p = makePacket(QStringLiteral("cdsCardOrigem"),
                                    {row(QDate(2024, 2, 1), "01", "D1", 1, QStringLiteral("A")),
                                     row(QDate(2024, 1, 2), "02", "D1", 1, QStringLiteral("B")),
                                     row(QDate(2024, 1, 2), "01", "D2", 1, QStringLiteral("C")),
                                     row(QDate(2024, 1, 2), "01", "D1", 10, QStringLiteral("D")),
                                     row(QDate(2024, 1, 2), "01", "D1", 2, longName)},
                                    true);
        RecordSet rs(QStringLiteral("cdsCardOrigem"));
        rs.SetData(p);
        QCOMPARE(current(rs), longName);
        QCOMPARE(rs.FieldByName(QStringLiteral("NRORDPRATCAR")).asFloat(), 2.0);
        QCOMPARE(rs.FieldByName(QStringLiteral("DTCARDAPIO")).asDate(), QDate(2024, 1, 2));
        QVERIFY(rs.FieldByName(QStringLiteral("QTESTITURNO1")).isNull());
        QCOMPARE(walk(rs), (QStringList{longName, QStringLiteral("D"), QStringLiteral("C"),
                                        QStringLiteral("B"), QStringLiteral("A")}));
        rs.setRecNo(3);
        rs.SetData(p);
        QCOMPARE(rs.recNo(), 0);

        QCOMPARE(walk(*cache()), kOrder);

        RecordSet plain(QStringLiteral("adqVerifCardaDia"));
        QList<QVariantMap> rows;
        for (const char *name : {"Z", "A", "M"})
            rows.append(QVariantMap{{QStringLiteral("NMPRATO"), QLatin1String(name)},
                                    {QStringLiteral("DTCARDAPIO"), kMar1}});
        plain.SetData(makePacket(QStringLiteral("adqVerifCardaDia"), rows));
        QCOMPARE(walk(plain), (QStringList{"Z", "A", "M"}));
    }

    void emptyAndClosed()
    {
        RecordSet rs(QStringLiteral("cdsCardaDia"));
        QVERIFY(rs.IsEmpty() && rs.Eof());
        QCOMPARE(rs.RecordCount(), 0);
        rs.SetData(makePacket(QStringLiteral("cdsCardaDia"), {}));
        QVERIFY(rs.active() && rs.IsEmpty() && rs.Eof());
        QCOMPARE(rs.RecordCount(), 0);
        QVERIFY(!errorOf([&] { current(rs, "CDFILIAL"); }).isEmpty());
        rs.SetData(makePacket(QStringLiteral("cdsCardaDia"), {kBranch1}));
        QVERIFY(!rs.IsEmpty() && !rs.Eof());
        rs.Close();
        QVERIFY(rs.IsEmpty() && rs.Eof());
        QCOMPARE(rs.RecordCount(), 0);
    }

    void refusedPacketLeavesSetAsItWas_data()
    {
        QTest::addColumn<Packet>("packet");
        QTest::addColumn<QString>("mention");
        const Packet good = cachePacket();
        const int name = good.indexOf(QStringLiteral("NMPRATO"));
        const QString tooLong = QStringLiteral("Frango à passarinho com açúcar e limão ç!");
        QCOMPARE(tooLong.size(), 41);

        Packet p = good;
        p.fields.removeAt(name);
        for (PacketRow &r : p.rows)
            r.values.removeAt(name);
        QTest::newRow("missing field") << p << "NMPRATO";
        p = good;
        const int order = p.indexOf(QStringLiteral("NRORDPRATCAR"));
        p.fields[order].type = FieldType::Text;
        for (PacketRow &r : p.rows)
            r.values[order] = r.values[order].toString();
        QTest::newRow("wrong column type") << p << "NRORDPRATCAR";
        p = good;
        p.rows[3].values.removeLast();
        QTest::newRow("short row") << p << "cdsCompCardCache";
        p = good;
        p.rows[2].values[name] = tooLong;
        QTest::newRow("41 chars, packet width") << p << "NMPRATO";
        p.fields[name].size = 0;
        QTest::newRow("41 chars, declared width") << p << "NMPRATO";
        p = good;
        p.rows[1].values[good.indexOf(QStringLiteral("VRPECONSCARD"))] = QStringLiteral("1,5");
        QTest::newRow("text in float") << p << "VRPECONSCARD";
        p.rows[1].values[good.indexOf(QStringLiteral("VRPECONSCARD"))] = qQNaN();
        QTest::newRow("NaN in float") << p << "VRPECONSCARD";
        p = good;
        p.rows[1].values[good.indexOf(QStringLiteral("CDPRATO"))] = 12.0;
        QTest::newRow("number in text") << p << "CDPRATO";
        p = good;
        p.rows[1].values[good.indexOf(QStringLiteral("DTCARDAPIO"))] = QStringLiteral("01/03/2024");
        QTest::newRow("text in date") << p << "DTCARDAPIO";
        p = good;
        p.fields.append({QStringLiteral("cdfilial"), FieldType::Text, 4});
        for (PacketRow &r : p.rows)
            r.values.append(QStringLiteral("9"));
        QTest::newRow("duplicate column") << p << "cdfilial";
        p = good;
        p.rows[4].kind = ChangeKind::Insert;
        QTest::newRow("delta") << p << "cdsCompCardCache";
    }

    void refusedPacketLeavesSetAsItWas()
    {
        QFETCH(Packet, packet);
        QFETCH(QString, mention);
        auto rs = cache();
        rs->setFilter(QStringLiteral("CDFILIAL = '1'"));
        rs->setFiltered(true);
        rename(*rs, QStringLiteral("Purê"), QStringLiteral("Purê de batata"));
        const QString error = errorOf([&] { rs->SetData(packet); });
        QVERIFY2(error.contains(mention), qPrintable(error));
        QCOMPARE(current(*rs), QStringLiteral("Purê de batata"));
        QCOMPARE(rs->recNo(), 2);
        QCOMPARE(rs->ChangeCount(), 1);
        QCOMPARE(rs->RecordCount(), 5);
        rs->setFiltered(false);
        QCOMPARE(rs->RecordCount(), 6);
    }

    void changeLog_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<QStringList>("expected");
        const QString feijao = QStringLiteral("Feijão"), sopa = QStringLiteral("Sopa"),
                      bolo = QStringLiteral("Bolo");
        QTest::newRow("modify") << Script([=](RecordSet &rs) { rename(rs, feijao, "Preto"); })
                                << QStringList{"M|Preto|Feijão"};
        QTest::newRow("modify twice") << Script([=](RecordSet &rs) {
            rename(rs, feijao, "A");
            rename(rs, "A", "B");
        }) << QStringList{"M|B|Feijão"};
        QTest::newRow("delete") << Script([=](RecordSet &rs) { remove(rs, sopa); })
                                << QStringList{"D|Sopa"};
        QTest::newRow("edit then delete") << Script([=](RecordSet &rs) {
            rename(rs, sopa, "Sopa fria");
            remove(rs, "Sopa fria");
        }) << QStringList{"D|Sopa"};
        QTest::newRow("insert") << Script([=](RecordSet &rs) { add(rs, bolo); })
                                << QStringList{"I|Bolo"};
        QTest::newRow("insert then delete") << Script([=](RecordSet &rs) {
            add(rs, bolo);
            remove(rs, bolo);
        }) << QStringList{};
        QTest::newRow("insert then edit") << Script([=](RecordSet &rs) {
            add(rs, bolo);
            rename(rs, bolo, "Torta");
        }) << QStringList{"I|Torta"};
        QTest::newRow("edit without change")
            << Script([=](RecordSet &rs) { rename(rs, feijao, feijao); }) << QStringList{};
        QTest::newRow("edit cancelled") << Script([=](RecordSet &rs) {
            at(rs, feijao);
            rs.Edit();
            rs.FieldByName(QStringLiteral("NMPRATO")).setValue(QStringLiteral("X"));
            rs.Cancel();
        }) << QStringList{};
        QTest::newRow("log order") << Script([=](RecordSet &rs) {
            rename(rs, QStringLiteral("Purê"), "Purê misto");
            remove(rs, sopa);
            add(rs, bolo);
        }) << QStringList{"M|Purê misto|Purê", "D|Sopa", "I|Bolo"};
        QTest::newRow("merged, nothing after") << Script([=](RecordSet &rs) {
            rename(rs, feijao, "A");
            add(rs, bolo);
            remove(rs, sopa);
            rs.MergeChangeLog();
        }) << QStringList{};
        QTest::newRow("merged, then modified") << Script([=](RecordSet &rs) {
            rename(rs, feijao, "A");
            rs.MergeChangeLog();
            rename(rs, "A", "B");
        }) << QStringList{"M|B|A"};
        QTest::newRow("merged insert, then deleted") << Script([=](RecordSet &rs) {
            add(rs, bolo);
            rs.MergeChangeLog();
            remove(rs, bolo);
        }) << QStringList{"D|Bolo"};
    }

    void changeLog()
    {
        QFETCH(Script, script);
        QFETCH(QStringList, expected);
        auto rs = cache();
        try {
            script(*rs);
        } catch (const Error &e) {
            QFAIL(e.what());
        }
        const Packet delta = rs->GetDelta();
        QCOMPARE(summary(delta), expected);
        QCOMPARE(rs->ChangeCount(), expected.size());
        QCOMPARE(delta.fields.size(), 13);
        QCOMPARE(delta.isDelta(), !expected.isEmpty());
        checkPacket(QStringLiteral("delta"), delta);
        const int name = delta.indexOf(QStringLiteral("NMPRATO"));
        for (const PacketRow &r : delta.rows) {
            if (r.kind == ChangeKind::Modify) {
                for (int c = 0; c < r.values.size(); ++c)
                    QVERIFY(c == name || r.values.at(c) == r.original.at(c));
            }
            if (r.kind == ChangeKind::Delete && r.values.at(name) == QStringLiteral("Sopa")) {
                QCOMPARE(r.values.at(delta.indexOf(QStringLiteral("CDFILIAL"))), QVariant("2"));
                QCOMPARE(r.values.at(delta.indexOf(QStringLiteral("DTCARDAPIO"))), QVariant(kMar1));
            }
        }
    }

    void locate_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QVariantList>("values");
        QTest::addColumn<bool>("caseInsensitive");
        QTest::addColumn<QString>("found"); // empty: not found

        QTest::newRow("two fields, first in index order")
            << "CDFILIAL;DTCARDAPIO" << QVariantList{"1", kMar1} << false << "Salada";
        QTest::newRow("diet") << "CDDIETPAD" << QVariantList{"D1"} << false << "Salada";
        QTest::newRow("int for float") << "NRORDPRATCAR" << QVariantList{10} << false << "Feijão";
        QTest::newRow("three fields") << "CDFILIAL;NRCARDAPIO;NRORDPRATCAR"
                                      << QVariantList{"2", "0000000001", 1} << false << "Sopa";
        QTest::newRow("field names ignore case")
            << "cdDietPad;nrordpratcar" << QVariantList{"D2", 1.0} << false << "Purê";
        QTest::newRow("same case") << "NRCARDAPIO" << QVariantList{"Ab7"} << false << "Frango";
        QTest::newRow("other case, sensitive")
            << "NRCARDAPIO" << QVariantList{"aB7"} << false << "";
        QTest::newRow("other case, insensitive")
            << "NRCARDAPIO" << QVariantList{"aB7"} << true << "Frango";
        QTest::newRow("accented, insensitive")
            << "NMPRATO" << QVariantList{"FEIJÃO"} << true << "Feijão";
        QTest::newRow("accented, sensitive") << "NMPRATO" << QVariantList{"FEIJÃO"} << false << "";
        QTest::newRow("codes are exact") << "CDFILIAL" << QVariantList{"01"} << true << "";
        QTest::newRow("no such day")
            << "CDFILIAL;DTCARDAPIO" << QVariantList{"2", kMar2} << false << "";
    }

    void locate()
    {
        QFETCH(QString, keys);
        QFETCH(QVariantList, values);
        QFETCH(bool, caseInsensitive);
        QFETCH(QString, found);
        const auto cs = caseInsensitive ? Qt::CaseInsensitive : Qt::CaseSensitive;
        auto rs = cache();
        rs->setRecNo(3);
        QCOMPARE(rs->contains(keys, values, cs), !found.isEmpty());
        QCOMPARE(rs->recNo(), 3);
        QCOMPARE(rs->Locate(keys, values, cs), !found.isEmpty());
        QCOMPARE(current(*rs), found.isEmpty() ? kOrder.at(3) : found);
    }

    void locateHonoursFilter()
    {
        auto rs = cache();
        rs->setFilter(QStringLiteral("CDFILIAL = '2'"));
        rs->setFiltered(true);
        QVERIFY(!rs->contains(QStringLiteral("CDDIETPAD"), {"D1"}));
        QVERIFY(!rs->Locate(QStringLiteral("CDDIETPAD"), {"D1"}));
        QVERIFY(rs->Locate(QStringLiteral("NRORDPRATCAR"), {1}));
        QCOMPARE(current(*rs), QStringLiteral("Sopa"));
        rs->setFiltered(false);
        QVERIFY(rs->Locate(QStringLiteral("NRORDPRATCAR"), {1}));
        QCOMPARE(current(*rs), QStringLiteral("Purê"));
    }

    void insertsKeepTheOrderAndTheCursor()
    {
        // rows come in from the end, from the start and between others, past the
        // capacity the order had
        auto rs = cache();
        QStringList expected = walk(*rs);
        for (const int order : {50, 40, 60, 10, 45, 70, 5, 55, 65, 20, 30, 15, 25, 35, 80, 75}) {
            rs->Insert();
            rs->FieldByName(QStringLiteral("CDFILIAL")).setValue(QStringLiteral("3"));
            rs->FieldByName(QStringLiteral("DTCARDAPIO")).setValue(kMar1);
            rs->FieldByName(QStringLiteral("NRCARDAPIO")).setValue(QStringLiteral("0000000009"));
            rs->FieldByName(QStringLiteral("NRORDPRATCAR")).setValue(order);
            rs->FieldByName(QStringLiteral("NMPRATO")).setValue(QString::number(order + 100));
            rs->Post();
            QCOMPARE(current(*rs), QString::number(order + 100));
            expected.append(QString::number(order + 100));
        }
        std::sort(expected.begin() + 6, expected.end());
        QCOMPARE(walk(*rs), expected);
    }

    void locateFollowsChanges()
    {
        auto rs = cache();
        const QString menu = QStringLiteral("NRCARDAPIO");
        // build the indexes before changing the rows
        QVERIFY(rs->Locate(menu, {"0000000003"}));
        QVERIFY(rs->Locate(menu, {"ab7"}, Qt::CaseInsensitive));
        QVERIFY(rs->Locate(QStringLiteral("CDFILIAL;NRCARDAPIO"), {"1", "0000000003"}));
        rs->Edit();
        rs->FieldByName(menu).setValue(QStringLiteral("Zz"));
        rs->Post();
        QCOMPARE(current(*rs), QStringLiteral("Purê"));
        QVERIFY(!rs->Locate(menu, {"0000000003"}));
        QVERIFY(!rs->contains(menu, {"0000000003"}, Qt::CaseInsensitive));
        QVERIFY(!rs->contains(QStringLiteral("CDFILIAL;NRCARDAPIO"), {"1", "0000000003"}));
        QVERIFY(rs->contains(QStringLiteral("CDFILIAL;NRCARDAPIO"), {"1", "Zz"}));
        QVERIFY(rs->Locate(menu, {"ZZ"}, Qt::CaseInsensitive));
        QCOMPARE(current(*rs), QStringLiteral("Purê"));
        QCOMPARE(walk(*rs),
                 (QStringList{"Salada", "Feijão", "Frango", "Purê", "Pão d'água", "Sopa"}));

        add(*rs, QStringLiteral("Bolo"));
        rs->First();
        QVERIFY(rs->Locate(menu, {"0000000009"}));
        QCOMPARE(current(*rs), QStringLiteral("Bolo"));
        rs->Delete();
        QVERIFY(!rs->contains(menu, {"0000000009"}));

        // deleting the first match uncovers the next one in index order
        for (const char *name : {"Salada", "Feijão", "Sopa"}) {
            QVERIFY(rs->Locate(menu, {"0000000001"}));
            QCOMPARE(current(*rs), QString::fromUtf8(name));
            rs->Delete();
        }
        QVERIFY(!rs->Locate(menu, {"0000000001"}));

        // a row moved onto another's key is found first when it sorts first
        QVERIFY(rs->Locate(QStringLiteral("DTCARDAPIO"), {kMar2}));
        rs->Edit();
        rs->FieldByName(QStringLiteral("DTCARDAPIO")).setValue(kMar1);
        rs->FieldByName(menu).setValue(QStringLiteral("0"));
        rs->Post();
        QVERIFY(!rs->contains(QStringLiteral("DTCARDAPIO"), {kMar2}));
        QVERIFY(rs->Locate(QStringLiteral("DTCARDAPIO"), {kMar1}));
        QCOMPARE(current(*rs), QStringLiteral("Pão d'água"));
        QVERIFY(rs->Locate(menu, {"0"}));
    }

    void filter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("branch and day")
            << "CDFILIAL = '1' AND DTCARDAPIO = '01/03/2024'" << kOrder.mid(0, 4);
        QTest::newRow("three terms, lower-case and")
            << "CDFILIAL = '1' and DTCARDAPIO = '01/03/2024' AND CDDIETPAD = 'D2'"
            << QStringList{"Purê"};
        QTest::newRow("code, exact case") << "NRCARDAPIO = 'Ab7'" << QStringList{"Frango"};
        QTest::newRow("code, other case") << "NRCARDAPIO = 'AB7'" << QStringList{};
        QTest::newRow("code with leading zero") << "CDFILIAL = '01'" << QStringList{};
        QTest::newRow("quote inside literal")
            << QStringLiteral("NMPRATO = ") + QuotedStr(QStringLiteral("Pão d'água"))
            << QStringList{"Pão d'água"};
        QTest::newRow("number") << "NRORDPRATCAR = 10" << QStringList{"Feijão"};
        QTest::newRow("quoted number") << "NRORDPRATCAR = '2'" << QStringList{"Salada"};
        QTest::newRow("midnight") << "DTCARDAPIO = '02/03/2024 00:00:00'"
                                  << QStringList{"Pão d'água"};
        QTest::newRow("time of day") << "DTCARDAPIO = '02/03/2024 10:30'" << QStringList{};
        QTest::newRow("nothing") << "CDFILIAL = '9'" << QStringList{};
    }

    void filter()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        auto rs = cache();
        rs->setFilter(text);
        QCOMPARE(rs->RecordCount(), 6); // not applied until the flag is set
        rs->setRecNo(4);
        rs->setFiltered(true);
        QCOMPARE(rs->RecordCount(), expected.size());
        QCOMPARE(rs->Eof(), expected.isEmpty());
        QCOMPARE(rs->IsEmpty(), expected.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(current(*rs), expected.first());
        QCOMPARE(walk(*rs), expected);
        rs->SetData(cachePacket()); // keeps the filter
        QCOMPARE(walk(*rs), expected);
        rs->setFiltered(false);
        QCOMPARE(rs->recNo(), 0);
        QCOMPARE(walk(*rs), kOrder);
    }

    void filterReplacedWhileFiltered()
    {
        auto rs = cache();
        rs->setFilter(QStringLiteral("CDDIETPAD = 'D2'"));
        rs->setFiltered(true);
        rs->Next();
        rs->setFilter(QStringLiteral("CDDIETPAD = 'D1' AND NRORDPRATCAR = 1"));
        QCOMPARE(rs->recNo(), 0);
        QCOMPARE(walk(*rs), (QStringList{"Frango", "Pão d'água"}));
        rename(*rs, QStringLiteral("Frango"), QStringLiteral("Frango assado"));
        QCOMPARE(walk(*rs), (QStringList{"Frango assado", "Pão d'água"}));
        at(*rs, QStringLiteral("Pão d'água"));
        rs->Edit();
        rs->FieldByName(QStringLiteral("CDDIETPAD")).setValue(QStringLiteral("D3"));
        rs->Post();
        QCOMPARE(walk(*rs), QStringList{"Frango assado"});
        rs->setFilter(QString());
        QCOMPARE(rs->RecordCount(), 6);
    }

    void badFilter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("missing quote") << "CDFILIAL = '1";
        QTest::newRow("stray quote") << "CDFILIAL = 1'";
        QTest::newRow("missing =") << "CDFILIAL '1'";
        QTest::newRow("unknown field") << "CDFILIALX = '1'";
        QTest::newRow("AND at the end") << "CDFILIAL = '1' AND";
        QTest::newRow("AND at the start") << "AND CDFILIAL = '1'";
        QTest::newRow("AND AND") << "CDFILIAL = '1' AND AND CDDIETPAD = 'D1'";
        QTest::newRow("OR") << "CDFILIAL = '1' OR CDFILIAL = '2'";
        QTest::newRow("float not a number") << "NRORDPRATCAR = 'dez'";
        QTest::newRow("float with two points") << "NRORDPRATCAR = 1.2.3";
        QTest::newRow("ISO date") << "DTCARDAPIO = '2024-03-01'";
        QTest::newRow("impossible date") << "DTCARDAPIO = '31/02/2024'";
    }

    void badFilter()
    {
        QFETCH(QString, text);
        auto rs = cache();
        const QString before = QStringLiteral("CDFILIAL = '2'");
        rs->setFilter(before);
        rs->setFiltered(true);
        QVERIFY_THROWS_EXCEPTION(Error, rs->setFilter(text));
        QCOMPARE(rs->filter(), before);
        QCOMPARE(walk(*rs), QStringList{"Sopa"});
    }

    void deleteWhileWalking_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("diet D1") << "CDDIETPAD"
                                 << "D1" << QStringList{"Purê", "Sopa"};
        QTest::newRow("diet D2") << "CDDIETPAD"
                                 << "D2" << QStringList{"Salada", "Feijão", "Frango", "Pão d'água"};
        QTest::newRow("branch 1") << "CDFILIAL"
                                  << "1" << QStringList{"Sopa"};
        QTest::newRow("last row") << "CDFILIAL"
                                  << "2" << kOrder.mid(0, 5);
        QTest::newRow("all") << "CDSERVFILI"
                             << "00001" << QStringList{};
    }

    void deleteWhileWalking()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QStringList, left);
        auto rs = cache();
        rs->First();
        while (!rs->Eof()) {
            if (rs->FieldByName(field).asString() == value)
                rs->Delete();
            else
                rs->Next();
        }
        QCOMPARE(walk(*rs), left);
        QCOMPARE(rs->ChangeCount(), 6 - left.size());
        for (const PacketRow &r : rs->GetDelta().rows)
            QCOMPARE(r.kind, ChangeKind::Delete);
    }

    void calculatedField()
    {
        RecordSet rs(QStringLiteral("cdsTemCard"));
        QList<QVariantMap> rows;
        for (int day = 1; day <= 3; ++day)
            rows.append(QVariantMap{{QStringLiteral("DTDATA"), shortDate(QDate(2024, 3, day))},
                                    {QStringLiteral("DTCARDAPIO"), QDate(2024, 3, day)}});
        rs.SetData(makePacket(QStringLiteral("cdsTemCard"), rows));
        int calls = 0;
        rs.setOnCalcFields([&calls](RecordSet &r) {
            ++calls;
            r.FieldByName(QStringLiteral("DiaSemana"))
                .setValue(shortWeekdayName(r.FieldByName(QStringLiteral("DTCARDAPIO")).asDate()));
        });
        const QStringList days = {QStringLiteral("sex"), QStringLiteral("sáb"),
                                  QStringLiteral("dom")};
        QCOMPARE(walk(rs, "DiaSemana"), days);
        QVERIFY(calls >= 3);

        rs.First();
        rs.Edit();
        rs.FieldByName(QStringLiteral("DTDATA")).setValue(QStringLiteral("04/03/2024"));
        rs.Post();
        QCOMPARE(current(rs, "DiaSemana"), days.at(0));
        const int calc = rs.fieldIndex(QStringLiteral("DiaSemana"));
        QCOMPARE(rs.valueAt(1, calc).toString(), days.at(1));
        QCOMPARE(rs.valueAt(2, calc).toString(), days.at(2));
        QCOMPARE(current(rs, "DiaSemana"), days.at(0));

        rs.Edit();
        rs.FieldByName(QStringLiteral("DTCARDAPIO")).setValue(QDate(2024, 3, 4));
        QCOMPARE(current(rs, "DiaSemana"), QStringLiteral("seg"));
        rs.Post();
        QCOMPARE(current(rs, "DiaSemana"), QStringLiteral("seg"));
        QVERIFY_THROWS_EXCEPTION(Error, rs.FieldByName(QStringLiteral("DiaSemana")).setValue("x"));

        // a cancelled change leaves no trace in the calculated value
        rs.Edit();
        rs.FieldByName(QStringLiteral("DTCARDAPIO")).setValue(QDate(2024, 3, 5));
        QCOMPARE(current(rs, "DiaSemana"), QStringLiteral("ter"));
        rs.Cancel();
        QCOMPARE(current(rs, "DiaSemana"), QStringLiteral("seg"));
        rs.Insert();
        rs.FieldByName(QStringLiteral("DTCARDAPIO")).setValue(QDate(2024, 3, 6));
        QCOMPARE(current(rs, "DiaSemana"), QStringLiteral("qua"));
        rs.Cancel();
        QCOMPARE(current(rs, "DiaSemana"), QStringLiteral("seg"));
    }

    void widthsCountCharacters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("fits");
        const QString accents = QStringLiteral("ÇÃÕÉ").repeated(10);
        const QString smile = QString::fromUcs4(U"\U0001F600");
        QTest::newRow("40 accented") << accents << true;
        QTest::newRow("41 accented") << accents + QStringLiteral("Á") << false;
        QTest::newRow("39 and a surrogate pair") << accents.left(39) + smile << true;
        QTest::newRow("40 and a surrogate pair") << accents + smile << false;
    }

    void widthsCountCharacters()
    {
        QFETCH(QString, name);
        QFETCH(bool, fits);
        RecordSet rs(QStringLiteral("cdsCompCardCache"));
        rs.SetData(Packet::forLayout(rs.layout()));
        rs.Insert();
        if (fits) {
            rs.FieldByName(QStringLiteral("NMPRATO")).setValue(name);
            QCOMPARE(rs.FieldByName(QStringLiteral("NMPRATO")).asString(), name);
        } else {
            QVERIFY_THROWS_EXCEPTION(Error,
                                     rs.FieldByName(QStringLiteral("NMPRATO")).setValue(name));
        }
    }

    // a code typed into an edit is padded with zeros to its column's width
    void codesArePaddedToTheirWidth_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("code");
        QTest::newRow("one digit") << "1"
                                   << "00001";
        QTest::newRow("blanks around") << " 12 "
                                       << "00012";
        QTest::newRow("full width") << "00123"
                                    << "00123";
        QTest::newRow("longer stays") << "123456"
                                      << "123456";
        QTest::newRow("letters") << "A"
                                 << "0000A";
        QTest::newRow("an accent is one character")
            << QStringLiteral("Ç1") << QStringLiteral("000Ç1");
        QTest::newRow("blanks only") << "   "
                                     << "00000";
    }

    void codesArePaddedToTheirWidth()
    {
        QFETCH(QString, typed);
        QFETCH(QString, code);
        const int width = codeWidth(QStringLiteral("CDSERVFILI"));
        QCOMPARE(Ajusta(typed, width), code);
        QCOMPARE(Ajusta(code, width), code); // a padded code is padded already
    }

    // the list of diets every menu call carries, and what it names
    void dietLists_data()
    {
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("notNamed");
        QTest::newRow("one") << QStringList{"0001"} << "_0001_"
                             << "0002";
        QTest::newRow("two in their order") << QStringList{"0003", "0001"} << "_0003_0001_"
                                            << "0002";
        QTest::newRow("none") << QStringList{} << "_"
                              << "0001";
        QTest::newRow("part of a code is not named") << QStringList{"0001", "0010"} << "_0001_0010_"
                                                     << "001";
        QTest::newRow("the empty code is not named") << QStringList{"0001"} << "_0001_"
                                                     << "";
    }

    void dietLists()
    {
        QFETCH(QStringList, codes);
        QFETCH(QString, list);
        QFETCH(QString, notNamed);
        QCOMPARE(dietList(codes), list);
        QCOMPARE(dietListCodes(list), codes);
        for (const QString &code : codes)
            QVERIFY2(dietListNames(list, code), qPrintable(code));
        QVERIFY(!dietListNames(list, notNamed));
    }

    void dietCodes_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("fits");
        QTest::newRow("four digits") << "0001" << true;
        QTest::newRow("one") << "1" << true;
        QTest::newRow("four accented") << QStringLiteral("ÇÃÕÉ") << true;
        QTest::newRow("five") << "00001" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("the list's mark") << "0_01" << false;
    }

    void dietCodes()
    {
        QFETCH(QString, code);
        QFETCH(bool, fits);
        QCOMPARE(isDietCode(code), fits);
        // a code that fits is named by a list of it alone
        if (fits)
            QVERIFY(dietListNames(dietList({code}), code));
    }

    void fieldErrors()
    {
        RecordSet rs(QStringLiteral("cdsCardaDia"));
        rs.SetData(makePacket(QStringLiteral("cdsCardaDia"), {kBranch1}));
        QString error = errorOf([&] { rs.FieldByName(QStringLiteral("QTESTITURNO5")); });
        QVERIFY2(error.contains(QLatin1String("QTESTITURNO5")), qPrintable(error));
        QVERIFY(errorOf([&] {
                    rs.Locate(QStringLiteral("QTESTITURNO5"), {1});
                }).contains(QLatin1String("QTESTITURNO5")));
        QVERIFY(
            !errorOf([&] { rs.FieldByName(QStringLiteral("CDFILIAL")).setValue("2"); }).isEmpty());
        QCOMPARE(current(rs, "CDFILIAL"), QStringLiteral("1"));
        rs.Edit();
        error = errorOf([&] { rs.FieldByName(QStringLiteral("CDFILIAL")).setValue("12345"); });
        QVERIFY2(error.contains(QLatin1String("CDFILIAL")), qPrintable(error));
        QCOMPARE(current(rs, "CDFILIAL"), QStringLiteral("1"));
        rs.Post();
        QCOMPARE(rs.ChangeCount(), 0);
    }

    void controlsHoldBackSignals()
    {
        auto rs = cache();
        QSignalSpy spy(rs.get(), &RecordSet::contentChanged);
        rs->DisableControls();
        rs->DisableControls();
        rs->SetData(cachePacket());
        remove(*rs, QStringLiteral("Sopa"));
        add(*rs, QStringLiteral("Bolo"));
        rs->setFilter(QStringLiteral("CDFILIAL = '1'"));
        rs->setFiltered(true);
        QCOMPARE(spy.count(), 0);
        rs->EnableControls();
        QCOMPARE(spy.count(), 0);
        QVERIFY(rs->controlsDisabled());
        rs->EnableControls();
        QCOMPARE(spy.count(), 1);
        rs->EnableControls();
        rs->DisableControls();
        rs->EnableControls();
        QCOMPARE(spy.count(), 1);
        rs->Delete();
        QCOMPARE(spy.count(), 2);
    }
};

QTEST_GUILESS_MAIN(TestRecordSet)
#include "tst_recordset.moc"
