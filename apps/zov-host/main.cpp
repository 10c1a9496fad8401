// zov-host: stands in for the suite's host application. It owns the login context
// (operator, database connection, server address), loads the screen module and
// calls its entry IniProc with the seven entry values.

#include "allocator.h"
#include "commandline.h"
#include "consiste.h"
#include "database.h"
#include "dates.h"
#include "error.h"
#include "hostcontext.h"
#include "texts.h"
#include "widgetpresenter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QSqlDatabase>
#include <QTextStream>
#include <QTimer>
#include <QTranslator>
#include <QWidget>

#include <memory>

namespace {

const QString kConnection = QStringLiteral("zov-host");

// For the documentation: fills the range, moves the focus into the grid so that
// the preview loads, saves a picture of the screen and closes it.
void scheduleScreenshot(const QString &file, const QDate &from, const QDate &to)
{
    QTimer::singleShot(300, qApp, [=] {
        QWidget *screen = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String("frmImpoCardHosp") && w->isVisible())
                screen = w;
        }
        if (!screen)
            return;
        if (auto *start = screen->findChild<QWidget *>(QStringLiteral("depCardOrig"))) {
            auto *edit = start->findChild<QLineEdit *>(QStringLiteral("edit"));
            edit->setFocus(Qt::TabFocusReason);
            edit->setText(zov::shortDate(from));
            Q_EMIT edit->textEdited(edit->text());
        }
        if (auto *end = screen->findChild<QWidget *>(QStringLiteral("depCardOrigAte"))) {
            auto *edit = end->findChild<QLineEdit *>(QStringLiteral("edit"));
            edit->setFocus(Qt::TabFocusReason);
            edit->setText(zov::shortDate(to));
            Q_EMIT edit->textEdited(edit->text());
        }
        QTimer::singleShot(200, qApp, [=] {
            if (auto *grid = screen->findChild<QWidget *>(QStringLiteral("dbgPadrao")))
                grid->setFocus(Qt::TabFocusReason);
            QTimer::singleShot(800, qApp, [=] {
                screen->grab().save(file);
                // then the dry run's report, beside it: "screenshot-report.png"
                const QFileInfo shot(file);
                const QString reportFile = shot.dir().filePath(
                    shot.completeBaseName() + QStringLiteral("-report.") + shot.suffix());
                auto *poll = new QTimer(qApp);
                QObject::connect(poll, &QTimer::timeout, qApp, [=] {
                    for (QWidget *w : QApplication::topLevelWidgets()) {
                        if (w->objectName() == QLatin1String("importReport") && w->isVisible()) {
                            poll->deleteLater();
                            w->grab().save(reportFile);
                            w->close();
                            screen->close();
                            return;
                        }
                    }
                });
                poll->start(200);
                if (auto *simulate =
                        screen->findChild<QAbstractButton *>(QStringLiteral("sbtSimular")))
                    simulate->click();
            });
        });
    });
}

// For tests that drive the screen from outside, as xdotool does: once the screen is
// shown, the file names the screen's widgets with the centre of each on the display,
// one "objectName x y" a line.
class WidgetMap : public QObject
{
public:
    explicit WidgetMap(QString file)
        : m_file(std::move(file))
    {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *screen = qobject_cast<QWidget *>(watched);
        if (event->type() == QEvent::Show && screen &&
            screen->objectName() == QLatin1String("frmImpoCardHosp"))
            QTimer::singleShot(300, this, [this, screen = QPointer<QWidget>(screen)] {
                if (screen)
                    write(*screen);
            });
        return false;
    }

private:
    void write(QWidget &screen) const
    {
        QFile out(m_file + QStringLiteral(".part"));
        if (!out.open(QIODevice::WriteOnly))
            return;
        QTextStream lines(&out);
        for (QWidget *w : screen.findChildren<QWidget *>()) {
            if (w->objectName().isEmpty() || !w->isVisible())
                continue;
            const QPoint centre = w->mapToGlobal(w->rect().center());
            // the date edits' own parts by their edit: "depCardOrigAte.edit"
            const QString parent = w->parentWidget() ? w->parentWidget()->objectName() : QString();
            const QString name =
                parent.isEmpty() ? w->objectName() : parent + QLatin1Char('.') + w->objectName();
            lines << w->objectName() << ' ' << centre.x() << ' ' << centre.y() << '\n';
            lines << name << ' ' << centre.x() << ' ' << centre.y() << '\n';
        }
        lines.flush();
        out.close();
        QFile::remove(m_file);
        out.rename(m_file);
    }

    QString m_file;
};

} // namespace

