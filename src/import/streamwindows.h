#pragma once

#include <QtGlobal>

namespace zov {

// How far an import's reads go ahead of the step under way on its stream, and how many
// of its batches may be on their way. Near the server a few round trips for a month and
// little held in memory; over a slow link as many steps as the link holds while one
// goes there and back (the round trip over the time of a step), twice over, so that
// the steps never wait for it. They only grow, within what the server takes at a time.
struct StreamWindows
{
    static constexpr qsizetype kLeastSteps = 32;
    static constexpr qsizetype kLeastBatches = 16;
    static constexpr qsizetype kMost = 1024;
    qsizetype steps = kLeastSteps;
    qsizetype batches = kLeastBatches;
    qint64 roundTripNs = -1; // the least seen from a read sent to its answer
    qint64 waitedNs = 0;     // the time the run waited for answers

    // A round trip seen: a single call's, or a read's that a step had to wait for.
    void noteRoundTrip(qint64 ns);
    // Fits both to the round trip and the time a step takes without its waits, from
    // `elapsedNs` of the run and `stepsDone` steps (before the first, a step of a small
    // menu).
    void fit(qint64 elapsedNs, qsizetype stepsDone);
};

} // namespace zov
