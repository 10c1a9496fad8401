#pragma once

#include <QString>

namespace zov {

// The system's own texts (everything the user may read that is not a line of the
// screen's message table) live in the resource texts.txt as "KEY|text" lines.
// An unknown key is a programming error and yields the key in brackets.
QString text(const char *key);

} // namespace zov
