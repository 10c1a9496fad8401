#pragma once

#include <QColor>

namespace zov {

// The colours of the report window, in one place: the overview's cells, the details'
// dishes left out and the legend's swatches all take them from here. The three outcomes
// differ in lightness as well as in hue, so that a planner who does not tell red from
// green tells them apart: any two of them have a contrast ratio of 3:1 at least, and the
// text on each, 4.5:1.
enum class Shade {
    Nothing, // nothing copied, or not stored
    Some,    // some dishes left out (or the server never said whether it stored them)
    All,     // every dish copied
};

struct ShadeColours
{
    QColor background;
    QColor text;
};

inline ShadeColours shadeColours(Shade shade)
{
    switch (shade) {
    case Shade::Nothing:
        return {QColor(0x64, 0x14, 0x14), QColor(Qt::white)}; // dark red
    case Shade::Some:
        return {QColor(0xc7, 0x6a, 0x00), QColor(Qt::black)}; // amber
    case Shade::All:
        return {QColor(0xe3, 0xf5, 0xe1), QColor(Qt::black)}; // pale green
    }
    return {};
}

} // namespace zov
