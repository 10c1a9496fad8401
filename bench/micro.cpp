// Micro benchmarks of the hot path: locates and filter switches on the record sets,
// delta and merge, packet conversion, and one remote call on loopback.

#include "appserverhost.h"
#include "database.h"
#include "filter.h"
#include "recordset.h"
#include "rpcconnection.h"
#include "schema.h"
#include "wire.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

using namespace zov;

namespace {

const QDate kDay(2025, 3, 1);

// A destination month of dishes: 31 days x 12 diets x 25 x `scale` slots.
Packet dishes(int scale)
{
    Packet p = Packet::forLayout(layout(QStringLiteral("cdsCompCardCache")));
    int number = 0;
    for (int day = 0; day < 31; ++day) {
        for (int d = 1; d <= 12; ++d) {
            const QString nr = QString::number(++number);
            for (int seq = 1; seq <= 25 * scale; ++seq) {
                PacketRow row;
                row.values = {QStringLiteral("BN01"),
                              kDay.addDays(day),
                              QStringLiteral("%1").arg(d, 4, 10, QLatin1Char('0')),
                              nr,
                              double(seq),
                              QStringLiteral("BN01"),
                              QStringLiteral("P%1").arg(seq),
                              QStringLiteral("PRATO %1").arg(seq),
                              40.0,
                              QStringLiteral("%1").arg(seq % 20, 2, 10, QLatin1Char('0')),
                              QStringLiteral("001%1TIPO").arg(seq % 20),
                              double(seq % 5 + 1),
                              QStringLiteral("00001")};
                p.rows.append(row);
            }
        }
    }
    return p;
}

void BM_LocateDish(benchmark::State &state)
{
    RecordSet rs(QStringLiteral("cdsCompCardCache"));
    rs.SetData(dishes(static_cast<int>(state.range(0))));
    int i = 0;
    for (auto _ : state) {
        const bool found =
            rs.contains(QStringLiteral("CDFILIAL;NRCARDAPIO;CDDIETPAD;NRSEQPRATCAR"),
                        {QStringLiteral("bn01"), QString::number(i % 372 + 1),
                         QStringLiteral("%1").arg(i % 12 + 1, 4, 10, QLatin1Char('0')), i % 25 + 1},
                        Qt::CaseInsensitive);
        benchmark::DoNotOptimize(found);
        ++i;
    }
    state.counters["rows"] = rs.RecordCount();
}
BENCHMARK(BM_LocateDish)->Arg(1)->Arg(4);

void BM_FilterSwitchSource(benchmark::State &state)
{
    Packet p = Packet::forLayout(layout(QStringLiteral("cdsCardOrigem")));
    for (int day = 0; day < 31; ++day)
        for (int d = 1; d <= 12; ++d)
            for (int t = 1; t <= 5 * state.range(0); ++t)
                for (int k = 1; k <= 5; ++k) {
                    PacketRow row;
                    for (const PacketField &f : p.fields)
                        row.values.append(f.type == FieldType::Date    ? QVariant(kDay.addDays(day))
                                          : f.type == FieldType::Float ? QVariant(double(k))
                                                                       : QVariant(QString()));
                    row.values[p.indexOf(QStringLiteral("CDTIPOPRAT"))] =
                        QStringLiteral("%1").arg(t, 2, 10, QLatin1Char('0'));
                    row.values[p.indexOf(QStringLiteral("CDDIETPAD"))] =
                        QStringLiteral("%1").arg(d, 4, 10, QLatin1Char('0'));
                    p.rows.append(row);
                }
    RecordSet rs(QStringLiteral("cdsCardOrigem"));
    rs.SetData(p);
    int i = 0;
    for (auto _ : state) {
        rs.setFiltered(false);
        rs.setFilter(
            QStringLiteral("CDTIPOPRAT = ") +
            QuotedStr(QStringLiteral("%1").arg(i % 5 + 1, 2, 10, QLatin1Char('0'))) +
            QStringLiteral(" AND DTCARDAPIO = ") +
            QuotedStr(QStringLiteral("%1/03/2025").arg(i % 28 + 1, 2, 10, QLatin1Char('0'))) +
            QStringLiteral(" AND CDDIETPAD = ") + QuotedStr(QStringLiteral("0001")));
        rs.setFiltered(true);
        benchmark::DoNotOptimize(rs.RecordCount());
        ++i;
    }
    state.counters["rows"] = static_cast<double>(p.rows.size());
}
BENCHMARK(BM_FilterSwitchSource)->Arg(1)->Arg(4);

void BM_DeltaAndMerge(benchmark::State &state)
{
    RecordSet rs(QStringLiteral("cdsCompCardCache"));
    rs.SetData(dishes(1));
    int seq = 1000;
    for (auto _ : state) {
        for (int i = 0; i < 25; ++i) {
            rs.Insert();
            rs.FieldByName(QStringLiteral("CDFILIAL")).setValue(QStringLiteral("BN01"));
            rs.FieldByName(QStringLiteral("NRCARDAPIO")).setValue(QStringLiteral("9"));
            rs.FieldByName(QStringLiteral("CDDIETPAD")).setValue(QStringLiteral("0001"));
            rs.FieldByName(QStringLiteral("NRSEQPRATCAR")).setValue(++seq);
            rs.Post();
        }
        benchmark::DoNotOptimize(rs.GetDelta());
        rs.MergeChangeLog();
    }
}
BENCHMARK(BM_DeltaAndMerge);

void BM_PacketToWireAndBack(benchmark::State &state)
{
    const Packet p = dishes(1);
    for (auto _ : state) {
        rpc::Packet wire;
        toWire(p, &wire);
        benchmark::DoNotOptimize(fromWire(wire));
    }
    state.counters["rows"] = static_cast<double>(p.rows.size());
    state.SetItemsProcessed(state.iterations() * p.rows.size());
}
BENCHMARK(BM_PacketToWireAndBack)->Unit(benchmark::kMillisecond);

// One round trip of a call that reads nothing, to an application server over SQLite
// on a loopback socket.
void BM_RemoteCall(benchmark::State &state)
{
    QTemporaryDir dir;
    const DatabaseConfig config =
        DatabaseConfig::parse(dir.filePath(QStringLiteral("bench.sqlite")));
    {
        QSqlDatabase db = openDatabase(config, QStringLiteral("bench"), OpenMode::Create);
        applySchema(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    AppServerHost::Options options;
    options.listen = QStringLiteral("127.0.0.1:0");
    AppServerHost host(config, options);
    host.start();
    RpcConnection rpc;
    RpcConnection::Options o;
    o.port = host.port();
    rpc.setOptions(o);
    rpc.open();
    for (auto _ : state) {
        QVariantList args{QStringLiteral("BN01"), QStringLiteral("00001"), QStringLiteral("0001"),
                          kDay};
        benchmark::DoNotOptimize(rpc.invoke(Method::DelPratosDiet, args));
    }
}
BENCHMARK(BM_RemoteCall)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
