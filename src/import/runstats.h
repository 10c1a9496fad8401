#pragma once

#include "callfigures.h"

#include <QString>

namespace zov {

class AppServer;
class ImportRun;

// The figures of an import run for measurements (zov-import --stats, the benchmarks):
// the remote calls from the click on and how long they took, the CPU time of this
// thread (the screen's logic, without the server) and the slot pairs the run visited.
// It outlives the connection it counts the calls of.
class RunStats
{
public:
    // At the click on "Importar": the connection counts its calls here from then on.
    void start(AppServer *connection);
    // The figures as JSON into `file` (calls, streamedCalls, callSeconds,
    // callMedianMicroseconds when the calls were counted; clientCpuSeconds; slotPairs
    // and batches of the import job, when there was one); nothing when the file cannot
    // be written.
    void write(const QString &file, const ImportRun *job) const;

private:
    double m_cpuBefore = 0;
    CallFigures m_calls;
    bool m_counted = false;
};

} // namespace zov
