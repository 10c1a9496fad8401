#pragma once

#include <QString>

namespace zov {

// The system's own texts (everything the user may read that is not a line of the
// screen's message table) live in the resource texts.txt as "KEY|text" lines.
// An unknown key is a programming error and yields the key in brackets.
QString text(const char *key);

// A count with the words that agree with it: "1 prato copiado", "3 pratos copiados".
// The singular is the text of KEY_1, taken from 1 up to 2 (exclusive) as Portuguese
// does ("1,5 porção"); any other count takes KEY. %1 is `shown`, or the count itself.
QString countText(const char *key, double count, const QString &shown = {});

// Whether a text is all ASCII: codes and most names are, and take shortcuts past the
// conversions (case folding, UTF-8) other texts need.
inline bool isAscii(QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

} // namespace zov
