#include "menurows.h"

#include "dates.h"
#include "layout.h"

#include <cmath>

namespace zov {

Positions::Positions(const char *layoutName)
{
    const Layout &l = layout(QLatin1String(layoutName));
    const auto at = [&](const char *field) {
        const int i = l.indexOf(QLatin1String(field));
        Q_ASSERT(i >= 0);
        return i;
    };
    CDFILIAL = at("CDFILIAL");
    CDSERVFILI = at("CDSERVFILI");
    DTCARDAPIO = at("DTCARDAPIO");
    CDDIETPAD = at("CDDIETPAD");
    NRCARDAPIO = at("NRCARDAPIO");
    if (l.name == QLatin1String("cdsCompCardCache")) {
        NRSEQPRATCAR = at("NRSEQPRATCAR");
        NRORDPRATCAR = at("NRORDPRATCAR");
        CDPRATO = at("CDPRATO");
    } else {
        QTCOMESTICAR = at("QTCOMESTICAR");
    }
}
const Positions &headerAt()
{
    static const Positions positions("cdsCardaDia");
    return positions;
}
const Positions &dishAt()
{
    static const Positions positions("cdsCompCardCache");
    return positions;
}

bool isNull(const QVariant &v)
{
    return !v.isValid() || v.isNull();
}

bool sameValue(const QVariant &a, const QVariant &b)
{
    if (isNull(a) || isNull(b))
        return isNull(a) == isNull(b);
    if (a.typeId() == QMetaType::Double || b.typeId() == QMetaType::Double)
        return a.toDouble() == b.toDouble();
    if (a.typeId() == QMetaType::QDate || b.typeId() == QMetaType::QDate)
        return a.toDate() == b.toDate();
    return a.toString() == b.toString();
}

QDate dateOf(const QVariant &v)
{
    return v.typeId() == QMetaType::QDate ? v.toDate()
                                          : parseIsoDate(QStringView(v.toString()).left(10));
}

QVariantList headerKey(const QVariantList &h)
{
    return {h.at(headerAt().CDFILIAL), h.at(headerAt().CDSERVFILI), h.at(headerAt().DTCARDAPIO),
            h.at(headerAt().CDDIETPAD)};
}

bool toWhole(QVariant &v)
{
    if (isNull(v))
        return true;
    const double d = v.toDouble();
    if (d != std::floor(d) || std::fabs(d) > 2e9)
        return false;
    v = static_cast<qlonglong>(d);
    return true;
}

QVariantList dishKey(const QVariantList &c)
{
    return {c.at(dishAt().CDFILIAL), c.at(dishAt().NRCARDAPIO), c.at(dishAt().CDDIETPAD),
            c.at(dishAt().NRSEQPRATCAR)};
}

} // namespace zov
