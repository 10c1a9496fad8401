#include "unitvalues.h"

#include "consiste.h"
#include "dates.h"
#include "error.h"
#include "texts.h"

#include <cmath>

namespace zov {

namespace {

QString textElement(const QVariantList &entry, int index)
{
    const QVariant &v = entry.at(index);
    switch (v.typeId()) {
    case QMetaType::QString:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return v.toString();
    default:
        if (!v.isValid() || v.isNull())
            return QString();
    }
    throw Error(text("ENTRY_BAD_ELEMENT").arg(index).arg(QString::fromLatin1(v.typeName())));
}

// a real number taken as a day number, or a date
QDate dateElement(const QVariantList &entry, int index)
{
    const QVariant &v = entry.at(index);
    if (v.typeId() == QMetaType::QDate && v.toDate().isValid())
        return v.toDate();
    if (v.typeId() == QMetaType::QDateTime && v.toDateTime().isValid())
        return v.toDateTime().date();
    bool ok = false;
    double day = 0;
    if (v.typeId() == QMetaType::QString)
        day = v.toString().trimmed().toDouble(&ok);
    else if (v.typeId() == QMetaType::Int || v.typeId() == QMetaType::LongLong ||
             v.typeId() == QMetaType::Double)
        day = v.toDouble(&ok);
    // days from year 1 to 9999 only
    const QDate date =
        ok && std::isfinite(day) && std::fabs(day) < 3e6 ? dateFromDayNumber(day) : QDate();
    if (!date.isValid())
        throw Error(text("ENTRY_BAD_ELEMENT").arg(index).arg(QString::fromLatin1(v.typeName())));
    return date;
}

int integerElement(const QVariantList &entry, int index)
{
    const QVariant &v = entry.at(index);
    bool ok = false;
    double value = 0;
    if (v.typeId() == QMetaType::QString)
        value = v.toString().trimmed().toDouble(&ok);
    else if (v.typeId() == QMetaType::Int || v.typeId() == QMetaType::LongLong ||
             v.typeId() == QMetaType::Double || v.typeId() == QMetaType::Bool)
        value = v.toDouble(&ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > 2147483647.0)
        throw Error(text("ENTRY_BAD_ELEMENT").arg(index).arg(QString::fromLatin1(v.typeName())));
    return static_cast<int>(std::lround(value));
}

} // namespace

EntryValues convertEntry(const QVariant &entry)
{
    if (entry.typeId() != QMetaType::QVariantList)
        throw Error(text("ENTRY_NOT_ARRAY"));
    const QVariantList values = entry.toList();
    if (values.size() < 7)
        throw Error(text("ENTRY_SHORT").arg(values.size()));
    EntryValues e;
    e.cdFilial = textElement(values, 0);
    e.cdServFili = textElement(values, 1);
    e.dtCardapio = dateElement(values, 2);
    e.dtMesCard = dateElement(values, 3);
    e.elemento4 = textElement(values, 4);
    e.todasDietas = textElement(values, 5);
    e.semArredondamento = integerElement(values, 6);
    return e;
}

UnitValues &unitValues()
{
    static UnitValues values;
    return values;
}

void storeEntryValues(const QString &cdFilial, const QString &cdServFili, const QDate &dtCardapio,
                      const QDate &dtMesCard, const QString &elemento4, const QString &todasDietas,
                      int semArredondamento)
{
    // as the screen's edits would hold them: the branch in capitals, the service no
    // longer than its field and padded as a typed one is; a branch that breaks the
    // rule is refused before anything is stored
    const QString branch = cdFilial.trimmed().toUpper();
    if (const QString problem = branchCodeProblem(branch); !problem.isEmpty())
        throw Error(problem);
    UnitValues &u = unitValues();
    u.CdFilial = branch;
    const QString service = cdServFili.trimmed().left(serviceCodeWidth());
    u.CdServFili = service.isEmpty() ? service : paddedServiceCode(service);
    u.DtCardapio = dtCardapio;
    u.DtMesCard = dtMesCard;
    u.Elemento4 = elemento4;
    u.TodasDietas = todasDietas;
    u.SemArredondamento = semArredondamento;
}

} // namespace zov
