#include "portions.h"

#include <charconv>
#include <cmath>

namespace zov {

namespace {

using Big = unsigned __int128;

// A finite double as the shortest decimal that reads back as it: digits x 10^exponent.
struct Decimal
{
    Big digits = 0;
    int exponent = 0;
    bool negative = false;
};

Decimal decimalOf(double value)
{
    char text[64];
    const auto written =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    Decimal d;
    const char *p = text;
    if (*p == '-') {
        d.negative = true;
        ++p;
    }
    int fraction = 0;
    bool afterPoint = false;
    for (; p < written.ptr && *p != 'e'; ++p) {
        if (*p == '.') {
            afterPoint = true;
            continue;
        }
        d.digits = d.digits * 10 + static_cast<unsigned>(*p - '0');
        fraction += afterPoint ? 1 : 0;
    }
    int exponent = 0;
    if (p < written.ptr)
        std::from_chars(p + (p[1] == '+' ? 2 : 1), written.ptr, exponent);
    d.exponent = exponent - fraction;
    return d;
}

constexpr Big kMax = ~Big(0);

} // namespace

double roundedUpPortions(double diners, double perCapita, double rounding)
{
    const double quotient = diners * perCapita / 100.0 / rounding;
    if (!std::isfinite(diners) || !std::isfinite(perCapita) || !std::isfinite(rounding) ||
        !std::isfinite(quotient))
        return std::ceil(quotient);
    const Decimal q = decimalOf(diners), v = decimalOf(perCapita), r = decimalOf(rounding);
    if (q.digits == 0 || v.digits == 0)
        return 0;
    // each has at most 17 digits: their product fits in 128 bits
    const Big product = q.digits * v.digits;
    const bool negative = (q.negative != v.negative) != r.negative;
    // portions / rounding = product x 10^e / r.digits
    const int e = q.exponent + v.exponent - r.exponent - 2;
    Big numerator = product;
    Big denominator = r.digits;
    for (int i = 0; i < e; ++i) {
        if (numerator > kMax / 10)
            return std::ceil(quotient); // far beyond any menu: the double is whole already
        numerator *= 10;
    }
    for (int i = 0; i < -e; ++i) {
        if (denominator > numerator) {
            // below one rounding value: one of them, or none for a negative count
            return negative ? 0 : 1;
        }
        denominator *= 10;
    }
    const Big whole = numerator / denominator;
    const bool remainder = numerator % denominator != 0;
    const double n = static_cast<double>(whole);
    if (negative)
        return -n; // towards the larger value: -1.5 becomes -1
    return remainder ? n + 1 : n;
}

} // namespace zov
