// screen_latency: a month import through the screen (offscreen), timing the longest
// stretch during which the event loop did not run, so the window could not paint.

#include "allocator.h"
#include "appserverhost.h"
#include "benchdata.h"
#include "database.h"
#include "dietlist.h"
#include "hostcontext.h"
#include "importrunner.h"
#include "tfrmimpocardhosp.h"
#include "ui_tfrmimpocardhosp.h"
#include "unitvalues.h"
#include "widgetpresenter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProgressBar>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>

namespace {

// Answers the closing dialog without showing it.
class QuietPresenter : public zov::WidgetPresenter
{
public:
    void showInformation(const QString &text) override { closing = text; }
    void showWarning(const QString &text) override { closing = text; }
    void showError(const QString &text) override { closing = text; }
    QString closing;
};

} // namespace

int main(int argc, char *argv[])
{
    zov::tuneAllocator(); // as zov-host does
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("zov.server.calls=false"));
    QTextStream out(stdout);
    const int scale = argc > 1 ? QByteArray(argv[1]).toInt() : 1;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("month.sqlite"));
    bench::generate(path, scale);
    const zov::DatabaseConfig config = zov::DatabaseConfig::parse(path);
    zov::AppServerHost::Options options;
    options.listen = QStringLiteral("127.0.0.1:0");
    zov::AppServerHost server(config, options);
    server.start();
    zov::openDatabase(config, QStringLiteral("host"));

    QuietPresenter presenter;
    zov::setPresenter(&presenter);
    zov::LoginContext &login = zov::loginContext();
    login.connectionName = QStringLiteral("host");
    login.webPort = server.port();
    login.operador = QStringLiteral("BENCH");
    zov::storeEntryValues(bench::kBranch, bench::kService, bench::kDestinationMonth,
                          bench::kDestinationMonth, QString(), zov::allDiets(), 0);
    zov::TfrmImpoCardHosp screen;
    screen.FormCreate();
    screen.show();
    screen.logic().FormActivate();
    // the planner's choices, as zov-import makes them: the whole source month
    zov::ImportRequest request;
    request.from = bench::kSourceMonth;
    request.to = bench::kSourceMonth.addDays(bench::kSourceMonth.daysInMonth() - 1);
    zov::ImportRunner(screen.logic()).choose(request);

    // a timer every 5 ms: the longest gap between two of its ticks is the longest time
    // the event loop was kept away
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    int longestAt = 0; // the progress bar's value when the longest gap ended
    int ticks = 0;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        ++ticks;
        if (now - last > longest) {
            longest = now - last;
            longestAt = screen.pgbProgresso->value();
        }
        last = now;
    });
    QElapsedTimer run;
    QTimer::singleShot(0, [&] {
        // the first gap runs from the click to the first tick the import lets through
        clock.start();
        last = 0;
        tick.start();
        run.start();
        screen.sbtImportExport->click();
        tick.stop();
        app.quit();
    });
    app.exec();
    out << QStringLiteral(
               "scale %1x: import through the screen %2 s; longest time away from the event loop "
               "%3 ms (ending at progress %4 of %5) over %6 ticks; %7\n")
               .arg(scale)
               .arg(run.nsecsElapsed() / 1e9, 0, 'f', 2)
               .arg(longest / 1e6, 0, 'f', 1)
               .arg(longestAt)
               .arg(screen.pgbProgresso->maximum())
               .arg(ticks)
               .arg(presenter.closing);
    zov::setPresenter(nullptr);
    return presenter.closing.isEmpty() ? 1 : 0;
}
