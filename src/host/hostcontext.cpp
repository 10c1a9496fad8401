#include "hostcontext.h"

#include <QTextStream>
#include <cstdio>
#include <pwd.h>
#include <unistd.h>

namespace zov {

namespace {

class StreamPresenter : public Presenter
{
public:
    void showError(const QString &text) override { write(text); }
    void showInformation(const QString &text) override { write(text); }
    void showWarning(const QString &text) override { write(text); }
    int choose(const QString &, const PickList &, const QString &) override { return -1; }
    bool chooseMany(const QString &, const PickList &, const QList<int> &, QList<int> *) override
    {
        return false;
    }

private:
    static void write(const QString &text)
    {
        QTextStream err(stderr);
        err << text << Qt::endl;
    }
};

class NoBusyIndicator : public BusyIndicator
{
public:
    void show(int) override {}
    void hide() override {}
};

StreamPresenter g_streamPresenter;
NoBusyIndicator g_noBusy;
Presenter *g_presenter = nullptr;
BusyIndicator *g_busy = nullptr;

} // namespace

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
