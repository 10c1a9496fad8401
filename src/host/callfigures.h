#pragma once

#include <QtGlobal>

#include <atomic>
#include <vector>

namespace zov {

// What the calls of a connection took, for measurements (zov-import --stats and the
// benchmarks that read it): a connection given one counts into it from then on
// (RpcConnection::countCallsIn). Making a call needs none of it.
struct CallFigures
{
    // every single call sent, in microseconds; a call sent again counts again
    std::vector<qint64> microseconds;
    // calls answered through streams (a call then made again one by one counts above)
    std::atomic<long> streamed{0};

    long calls() const { return static_cast<long>(microseconds.size()); }
};

} // namespace zov
