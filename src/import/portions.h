#pragma once

namespace zov {

// The portions of a dish rounded up to a whole number of rounding values: the
// smallest whole n with n x rounding >= diners x perCapita / 100. The three values
// are taken as the decimals they were written as (64.4 is 644 tenths, not the
// binary fraction just above it), so 250 diners at 64.4 make exactly 161 portions,
// while 49.0000000004 portions become 50 and 0.0000000001 become 1. `rounding`
// must be greater than 0.
double roundedUpPortions(double diners, double perCapita, double rounding);

} // namespace zov
