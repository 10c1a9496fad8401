#include "runstats.h"

#include "importrun.h"
#include "rpcconnection.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <ctime>

namespace zov {

namespace {

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

void RunStats::start(AppServer *connection)
{
    m_cpuBefore = threadCpuSeconds();
    if (auto *rpc = dynamic_cast<RpcConnection *>(connection)) {
        rpc->countCallsIn(&m_calls);
        m_counted = true;
    }
}

void RunStats::write(const QString &file, const ImportRun *job) const
{
    QJsonObject stats;
    if (m_counted) {
        std::vector<qint64> durations = m_calls.microseconds;
        qint64 total = 0;
        for (const qint64 d : durations)
            total += d;
        std::sort(durations.begin(), durations.end());
        stats.insert(QStringLiteral("calls"), static_cast<qint64>(durations.size()));
        stats.insert(QStringLiteral("streamedCalls"), static_cast<qint64>(m_calls.streamed.load()));
        stats.insert(QStringLiteral("callSeconds"), static_cast<double>(total) / 1e6);
        stats.insert(QStringLiteral("callMedianMicroseconds"),
                     durations.empty() ? 0.0
                                       : static_cast<double>(durations[durations.size() / 2]));
    }
    stats.insert(QStringLiteral("clientCpuSeconds"), threadCpuSeconds() - m_cpuBefore);
    if (job) {
        stats.insert(QStringLiteral("slotPairs"), static_cast<qint64>(job->slotPairsVisited()));
        stats.insert(QStringLiteral("batches"), job->report().batches);
    }
    QFile out(file);
    if (out.open(QIODevice::WriteOnly))
        out.write(QJsonDocument(stats).toJson());
}

} // namespace zov
