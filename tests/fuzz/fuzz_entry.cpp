// The host's entry array: any array either converts to the seven entry values or is
// refused with zov::Error before anything is stored.

#include "appserver.pb.h"
#include "error.h"
#include "fuzzseeds.h"
#include "unitvalues.h"
#include "wire.h"

#include <QCoreApplication>

namespace {

void seeds()
{
    zov::rpc::Value value;
    zov::toWire(QVariantList{QStringLiteral("B1"), QStringLiteral("1"), QDate(2024, 4, 1), 45383.0,
                             QString(), QStringLiteral("T"), 0.0},
                &value);
    fuzz::writeSeed("entry", value.SerializeAsString());
    zov::toWire(QVariantList{QStringLiteral("B1"), QStringLiteral("1"), QStringLiteral("45384"),
                             QStringLiteral("45383"), QVariant(), QString(), QStringLiteral("1")},
                &value);
    fuzz::writeSeed("texts", value.SerializeAsString());
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
        const zov::EntryValues e = zov::convertEntry(zov::fromWire(value));
        if (!e.dtCardapio.isValid() || !e.dtMesCard.isValid())
            __builtin_trap();
    } catch (const zov::Error &) {
    }
    return 0;
}
