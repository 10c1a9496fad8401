#pragma once

#include <QDate>
#include <QSqlDatabase>

namespace zov {

// Fills a database that has the schema and no branch yet with a demo hospital:
// two branches, lunch and dinner services (and one service the search does not
// offer), diets, dish types, a dish catalogue, a full month of menus from `month`
// (its first day) for every diet, the dish slots of that month and the next, shifts,
// holidays, planning parameters and diner estimates. One transaction; throws
// zov::Error and leaves the database untouched when anything fails.
void seedDemo(QSqlDatabase &db, const QDate &month);

} // namespace zov
