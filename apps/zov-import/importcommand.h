#pragma once

#include <QStringList>
#include <QTextStream>

namespace zov {

// zov-import: walks the screen's path (first activation, the user's choices,
// leaving the selection panel, the import command) with the screen's own logic.
// Returns the exit code: 0 after SUCESSO, 3 after COMEN_ZERO, 2 when a check or
// the server refused, 1 on any other failure, 64 on bad usage.
int runImportCommand(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace zov
