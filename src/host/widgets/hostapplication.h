#pragma once

#include <QDate>
#include <QVariant>

class QLibrary;
class QWidget;

namespace zov {

// The host application's ways, once its QApplication stands: Qt's own dialogs in the
// planner's language ("Salvar", "Cancelar"), and the host ends when the planner has
// closed the screen and every report, not when Qt takes a window for the last one.
void prepareHostApplication();

// The screen module's entry, loaded from beside the programs: ../lib/zov11119 when
// installed, ../lib in the build tree. Throws zov::Error (HOST_NO_MODULE) when the
// module or its IniProc is not there.
using IniProcEntry = void (*)(const QVariant &entry);
IniProcEntry loadIniProc(QLibrary &module);

// The seven entry values as the suite's host hands them over: branch, service, the
// destination day, the month reference, an empty element, all diets, and the rounding
// flag (1: no rounding).
QVariantList entryValues(const QString &branch, const QString &service, const QDate &day,
                         const QDate &month, bool noRounding);

// Runs the event loop while a window or dialog of the host other than `mainWindow` is
// open: the report of an import outlives the screen.
void runWhileWindowsOpen(const QWidget &mainWindow);

} // namespace zov
