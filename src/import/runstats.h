#pragma once

#include <QString>

namespace zov {

class AppServer;
class ImportRun;

// The figures of an import run for measurements (zov-import --stats, the benchmarks):
// the remote calls from the click on and how long they took, the CPU time of this
// thread (the screen's logic, without the server) and the slot pairs the run visited.
class RunStats
{
public:
    // At the click on "Importar": what the figures count from.
    void start(const AppServer *connection);
    // The figures as JSON into `file` (calls, streamedCalls, callSeconds,
    // callMedianMicroseconds, clientCpuSeconds, and of the import job, when there was
    // one, slotPairs and batches); nothing when the file cannot be written.
    void write(const QString &file, const AppServer *connection, const ImportRun *job) const;

private:
    double m_cpuBefore = 0;
    long m_callsBefore = 0;
};

} // namespace zov