int main(int argc, char *argv[])
{
    zov::tuneAllocator();
    QTextStream out(stdout);
    QTextStream err(stderr);
    for (int i = 1; i < argc; ++i) {
        // answered without a display
        if (qstrcmp(argv[i], "--help") == 0 || qstrcmp(argv[i], "-h") == 0 ||
            qstrcmp(argv[i], "--version") == 0) {
            QCoreApplication core(argc, argv);
            zov::answeredHelpOrVersion(core.arguments(), zov::text("USAGE_HOST"),
                                       zov::text("USAGE_HOST_DETAILS"), out);
            return 0;
        }
    }
    QApplication app(argc, argv);
    zov::sayLostConnectionsOnce();
    // A message box opened from a report (a saved CSV, an undo) is a window of its own
    // that Qt would take for the last one when it closes, ending the host under the
    // report: the host ends when the planner has closed the screen and every report.
    QApplication::setQuitOnLastWindowClosed(false);
    // Qt's own dialogs in the planner's language ("Salvar", "Cancelar")
    QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtTexts);
    zov::CommandLine options(
        {QStringLiteral("db"), QStringLiteral("server"), QStringLiteral("operator"),
         QStringLiteral("branch"), QStringLiteral("service"), QStringLiteral("date"),
         QStringLiteral("month"), QStringLiteral("ca"), QStringLiteral("token-file"),
         QStringLiteral("screenshot"), QStringLiteral("from"), QStringLiteral("to")},
        {QStringLiteral("no-rounding")});
    zov::LoginContext &login = zov::loginContext();
    QString problem = options.parse(app.arguments().mid(1)) ? QString() : options.error();
    for (const char *required : {"db", "server", "branch", "service", "date"}) {
        if (problem.isEmpty() && !options.has(QLatin1String(required)))
            problem = zov::text("CLI_MISSING_OPTION").arg(QLatin1String(required));
    }
    const QDate date = zov::parseIsoDate(options.value(QStringLiteral("date")));
    const QDate month = options.has(QStringLiteral("month"))
                            ? zov::parseIsoDate(options.value(QStringLiteral("month")))
                            : QDate(date.year(), date.month(), 1);
    if (problem.isEmpty() && (!date.isValid() || !month.isValid() || month.day() != 1))
        problem = zov::text("CLI_BAD_MONTH").arg(options.value(QStringLiteral("month")));
    if (problem.isEmpty())
        problem = zov::readServerOptions(options, login);
    if (problem.isEmpty())
        login.operador = zov::readOperator(options, &problem);
    if (!problem.isEmpty() || !options.positional().isEmpty()) {
        err << problem << Qt::endl << zov::text("USAGE_HOST") << Qt::endl;
        return 64;
    }
    try {
        zov::openDatabase(zov::DatabaseConfig::parse(options.value(QStringLiteral("db"))),
                          kConnection);
    } catch (const zov::Error &e) {
        err << e.text() << Qt::endl;
        return 1;
    }
    zov::WidgetPresenter presenter;
    zov::WaitCursorIndicator busy;
    zov::setPresenter(&presenter);
    zov::setBusyIndicator(&busy);
    QWidget mainWindow;
    mainWindow.setWindowTitle(QStringLiteral("zov-host"));
    login.connectionName = kConnection;
    login.mainWindow = &mainWindow;

    // the module sits beside the programs: in ../lib/zov11119 when installed, in
    // ../lib in the build tree
    const QDir programs(QCoreApplication::applicationDirPath());
    QString modulePath = programs.filePath(QStringLiteral("../lib/zov11119/libzov11119.so"));
    if (!QFile::exists(modulePath))
        modulePath = programs.filePath(QStringLiteral("../lib/libzov11119.so"));
    QLibrary module(modulePath);
    const auto iniProc = reinterpret_cast<void (*)(const QVariant &)>(module.resolve("IniProc"));
    if (!iniProc) {
        err << zov::text("HOST_NO_MODULE").arg(module.fileName(), module.errorString()) << Qt::endl;
        return 1;
    }
    std::unique_ptr<WidgetMap> widgetMap;
    if (qEnvironmentVariableIsSet("ZOV_HOST_WIDGET_MAP")) {
        widgetMap = std::make_unique<WidgetMap>(qEnvironmentVariable("ZOV_HOST_WIDGET_MAP"));
        app.installEventFilter(widgetMap.get());
    }
    if (options.has(QStringLiteral("screenshot")))
        scheduleScreenshot(options.value(QStringLiteral("screenshot")),
                           zov::parseIsoDate(options.value(QStringLiteral("from"))),
                           zov::parseIsoDate(options.value(QStringLiteral("to"))));
    const QVariantList entry{options.value(QStringLiteral("branch")),
                             options.value(QStringLiteral("service")),
                             date,
                             month,
                             QString(),
                             QStringLiteral("T"),
                             options.has(QStringLiteral("no-rounding")) ? 1 : 0};
    int code = 0;
    try {
        iniProc(QVariant(entry));
    } catch (const zov::AbortError &) {
        code = 1; // shown already
    } catch (const zov::Error &e) {
        presenter.showError(e.text());
        code = 1;
    }
    // the report of an import outlives the screen: the host runs until the last
    // window closes
    const auto windowsLeft = [&mainWindow] {
        QList<QWidget *> left;
        for (QWidget *window : QApplication::topLevelWidgets()) {
            // windows and dialogs, not a tooltip or a menu that happens to be shown
            const Qt::WindowType type = window->windowType();
            if (window != &mainWindow && window->isVisible() &&
                (type == Qt::Window || type == Qt::Dialog))
                left.append(window);
        }
        return left;
    };
    // a report is a dialog of the host window, so Qt's last-window rule does not
    // see it close: each one left is watched until it is gone
    if (const QList<QWidget *> left = windowsLeft(); !left.isEmpty()) {
        for (QWidget *window : left)
            QObject::connect(
                window, &QObject::destroyed, &app,
                [&windowsLeft] {
                    if (windowsLeft().isEmpty())
                        QCoreApplication::quit();
                },
                Qt::QueuedConnection);
        app.exec();
    }
    zov::setPresenter(nullptr);
    zov::setBusyIndicator(nullptr);
    return code;
}
