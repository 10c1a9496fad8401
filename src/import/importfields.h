#pragma once

#include "impocardhosp.h"

namespace zov {

// The fields the dish copy reads and writes for every slot, looked up once.
struct ImpoCardHosp::Fields
{
    explicit Fields(ImpoCardHosp &s)
        : estimate(s.cdsCardaDia.FieldByName(QStringLiteral("QTCOMESTICAR")))
        , type(s.cdsTipoPrato.FieldByName(QStringLiteral("CDTIPOPRAT")))
        , sourceDay(s.adqData.FieldByName(QStringLiteral("DTCARDAPIO")))
        , slotDish(s.adqVerifCardaDia.FieldByName(QStringLiteral("CDPRATO")))
        , srcValue(s.cdsCardOrigem.FieldByName(QStringLiteral("VRPECONSCARD")))
        , srcAuxBranch(s.cdsCardOrigem.FieldByName(QStringLiteral("CDFILAUXPRAT")))
        , srcDish(s.cdsCardOrigem.FieldByName(QStringLiteral("CDPRATO")))
        , srcDishName(s.cdsCardOrigem.FieldByName(QStringLiteral("NMPRATO")))
        , srcType(s.cdsCardOrigem.FieldByName(QStringLiteral("CDTIPOPRAT")))
        , srcTypeName(s.cdsCardOrigem.FieldByName(QStringLiteral("NMTIPOPRAT")))
        , CDFILIAL(s.cdsCompCardCache.FieldByName(QStringLiteral("CDFILIAL")))
        , NRCARDAPIO(s.cdsCompCardCache.FieldByName(QStringLiteral("NRCARDAPIO")))
        , CDDIETPAD(s.cdsCompCardCache.FieldByName(QStringLiteral("CDDIETPAD")))
        , NRSEQPRATCAR(s.cdsCompCardCache.FieldByName(QStringLiteral("NRSEQPRATCAR")))
        , NRORDPRATCAR(s.cdsCompCardCache.FieldByName(QStringLiteral("NRORDPRATCAR")))
        , CDFILAUXPRAT(s.cdsCompCardCache.FieldByName(QStringLiteral("CDFILAUXPRAT")))
        , CDPRATO(s.cdsCompCardCache.FieldByName(QStringLiteral("CDPRATO")))
        , NMPRATO(s.cdsCompCardCache.FieldByName(QStringLiteral("NMPRATO")))
        , VRPECONSCARD(s.cdsCompCardCache.FieldByName(QStringLiteral("VRPECONSCARD")))
        , CDTIPOPRAT(s.cdsCompCardCache.FieldByName(QStringLiteral("CDTIPOPRAT")))
        , NMTIPOPRAT(s.cdsCompCardCache.FieldByName(QStringLiteral("NMTIPOPRAT")))
        , DTCARDAPIO(s.cdsCompCardCache.FieldByName(QStringLiteral("DTCARDAPIO")))
    {}

    Field estimate, type, sourceDay, slotDish;
    Field srcValue, srcAuxBranch, srcDish, srcDishName, srcType, srcTypeName;
    // the new row of cdsCompCardCache
    Field CDFILIAL, NRCARDAPIO, CDDIETPAD, NRSEQPRATCAR, NRORDPRATCAR, CDFILAUXPRAT, CDPRATO,
        NMPRATO, VRPECONSCARD, CDTIPOPRAT, NMTIPOPRAT, DTCARDAPIO;
};

} // namespace zov
