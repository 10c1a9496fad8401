#pragma once

#include <QList>
#include <QString>

namespace zov {

// A filter text of the form FIELD = 'literal' [AND FIELD = 'literal' ...]. Literals
// are quoted with single quotes (an inner quote doubled) or are plain numbers.
struct FilterTerm
{
    QString field;
    QString literal;
};

// Parses `text`; throws zov::Error with the position of the first fault.
QList<FilterTerm> parseFilter(const QString &text);

// Encloses `value` in single quotes, doubling inner quotes.
QString QuotedStr(const QString &value);

} // namespace zov
