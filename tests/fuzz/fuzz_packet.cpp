// Packets and deltas from the wire: any bytes either convert and load into every
// record set or are refused with zov::Error; nothing crashes or leaks.

#include "appserver.pb.h"
#include "error.h"
#include "fuzzseeds.h"
#include "layout.h"
#include "recordset.h"
#include "wire.h"

#include <QCoreApplication>

namespace {

void seeds()
{
    using namespace zov;
    Packet packet = Packet::forLayout(layout(QStringLiteral("cdsCompCardCache")));
    packet.rows.append(
        {{QStringLiteral("B1"), QDate(2024, 4, 1), QStringLiteral("0001"), QStringLiteral("9"),
          11.0, QStringLiteral("B1"), QStringLiteral("P1"), QStringLiteral("ALFACE ÇÃ"), 40.0,
          QStringLiteral("01"), QStringLiteral("00101SALADA"), 1.0, QVariant()},
         ChangeKind::None,
         {}});
    rpc::Value value;
    toWire(QVariant::fromValue(packet), &value);
    fuzz::writeSeed("packet", value.SerializeAsString());
    packet.rows.first().kind = ChangeKind::Modify;
    packet.rows.first().original = packet.rows.first().values;
    toWire(QVariantList{QVariant::fromValue(packet), QVariant()}, &value);
    fuzz::writeSeed("delta", value.SerializeAsString());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    fuzz::handleSeedRequest(*argc, *argv, seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zov::rpc::Value value;
    if (!value.ParseFromArray(data, static_cast<int>(size)))
        return 0;
    try {
        QVariant converted = zov::fromWire(value);
        QVariantList packets = converted.typeId() == QMetaType::QVariantList
                                   ? converted.toList()
                                   : QVariantList{converted};
        for (QVariant &v : packets) {
            if (v.typeId() != qMetaTypeId<zov::Packet>())
                continue;
            const zov::Packet packet = v.value<zov::Packet>();
            for (const QString &name : zov::layoutNames()) {
                zov::RecordSet rs(name);
                try {
                    rs.SetData(packet);
                    for (rs.First(); !rs.Eof(); rs.Next()) {
                    }
                    (void)rs.GetDelta();
                } catch (const zov::Error &) {
                }
            }
        }
        zov::rpc::Value back;
        zov::moveToWire(converted, &back);
    } catch (const zov::Error &) {
    }
    return 0;
}
