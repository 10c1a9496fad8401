// zov-import: the menu import from the command line, with the screen's own rules.

#include "importcommand.h"

#include <QCoreApplication>
#include <QTextStream>

#include <malloc.h>

int main(int argc, char *argv[])
{
    // The embedded server and the screen's logic pass large packets to each other:
    // with one malloc arena the memory one frees is the memory the other reuses,
    // instead of each thread's arena keeping its own peak.
    mallopt(M_ARENA_MAX, 1);
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return zov::runImportCommand(app.arguments().mid(1), out, err);
}
