#pragma once

#include <QDate>
#include <QString>
#include <QVariant>

#include <qglobal.h>

#if defined(ZOV11119_BUILD)
#define ZOV11119_EXPORT Q_DECL_EXPORT
#else
#define ZOV11119_EXPORT Q_DECL_IMPORT
#endif

namespace zov {
class TfrmImpoCardHosp;
}

// The screen module's entry points, with C linkage so the host finds them by name.
extern "C" {

// The most recently created screen.
ZOV11119_EXPORT extern zov::TfrmImpoCardHosp *frmImpoCardHosp;

// The host's entry: one variant holding the seven entry values (branch, service,
// destination day, destination month, a text nothing reads, the initial all-diets
// text, the no-rounding flag). Null does nothing. A missing element or one that
// does not convert throws zov::Error before anything is stored. Dates may be
// dates or day numbers (days since 30/12/1899).
ZOV11119_EXPORT void IniProc(const QVariant &entry);

// Stores the entry values, creates the screen and runs it modally.
ZOV11119_EXPORT void CriaImpoCardHosp(const QString &cdFilial, const QString &cdServFili,
                                      const QDate &dtCardapio, const QDate &dtMesCard,
                                      const QString &elemento4, const QString &todasDietas,
                                      int semArredondamento);
}
