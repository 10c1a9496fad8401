// Filter texts: any text either filters the record set or is refused with
// zov::Error; the shown rows always satisfy every term.

#include "error.h"
#include "filter.h"
#include "fuzzseeds.h"
#include "recordset.h"

#include <QCoreApplication>

namespace {

zov::Packet sample()
{
    using namespace zov;
    Packet p = Packet::forLayout(layout(QStringLiteral("cdsPesqConfDestino")));
    for (int i = 0; i < 20; ++i)
        p.rows.append({{QStringLiteral("B1"), QStringLiteral("00001"), QDate(2024, 4, 1), double(i),
                        QStringLiteral("%1").arg(i % 4, 2, 10, QLatin1Char('0')), double(i % 5)},
                       ChangeKind::None,
                       {}});
    return p;
}

void seeds()
{
    fuzz::writeSeed("slots", "CDFILIAL = 'B1' AND CDSERVFILI = '00001' AND DTREFECNFMES = "
                             "'01/04/2024' AND CDTIPOPRAT = '01'");
    fuzz::writeSeed("number", "NRSEQCNFMES = 3");
    fuzz::writeSeed("quote", "CDTIPOPRAT = 'O''BRIEN'");
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
    static const zov::Packet packet = sample();
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    zov::RecordSet rs(QStringLiteral("cdsPesqConfDestino"));
    rs.SetData(packet);
    try {
        (void)zov::parseFilter(text);
    } catch (const zov::Error &) {
    }
    try {
        rs.setFilter(text);
        rs.setFiltered(true);
        const int shown = rs.RecordCount();
        int walked = 0;
        for (rs.First(); !rs.Eof(); rs.Next())
            ++walked;
        if (walked != shown || shown > packet.rows.size())
            __builtin_trap();
    } catch (const zov::Error &) {
    }
    return 0;
}
