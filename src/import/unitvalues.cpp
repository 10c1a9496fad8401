#include "unitvalues.h"

#include "consiste.h"

namespace zov {

UnitValues &unitValues()
{
    static UnitValues values;
    return values;
}

void storeEntryValues(const QString &cdFilial, const QString &cdServFili, const QDate &dtCardapio,
                      const QDate &dtMesCard, const QString &elemento4, const QString &todasDietas,
                      int semArredondamento)
{
    UnitValues &u = unitValues();
    u.CdFilial = cdFilial;
    u.CdServFili = EmptyString(cdServFili) ? cdServFili : Ajusta(cdServFili, 5);
    u.DtCardapio = dtCardapio;
    u.DtMesCard = dtMesCard;
    u.Elemento4 = elemento4;
    u.TodasDietas = todasDietas;
    u.SemArredondamento = semArredondamento;
}

} // namespace zov
