#include "hostapplication.h"

#include "dietlist.h"
#include "error.h"
#include "texts.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QWidget>

namespace zov {

void prepareHostApplication()
{
    // A message box opened from a report (a saved CSV, an undo) is a window of its own
    // that Qt would take for the last one when it closes, ending the host under the
    // report.
    QApplication::setQuitOnLastWindowClosed(false);
    QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
    auto *qtTexts = new QTranslator(qApp);
    if (qtTexts->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qtTexts);
}

IniProcEntry loadIniProc(QLibrary &module)
{
    const QDir programs(QCoreApplication::applicationDirPath());
    QString path = programs.filePath(QStringLiteral("../lib/zov11119/libzov11119.so"));
    if (!QFile::exists(path))
        path = programs.filePath(QStringLiteral("../lib/libzov11119.so"));
    module.setFileName(path);
    const auto iniProc = reinterpret_cast<IniProcEntry>(module.resolve("IniProc"));
    if (!iniProc)
        throw Error(text("HOST_NO_MODULE").arg(module.fileName(), module.errorString()));
    return iniProc;
}

QVariantList entryValues(const QString &branch, const QString &service, const QDate &day,
                         const QDate &month, bool noRounding)
{
    return {branch, service, day, month, QString(), allDiets(), noRounding ? 1 : 0};
}

void runWhileWindowsOpen(const QWidget &mainWindow)
{
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
    const QList<QWidget *> left = windowsLeft();
    if (left.isEmpty())
        return;
    // a report is a dialog of the host window, so Qt's last-window rule does not see it
    // close: each one left is watched until it is gone
    for (QWidget *window : left)
        QObject::connect(
            window, &QObject::destroyed, qApp,
            [&windowsLeft] {
                if (windowsLeft().isEmpty())
                    QCoreApplication::quit();
            },
            Qt::QueuedConnection);
    QCoreApplication::exec();
}

} // namespace zov
