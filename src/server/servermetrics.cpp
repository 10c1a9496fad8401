#include "servermetrics.h"

#include "callmetadata.h"
#include "error.h"
#include "signatures.h"
#include "texts.h"

#include <QLoggingCategory>

#include <civetweb.h>

namespace zov {

Q_LOGGING_CATEGORY(lcMetrics, "zov.server.metrics")

namespace {

constexpr std::array<double, 11> kBounds{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

const char *codeName(int code)
{
    const char *name = statusCodeName(code);
    return name ? name : "UNKNOWN";
}

QByteArray grpcLabels(int stream)
{
    return stream
               ? QByteArrayLiteral("grpc_type=\"bidi_stream\",grpc_service=\"zov.rpc.AppServer\","
                                   "grpc_method=\"InvokeStream\"")
               : QByteArrayLiteral("grpc_type=\"unary\",grpc_service=\"zov.rpc.AppServer\","
                                   "grpc_method=\"Invoke\"");
}

void header(QByteArray &out, const char *name, const char *type, const char *help)
{
    out +=
        QByteArrayLiteral("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void sample(QByteArray &out, const QByteArray &name, const QByteArray &labels, double value)
{
    out += name;
    if (!labels.isEmpty())
        out += '{' + labels + '}';
    out += ' ' + QByteArray::number(value, 'g', 15) + '\n';
}

void counter(QByteArray &out, const char *name, const char *help, quint64 value)
{
    header(out, name, "counter", help);
    sample(out, name, {}, double(value));
}

} // namespace

void ServerMetrics::Histogram::add(double seconds)
{
    for (size_t i = 0; i < kBounds.size(); ++i) {
        if (seconds <= kBounds[i])
            ++buckets[i];
    }
    ++buckets[kBounds.size()];
    sum += seconds;
    ++count;
}

ServerMetrics::ServerMetrics() = default;

void ServerMetrics::started(bool stream)
{
    std::lock_guard lock(m_mutex);
    ++m_started[stream];
}

void ServerMetrics::handled(bool stream, int code, double seconds)
{
    std::lock_guard lock(m_mutex);
    ++m_handled[{int(stream), code}];
    m_handling[stream].add(seconds);
}

void ServerMetrics::methodRun(const QString &method, const QString &outcome, const QString &runId,
                              bool dryRun, double seconds)
{
    // a name the method table does not know is the caller's text: one label for all
    const MethodSignature *signature = findSignature(method);
    const QString name = signature ? method : QStringLiteral("unknown");
    if (outcome == QLatin1String("unavailable"))
        ++unreachable;
    std::lock_guard lock(m_mutex);
    ++m_calls[{name, outcome}];
    m_callSeconds[name].add(seconds);
    const bool ok = outcome.startsWith(QLatin1String("ok"));
    if (outcome == QLatin1String("busy"))
        ++m_busy;
    else if (outcome == QLatin1String("db-error") || outcome == QLatin1String("unavailable"))
        ++m_dbErrors;
    if (signature && signature->batch) {
        if (!ok)
            ++m_batchesRefused;
        else if (!dryRun)
            ++m_batchesStored;
        if (ok && !runId.isEmpty() && !m_runsSeen.contains(runId)) {
            ++(dryRun ? m_dryRuns : m_imports);
            m_runsSeen.insert(runId);
            m_runsOrder.append(runId);
            if (m_runsOrder.size() > 4096)
                m_runsSeen.remove(m_runsOrder.takeFirst());
        }
    } else if (signature && signature->id == Method::DesfazImportacao && ok && !dryRun) {
        ++m_undos;
    }
}

void ServerMetrics::refused(const char *reason)
{
    std::lock_guard lock(m_mutex);
    ++m_refused[QString::fromLatin1(reason)];
}

QByteArray ServerMetrics::exposition() const
{
    std::lock_guard lock(m_mutex);
    QByteArray out;
    header(out, "grpc_server_started_total", "counter", "Calls started on the server.");
    for (int stream : {0, 1})
        sample(out, "grpc_server_started_total", grpcLabels(stream), double(m_started[stream]));
    header(out, "grpc_server_handled_total", "counter",
           "Calls completed on the server, whatever their status.");
    for (auto it = m_handled.cbegin(); it != m_handled.cend(); ++it)
        sample(out, "grpc_server_handled_total",
               grpcLabels(it.key().first) + ",grpc_code=\"" + codeName(it.key().second) + '"',
               double(it.value()));
    header(out, "grpc_server_handling_seconds", "histogram",
           "Time the server took to answer a call (a stream: the whole import).");
    const auto histogram = [&out](const QByteArray &name, const QByteArray &labels,
                                  const Histogram &h) {
        for (size_t i = 0; i <= kBounds.size(); ++i) {
            const QByteArray le = i < kBounds.size() ? QByteArray::number(kBounds[i], 'g', 6)
                                                     : QByteArrayLiteral("+Inf");
            sample(out, name + "_bucket", labels + ",le=\"" + le + '"', double(h.buckets[i]));
        }
        sample(out, name + "_sum", labels, h.sum);
        sample(out, name + "_count", labels, double(h.count));
    };
    for (int stream : {0, 1})
        histogram("grpc_server_handling_seconds", grpcLabels(stream), m_handling[stream]);

    header(out, "zov_server_calls_total", "counter",
           "Methods run, by method and by the outcome the call log names.");
    for (auto it = m_calls.cbegin(); it != m_calls.cend(); ++it)
        sample(out, "zov_server_calls_total",
               "method=\"" + it.key().first.toLatin1() + "\",outcome=\"" +
                   it.key().second.toLatin1() + '"',
               double(it.value()));
    header(out, "zov_server_call_seconds", "histogram", "Time a method took, by method.");
    for (auto it = m_callSeconds.cbegin(); it != m_callSeconds.cend(); ++it)
        histogram("zov_server_call_seconds", "method=\"" + it.key().toLatin1() + '"', it.value());
    counter(out, "zov_batches_stored_total", "Batches (a day and diet each) stored.",
            m_batchesStored);
    counter(out, "zov_batches_refused_total",
            "Batches refused (by the rules, a busy or failing database).", m_batchesRefused);
    counter(out, "zov_imports_total", "Imports this server stored a batch of.", m_imports);
    counter(out, "zov_dry_runs_total", "Dry runs this server answered a batch of.", m_dryRuns);
    counter(out, "zov_undos_total", "Undo calls that ran.", m_undos);
    counter(out, "zov_database_busy_total", "Calls the database was too busy for.", m_busy);
    counter(out, "zov_database_errors_total",
            "Calls the database failed or could not be reached for.", m_dbErrors);
    header(out, "zov_server_refused_total", "counter",
           "Calls refused before any method ran, by reason.");
    for (const char *reason : {"credentials", "permission", "capacity"})
        sample(out, "zov_server_refused_total", QByteArrayLiteral("reason=\"") + reason + '"',
               double(m_refused.value(QString::fromLatin1(reason))));
    header(out, "zov_server_calls_in_use", "gauge",
           "Calls running now, each on a database connection of its own.");
    sample(out, "zov_server_calls_in_use", {}, callsInUse.load());
    header(out, "zov_server_streams_in_use", "gauge", "Import streams open now.");
    sample(out, "zov_server_streams_in_use", {}, streamsInUse.load());
    header(out, "zov_database_up", "gauge", "1 while the database answers, else 0.");
    sample(out, "zov_database_up", {}, databaseUp.load());
    return out;
}

namespace {

int answerMetrics(mg_connection *connection, void *data)
{
    const mg_request_info *request = mg_get_request_info(connection);
    if (qstrcmp(request->request_method, "GET") != 0 &&
        qstrcmp(request->request_method, "HEAD") != 0) {
        mg_send_http_error(connection, 405, "%s", "GET /metrics\n");
        return 405;
    }
    const QByteArray body = static_cast<const ServerMetrics *>(data)->exposition();
    mg_send_http_ok(connection, "text/plain; version=0.0.4; charset=utf-8", body.size());
    if (qstrcmp(request->request_method, "GET") == 0)
        mg_write(connection, body.constData(), size_t(body.size()));
    return 200;
}

int logCivetweb(const mg_connection *, const char *message)
{
    qCWarning(lcMetrics).noquote() << QString::fromUtf8(message).trimmed();
    return 1;
}

} // namespace

MetricsEndpoint::MetricsEndpoint(const QString &address, const ServerMetrics &metrics)
    : m_metrics(metrics)
{
    static const unsigned initialized = mg_init_library(0);
    Q_UNUSED(initialized);
    // civetweb writes IPv6 as [::1]:9211, as the option is given
    const QByteArray ports = address.toLatin1();
    const char *options[] = {"listening_ports",    ports.constData(), "num_threads", "2",
                             "request_timeout_ms", "10000",           nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = logCivetweb;
    m_context = mg_start(&callbacks, nullptr, options);
    if (!m_context)
        throw Error(text("METRICS_LISTEN_FAILED").arg(address));
    mg_set_request_handler(m_context, "/metrics$", answerMetrics,
                           const_cast<ServerMetrics *>(&m_metrics));
    mg_server_port port{};
    if (mg_get_server_ports(m_context, 1, &port) == 1)
        m_port = port.port;
}

MetricsEndpoint::~MetricsEndpoint()
{
    if (m_context)
        mg_stop(m_context);
}

} // namespace zov
