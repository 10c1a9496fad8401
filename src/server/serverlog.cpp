#include "serverlog.h"

#include <QByteArray>
#include <QDateTime>
#include <QLoggingCategory>
#include <QString>

#include <grpc/support/log.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace zov {

Q_LOGGING_CATEGORY(lcGrpc, "zov.grpc")

namespace {

bool g_journal = false;

// standard error is the journal's stream when its device and inode are the ones
// systemd put in JOURNAL_STREAM
bool toJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat err
    {
    };
    if (stream.isEmpty() || fstat(2, &err) != 0)
        return false;
    return stream ==
           QByteArray::number(quint64(err.st_dev)) + ':' + QByteArray::number(quint64(err.st_ino));
}

int priorityOf(QtMsgType type, const char *category)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtInfoMsg:
        return category && std::strcmp(category, "zov.server.audit") == 0 ? 5 : 6;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
        return 3;
    case QtFatalMsg:
        return 2;
    }
    return 6;
}

QByteArray localTime()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc() / 60;
    const QString zone = QStringLiteral("%1%2:%3")
                             .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                             .arg(std::abs(offset) / 60, 2, 10, QLatin1Char('0'))
                             .arg(std::abs(offset) % 60, 2, 10, QLatin1Char('0'));
    return (now.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss.zzz")) + zone).toUtf8();
}

void writeLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QByteArray line;
    if (g_journal)
        line = '<' + QByteArray::number(priorityOf(type, context.category)) + '>';
    else
        line = localTime() + ' ';
    line += context.category ? context.category : "default";
    line += ' ' + message.toUtf8() + '\n';
    // one write a line: lines of several threads never mix
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    if (type == QtFatalMsg)
        std::abort();
}

void grpcLine(gpr_log_func_args *args)
{
    const char *file = std::strrchr(args->file ? args->file : "", '/');
    const QString where =
        QStringLiteral(" (%1:%2)")
            .arg(QString::fromUtf8(file ? file + 1 : (args->file ? args->file : "")))
            .arg(args->line);
    const QString message = QString::fromUtf8(args->message).trimmed() + where;
    switch (args->severity) {
    case GPR_LOG_SEVERITY_DEBUG:
        qCDebug(lcGrpc).noquote() << message;
        break;
    case GPR_LOG_SEVERITY_INFO:
        qCInfo(lcGrpc).noquote() << message;
        break;
    default:
        qCWarning(lcGrpc).noquote() << message;
    }
}

} // namespace

void installServerLog()
{
    g_journal = toJournal();
    qInstallMessageHandler(writeLine);
    gpr_set_log_function(grpcLine);
}

} // namespace zov
