#pragma once

#include <QDate>
#include <QString>
#include <QVariant>

namespace zov {

// The module's entry parameters and unit-level values. One set per loaded module:
// an entry replaces the seven entry values only; the others keep their value from
// one screen run to the next until the module unloads.
struct UnitValues
{
    // set at entry
    QString CdFilial;
    QString CdServFili;
    QDate DtCardapio;  // the destination day; the run's current destination day
    QDate DtMesCard;   // the destination month reference
    QString Elemento4; // kept with the entry values; nothing reads it
    QString TodasDietas;
    int SemArredondamento = 0;

    // set during work
    QString DietaAtual;
    QString ListaDietas;
    QString DietasEscolhidas;
    QString DiaSemComensais;
};

UnitValues &unitValues();

// The seven values of the host's entry array, converted.
struct EntryValues
{
    QString cdFilial;
    QString cdServFili;
    QDate dtCardapio;
    QDate dtMesCard;
    QString elemento4;
    QString todasDietas;
    int semArredondamento = 0;
};

// Converts the entry array (a variant list of at least seven values; dates as dates
// or day numbers). Throws zov::Error naming the element that does not convert; the
// caller stores nothing then.
EntryValues convertEntry(const QVariant &entry);

// Stores the seven entry values (CriaImpoCardHosp's step 2) as the screen's edits
// hold them: the branch code in capitals, the service code no longer than its field
// and padded as a typed one is, so that it matches the stored codes. Throws zov::Error
// for a branch code that breaks the rule (branchCodeProblem), storing nothing.
void storeEntryValues(const QString &cdFilial, const QString &cdServFili, const QDate &dtCardapio,
                      const QDate &dtMesCard, const QString &elemento4, const QString &todasDietas,
                      int semArredondamento);

} // namespace zov
