// zov-host: stands in for the suite's host application. It owns the login context
// (operator, database connection, server address), loads the screen module and
// calls its entry IniProc with the seven entry values.

#include "allocator.h"
#include "commandline.h"
#include "consiste.h"
#include "database.h"
#include "dates.h"
#include "hostapplication.h"
#include "hostcontext.h"
#include "hosthooks.h"
#include "hostsession.h"
#include "texts.h"
#include "widgetpresenter.h"
#include "workbench.h"

#include <QApplication>
#include <QLibrary>
#include <QWidget>

#include <algorithm>
#include <memory>

namespace {

// The seven entry values of the options, as the suite's host hands them over.
QVariantList entryValues(const zov::CommandLine &options)
{
    using zov::parseIsoDate;
    const QDate date = parseIsoDate(options.value(QStringLiteral("date")));
    const QDate month = options.has(QStringLiteral("month"))
                            ? parseIsoDate(options.value(QStringLiteral("month")))
                            : zov::firstDayOfMonth(date);
    if (!date.isValid() || !zov::isFirstOfMonth(month))
        throw zov::UsageError(
            zov::text("CLI_BAD_MONTH").arg(options.value(QStringLiteral("month"))));
    return zov::entryValues(options.value(QStringLiteral("branch")),
                            options.value(QStringLiteral("service")), date, month,
                            options.has(QStringLiteral("no-rounding")));
}

int run(const QStringList &arguments, QTextStream &, QTextStream &)
{
    zov::sayLostConnectionsOnce();
    zov::prepareHostApplication();
    zov::CommandLine options(
        "db server operator branch service date month ca token-file screenshot from to",
        "no-rounding");
    QString problem = options.parse(arguments) ? QString() : options.error();
    // without any entry option the planner picks the entry in the start window
    QStringList required{QStringLiteral("db"), QStringLiteral("server")};
    const QStringList entryOptions{QStringLiteral("branch"), QStringLiteral("service"),
                                   QStringLiteral("date"), QStringLiteral("month")};
    const bool entryGiven = std::any_of(entryOptions.cbegin(), entryOptions.cend(),
                                        [&](const QString &o) { return options.has(o); });
    if (entryGiven)
        required << entryOptions.mid(0, 3);
    if (problem.isEmpty())
        problem = options.missingOrStray(required);
    if (!problem.isEmpty())
        throw zov::UsageError(problem);
    const QVariantList entry = entryGiven ? entryValues(options) : QVariantList();
    if (const QString login = zov::HostSession::readOptions(options); !login.isEmpty())
        throw zov::UsageError(login);

    zov::WidgetPresenter presenter;
    zov::WaitCursorIndicator busy;
    zov::HostSession session(QStringLiteral("zov-host"));
    session.open(zov::DatabaseConfig::parse(options.value(QStringLiteral("db"))));
    session.show(&presenter, &busy);
    QWidget mainWindow;
    mainWindow.setWindowTitle(QStringLiteral("zov-host"));
    zov::loginContext().mainWindow = &mainWindow;
    QLibrary module;
    const zov::IniProcEntry iniProc = zov::loadIniProc(module);
    zov::installHostHooks(options);
    if (!entryGiven) {
        zov::Workbench workbench(iniProc, options.has(QStringLiteral("no-rounding")));
        workbench.run();
        zov::runWhileWindowsOpen(mainWindow);
        return 0;
    }
    int code = 0;
    try {
        iniProc(QVariant(entry));
    } catch (const zov::AbortError &) {
        code = 1; // shown already
    } catch (const zov::Error &e) {
        presenter.showError(e.text());
        code = 1;
    }
    // the report of an import outlives the screen
    zov::runWhileWindowsOpen(mainWindow);
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    zov::tuneAllocator();
    // help and version are answered without a display
    const std::unique_ptr<QCoreApplication> app =
        zov::asksForHelpOrVersion(argc, argv) ? std::make_unique<QCoreApplication>(argc, argv)
                                              : std::make_unique<QApplication>(argc, argv);
    return zov::runTool(app->arguments(), "USAGE_HOST", "USAGE_HOST_DETAILS", run);
}
