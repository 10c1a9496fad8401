// The application server end to end: a real SQLite file, the server on a loopback
// port and the screen's own connection (or a bare gRPC stub where the exact status
// of a refused call matters).

#include "appserver.grpc.pb.h"
#include "batchprotocol.h"
#include "callmetadata.h"
#include "error.h"
#include "operators.h"
#include "packet.h"
#include "recordset.h"
#include "rpcconnection.h"
#include "signatures.h"
#include "testdatabase.h"
#include "wire.h"

#include <QSet>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <future>
#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

using namespace zov;
using zov::test::TestDatabase;
using zov::test::TestServer;

namespace {

const QString kBranch = "0001";
const QString kService = "00001";
const QString kOtherService = "00002";

QDate day(int month, int d)
{
    return QDate(2024, month, d);
}

// A cell as text for comparing rows: dates ISO, numbers without trailing zeros.
QString cell(const QVariant &v)
{
    if (!v.isValid() || v.isNull())
        return "<null>";
    if (v.typeId() == QMetaType::QDate)
        return v.toDate().toString(Qt::ISODate);
    if (v.typeId() == QMetaType::Double)
        return QString::number(v.toDouble());
    return v.toString();
}

// The named columns of every row of a packet, each row as "v1|v2|...".
QStringList rows(const Packet &packet, const QStringList &names)
{
    QStringList result;
    for (const PacketRow &row : packet.rows) {
        QStringList cells;
        for (const QString &name : names) {
            const int c = packet.indexOf(name);
            cells.append(c < 0 ? QString("<no %1>").arg(name) : cell(row.values.at(c)));
        }
        result.append(cells.join(QLatin1Char('|')));
    }
    return result;
}

// The packet of an answer, after loading it into the record set of its layout as
// the screen does (which refuses a missing field or a value of another type).
Packet loaded(const QVariant &answer, const QString &layoutName)
{
    if (answer.typeId() != qMetaTypeId<Packet>())
        throw Error(
            QString("%1: the answer is not a packet: %2").arg(layoutName, answer.toString()));
    const Packet packet = answer.value<Packet>();
    RecordSet rs(layoutName);
    rs.SetData(packet);
    if (rs.RecordCount() != packet.rows.size())
        throw Error(QString("%1: %2 rows loaded of %3")
                        .arg(layoutName)
                        .arg(rs.RecordCount())
                        .arg(packet.rows.size()));
    return packet;
}

std::string wireBytes(const QVariant &value)
{
    rpc::Value v;
    toWire(value, &v);
    return v.SerializeAsString();
}

rpc::Call makeCall(const QString &method, const QVariantList &args)
{
    rpc::Call call;
    call.set_method(method.toStdString());
    for (const QVariant &arg : args)
        toWire(arg, call.add_args());
    return call;
}

// One call through a bare stub, without the client's checks or size limits.
grpc::Status rawInvoke(int port, const rpc::Call &call, rpc::Reply *reply = nullptr,
                       const std::map<std::string, std::string> &metadata = {})
{
    grpc::ChannelArguments arguments;
    arguments.SetMaxSendMessageSize(-1);
    arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    const auto channel = grpc::CreateCustomChannel(QString("127.0.0.1:%1").arg(port).toStdString(),
                                                   grpc::InsecureChannelCredentials(), arguments);
    const auto stub = rpc::AppServer::NewStub(channel);
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
    for (const auto &[key, value] : metadata)
        context.AddMetadata(key, value);
    rpc::Reply scratch;
    return stub->Invoke(&context, call, reply ? reply : &scratch);
}

// The calls on one stream; their replies in order.
std::vector<rpc::Reply> rawStream(int port, const std::vector<rpc::Call> &calls)
{
    const auto channel = grpc::CreateChannel(QString("127.0.0.1:%1").arg(port).toStdString(),
                                             grpc::InsecureChannelCredentials());
    const auto stub = rpc::AppServer::NewStub(channel);
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
    const auto stream = stub->InvokeStream(&context);
    for (const rpc::Call &c : calls)
        stream->Write(c);
    stream->WritesDone();
    std::vector<rpc::Reply> replies;
    for (rpc::Reply r; stream->Read(&r);)
        replies.push_back(r);
    return stream->Finish().ok() ? replies : std::vector<rpc::Reply>();
}

std::unique_ptr<RpcConnection> connectTo(int port)
{
    auto rpc = std::make_unique<RpcConnection>();
    RpcConnection::Options options;
    options.port = port;
    rpc->setOptions(options);
    rpc->open();
    return rpc;
}

// --- deltas, built the way the screen builds them ----------------------------------

void set(RecordSet &rs, const char *field, const QVariant &value)
{
    rs.FieldByName(QString::fromLatin1(field)).setValue(value);
}

void insertHeader(RecordSet &headers, const QDate &d, const QString &diet, const QString &number)
{
    headers.Insert();
    set(headers, "CDFILIAL", kBranch);
    set(headers, "CDSERVFILI", kService);
    set(headers, "DTCARDAPIO", d);
    set(headers, "CDDIETPAD", diet);
    set(headers, "DSDIETPAD", "Livre");
    set(headers, "NRCARDAPIO", number);
    set(headers, "CDOPERADOR", "IMPORT");
    set(headers, "QTCOMESTICAR", 12);
    // every estimate its own value, so that a column stored in the wrong place shows
    const char *estimates[] = {"QTESTITURNO1", "QTESTITURNO2", "QTESTITURNO3", "QTESTITURNO4",
                               "QTCLIESTICAR", "QTFUNESTICAR", "QTDOAESTICAR", "QTCOMEFETCAR",
                               "QTCLIEFETCAR", "QTFUNEFETCAR", "QTDOAEFETCAR"};
    for (int i = 0; i < 11; ++i)
        set(headers, estimates[i], i + 1);
    set(headers, "DTMESCARD", QDate(d.year(), d.month(), 1));
    set(headers, "DSCARDAPIO", "Importado");
    set(headers, "DTULTATUACAR", d);
    headers.Post();
}

void insertDish(RecordSet &dishes, const QDate &d, const QString &number, int seq,
                const QString &dish, const QVariant &service)
{
    dishes.Insert();
    set(dishes, "CDFILIAL", kBranch);
    set(dishes, "DTCARDAPIO", d);
    set(dishes, "CDDIETPAD", "0001");
    set(dishes, "NRCARDAPIO", number);
    set(dishes, "NRSEQPRATCAR", seq);
    set(dishes, "CDFILAUXPRAT", kBranch);
    set(dishes, "CDPRATO", dish);
    set(dishes, "NMPRATO", QString("Prato " + dish));
    set(dishes, "VRPECONSCARD", 0.25);
    set(dishes, "CDTIPOPRAT", "02");
    set(dishes, "NMTIPOPRAT", "Principal");
    set(dishes, "NRORDPRATCAR", seq + 10);
    set(dishes, "CDSERVFILI", service);
    dishes.Post();
}

// The deltas of a new menu of diet 0001 with one dish: its header and its dish.
std::pair<Packet, Packet> newMenuDeltas(const QDate &d, const QString &number)
{
    RecordSet headers{"cdsCardaDia"};
    headers.SetData(Packet::forLayout(headers.layout()));
    insertHeader(headers, d, "0001", number);
    RecordSet dishes{"cdsCompCardCache"};
    dishes.SetData(Packet::forLayout(dishes.layout()));
    insertDish(dishes, d, number, 1, "P1", kService);
    return {headers.GetDelta(), dishes.GetDelta()};
}

QVariant deltaOf(const RecordSet &rs)
{
    return rs.ChangeCount() > 0 ? QVariant::fromValue(rs.GetDelta()) : QVariant();
}

void removeField(Packet &packet, const QString &name)
{
    const int c = packet.indexOf(name);
    packet.fields.removeAt(c);
    for (PacketRow &row : packet.rows) {
        row.values.removeAt(c);
        if (!row.original.isEmpty())
            row.original.removeAt(c);
    }
}

void addField(Packet &packet, const QString &name)
{
    packet.fields.append({name, FieldType::Text, 10});
    for (PacketRow &row : packet.rows) {
        row.values.append("x");
        if (!row.original.isEmpty())
            row.original.append("x");
    }
}

// The screen's two record sets of a month, as GetCardadia fills them.
struct Menus
{
    RecordSet headers{"cdsCardaDia"};
    RecordSet dishes{"cdsCompCardCache"};
};

enum BatchFailure {
    DishKeyTaken,
    DishSlotTwice,
    DishSlotTwiceFar,
    ChangedDishGone,
    DeletedDishGone,
    HeaderKeyTaken,
    HeaderNumberTaken,
    HeaderDeleted,
    ChangedHeaderGone,
    DishWithoutHeader,
    DishOffItsHeaderDay,
    HeaderMoved,
    HeaderRenumbered,
    HeaderToOtherBranch,
    SlotNumberZero,
    HugePerCapita,
    UnknownDiet,
    MenuNumberNotANumber,
    DayOutOfWindow,
    HeaderRefusedByDatabase,
    AuditRefusedByDatabase,
    HeaderTakenThenBadSlot,
    HeaderNumberTakenNoDishes,
};

enum Malformation {
    MissingHeaderField,
    ExtraHeaderField,
    MissingDishField,
    ExtraDishField,
    RowWithoutKind,
    FieldOfOtherType
};

} // namespace

class TestAppServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestDatabase> m_db;
    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<RpcConnection> m_rpc;

    QVariant call(const QString &method, QVariantList args) { return m_rpc->invoke(method, args); }

    // Every menu table as "TABLE: row" lines: equal states, nothing written.
    QStringList menuState() const
    {
        QStringList state;
        for (const QString &table : QStringList{"CARDADIA", "COMPCARD", "CARDSEQ"}) {
            for (const QString &row : m_db->dump(table))
                state.append(table + ": " + row);
        }
        return state;
    }

    QString queryOne(const QString &sql) const
    {
        QSqlQuery q(m_db->db());
        return q.exec(sql) && q.next() ? q.value(0).toString() : QStringLiteral("<none>");
    }

    void addMenu(const QString &service, const QDate &d, const QString &diet, const QString &number,
                 const QStringList &dishes)
    {
        m_db->addHeader(kBranch, service, d, diet, number, 10.0);
        for (int i = 0; i < dishes.size(); ++i)
            m_db->addDish(kBranch, number, diet, i + 1, dishes.at(i), "Prato " + dishes.at(i), "02",
                          0.2, i + 1, d, service);
    }

    void fetch(Menus &menus, const QDate &d, const QString &diets)
    {
        const QVariantList both = call("GetCardadia", {kBranch, kService, d, diets}).toList();
        if (both.size() != 2)
            throw Error("GetCardadia: two packets expected");
        menus.headers.SetData(loaded(both.at(0), "cdsCardaDia"));
        menus.dishes.SetData(loaded(both.at(1), "cdsCompCardCache"));
    }

    QString store(const Menus &menus)
    {
        return call("SetImportacao", {deltaOf(menus.headers), deltaOf(menus.dishes)}).toString();
    }

    // The menu the import batches work on: 10/03/2024, diet 0001, number 30, two dishes.
    void seedImport() { addMenu(kService, day(3, 10), "0001", "30", {"P1", "P2"}); }

    // Menus of late February to early April for GetTemCard and Data.
    void seedDays()
    {
        const QStringList dish{"P1"};
        addMenu(kService, day(2, 29), "0001", "40", dish);
        addMenu(kService, day(3, 2), "0001", "41", dish);
        addMenu(kService, day(3, 5), "0003", "42", dish);
        addMenu(kService, day(3, 8), "0001", "43", {}); // header only
        addMenu(kService, day(3, 10), "0002", "44", dish);
        addMenu(kService, day(3, 31), "0001", "45", dish);
        addMenu(kService, day(4, 1), "0001", "46", dish);
        addMenu(kOtherService, day(3, 12), "0001", "47", dish);
    }

