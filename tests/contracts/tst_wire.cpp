#include "callmetadata.h"
#include "error.h"
#include "jsonvalue.h"
#include "signatures.h"
#include "wire.h"

#include <QJsonDocument>
#include <QtTest>

using namespace zov;

namespace {

// Equal values of the same kind; packets column by column and row by row.
bool same(const QVariant &a, const QVariant &b)
{
    if (a.isValid() != b.isValid() || (a.isValid() && a.typeId() != b.typeId()))
        return false;
    if (!a.isValid())
        return true;
    if (a.typeId() == QMetaType::QVariantList) {
        const QVariantList x = a.toList(), y = b.toList();
        return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), same);
    }
    if (a.typeId() != qMetaTypeId<Packet>())
        return a == b;
    const Packet p = a.value<Packet>(), q = b.value<Packet>();
    if (p.fields.size() != q.fields.size() || p.rows.size() != q.rows.size())
        return false;
    for (int i = 0; i < p.fields.size(); ++i) {
        const PacketField &f = p.fields.at(i), &g = q.fields.at(i);
        if (f.name != g.name || f.type != g.type || f.size != g.size)
            return false;
    }
    for (int i = 0; i < p.rows.size(); ++i) {
        const PacketRow &r = p.rows.at(i), &s = q.rows.at(i);
        if (r.kind != s.kind || !same(r.values, s.values) || !same(r.original, s.original))
            return false;
    }
    return true;
}

// Through the protobuf message and its serialized bytes.
QVariant viaWire(const QVariant &value)
{
    rpc::Value out;
    toWire(value, &out);
    rpc::Value in;
    if (!in.ParseFromString(out.SerializeAsString()))
        throw Error(QStringLiteral("unparsable"));
    return fromWire(in);
}

Packet menuDelta()
{
    Packet p;
    p.fields = {{QStringLiteral("CDFILIAL"), FieldType::Text, 4},
                {QStringLiteral("DTCARDAPIO"), FieldType::Date, 0},
                {QStringLiteral("NMPRATO"), FieldType::Text, 10},
                {QStringLiteral("NRORDPRATCAR"), FieldType::Float, 0}};
    const QDate day(2024, 3, 31);
    p.rows.append(PacketRow{{"1", day, QStringLiteral("Purê çãõ"), 1.0}, ChangeKind::Insert, {}});
    p.rows.append(PacketRow{{"1", day, QStringLiteral("Feijão"), 2.5},
                            ChangeKind::Modify,
                            {"1", QDate(2024, 2, 29), QVariant(), 2.0}});
    p.rows.append(PacketRow{{"2", day, QVariant(), -3.0}, ChangeKind::Delete, {}});
    return p;
}

rpc::Value wirePacket()
{
    rpc::Value v;
    toWire(menuDelta(), v.mutable_packet());
    return v;
}

// A menu's plain rows of every column type, with nulls.
Packet menuRows()
{
    Packet p = menuDelta();
    for (PacketRow &r : p.rows) {
        r.kind = ChangeKind::None;
        r.original.clear();
    }
    p.rows[1].values[1] = QVariant();
    return p;
}

// The same sent column by column.
rpc::Value wireColumns(PacketForm form = PacketForm::Columns)
{
    rpc::Value v;
    Packet p = menuRows();
    moveToWire(p, v.mutable_packet(), form);
    return v;
}

} // namespace

class TestWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void value_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariant>("expected");
        QTest::addColumn<bool>("columns");   // asked for
        QTest::addColumn<bool>("inColumns"); // the packet went in them
        const QVariant date = QDate(2024, 3, 31);
        Packet plain;
        plain.fields = {{QStringLiteral("DTCARDAPIO"), FieldType::Date, 0}};
        // a day repeated, a null, then another day: a column writes each day of a run once
        plain.rows = {{{date}, ChangeKind::None, {}},
                      {{date}, ChangeKind::None, {}},
                      {{QVariant()}, ChangeKind::None, {}},
                      {{QDate(2024, 4, 1)}, ChangeKind::None, {}}};
        const QVariant packet = QVariant::fromValue(plain);
        const QVariant text = QStringLiteral("Cardápio de sábado, ç");
        QTest::newRow("null") << QVariant() << QVariant() << false << false;
        QTest::newRow("text") << text << text << false << false;
        QTest::newRow("empty text") << QVariant(QString()) << QVariant(QString()) << false << false;
        QTest::newRow("number") << QVariant(-1234.5625) << QVariant(-1234.5625) << false << false;
        QTest::newRow("int") << QVariant(7) << QVariant(7.0) << false << false;
        QTest::newRow("date") << date << date << false << false;
        QTest::newRow("day zero") << QVariant(QDate(1899, 12, 30)) << QVariant(QDate(1899, 12, 30))
                                  << false << false;
        QTest::newRow("date and time")
            << QVariant(QDateTime(QDate(2024, 3, 31), QTime(23, 59))) << date << false << false;
        QTest::newRow("packet") << packet << packet << false << false;
        QTest::newRow("delta") << QVariant::fromValue(menuDelta())
                               << QVariant::fromValue(menuDelta()) << false << false;
        const QVariant array = QVariantList{text,
                                            2.0,
                                            QVariant(),
                                            date,
                                            QVariant(QVariantList{QVariant(QVariantList{packet})}),
                                            QVariantList{}};
        QTest::newRow("array") << array << array << false << false;
        const QVariant rows = QVariant::fromValue(menuRows());
        QTest::newRow("packet in columns") << packet << packet << true << true;
        QTest::newRow("text, date, number and nulls in columns") << rows << rows << true << true;
        QTest::newRow("packets in an array in columns")
            << QVariant(QVariantList{rows, text, packet})
            << QVariant(QVariantList{rows, text, packet}) << true << false;
        QTest::newRow("delta asked in columns goes in rows")
            << QVariant::fromValue(menuDelta()) << QVariant::fromValue(menuDelta()) << true
            << false;
    }

    void value()
    {
        QFETCH(QVariant, value);
        QFETCH(QVariant, expected);
        QFETCH(bool, columns);
        QFETCH(bool, inColumns);
        // both column forms, a column's texts one a row and joined in one string
        for (const PacketForm form : {PacketForm::Columns, PacketForm::JoinedTexts}) {
            rpc::Value out;
            QVariant sent = value;
            moveToWire(sent, &out, columns ? form : PacketForm::Rows);
            rpc::Value in;
            QVERIFY(in.ParseFromString(out.SerializeAsString()));
            QCOMPARE(in.has_packet() && in.packet().columns_size() > 0, inColumns);
            if (inColumns)
                QCOMPARE(in.packet().columns(0).ends_size() > 0, form == PacketForm::JoinedTexts);
            const QVariant taken = takeFromWire(&in);
            QVERIFY2(same(taken, expected), qPrintable(taken.typeName()));
        }
        const QVariant back = viaWire(value);
        QVERIFY2(same(back, expected), qPrintable(back.typeName()));
        QVERIFY(same(fromJson(toJson(expected)), expected));
    }

    void packetRoundTrip()
    {
        rpc::Packet out;
        toWire(menuDelta(), &out);
        QCOMPARE(out.rows(1).kind(), rpc::MODIFY);
        QCOMPARE(out.rows(1).original_size(), 4);
        QCOMPARE(out.rows(0).values(2).text(), std::string("Purê çãõ"));
        QCOMPARE(out.rows(0).values(1).date(), std::string("2024-03-31"));
        const Packet back = fromWire(out);
        QVERIFY(back.isDelta());
        QVERIFY(same(QVariant::fromValue(back), QVariant::fromValue(menuDelta())));
        Packet changed = back; // a null original and an empty text are different values
        changed.rows[1].original[2] = QString();
        QVERIFY(!same(QVariant::fromValue(changed), QVariant::fromValue(back)));
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // a serialized rpc::Value
        QTest::addColumn<QString>("mention");
        const auto add = [](const char *tag, const rpc::Value &v, const char *mention = "") {
            QTest::newRow(tag) << QByteArray::fromStdString(v.SerializeAsString())
                               << QString::fromUtf8(mention);
        };
        add("no kind", rpc::Value());
        rpc::Value v;
        v.set_date("2024-02-30");
        add("30 February", v, "2024-02-30");
        v.set_date("31/03/2024");
        add("not ISO", v, "31/03/2024");
        v.set_date("");
        add("empty date", v);
        v = wirePacket();
        v.mutable_packet()->mutable_fields(3)->set_type("int");
        add("field type", v, "NRORDPRATCAR");
        v = wirePacket();
        v.mutable_packet()->mutable_fields(0)->set_name("");
        add("field without name", v);
        v = wirePacket();
        v.mutable_packet()->mutable_fields(0)->set_name("nmprato");
        add("duplicate field", v, "NMPRATO");
        v = wirePacket();
        v.mutable_packet()->mutable_rows(0)->set_kind(static_cast<rpc::ChangeKind>(7));
        add("change kind 7", v);
        v = wirePacket();
        v.mutable_packet()->mutable_rows(2)->add_values()->set_text("x");
        add("long row", v);
        v = wirePacket();
        v.mutable_packet()->mutable_rows(1)->mutable_original()->RemoveLast();
        add("short original", v);
        v = wirePacket();
        v.mutable_packet()->mutable_rows(1)->clear_original();
        add("modify without original", v);
        v = wirePacket();
        *v.mutable_packet()->mutable_rows(2)->add_original() = v.packet().rows(2).values(0);
        add("delete with original", v);
        v = wirePacket();
        v.mutable_packet()->mutable_rows(0)->mutable_values(2)->set_text("Purê çãõ 123");
        add("text over size", v, "NMPRATO");
        v = wirePacket();
        v.mutable_packet()->mutable_rows(1)->mutable_original(0)->set_text("12345");
        add("original over size", v, "CDFILIAL");
        v = wirePacket();
        v.mutable_packet()->mutable_rows(0)->mutable_values(3)->set_text("1,5");
        add("text in float column", v, "NRORDPRATCAR");
        v = wirePacket();
        v.mutable_packet()->mutable_rows(0)->mutable_values(1)->set_number(45382);
        add("number in date column", v, "DTCARDAPIO");
        v = wirePacket();
        v.mutable_packet()->mutable_rows(0)->mutable_values(0)->mutable_array();
        add("array cell", v);
        v = wirePacket();
        *v.mutable_packet()->mutable_rows(0)->mutable_values(0)->mutable_packet() =
            wirePacket().packet();
        add("packet cell", v);
        v = wirePacket();
        v.mutable_packet()->mutable_rows(0)->mutable_values(0)->Clear();
        add("cell without kind", v);
        v = wireColumns();
        v.mutable_packet()->mutable_columns()->RemoveLast();
        add("a column short", v, "3");
        v = wireColumns();
        v.mutable_packet()->mutable_columns(2)->mutable_texts()->RemoveLast();
        add("a value short in a column", v, "NMPRATO");
        v = wireColumns();
        v.mutable_packet()->mutable_columns(3)->add_texts("1");
        add("text in a float column", v, "NRORDPRATCAR");
        v = wireColumns();
        v.mutable_packet()->mutable_columns(2)->set_nulls(std::string(2, '\0'));
        add("nulls of two rows for three", v, "NMPRATO");
        v = wireColumns();
        v.mutable_packet()->mutable_columns(1)->set_texts(0, "2024-02-30");
        add("bad date in a column", v, "2024-02-30");
        v = wireColumns();
        v.mutable_packet()->mutable_columns(0)->set_texts(0, "12345");
        add("text over size in a column", v, "CDFILIAL");
        v = wireColumns(PacketForm::JoinedTexts);
        v.mutable_packet()->mutable_columns(2)->set_ends(0, 40);
        add("joined texts out of order", v, "NMPRATO");
        v = wireColumns(PacketForm::JoinedTexts);
        v.mutable_packet()->mutable_columns(2)->set_ends(2, 500);
        add("joined texts past their string", v, "NMPRATO");
        v = wireColumns(PacketForm::JoinedTexts);
        v.mutable_packet()->mutable_columns(2)->mutable_ends()->RemoveLast();
        add("a joined text short", v, "NMPRATO");
        v = wireColumns(PacketForm::JoinedTexts);
        v.mutable_packet()->mutable_columns(2)->add_texts("Arroz");
        add("texts beside joined ones", v, "NMPRATO");
        v = wireColumns(PacketForm::JoinedTexts);
        v.mutable_packet()->mutable_columns(3)->set_joined("1");
        add("joined texts in a float column", v, "NRORDPRATCAR");
        v = wireColumns();
        *v.mutable_packet()->add_rows() = wirePacket().packet().rows(0);
        add("rows beside columns", v);
        v = wireColumns();
        v.mutable_packet()->set_row_count(0x7ffffff0); // more rows than the columns hold
        add("a row count past its columns", v, "CDFILIAL");
        v = rpc::Value();
        v.mutable_packet()->set_row_count(0x7ffffff0); // rows without a field
        add("rows without columns", v);
        rpc::Value deep;
        deep.set_number(1);
        for (int i = 0; i < 40; ++i) {
            rpc::Value outer;
            *outer.mutable_array()->add_values() = deep;
            deep = outer;
        }
        add("deep nesting", deep);
        rpc::Value list;
        *list.mutable_array()->add_values() = wirePacket();
        list.mutable_array()->add_values()->set_date("2024-13-01");
        add("bad date in array", list, "2024-13-01");
    }

    void refused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, mention);
        rpc::Value v;
        QVERIFY(v.ParseFromArray(bytes.constData(), static_cast<int>(bytes.size())));
        QString error;
        try {
            fromWire(v);
        } catch (const Error &e) {
            error = e.text();
        }
        QVERIFY2(!error.isEmpty() && !error.startsWith(u'['), qPrintable(error));
        QVERIFY2(error.contains(mention), qPrintable(error));
    }

    void shallowNesting()
    {
        QVariant v = QStringLiteral("fundo");
        for (int i = 0; i < 5; ++i)
            v = QVariantList{v};
        QVERIFY(same(viaWire(v), v));
    }

    void json()
    {
        const QVariant delta = QVariant::fromValue(menuDelta());
        const QJsonValue json = toJson(delta);
        const QByteArray text = QJsonDocument(json.toObject()).toJson();
        QVERIFY(text.contains("\"kind\": \"modify\""));
        QVERIFY(text.contains("\"date\": \"2024-03-31\""));
        const QVariant back = fromJson(QJsonDocument::fromJson(text).object());
        QVERIFY(same(back, delta));
        QVERIFY(same(fromJson(QJsonDocument::fromJson(R"({"date": "2024-02-29"})").object()),
                     QDate(2024, 2, 29)));
        QVERIFY_THROWS_EXCEPTION(
            Error, fromJson(QJsonDocument::fromJson(R"({"date": "2024-02-30"})").object()));
        QVERIFY_THROWS_EXCEPTION(Error, fromJson(QJsonValue(true)));
    }

    // what travels as gRPC metadata is printable ASCII, and reads back as it was
    void metadataValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("plain") << "PLANEJADOR" << QByteArray("PLANEJADOR");
        QTest::newRow("blanks and signs") << "a b-c_d/e:f" << QByteArray("a b-c_d/e:f");
        QTest::newRow("an accent") << QStringLiteral("JOÃO") << QByteArray("JO%C3%83O");
        QTest::newRow("the escape itself") << "50%" << QByteArray("50%25");
        QTest::newRow("a tab") << "a\tb" << QByteArray("a%09b");
        QTest::newRow("a line break") << "a\nb" << QByteArray("a%0Ab");
        QTest::newRow("DEL") << "\x7f" << QByteArray("%7F");
        QTest::newRow("a surrogate pair")
            << QString::fromUcs4(U"\U0001F600") << QByteArray("%F0%9F%98%80");
        QTest::newRow("empty") << "" << QByteArray();
    }

    void metadataValues()
    {
        QFETCH(QString, value);
        QFETCH(QByteArray, sent);
        const QByteArray encoded = encodeMetadataValue(value);
        QCOMPARE(encoded, sent);
        for (const char c : encoded)
            QVERIFY(c >= 0x20 && c <= 0x7e);
        QCOMPARE(decodeMetadataValue(encoded), value);
    }

    void arguments_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("args");
        QTest::addColumn<QString>("mention"); // empty: accepted
        const QDate d(2024, 3, 1), e(2024, 3, 31);
        const QString longest(kMaxTextArgument, u'X');
        const QString tooLong(kMaxTextArgument + 1, u'X');
        const QVariant delta = QVariant::fromValue(menuDelta());
        QTest::newRow("correct") << "GetCardOrigem" << QVariantList{"1", "00001", d, e, "D1,D2"}
                                 << "";
        QTest::newRow("longest list")
            << "GetCardOrigem" << QVariantList{"1", "00001", d, e, longest} << "";
        QTest::newRow("empty texts") << "GetPesqConfDestino" << QVariantList{"", "", d} << "";
        QTest::newRow("deltas") << "SetImportacao" << QVariantList{delta, delta} << "";
        QTest::newRow("no changes") << "SetImportacao" << QVariantList{QVariant(), delta} << "";
        QTest::newRow("list too long")
            << "GetCardOrigem" << QVariantList{"1", "00001", d, e, tooLong} << "ListaDietas";
        QTest::newRow("missing") << "GetCardOrigem" << QVariantList{"1", "00001", d, e}
                                 << "GetCardOrigem";
        QTest::newRow("extra") << "Data" << QVariantList{d, e, "1", "00001", "x"} << "Data";
        QTest::newRow("none") << "GetComensais" << QVariantList{} << "GetComensais";
        QTest::newRow("null text")
            << "GetCardOrigem" << QVariantList{QVariant(), "00001", d, e, ""} << "CdFilial";
        QTest::newRow("number for text")
            << "GetComensais" << QVariantList{"1", 1.0, "D1", d} << "CdServFili";
        QTest::newRow("text for date")
            << "GetComensais" << QVariantList{"1", "00001", "D1", "01/03/2024"} << "DtCardapio";
        QTest::newRow("null date")
            << "Data" << QVariantList{d, QVariant(), "1", "00001"} << "DtFinal";
        QTest::newRow("invalid date")
            << "Data" << QVariantList{QDate(), e, "1", "00001"} << "DtInicial";
        QTest::newRow("text for delta")
            << "SetImportacao" << QVariantList{QVariant(), "delta"} << "DeltaCompCard";
        QTest::newRow("array for delta")
            << "SetImportacao" << QVariantList{QVariant(QVariantList{delta}), QVariant()}
            << "DeltaCardaDia";
    }

    void arguments()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, args);
        QFETCH(QString, mention);
        const MethodSignature *signature = findSignature(method);
        QVERIFY(signature);
        const QString error = checkArguments(*signature, args);
        QCOMPARE(error.isEmpty(), mention.isEmpty());
        if (!mention.isEmpty()) {
            QVERIFY2(error.contains(mention), qPrintable(error));
            QVERIFY2(!error.startsWith(u'[') && !error.contains(u'%'), qPrintable(error));
        }
    }
};

QTEST_GUILESS_MAIN(TestWire)
#include "tst_wire.moc"
