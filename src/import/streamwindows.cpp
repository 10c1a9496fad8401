#include "streamwindows.h"

#include <algorithm>
#include <cmath>

namespace zov {

void StreamWindows::noteRoundTrip(qint64 ns)
{
    if (ns > 0 && (roundTripNs < 0 || ns < roundTripNs))
        roundTripNs = ns;
}

void StreamWindows::fit(qint64 elapsedNs, qsizetype stepsDone)
{
    if (roundTripNs < 0)
        return;
    // a step's own time, without its waits: before the first, and never less than, half
    // a millisecond, about what a step of a small menu takes
    const double stepNs =
        std::max(5e5, stepsDone > 0 ? double(elapsedNs - waitedNs) / double(stepsDone) : 0.0);
    const auto held = static_cast<qsizetype>(std::ceil(2.0 * double(roundTripNs) / stepNs));
    steps = std::clamp(std::max(steps, held), kLeastSteps, kMost);
    batches = std::clamp(std::max(batches, held), kLeastBatches, kMost);
}

} // namespace zov