private Q_SLOTS:
    void init()
    {
        m_db = std::make_unique<TestDatabase>();
        m_db->addBranch(kBranch, "Hospital Central");
        m_db->addService(kBranch, kService, "Almoço");
        m_db->addService(kBranch, kOtherService, "Jantar");
        const QStringList diets{"0001", "0002", "0003", "0010"};
        const QStringList names{"Livre", "Branda", "Pastosa", "Hipossódica"};
        for (int i = 0; i < diets.size(); ++i) {
            m_db->addDiet(diets.at(i), names.at(i));
            m_db->serveDiet(kBranch, kService, diets.at(i));
        }
        m_db->addDiet("0004", "Líquida");
        m_db->serveDiet(kBranch, kOtherService, "0004");
        m_db->addDishType("01", "Entrada");
        m_db->addDishType("02", "Principal");
        m_db->addDishType("03", "Sobremesa");
        m_server = std::make_unique<TestServer>(m_db->config());
        m_rpc = connectTo(m_server->port());
    }

    void cleanup()
    {
        m_rpc.reset();
        m_server.reset();
        m_db.reset();
    }

    void getPesqConfDestino_data()
    {
        QTest::addColumn<QDate>("month");
        QTest::addColumn<QStringList>("expected"); // CDTIPOPRAT|NRORDCNFMES|NRSEQCNFMES
        QTest::newRow("by type, order, then slot")
            << day(3, 1) << QStringList{"01|1|3", "01|1|4", "01|2|2", "02|1|1"};
        QTest::newRow("another month") << day(4, 1) << QStringList{"03|1|1"};
        QTest::newRow("month without slots") << day(5, 1) << QStringList{};
    }
    void getPesqConfDestino()
    {
        QFETCH(QDate, month);
        QFETCH(QStringList, expected);
        m_db->addSlot(kBranch, kService, day(3, 1), 1, "02", 1);
        m_db->addSlot(kBranch, kService, day(3, 1), 2, "01", 2);
        m_db->addSlot(kBranch, kService, day(3, 1), 4, "01", 1);
        m_db->addSlot(kBranch, kService, day(3, 1), 3, "01", 1);
        m_db->addSlot(kBranch, kService, day(4, 1), 1, "03", 1);
        m_db->addSlot(kBranch, kOtherService, day(3, 1), 9, "01", 1);
        const Packet p =
            loaded(call("GetPesqConfDestino", {kBranch, kService, month}), "cdsPesqConfDestino");
        QCOMPARE(rows(p, {"CDTIPOPRAT", "NRORDCNFMES", "NRSEQCNFMES"}), expected);
    }

    void getCardOrigem_data()
    {
        QTest::addColumn<QString>("diets");
        QTest::addColumn<QStringList>("dishes"); // DTCARDAPIO|CDTIPOPRAT|CDDIETPAD|CDPRATO
        QTest::addColumn<QStringList>("types");  // DTCARDAPIO|CDTIPOPRAT
        QTest::newRow("two diets")
            << "_0001_0003_"
            << QStringList{"2024-03-04|01|0001|P2", "2024-03-04|01|0003|P3",
                           "2024-03-04|02|0001|P1", "2024-03-06|02|0001|Pão5"}
            << QStringList{"2024-03-04|01", "2024-03-04|02", "2024-03-06|02"};
        QTest::newRow("the middle diet")
            << "_0002_" << QStringList{"2024-03-04|03|0002|P4"} << QStringList{"2024-03-04|03"};
        QTest::newRow("a four-digit code")
            << "_0010_" << QStringList{"2024-03-05|01|0010|P8"} << QStringList{"2024-03-05|01"};
        QTest::newRow("a shorter code matches nothing")
            << "_001_" << QStringList{} << QStringList{};
        QTest::newRow("a longer code matches nothing")
            << "_00010_" << QStringList{} << QStringList{};
    }
    void getCardOrigem()
    {
        QFETCH(QString, diets);
        QFETCH(QStringList, dishes);
        QFETCH(QStringList, types);
        const auto menu = [&](const QString &service, const QDate &d, const QString &diet,
                              const QString &number, const QList<QPair<QString, QString>> &items) {
            m_db->addHeader(kBranch, service, d, diet, number, 10.0);
            for (int i = 0; i < items.size(); ++i)
                m_db->addDish(kBranch, number, diet, i + 1, items.at(i).first, "Prato",
                              items.at(i).second, 0.2, i + 1, d, service);
        };
        menu(kService, day(3, 4), "0001", "10", {{"P1", "02"}, {"P2", "01"}});
        menu(kService, day(3, 4), "0003", "11", {{"P3", "01"}});
        menu(kService, day(3, 4), "0002", "12", {{"P4", "03"}});
        menu(kService, day(3, 6), "0001", "13", {{"Pão5", "02"}}); // read back as stored
        menu(kService, day(3, 3), "0001", "14", {{"P6", "02"}});   // the day before the range
        menu(kService, day(3, 7), "0001", "15", {{"P7", "02"}});   // the day after
        menu(kService, day(3, 5), "0010", "16", {{"P8", "01"}});
        menu(kOtherService, day(3, 5), "0001", "17", {{"P9", "01"}});
        const QVariantList both =
            call("GetCardOrigem", {kBranch, kService, day(3, 4), day(3, 6), diets}).toList();
        QCOMPARE(both.size(), 2);
        QCOMPARE(rows(loaded(both.at(0), "cdsCardOrigem"),
                      {"DTCARDAPIO", "CDTIPOPRAT", "CDDIETPAD", "CDPRATO"}),
                 dishes);
        QCOMPARE(rows(loaded(both.at(1), "cdsTipoPrato"), {"DTCARDAPIO", "CDTIPOPRAT"}), types);
    }

    void getCardOrigemCarriesHeaderAndNames()
    {
        addMenu(kService, day(3, 4), "0003", "10", {"P1", "P2"});
        m_db->exec("UPDATE COMPCARD SET CDTIPOPRAT = '01' WHERE NRSEQPRATCAR = 1");
        m_db->exec("UPDATE CARDADIA SET QTCOMESTICAR = 40, QTCLIESTICAR = 30, QTFUNESTICAR = 8, "
                   "QTDOAESTICAR = 2, "
                   "QTESTITURNO1 = 11, QTESTITURNO2 = 12, QTESTITURNO3 = 13, QTESTITURNO4 = 14");
        const QVariantList both =
            call("GetCardOrigem", {kBranch, kService, day(3, 4), day(3, 4), "_0003_"}).toList();
        QCOMPARE(rows(loaded(both.value(0), "cdsCardOrigem"),
                      {"CDPRATO", "NMTIPOPRAT", "DSDIETPAD", "QTCOMESTICAR", "QTCLIESTICAR",
                       "QTFUNESTICAR", "QTDOAESTICAR", "QTESTITURNO1", "QTESTITURNO2",
                       "QTESTITURNO3", "QTESTITURNO4"}),
                 QStringList({"P1|Entrada|Pastosa|40|30|8|2|11|12|13|14",
                              "P2|Principal|Pastosa|40|30|8|2|11|12|13|14"}));
    }

    void getPrxCardapio_data()
    {
        QTest::addColumn<QVariant>("last");        // CARDSEQ of the branch; null: no row
        QTest::addColumn<QStringList>("stored");   // numbers already in CARDADIA
        QTest::addColumn<QStringList>("expected"); // the next numbers handed out
        QTest::newRow("after the stored numbers")
            << QVariant() << QStringList{"1", "2", "3"} << QStringList{"4", "5", "6"};
        QTest::newRow("sequence behind the stored numbers")
            << QVariant(1) << QStringList{"2", "3", "5"} << QStringList{"4", "6", "7"};
        QTest::newRow("sequence ahead")
            << QVariant(20) << QStringList{"1"} << QStringList{"21", "22"};
        QTest::newRow("nothing stored") << QVariant() << QStringList{} << QStringList{"1", "2"};
    }
    void getPrxCardapio()
    {
        QFETCH(QVariant, last);
        QFETCH(QStringList, stored);
        QFETCH(QStringList, expected);
        for (int i = 0; i < stored.size(); ++i)
            m_db->addHeader(kBranch, kService, day(3, i + 1), "0001", stored.at(i), 1.0);
        for (int i = 1; i <= 9; ++i) // another branch's numbers do not count
            m_db->addHeader("0002", kService, day(3, i), "0001", QString::number(i * 10), 1.0);
        if (last.isValid())
            m_db->exec("INSERT INTO CARDSEQ (CDFILIAL, NRULTCARD) VALUES (?, ?)", {kBranch, last});
        QStringList numbers;
        for (int i = 0; i < expected.size(); ++i)
            numbers.append(
                call("GetPrxCardapio", {kBranch, kService, day(3, 4), "0001"}).toString());
        QCOMPARE(numbers, expected);
    }

    void getPrxCardapioRefusesBadKey_data()
    {
        QTest::addColumn<QString>("branch");
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("diet");
        QTest::newRow("empty branch") << "" << kService << "0001";
        QTest::newRow("branch too long") << "00001" << kService << "0001";
        QTest::newRow("blank service") << kBranch << "   "
                                       << "0001";
        QTest::newRow("service too long") << kBranch << "000001"
                                          << "0001";
        QTest::newRow("empty diet") << kBranch << kService << "";
        QTest::newRow("diet too long") << kBranch << kService << "00001";
        // no number is reserved for a branch that does not exist
        QTest::newRow("unknown branch") << "ZZ99" << kService << "0001";
    }
    void getPrxCardapioRefusesBadKey()
    {
        QFETCH(QString, branch);
        QFETCH(QString, service);
        QFETCH(QString, diet);
        const QString answer =
            call("GetPrxCardapio", {branch, service, day(3, 4), diet}).toString();
        QVERIFY2(isRefusal(answer), qPrintable(answer));
        QCOMPARE(m_db->count("CARDSEQ"), 0);
    }

    void getComensais_data()
    {
        QTest::addColumn<QString>("diet");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("Sunday is weekday 1") << "0001" << day(3, 3) << QStringList{"10|6|3|1"};
        QTest::newRow("Saturday is weekday 7") << "0001" << day(3, 9) << QStringList{"20|12|6|2"};
        QTest::newRow("Monday") << "0001" << day(3, 4) << QStringList{"30|20|8|2"};
        QTest::newRow("no row for the weekday") << "0001" << day(3, 5) << QStringList{};
        QTest::newRow("no row for the diet") << "0002" << day(3, 3) << QStringList{};
    }
    void getComensais()
    {
        QFETCH(QString, diet);
        QFETCH(QDate, date);
        QFETCH(QStringList, expected);
        m_db->addEstimate(kBranch, kService, "0001", 1, 10, 6, 3, 1);
        m_db->addEstimate(kBranch, kService, "0001", 7, 20, 12, 6, 2);
        m_db->addEstimate(kBranch, kService, "0001", 2, 30, 20, 8, 2);
        m_db->addEstimate(kBranch, kService, "0002", 7, 5, 4, 1, 0);
        m_db->addEstimate(kBranch, kOtherService, "0001", 3, 99, 99, 99, 99);
        const Packet p =
            loaded(call("GetComensais", {kBranch, kService, diet, date}), "cdsComensais");
        QCOMPARE(rows(p, {"QTCOMESTICAR", "QTCLIESTICAR", "QTFUNESTICAR", "QTDOAESTICAR"}),
                 expected);
    }

    void dieta_data()
    {
        QTest::addColumn<QString>("diets");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("by code") << "_0010_0003_0001_" << QStringList{"0001", "0003", "0010"};
        QTest::newRow("a shorter code matches nothing") << "_001_" << QStringList{};
        QTest::newRow("a longer code matches nothing") << "_00010_" << QStringList{};
        QTest::newRow("served by another service") << "_0004_0002_" << QStringList{"0002"};
        QTest::newRow("empty list") << "" << QStringList{};
    }
    void dieta()
    {
        QFETCH(QString, diets);
        QFETCH(QStringList, expected);
        const Packet p =
            loaded(call("Dieta", {diets, kBranch, kService, day(3, 1)}), "adqValidDiet");
        QCOMPARE(rows(p, {"CDDIETPAD"}), expected);
    }

    void verifCardadia_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("diet");
        QTest::addColumn<QStringList>(
            "expected"); // DTCARDAPIO|CDTIPOPRAT|NMTIPOPRAT|NRSEQPRATCAR|CDPRATO
        QTest::newRow("free and taken slots, a dish outside them")
            << day(3, 12) << "0001"
            << QStringList{"2024-03-12|01|Entrada|1|<null>", "2024-03-12|02|Principal|2|P2",
                           "2024-03-12|02|Principal|3|<null>", "2024-03-12|03|Sobremesa|7|P7"};
        QTest::newRow("another diet of the day")
            << day(3, 12) << "0002"
            << QStringList{"2024-03-12|01|Entrada|1|PX", "2024-03-12|02|Principal|2|<null>",
                           "2024-03-12|02|Principal|3|<null>"};
        QTest::newRow("a day without menu")
            << day(3, 13) << "0001"
            << QStringList{"2024-03-13|01|Entrada|1|<null>", "2024-03-13|02|Principal|2|<null>",
                           "2024-03-13|02|Principal|3|<null>"};
        QTest::newRow("a month without slots") << day(5, 2) << "0001" << QStringList{};
    }
    void verifCardadia()
    {
        QFETCH(QDate, date);
        QFETCH(QString, diet);
        QFETCH(QStringList, expected);
        m_db->addSlot(kBranch, kService, day(3, 1), 1, "01", 1);
        m_db->addSlot(kBranch, kService, day(3, 1), 3, "02", 2);
        m_db->addSlot(kBranch, kService, day(3, 1), 2, "02", 1);
        m_db->addSlot(kBranch, kService, day(4, 1), 7, "03", 1);
        m_db->addHeader(kBranch, kService, day(3, 12), "0001", "20", 1.0);
        m_db->addDish(kBranch, "20", "0001", 2, "P2", "Bife", "02", 0.2, 1, day(3, 12), kService);
        m_db->addDish(kBranch, "20", "0001", 7, "P7", "Pudim", "03", 0.1, 2, day(3, 12), kService);
        m_db->addHeader(kBranch, kService, day(3, 12), "0002", "21", 1.0);
        m_db->addDish(kBranch, "21", "0002", 1, "PX", "Sopa", "01", 0.3, 1, day(3, 12), kService);
        const Packet p =
            loaded(call("VerifCardadia", {date, kBranch, kService, diet}), "adqVerifCardaDia");
        QCOMPARE(rows(p, {"DTCARDAPIO", "CDTIPOPRAT", "NMTIPOPRAT", "NRSEQPRATCAR", "CDPRATO"}),
                 expected);
    }

    void delPratosDiet_data()
    {
        QTest::addColumn<QString>("branch");
        QTest::addColumn<QString>("diet");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("a day with dishes") << kBranch << "0001" << true;
        QTest::newRow("empty diet") << kBranch << "" << false;
        QTest::newRow("branch too long") << "00001"
                                         << "0001" << false;
    }
    void delPratosDiet()
    {
        QFETCH(QString, branch);
        QFETCH(QString, diet);
        QFETCH(bool, accepted);
        seedImport();
        const QStringList before = menuState();
        const QString answer =
            call("DelPratosDiet", {branch, kService, diet, day(3, 10)}).toString();
        if (accepted)
            QCOMPARE(answer, QString());
        else
            QVERIFY2(isRefusal(answer), qPrintable(answer));
        QCOMPARE(menuState(), before);
    }

    void getTemCard_data()
    {
        QTest::addColumn<QDate>("month");
        QTest::addColumn<QString>("diets");
        QTest::addColumn<QStringList>("expected"); // DTDATA|DTCARDAPIO
        const QStringList march{"02/03/2024|2024-03-02", "05/03/2024|2024-03-05",
                                "31/03/2024|2024-03-31"};
        QTest::newRow("listed diets of the month") << day(3, 1) << "_0001_0003_" << march;
        QTest::newRow("any day names its month") << day(3, 20) << "_0001_0003_" << march;
        QTest::newRow("one diet") << day(3, 1) << "_0002_" << QStringList{"10/03/2024|2024-03-10"};
        QTest::newRow("leap day") << day(2, 1) << "_0001_" << QStringList{"29/02/2024|2024-02-29"};
        QTest::newRow("a shorter code matches nothing") << day(3, 1) << "_001_" << QStringList{};
    }
    void getTemCard()
    {
        QFETCH(QDate, month);
        QFETCH(QString, diets);
        QFETCH(QStringList, expected);
        seedDays();
        const Packet p =
            loaded(call("GetTemCard", {kBranch, kService, month, diets}), "cdsTemCard");
        QCOMPARE(rows(p, {"DTDATA", "DTCARDAPIO"}), expected);
    }

    void data_data()
    {
        QTest::addColumn<QDate>("start");
        QTest::addColumn<QDate>("end");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("a header without dishes does not count")
            << day(3, 1) << day(3, 10) << QStringList{"2024-03-02", "2024-03-05", "2024-03-10"};
        QTest::newRow("both ends included")
            << day(3, 2) << day(3, 5) << QStringList{"2024-03-02", "2024-03-05"};
        QTest::newRow("between two days") << day(3, 3) << day(3, 4) << QStringList{};
        QTest::newRow("across months")
            << day(2, 29) << day(4, 1) << QStringList{"2024-02-29", "2024-03-02", "2024-03-05",
                                                      "2024-03-10", "2024-03-31", "2024-04-01"};
    }
    void data()
    {
        QFETCH(QDate, start);
        QFETCH(QDate, end);
        QFETCH(QStringList, expected);
        seedDays();
        const Packet p = loaded(call("Data", {start, end, kBranch, kService}), "adqData");
        QCOMPARE(rows(p, {"DTCARDAPIO"}), expected);
    }

    void getCardadia_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QStringList>("headers"); // DTCARDAPIO|CDDIETPAD|NRCARDAPIO
        QTest::addColumn<QStringList>("dishes");  // NRCARDAPIO|NRSEQPRATCAR|DTCARDAPIO|CDSERVFILI
        QTest::newRow("from the day to the month's end")
            << day(3, 14)
            << QStringList{"2024-03-14|0001|51", "2024-03-20|0003|52", "2024-03-31|0001|54"}
            << QStringList{"51|1|2024-03-14|00001", "51|2|2024-03-14|00001",
                           "52|1|2024-03-20|00001", "54|1|2024-03-31|00001"};
        QTest::newRow("the last day") << day(3, 31) << QStringList{"2024-03-31|0001|54"}
                                      << QStringList{"54|1|2024-03-31|00001"};
        QTest::newRow("a month without menus") << day(6, 1) << QStringList{} << QStringList{};
    }
    void getCardadia()
    {
        QFETCH(QDate, date);
        QFETCH(QStringList, headers);
        QFETCH(QStringList, dishes);
        addMenu(kService, day(3, 13), "0001", "50", {"P1"});
        addMenu(kService, day(3, 14), "0001", "51", {"P1", "P2"});
        addMenu(kService, day(3, 20), "0003", "52", {"P1"});
        addMenu(kService, day(3, 20), "0002", "53", {"P1"});
        addMenu(kService, day(3, 31), "0001", "54", {});
        // a dish row stored with another day and service than its header's
        m_db->addDish(kBranch, "54", "0001", 1, "P1", "Arroz", "02", 0.2, 1, day(3, 30), "00009");
        addMenu(kService, day(4, 1), "0001", "55", {"P1"});
        addMenu(kOtherService, day(3, 20), "0001", "56", {"P1"});
        const QVariantList both =
            call("GetCardadia", {kBranch, kService, date, "_0001_0003_"}).toList();
        QCOMPARE(both.size(), 2);
        QStringList gotHeaders =
            rows(loaded(both.at(0), "cdsCardaDia"), {"DTCARDAPIO", "CDDIETPAD", "NRCARDAPIO"});
        QStringList gotDishes = rows(loaded(both.at(1), "cdsCompCardCache"),
                                     {"NRCARDAPIO", "NRSEQPRATCAR", "DTCARDAPIO", "CDSERVFILI"});
        gotHeaders.sort();
        gotDishes.sort();
        QCOMPARE(gotHeaders, headers);
        QCOMPARE(gotDishes, dishes);
    }

    void setImportacaoStoresBatch()
    {
        seedImport();
        Menus m;
        fetch(m, day(3, 10), "_0001_");
        QCOMPARE(m.dishes.RecordCount(), 2);
        const QStringList before = m_db->dump("COMPCARD");
        insertHeader(m.headers, day(3, 11), "0001", "31");
        insertDish(m.dishes, day(3, 11), "31", 1, "P3", kService);
        insertDish(m.dishes, day(3, 11), "31", 2, "P4", QVariant()); // takes the header's service
        QVERIFY(m.headers.Locate("NRCARDAPIO", {"30"}));
        m.headers.Edit();
        set(m.headers, "QTCOMESTICAR", 99);
        set(m.headers, "DSCARDAPIO", "Revisado");
        m.headers.Post();
        QCOMPARE(store(m), QString());
        QCOMPARE(
            m_db->dump("CARDADIA"),
            QStringList(
                {"0001|00001|2024-03-10|0001|<null>|30|SEED|99|<null>|<null>|<null>|<null>|<null>|<"
                 "null>|"
                 "<null>|<null>|<null>|<null>|<null>|2024-03-01|Revisado|2024-03-10",
                 "0001|00001|2024-03-11|0001|Livre|31|IMPORT|12|1|2|3|4|5|6|7|8|9|10|11|2024-03-01|"
                 "Importado|2024-03-11"}));
        QStringList added = m_db->dump("COMPCARD");
        for (const QString &row : before)
            added.removeOne(row);
        QCOMPARE(
            added,
            QStringList({"0001|2024-03-11|0001|31|1|0001|P3|Prato P3|0.25|02|Principal|11|00001",
                         "0001|2024-03-11|0001|31|2|0001|P4|Prato P4|0.25|02|Principal|12|00001"}));
    }

    void setImportacaoDeletesFirst_data()
    {
        QTest::addColumn<bool>("deletionLast"); // the deletion after the insert in the delta
        QTest::newRow("deletion logged first") << false;
        QTest::newRow("deletion logged last") << true;
    }
    void setImportacaoDeletesFirst()
    {
        QFETCH(bool, deletionLast);
        seedImport();
        Menus m;
        fetch(m, day(3, 10), "_0001_");
        QVERIFY(m.dishes.Locate("NRCARDAPIO;NRSEQPRATCAR", {"30", 1.0}));
        m.dishes.Delete();
        insertDish(m.dishes, day(3, 10), "30", 1, "P9", kService); // the slot just freed
        QVERIFY(m.dishes.Locate("NRCARDAPIO;NRSEQPRATCAR", {"30", 2.0}));
        m.dishes.Edit();
        set(m.dishes, "NMPRATO", "Bife acebolado");
        m.dishes.Post();
        Packet dishes = m.dishes.GetDelta();
        QCOMPARE(dishes.rows.size(), 3);
        if (deletionLast)
            std::stable_partition(dishes.rows.begin(), dishes.rows.end(),
                                  [](const PacketRow &r) { return r.kind != ChangeKind::Delete; });
        QCOMPARE(call("SetImportacao", {QVariant(), QVariant::fromValue(dishes)}).toString(),
                 QString());
        QStringList dishesNow;
        QSqlQuery q(m_db->db());
        q.exec(
            QStringLiteral("SELECT CDPRATO || ':' || NMPRATO FROM COMPCARD WHERE NRCARDAPIO = '30' "
                           "ORDER BY NRSEQPRATCAR"));
        while (q.next())
            dishesNow.append(q.value(0).toString());
        QCOMPARE(dishesNow.join(QLatin1Char(',')), QStringLiteral("P9:Prato P9,P2:Bife acebolado"));
    }

    void setImportacaoIsAtomic_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("named"); // what the error text names
        QTest::newRow("the last dish collides") << int(DishKeyTaken) << "30";
        QTest::newRow("two new dishes in one slot") << int(DishSlotTwice) << "31";
        // the new dishes go many to a statement: the slot is found past the first ones
        QTest::newRow("a slot taken twice among 70 new dishes") << int(DishSlotTwiceFar) << "31";
        QTest::newRow("changed dish gone") << int(ChangedDishGone) << "30";
        QTest::newRow("deleted dish gone") << int(DeletedDishGone) << "30";
        QTest::newRow("header key taken") << int(HeaderKeyTaken) << "10/03/2024";
        QTest::newRow("header number taken") << int(HeaderNumberTaken) << "30";
        QTest::newRow("header deleted") << int(HeaderDeleted) << "10/03/2024";
        QTest::newRow("changed header gone") << int(ChangedHeaderGone) << "10/03/2024";
        QTest::newRow("dish without header") << int(DishWithoutHeader) << "99";
        QTest::newRow("dish off its header's day") << int(DishOffItsHeaderDay) << "31";
        // a header keeps the key its dishes carry; no value an import cannot produce
        QTest::newRow("a header moved to another day") << int(HeaderMoved) << "DTCARDAPIO";
        // nor its menu number or branch, which its dishes and undo records carry
        QTest::newRow("a header given another number")
            << int(HeaderRenumbered) << "o número de cardápio do cabeçalho da filial 0001";
        QTest::newRow("a header moved to another branch")
            << int(HeaderToOtherBranch) << "o número de cardápio do cabeçalho da filial 0001";
        QTest::newRow("slot number 0") << int(SlotNumberZero) << "NRSEQPRATCAR";
        QTest::newRow("a per capita of 1e300") << int(HugePerCapita) << "VRPECONSCARD";
        QTest::newRow("a diet that does not exist") << int(UnknownDiet) << "CDDIETPAD";
        QTest::newRow("a menu number that is no number") << int(MenuNumberNotANumber) << "abc";
        QTest::newRow("the year 9999") << int(DayOutOfWindow) << "DTCARDAPIO";
        // writes whose count no one reads go with the statement after them, or the commit
        QTest::newRow("a new header the database refuses")
            << int(HeaderRefusedByDatabase) << "cabeçalho recusado";
        QTest::newRow("the audit line refused at the commit")
            << int(AuditRefusedByDatabase) << "auditoria recusada";
        // a new header's checks come back with the statements after it: still weighed first
        QTest::newRow("a header key taken, then a dish in slot 0")
            << int(HeaderTakenThenBadSlot) << "10/03/2024";
        QTest::newRow("a header number taken in a batch of headers alone")
            << int(HeaderNumberTakenNoDishes) << "30";
    }
    void setImportacaoIsAtomic()
    {
        QFETCH(int, failure);
        QFETCH(QString, named);
        seedImport();
        Menus m;
        fetch(m, day(3, 10), "_0001_");
        // every batch also brings a new day that must not be stored either
        insertHeader(m.headers, day(3, 11), "0001", "31");
        insertDish(m.dishes, day(3, 11), "31", 1, "P3", kService);
        insertDish(m.dishes, day(3, 11), "31", 2, "P4", QVariant());
        const auto locateDish = [&](double seq) {
            return m.dishes.Locate("NRCARDAPIO;NRSEQPRATCAR", {"30", seq});
        };
        switch (failure) {
        case DishKeyTaken:
            insertDish(m.dishes, day(3, 10), "30", 2, "P5", kService);
            break;
        case DishSlotTwice: // four new dishes: one statement
            insertDish(m.dishes, day(3, 11), "31", 3, "P6", kService);
            insertDish(m.dishes, day(3, 11), "31", 2, "P5", kService);
            break;
        case DishSlotTwiceFar:
            for (int seq = 3; seq <= 70; ++seq)
                insertDish(m.dishes, day(3, 11), "31", seq, QStringLiteral("P%1").arg(seq),
                           kService);
            insertDish(m.dishes, day(3, 11), "31", 40, "P5", kService);
            break;
        case ChangedDishGone:
            QVERIFY(locateDish(2));
            m.dishes.Edit();
            set(m.dishes, "NMPRATO", "Outro");
            m.dishes.Post();
            m_db->exec("DELETE FROM COMPCARD WHERE NRCARDAPIO = '30' AND NRSEQPRATCAR = 2");
            break;
        case DeletedDishGone:
            QVERIFY(locateDish(1));
            m.dishes.Delete();
            m_db->exec("DELETE FROM COMPCARD WHERE NRCARDAPIO = '30' AND NRSEQPRATCAR = 1");
            break;
        case HeaderKeyTaken:
            insertHeader(m.headers, day(3, 10), "0001", "32");
            break;
        case HeaderNumberTaken:
            insertHeader(m.headers, day(3, 12), "0001", "30");
            break;
        case HeaderDeleted:
            QVERIFY(m.headers.Locate("NRCARDAPIO", {"30"}));
            m.headers.Delete();
            break;
        case ChangedHeaderGone:
            QVERIFY(m.headers.Locate("NRCARDAPIO", {"30"}));
            m.headers.Edit();
            set(m.headers, "QTCOMESTICAR", 99);
            m.headers.Post();
            m_db->exec("DELETE FROM COMPCARD WHERE NRCARDAPIO = '30'");
            m_db->exec("DELETE FROM CARDADIA WHERE NRCARDAPIO = '30'");
            break;
        case DishWithoutHeader:
            insertDish(m.dishes, day(3, 12), "99", 1, "P6", kService);
            break;
        case DishOffItsHeaderDay:
            insertDish(m.dishes, day(3, 12), "31", 3, "P6", kService);
            break;
        case HeaderMoved:
            QVERIFY(m.headers.Locate("NRCARDAPIO", {"30"}));
            m.headers.Edit();
            set(m.headers, "DTCARDAPIO", day(3, 20));
            m.headers.Post();
            break;
        case HeaderRenumbered:
            QVERIFY(m.headers.Locate("NRCARDAPIO", {"30"}));
            m.headers.Edit();
            set(m.headers, "NRCARDAPIO", "77");
            m.headers.Post();
            break;
        case HeaderToOtherBranch:
            // a branch that serves the same service and diets: only the move is wrong
            m_db->addBranch("0002", "Hospital Norte");
            m_db->addService("0002", kService, "Almoço");
            m_db->serveDiet("0002", kService, "0001");
            QVERIFY(m.headers.Locate("NRCARDAPIO", {"30"}));
            m.headers.Edit();
            set(m.headers, "CDFILIAL", "0002");
            m.headers.Post();
            break;
        case SlotNumberZero:
            insertDish(m.dishes, day(3, 11), "31", 0, "P7", kService);
            break;
        case HugePerCapita:
            insertDish(m.dishes, day(3, 11), "31", 3, "P7", kService);
            m.dishes.Edit();
            set(m.dishes, "VRPECONSCARD", 1e300);
            m.dishes.Post();
            break;
        case UnknownDiet:
            insertHeader(m.headers, day(3, 13), "0009", "33");
            break;
        case MenuNumberNotANumber:
            insertHeader(m.headers, day(3, 13), "0001", "abc");
            break;
        case DayOutOfWindow:
            insertHeader(m.headers, QDate(9999, 3, 13), "0001", "33");
            break;
        case HeaderRefusedByDatabase:
            m_db->refuseDishes("NEW.NRCARDAPIO = '31'", "cabeçalho recusado", "CARDADIA");
            break;
        case AuditRefusedByDatabase:
            m_db->refuseDishes("NEW.NRLINHA > 0", "auditoria recusada", "LOTEAUDITORIA");
            break;
        case HeaderTakenThenBadSlot:
            insertHeader(m.headers, day(3, 10), "0001", "32");
            insertDish(m.dishes, day(3, 11), "31", 0, "P7", kService);
            break;
        case HeaderNumberTakenNoDishes:
            for (const double seq : {1.0, 2.0}) {
                QVERIFY(m.dishes.Locate("NRCARDAPIO;NRSEQPRATCAR", {"31", seq}));
                m.dishes.Delete();
            }
            insertHeader(m.headers, day(3, 12), "0001", "30");
            break;
        }
        const QStringList before = menuState();
        QString answer;
        try {
            answer = store(m);
        } catch (const DatabaseFailure &e) { // what the database itself refused
            answer = e.text();
        }
        QVERIFY2(answer.contains(named), qPrintable(answer));
        QCOMPARE(menuState(), before);
    }

    void setImportacaoRefusesMalformedDelta_data()
    {
        QTest::addColumn<int>("malformation");
        QTest::newRow("header field missing") << int(MissingHeaderField);
        QTest::newRow("extra header field") << int(ExtraHeaderField);
        QTest::newRow("dish field missing") << int(MissingDishField);
        QTest::newRow("extra dish field") << int(ExtraDishField);
        QTest::newRow("row without change kind") << int(RowWithoutKind);
        QTest::newRow("field of another type") << int(FieldOfOtherType);
    }
    void setImportacaoRefusesMalformedDelta()
    {
        QFETCH(int, malformation);
        seedImport();
        Menus m;
        fetch(m, day(3, 10), "_0001_");
        insertHeader(m.headers, day(3, 11), "0001", "31");
        insertDish(m.dishes, day(3, 11), "31", 1, "P3", kService);
        QVERIFY(m.dishes.Locate("NRCARDAPIO;NRSEQPRATCAR", {"30", 2.0}));
        m.dishes.Edit();
        set(m.dishes, "NMPRATO", "Outro");
        m.dishes.Post();
        Packet headers = m.headers.GetDelta();
        Packet dishes = m.dishes.GetDelta();
        switch (malformation) {
        case MissingHeaderField:
            removeField(headers, "DSCARDAPIO");
            break;
        case ExtraHeaderField:
            addField(headers, "DSEXTRA");
            break;
        case MissingDishField:
            removeField(dishes, "CDSERVFILI");
            break;
        case ExtraDishField:
            addField(dishes, "DSEXTRA");
            break;
        case RowWithoutKind:
            dishes.rows.last().kind = ChangeKind::None;
            dishes.rows.last().original.clear();
            break;
        case FieldOfOtherType:
            headers.fields[headers.indexOf("DSCARDAPIO")].type = FieldType::Float;
            break;
        }
        const QVariantList args{QVariant::fromValue(headers), QVariant::fromValue(dishes)};
        const QStringList before = menuState();
        const grpc::Status status = rawInvoke(m_server->port(), makeCall("SetImportacao", args));
        QCOMPARE(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
        QVERIFY_THROWS_EXCEPTION(Error, call("SetImportacao", args));
        QCOMPARE(menuState(), before);
    }

    void menuNumbersAreUnique_data()
    {
        QTest::addColumn<int>("servers");
        QTest::addColumn<int>("block");
        QTest::addColumn<QVariant>("last"); // CARDSEQ of the branch; null: no row
        QTest::newRow("one server") << 1 << 16 << QVariant();
        QTest::newRow("one server, sequence behind") << 1 << 16 << QVariant(2);
        QTest::newRow("two servers, blocks of 4") << 2 << 4 << QVariant(2);
        QTest::newRow("two servers, blocks of 1") << 2 << 1 << QVariant(2);
    }
    void menuNumbersAreUnique()
    {
        QFETCH(int, servers);
        QFETCH(int, block);
        QFETCH(QVariant, last);
        const QStringList stored{"1", "2", "3", "7", "20"};
        for (int i = 0; i < stored.size(); ++i)
            m_db->addHeader(kBranch, kService, day(3, i + 1), "0001", stored.at(i), 1.0);
        if (last.isValid())
            m_db->exec("INSERT INTO CARDSEQ (CDFILIAL, NRULTCARD) VALUES (?, ?)", {kBranch, last});
        std::vector<std::unique_ptr<TestServer>> hosts;
        for (int i = 0; i < servers; ++i)
            hosts.push_back(std::make_unique<TestServer>(m_db->config(), block));
        constexpr int kThreads = 8;
        constexpr int kCalls = 50;
        std::mutex mutex;
        QStringList numbers;
        QStringList errors;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                QStringList mine;
                try {
                    const auto rpc = connectTo(hosts.at(t % servers)->port());
                    for (int i = 0; i < kCalls; ++i) {
                        QVariantList args{kBranch, kService, day(3, 4), "0001"};
                        mine.append(rpc->invoke("GetPrxCardapio", args).toString());
                    }
                } catch (const Error &e) {
                    std::lock_guard lock(mutex);
                    errors.append(e.text());
                }
                std::lock_guard lock(mutex);
                numbers += mine;
            });
        }
        for (std::thread &t : threads)
            t.join();
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
        QCOMPARE(numbers.size(), kThreads * kCalls);
        const QSet<QString> distinct(numbers.cbegin(), numbers.cend());
        QCOMPARE(distinct.size(), numbers.size());
        qlonglong highest = 0;
        for (const QString &n : numbers) {
            bool ok = false;
            highest = std::max(highest, n.toLongLong(&ok));
            QVERIFY2(ok, qPrintable(n));
            QVERIFY2(!stored.contains(n), qPrintable(n));
        }
        // a restarted server goes on from CARDSEQ: every number handed out is below it
        QVERIFY(m_db->scalar("SELECT NRULTCARD FROM CARDSEQ WHERE CDFILIAL = ?", {kBranch})
                    .toLongLong() >= highest);
    }

    void byReferenceArgumentsComeBack_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("args");
        RecordSet headers{"cdsCardaDia"};
        headers.SetData(Packet::forLayout(headers.layout()));
        insertHeader(headers, day(3, 11), "0001", "31");
        const QVariant delta = QVariant::fromValue(headers.GetDelta());
        QTest::newRow("GetPesqConfDestino")
            << "GetPesqConfDestino" << QVariantList{kBranch, kService, day(3, 1)};
        QTest::newRow("GetCardOrigem")
            << "GetCardOrigem" << QVariantList{kBranch, kService, day(3, 1), day(3, 31), "_0001_"};
        QTest::newRow("GetPrxCardapio")
            << "GetPrxCardapio" << QVariantList{kBranch, kService, day(3, 4), "0001"};
        QTest::newRow("GetComensais")
            << "GetComensais" << QVariantList{kBranch, kService, "0001", day(3, 3)};
        QTest::newRow("Dieta") << "Dieta"
                               << QVariantList{"_0001_0003_", kBranch, kService, day(3, 1)};
        QTest::newRow("VerifCardadia")
            << "VerifCardadia" << QVariantList{day(3, 10), kBranch, kService, "0001"};
        QTest::newRow("DelPratosDiet")
            << "DelPratosDiet" << QVariantList{kBranch, kService, "0001", day(3, 10)};
        QTest::newRow("SetImportacao, no changes")
            << "SetImportacao" << QVariantList{QVariant(), QVariant()};
        QTest::newRow("SetImportacao, a header")
            << "SetImportacao" << QVariantList{delta, QVariant()};
        QTest::newRow("GetTemCard")
            << "GetTemCard" << QVariantList{kBranch, kService, day(3, 1), "_0001_"};
        QTest::newRow("Data") << "Data" << QVariantList{day(3, 1), day(3, 31), kBranch, kService};
        QTest::newRow("GetCardadia")
            << "GetCardadia" << QVariantList{kBranch, kService, day(3, 10), "_0001_"};
    }
    void byReferenceArgumentsComeBack()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, args);
        seedImport();
        const MethodSignature *signature = findSignature(method);
        QVERIFY(signature);
        rpc::Reply reply;
        const grpc::Status status = rawInvoke(m_server->port(), makeCall(method, args), &reply);
        QVERIFY2(status.ok(), status.error_message().c_str());
        QList<int> expected;
        for (int i = 0; i < signature->params.size(); ++i) {
            if (signature->params.at(i).byRef)
                expected.append(i);
        }
        QList<int> returned;
        for (const auto &[position, value] : reply.by_ref()) {
            returned.append(position);
            QVERIFY2(value.SerializeAsString() == wireBytes(args.value(position)),
                     qPrintable(QString::number(position)));
        }
        std::sort(returned.begin(), returned.end());
        QCOMPARE(returned, expected);

        // a caller that keeps its arguments gets only what the method changed: nothing
        rpc::Reply lean;
        QVERIFY(rawInvoke(m_server->port(), makeCall(method, args), &lean,
                          {{kByRefKey.name.data(), kByRefChanged.data()}})
                    .ok());
        QCOMPARE(lean.by_ref_size(), 0);
        QVERIFY(lean.has_value());

        QVariantList written = args;
        m_rpc->invoke(method, written);
        QCOMPARE(written.size(), args.size());
        for (int i = 0; i < args.size(); ++i)
            QVERIFY2(wireBytes(written.at(i)) == wireBytes(args.at(i)),
                     qPrintable(QString::number(i)));
    }

    void dryRunIsAcknowledged()
    {
        seedImport();
        const QVariantList args{kBranch, kService, day(3, 4), "0001"};
        // the server names the dry run back in its initial metadata
        const auto channel =
            grpc::CreateChannel(QString("127.0.0.1:%1").arg(m_server->port()).toStdString(),
                                grpc::InsecureChannelCredentials());
        const auto stub = rpc::AppServer::NewStub(channel);
        grpc::ClientContext context;
        context.AddMetadata(kDryRunKey.name.data(), "preview-1");
        rpc::Reply reply;
        QVERIFY(stub->Invoke(&context, makeCall("GetPrxCardapio", args), &reply).ok());
        const auto &answered = context.GetServerInitialMetadata();
        const auto ack = answered.find(kDryRunKey.name.data());
        QVERIFY(ack != answered.end());
        QCOMPARE(std::string(ack->second.data(), ack->second.size()), std::string("preview-1"));

        // a dry run that the server does not confirm stops the client at its first
        // call: here the server keeps only the first 64 characters of the id
        QVariantList written = args;
        m_rpc->setMetadata(kDryRunKey.name, QString(kDryRunKey.maxLength + 6, QLatin1Char('x')));
        try {
            m_rpc->invoke(QStringLiteral("GetPrxCardapio"), written);
            QFAIL("an unconfirmed dry run went on");
        } catch (const Error &e) {
            QVERIFY2(e.text().contains(QStringLiteral("não confirmou a simulação")),
                     qPrintable(e.text()));
        }
        m_rpc->setMetadata(kDryRunKey.name, QString());
        written = args;
        QVERIFY(m_rpc->invoke(QStringLiteral("GetPrxCardapio"), written).typeId() ==
                QMetaType::QString);
    }

    void refusedCalls_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("code");
        const auto row = [](const char *name, const rpc::Call &c, grpc::StatusCode code) {
            const std::string bytes = c.SerializeAsString();
            QTest::newRow(name) << QByteArray(bytes.data(), qsizetype(bytes.size())) << int(code);
        };
        constexpr auto invalid = grpc::StatusCode::INVALID_ARGUMENT;
        const QString diet = "0001";
        row("unknown method", makeCall("GetCardapioDoMes", {kBranch}),
            grpc::StatusCode::UNIMPLEMENTED);
        row("too few arguments", makeCall("GetComensais", {kBranch, kService, diet}), invalid);
        row("too many arguments",
            makeCall("GetPrxCardapio", {kBranch, kService, day(3, 4), diet, diet}), invalid);
        row("text for a date", makeCall("GetComensais", {kBranch, kService, diet, "2024-03-03"}),
            invalid);
        row("null date", makeCall("GetComensais", {kBranch, kService, diet, QVariant()}), invalid);
        rpc::Call badDate = makeCall("GetComensais", {kBranch, kService, diet, day(3, 3)});
        badDate.mutable_args(3)->set_date("2024-02-30");
        row("invalid date", badDate, invalid);
        row("number for a text", makeCall("GetPrxCardapio", {1.0, kService, day(3, 4), diet}),
            invalid);
        row("text over the limit",
            makeCall("GetTemCard",
                     {kBranch, kService, day(3, 1), QString(kMaxTextArgument + 1, 'x')}),
            invalid);
        row("text for a delta", makeCall("SetImportacao", {"x", QVariant()}), invalid);
        // a step's reads are all checked before the first runs (N reserves numbers)
        for (const char *parts : {"NX", "NCVV", ""})
            row(qPrintable(QStringLiteral("step reads \"%1\"").arg(QLatin1String(parts))),
                makeCall("GetPassoDestino", {kBranch, kService, day(3, 4), diet, parts}), invalid);
        rpc::Call noKind = makeCall("GetComensais", {kBranch, kService, diet, day(3, 3)});
        noKind.mutable_args(3)->Clear();
        row("value without kind", noKind, invalid);

        // a good new header beside a dish delta whose row is one value short
        auto [header, shortRow] = newMenuDeltas(day(3, 11), "31");
        shortRow.rows.first().values.removeLast();
        row("row shorter than its fields",
            makeCall("SetImportacao", {QVariant::fromValue(header), QVariant::fromValue(shortRow)}),
            invalid);
    }
    void refusedCalls()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, code);
        seedImport();
        rpc::Call c;
        QVERIFY(c.ParseFromArray(bytes.constData(), int(bytes.size())));
        const QStringList before = menuState();
        const grpc::Status status = rawInvoke(m_server->port(), c);
        QCOMPARE(int(status.error_code()), code);
        QCOMPARE(menuState(), before);
        // on a stream the call gets the same status and the calls after it their answers
        const std::vector<rpc::Reply> replies =
            rawStream(m_server->port(),
                      {c, makeCall("GetComensais", {kBranch, kService, "0001", day(3, 3)})});
        QCOMPARE(replies.size(), size_t(2));
        QCOMPARE(replies.at(0).status_code(), code);
        QCOMPARE(replies.at(1).status_code(), 0);
        QVERIFY(replies.at(1).has_value());
        QCOMPARE(menuState(), before);
        // marked as reads ahead (a lane of their own on PostgreSQL), the answers still
        // come in the order of the calls; a batch so marked stays in its order
        rpc::Call aheadCall = c;
        rpc::Call aheadRead = makeCall("GetComensais", {kBranch, kService, "0001", day(3, 3)});
        (*aheadCall.mutable_metadata())[kAheadKey.name.data()] = "1";
        (*aheadRead.mutable_metadata())[kAheadKey.name.data()] = "1";
        const std::vector<rpc::Reply> mixed =
            rawStream(m_server->port(), {aheadCall, aheadRead, c, aheadRead, aheadCall});
        QCOMPARE(mixed.size(), size_t(5));
        QCOMPARE(mixed.at(0).status_code(), code);
        // after a refused batch, the batches that follow are answered with its refusal
        const bool batch = isBatch(QString::fromStdString(c.method()));
        for (const int i : {2, 4})
            QVERIFY(batch ? mixed.at(i).status_code() == 0 && mixed.at(i).value().has_text()
                          : mixed.at(i).status_code() == code);
        for (const int i : {1, 3})
            QVERIFY(mixed.at(i).status_code() == 0 && mixed.at(i).has_value());
        QCOMPARE(menuState(), before);
        const Packet p =
            loaded(call("Dieta", {"_0001_", kBranch, kService, day(3, 1)}), "adqValidDiet");
        QCOMPARE(rows(p, {"CDDIETPAD"}), QStringList{"0001"});
    }

    void firstAnswerWithTheNextOneReady()
    {
        // the stream's first call, a batch, waits for another writer while the read sent
        // after it is answered beside it: the batch's answer, the first, still goes out
        const auto [header, dish] = newMenuDeltas(day(3, 12), "32");
        const rpc::Call batch =
            makeCall("SetImportacao", {QVariant::fromValue(header), QVariant::fromValue(dish)});
        rpc::Call read = makeCall("GetComensais", {kBranch, kService, "0001", day(3, 3)});
        (*read.mutable_metadata())[kAheadKey.name.data()] = "1";
        m_db->holdWriteLock();
        auto replies = std::async(std::launch::async, [&] {
            return rawStream(m_server->port(), {batch, read});
        });
        QThread::msleep(500);
        m_db->release();
        const std::vector<rpc::Reply> got = replies.get();
        QCOMPARE(got.size(), size_t(2));
        QCOMPARE(got.at(0).status_code(), 0);
        QCOMPARE(QString::fromStdString(got.at(0).value().text()), QString());
        QCOMPARE(m_db->count("CARDADIA", "NRCARDAPIO = '32'"), 1);
    }
    // Operators of two branches and three roles, each call made with one's token
    void operatorsAndRights_data()
    {
        QTest::addColumn<QString>("who");     // whose token; "none", or "forged" (MARIA's code)
        QTest::addColumn<QString>("claimed"); // the operator the call says it is
        QTest::addColumn<QString>("act");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("says");
        constexpr int ok = grpc::StatusCode::OK, denied = grpc::StatusCode::PERMISSION_DENIED,
                      unknown = grpc::StatusCode::UNAUTHENTICATED;
        const auto row = [](const char *name, const char *who, const char *claimed, const char *act,
                            int code, const char *says) {
            QTest::newRow(name) << who << claimed << act << code << QString::fromUtf8(says);
        };
        row("a planner imports in their branch", "MARIA", "", "import", ok, "");
        row("the credential's operator claimed", "MARIA", "MARIA", "import", ok, "");
        row("another operator claimed", "MARIA", "JOAO", "import", denied,
            "diz ser do operador JOAO");
        row("a header stamped as another", "MARIA", "", "stamp JOAO", denied, "em nome de JOAO");
        row("a read of another branch", "MARIA", "", "read 0002", denied,
            "consultar os cardápios na filial 0002");
        row("a batch with one dish of another branch", "MARIA", "", "dish 0002", denied,
            "importar na filial 0002");
        row("a dry run outside the branches", "JOAO", "", "dry run", denied,
            "simular importações na filial 0001");
        row("no credential", "none", "", "import", unknown, "operadores cadastrados");
        row("a forged secret", "forged", "", "import", unknown, "inválida");
        row("a disabled operator", "OFF", "", "import", unknown, "desativado");
        row("a rotated token within its time", "ROTOLD", "", "import", ok, "");
        row("a rotated token past its time", "ROTPAST", "", "import", unknown, "inválida");
        row("a planner undoes another's run", "LUIZ", "", "undo", denied, "do operador MARIA");
        row("a supervisor undoes it", "SUP", "", "undo", ok, "");
        row("a planner undoes their own", "MARIA", "", "undo", ok, "");
        row("a planner lists every branch", "MARIA", "", "list", denied, "todas as filiais");
        row("a supervisor of every branch lists them", "ADM", "", "list", ok, "");
    }
    void operatorsAndRights()
    {
        QFETCH(QString, who);
        QFETCH(QString, claimed);
        QFETCH(QString, act);
        QFETCH(int, code);
        QFETCH(QString, says);
        m_db->addBranch("0002", "Hospital Norte");
        QTemporaryDir dir;
        QHash<QString, QString> tokens;
        {
            SqlSession s(m_db->config(), QStringLiteral("operators"));
            const auto add = [&](const QString &name, Role role, const QStringList &branches) {
                const QString file = dir.filePath(name);
                OperatorRecord record;
                record.code = name;
                record.name = "Operador " + name;
                record.role = role;
                record.allBranches = branches.isEmpty();
                record.branches = branches;
                addOperator(s, record, file);
                QCOMPARE(QFile::permissions(file),
                         QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
                tokens[name] = readTokenFile(file).first();
            };
            add("MARIA", Role::Planner, {kBranch});
            add("LUIZ", Role::Planner, {kBranch});
            add("JOAO", Role::Planner, {"0002"});
            add("SUP", Role::Supervisor, {kBranch, "0002"});
            add("ADM", Role::Admin, {});
            add("OFF", Role::Planner, {kBranch});
            QVERIFY(disableOperator(s, "OFF"));
            for (const char *rotated : {"ROTOLD", "ROTPAST"}) {
                add(rotated, Role::Planner, {kBranch});
                const QDateTime until = QDateTime::currentDateTime().addSecs(
                    qstrcmp(rotated, "ROTOLD") == 0 ? 3600 : 0);
                rotateOperator(s, rotated, until, dir.filePath("new"));
            }
        }
        tokens["forged"] = makeOperatorToken("MARIA", QByteArray(32, 'x'));
        const auto invoke = [&](const QString &as, const rpc::Call &c,
                                std::map<std::string, std::string> meta = {}) {
            if (tokens.contains(as))
                meta["authorization"] = "Bearer " + tokens.value(as).toStdString();
            return rawInvoke(m_server->port(), c, nullptr, meta);
        };
        // a run of MARIA's, to be undone
        const auto batch = [](const QDate &d, const QString &number, const QString &stamp,
                              const QString &dishBranch) {
            RecordSet headers{"cdsCardaDia"};
            headers.SetData(Packet::forLayout(headers.layout()));
            insertHeader(headers, d, "0001", number);
            headers.Edit();
            set(headers, "CDOPERADOR", stamp);
            headers.Post();
            RecordSet dishes{"cdsCompCardCache"};
            dishes.SetData(Packet::forLayout(dishes.layout()));
            insertDish(dishes, d, number, 1, "P1", kService);
            insertDish(dishes, d, number, 2, "P2", kService);
            dishes.Edit();
            set(dishes, "CDFILIAL", dishBranch);
            dishes.Post();
            return makeCall("SetImportacao", {deltaOf(headers), deltaOf(dishes)});
        };
        QVERIFY(invoke("MARIA", batch(day(3, 12), "32", "MARIA", kBranch),
                       {{kRunIdKey.name.data(), "run-maria"}, {kBatchIdKey.name.data(), "b-1"}})
                    .ok());
        const QStringList before = menuState();
        const QStringList audit = m_db->dump("LOTEAUDITORIA");
        const QString stamp = act.startsWith("stamp") ? act.section(' ', 1) : who;
        const QString branch = act.section(' ', 1);
        std::map<std::string, std::string> meta{{kBatchIdKey.name.data(), "b-2"}};
        if (!claimed.isEmpty())
            meta[kOperatorKey.name.data()] = claimed.toStdString();
        rpc::Call c = batch(day(3, 11), "31", stamp, act.startsWith("dish") ? branch : kBranch);
        if (act == "read 0002")
            c = makeCall("GetCardadia", {branch, kService, day(3, 1), "_0001_"});
        else if (act == "dry run")
            meta[kDryRunKey.name.data()] = "preview-1";
        else if (act == "undo")
            c = makeCall("DesfazImportacao", {"run-maria", kBranch});
        else if (act == "list")
            c = makeCall("GetImportacoes", {QString()});
        const grpc::Status status = invoke(who, c, meta);
        QCOMPARE(int(status.error_code()), code);
        QVERIFY2(QString::fromStdString(status.error_message()).contains(says),
                 status.error_message().c_str());
        if (code != grpc::StatusCode::OK) {
            QCOMPARE(menuState(), before);
            QCOMPARE(m_db->dump("LOTEAUDITORIA"), audit);
        } else if (act == "import") {
            // every trace of the batch names the credential's operator
            QCOMPARE(queryOne("SELECT CDOPERADOR FROM CARDADIA WHERE NRCARDAPIO = '31'"), who);
            QCOMPARE(queryOne("SELECT CDOPERADOR FROM LOTEIMPORT WHERE IDLOTE = 'b-2'"), who);
            QCOMPARE(queryOne("SELECT DISTINCT CDOPERADOR FROM LOTEAUDITORIA WHERE IDLOTE = 'b-2'"),
                     who);
        } else if (act == "undo") {
            QCOMPARE(queryOne("SELECT DISTINCT CDOPERDESFEZ FROM IMPORTACAODIA"), who);
            QCOMPARE(queryOne("SELECT COUNT(*) FROM CARDADIA WHERE NRCARDAPIO = '32'"),
                     QStringLiteral("0"));
        }
    }

    void oversizedCallIsRefused()
    {
        rpc::Call big = makeCall("GetTemCard", {kBranch, kService, day(3, 1), "_0001_"});
        big.mutable_args(3)->set_text(std::string(17 * 1024 * 1024, 'x'));
        QCOMPARE(rawInvoke(m_server->port(), big).error_code(),
                 grpc::StatusCode::RESOURCE_EXHAUSTED);
        const Packet p =
            loaded(call("Dieta", {"_0001_", kBranch, kService, day(3, 1)}), "adqValidDiet");
        QCOMPARE(rows(p, {"CDDIETPAD"}), QStringList{"0001"});
        QVERIFY(
            rawInvoke(m_server->port(), makeCall("Dieta", {"_0001_", kBranch, kService, day(3, 1)}))
                .ok());
    }
};

QTEST_GUILESS_MAIN(TestAppServer)
#include "tst_server.moc"
