#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

struct mg_context;

namespace zov {

// What the server has done since it started, in Prometheus's text format: gRPC's usual
// server metrics for the two methods of the protocol (Invoke, InvokeStream) and the
// domain's own (the calls by method and outcome, batches stored and refused, imports,
// undos, a busy or failing database, the lines in use). Every label value comes from
// the server's own tables, never from what a caller sent.
class ServerMetrics
{
public:
    ServerMetrics();

    // a call of the protocol begins and ends (`code` is its gRPC status code)
    void started(bool stream);
    void handled(bool stream, int code, double seconds);
    // one method run, with the outcome its call line logs ("ok", "refused", "busy", ...)
    void methodRun(const QString &method, const QString &outcome, const QString &runId, bool dryRun,
                   double seconds);
    void refused(const char *reason); // "credentials", "permission" or "capacity"

    std::atomic<int> callsInUse{0};
    std::atomic<int> streamsInUse{0};
    std::atomic<int> databaseUp{1};
    std::atomic<quint64> unreachable{0}; // calls that found the database unreachable

    QByteArray exposition() const;

private:
    struct Histogram
    {
        std::array<quint64, 12> buckets{};
        double sum = 0;
        quint64 count = 0;
        void add(double seconds);
    };

    mutable std::mutex m_mutex;
    std::array<quint64, 2> m_started{};
    QMap<QPair<int, int>, quint64> m_handled; // (stream, code)
    std::array<Histogram, 2> m_handling;
    QMap<QPair<QString, QString>, quint64> m_calls; // (method, outcome)
    QMap<QString, Histogram> m_callSeconds;
    quint64 m_batchesStored = 0;
    quint64 m_batchesRefused = 0;
    quint64 m_imports = 0;
    quint64 m_dryRuns = 0;
    quint64 m_undos = 0;
    quint64 m_busy = 0;
    quint64 m_dbErrors = 0;
    QHash<QString, quint64> m_refused;
    // the runs seen lately, so that an import is counted once (by its first batch here)
    QSet<QString> m_runsSeen;
    QStringList m_runsOrder;
};

// The metrics on an HTTP address of their own (GET /metrics), served by civetweb.
class MetricsEndpoint
{
public:
    // Throws zov::Error when `address` (HOST:PORT) cannot be listened on.
    MetricsEndpoint(const QString &address, const ServerMetrics &metrics);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint &) = delete;
    MetricsEndpoint &operator=(const MetricsEndpoint &) = delete;
    int port() const { return m_port; }

private:
    const ServerMetrics &m_metrics;
    mg_context *m_context = nullptr;
    int m_port = 0;
};

} // namespace zov
