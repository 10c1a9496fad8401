#pragma once

#include <QDate>
#include <QVariant>
#include <QVariantList>

namespace zov {

// Where the fields of a header or dish row stand (the layout's order), looked up by
// name once.
struct Positions
{
    explicit Positions(const char *layoutName);
    int CDFILIAL, CDSERVFILI, DTCARDAPIO, CDDIETPAD, NRCARDAPIO;
    int NRSEQPRATCAR = -1, NRORDPRATCAR = -1, CDPRATO = -1; // of a dish
    int QTCOMESTICAR = -1;                                  // of a header
};
const Positions &headerAt(); // cdsCardaDia
const Positions &dishAt();   // cdsCompCardCache

bool isNull(const QVariant &v);
// Values of one column, both already fitted to its type.
bool sameValue(const QVariant &a, const QVariant &b);
// A date as either database hands it back.
QDate dateOf(const QVariant &v);
// Sequence and order numbers are whole numbers in the database: false for one that is not.
bool toWhole(QVariant &v);

// The keys the statements take: a header's (branch, service, day, diet), a dish's
// (branch, menu number, diet, slot).
QVariantList headerKey(const QVariantList &h);
QVariantList dishKey(const QVariantList &c);

} // namespace zov
