#pragma once

#include <QString>
#include <QStringList>

namespace zov {

// The diet list that every menu call carries: an underscore before every code and one
// after the last ("_0001_0003_"), codes in the order given; "_" for no code at all.
QString dietList(const QStringList &codes);

// True when `list` names `code` ("_" + code + "_" occurs in it).
bool dietListNames(const QString &list, const QString &code);

// The codes a list names, in its order.
QStringList dietListCodes(const QString &list);

// What stands for every diet of the service: the entry's sixth value and the diet
// query's parameters before the service's diets are listed ("T").
QString allDiets();

// A diet code fit to go in a list: not empty, no longer than its field, no "_".
bool isDietCode(const QString &code);

} // namespace zov
