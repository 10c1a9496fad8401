// zov-import: the menu import from the command line, with the screen's own rules.

#include "allocator.h"
#include "hostcontext.h"
#include "importcommand.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    zov::tuneAllocator();
    QCoreApplication app(argc, argv);
    zov::sayLostConnectionsOnce();
    QTextStream out(stdout);
    QTextStream err(stderr);
    return zov::runImportCommand(app.arguments().mid(1), out, err);
}
