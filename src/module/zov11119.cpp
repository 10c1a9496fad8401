#include "zov11119.h"

#include "hostcontext.h"
#include "tfrmimpocardhosp.h"
#include "unitvalues.h"

#include <QApplication>
#include <QPointer>

zov::TfrmImpoCardHosp *frmImpoCardHosp = nullptr;

void IniProc(const QVariant &entry)
{
    const QVariant copy = entry;
    if (!copy.isValid() || copy.isNull())
        return;
    // every element is converted before anything is stored
    const zov::EntryValues e = zov::convertEntry(copy);
    CriaImpoCardHosp(e.cdFilial, e.cdServFili, e.dtCardapio, e.dtMesCard, e.elemento4,
                     e.todasDietas, e.semArredondamento);
}

void CriaImpoCardHosp(const QString &cdFilial, const QString &cdServFili, const QDate &dtCardapio,
                      const QDate &dtMesCard, const QString &elemento4, const QString &todasDietas,
                      int semArredondamento)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // the screen of the previous entry, closed since; it is freed once its successor stands
    const QPointer<zov::TfrmImpoCardHosp> previous = frmImpoCardHosp;
    zov::TfrmImpoCardHosp *screen = nullptr;
    try {
        zov::storeEntryValues(cdFilial, cdServFili, dtCardapio, dtMesCard, elemento4, todasDietas,
                              semArredondamento);
        // the host application owns the screen: it goes with the host's main window
        auto *owner = qobject_cast<QWidget *>(zov::loginContext().mainWindow);
        screen = new zov::TfrmImpoCardHosp(owner);
        screen->setWindowFlag(Qt::Window);
        frmImpoCardHosp = screen;
        screen->FormCreate();
    } catch (...) {
        QApplication::restoreOverrideCursor();
        if (screen && !screen->parent()) {
            // never leave the exported pointer on a screen that is about to go
            frmImpoCardHosp = previous.data();
            screen->deleteLater();
        }
        throw;
    }
    // Each entry creates a screen and the host frees them only when it quits; a closed screen
    // still holds its record sets and its server connection, so a planner opening the screen
    // all day long would pile them up. The exported pointer keeps the newest one.
    if (previous && previous != screen && !previous->isVisible())
        delete previous.data();
    QApplication::restoreOverrideCursor();
    screen->exec();
}
