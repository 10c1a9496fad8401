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
        if (screen && !screen->parent())
            screen->deleteLater();
        throw;
    }
    QApplication::restoreOverrideCursor();
    screen->exec();
}
