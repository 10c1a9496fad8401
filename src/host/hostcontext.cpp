#include "hostcontext.h"

#include <atomic>

#include "texts.h"

#include <QTextStream>
#include <chrono>
#include <cstdio>
#include <pwd.h>
#include <unistd.h>

namespace zov {

namespace {

class NoBusyIndicator : public BusyIndicator
{
public:
    void show(int) override {}
    void hide() override {}
};

QTextStream g_standardError(stderr);
StreamPresenter g_streamPresenter(g_standardError, g_standardError);
NoBusyIndicator g_noBusy;
Presenter *g_presenter = nullptr;
BusyIndicator *g_busy = nullptr;

} // namespace

StreamPresenter::StreamPresenter(QTextStream &out, QTextStream &err)
    : m_out(out)
    , m_err(err)
{}

void StreamPresenter::showError(const QString &text)
{
    m_err << text << Qt::endl;
}

void StreamPresenter::showError(const QString &text, const QString &details)
{
    m_err << text << Qt::endl;
    if (!details.isEmpty())
        m_err << zov::text("ERROR_DETAILS") << Qt::endl << details << Qt::endl;
}

void StreamPresenter::showInformation(const QString &text)
{
    m_out << text << Qt::endl;
}

void StreamPresenter::showWarning(const QString &text)
{
    m_out << text << Qt::endl;
}

int StreamPresenter::choose(const QString &, const PickList &, const QString &)
{
    return -1;
}

bool StreamPresenter::chooseMany(const QString &, const PickList &, const QList<int> &,
                                 QList<int> *)
{
    return false;
}

QDate currentDay()
{
    thread_local QDate day;
    thread_local std::chrono::steady_clock::time_point readAgain;
    const auto now = std::chrono::steady_clock::now();
    if (!day.isValid() || now >= readAgain) {
        day = QDate::currentDate();
        readAgain = now + std::chrono::seconds(1);
    }
    return day;
}

int defaultDeadlineMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("ZOV_CALL_DEADLINE_MS", &ok);
    return ok && ms > 0 ? ms : 30000;
}

LoginContext &loginContext()
{
    static LoginContext context;
    return context;
}

QString Operador()
{
    return loginContext().operador;
}

QString systemLoginName()
{
    for (const char *name : {"LOGNAME", "USER"}) {
        const QString value = qEnvironmentVariable(name).trimmed();
        if (!value.isEmpty())
            return value;
    }
    const passwd *account = getpwuid(geteuid());
    return account && account->pw_name ? QString::fromLocal8Bit(account->pw_name) : QString();
}

QString WebURL()
{
    return loginContext().webUrl;
}

int WebPort()
{
    return loginContext().webPort;
}

Presenter &presenter()
{
    return g_presenter ? *g_presenter : g_streamPresenter;
}

void setPresenter(Presenter *presenter)
{
    g_presenter = presenter;
}

BusyIndicator &busyIndicator()
{
    return g_busy ? *g_busy : g_noBusy;
}

void setBusyIndicator(BusyIndicator *indicator)
{
    g_busy = indicator;
}

void ActiveShowAvi(int kind)
{
    busyIndicator().show(kind);
}

void DeactiveShowAvi()
{
    busyIndicator().hide();
}

void AtualizaLocalCache(const QStringList &) {}

} // namespace zov

namespace zov {

namespace {
QtMessageHandler g_nextHandler = nullptr;
std::atomic<bool> g_lostSaid{false};

void lostOnce(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.startsWith(QLatin1String("Unable to free statement"))) {
        if (!g_lostSaid.exchange(true))
            QTextStream(stderr) << text("DB_LOCAL_CONNECTION_LOST")
                                       .arg(message.section(QLatin1Char(':'), 1).trimmed())
                                << Qt::endl;
        return;
    }
    if (g_nextHandler)
        g_nextHandler(type, context, message);
}
} // namespace

void sayLostConnectionsOnce()
{
    g_nextHandler = qInstallMessageHandler(lostOnce);
}

} // namespace zov
