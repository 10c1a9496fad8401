#include "zov11119.h"

#include "dates.h"
#include "error.h"
#include "hostcontext.h"
#include "texts.h"
#include "tfrmimpocardhosp.h"
#include "unitvalues.h"

#include <QApplication>
#include <QPointer>
#include <cmath>

zov::TfrmImpoCardHosp *frmImpoCardHosp = nullptr;

namespace {

using zov::Error;
using zov::text;

QString textElement(const QVariantList &entry, int index)
{
    const QVariant &v = entry.at(index);
    switch (v.typeId()) {
    case QMetaType::QString:
        return v.toString();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return v.toString();
    default:
        if (!v.isValid() || v.isNull())
            return QString();
    }
    throw Error(text("ENTRY_BAD_ELEMENT").arg(index).arg(QString::fromLatin1(v.typeName())));
}

QDate dateElement(const QVariantList &entry, int index)
{
    const QVariant &v = entry.at(index);
    if (v.typeId() == QMetaType::QDate && v.toDate().isValid())
        return v.toDate();
    if (v.typeId() == QMetaType::QDateTime && v.toDateTime().isValid())
        return v.toDateTime().date();
    bool ok = false;
    const double day =
        v.typeId() == QMetaType::QString ? v.toString().trimmed().toDouble(&ok) : v.toDouble(&ok);
    const QDate date = ok && std::isfinite(day) ? zov::dateFromDayNumber(day) : QDate();
    if (!date.isValid())
        throw Error(text("ENTRY_BAD_ELEMENT").arg(index).arg(QString::fromLatin1(v.typeName())));
    return date;
}

int integerElement(const QVariantList &entry, int index)
{
    const QVariant &v = entry.at(index);
    bool ok = false;
    const double value =
        v.typeId() == QMetaType::QString ? v.toString().trimmed().toDouble(&ok) : v.toDouble(&ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > 2147483647.0)
        throw Error(text("ENTRY_BAD_ELEMENT").arg(index).arg(QString::fromLatin1(v.typeName())));
    return static_cast<int>(std::lround(value));
}

} // namespace

void IniProc(const QVariant &entry)
{
    const QVariant copy = entry;
    if (!copy.isValid() || copy.isNull())
        return;
    if (copy.typeId() != QMetaType::QVariantList)
        throw Error(text("ENTRY_NOT_ARRAY"));
    const QVariantList values = copy.toList();
    if (values.size() < 7)
        throw Error(text("ENTRY_SHORT").arg(values.size()));
    // every element is converted before anything is stored
    const QString cdFilial = textElement(values, 0);
    const QString cdServFili = textElement(values, 1);
    const QDate dtCardapio = dateElement(values, 2);
    const QDate dtMesCard = dateElement(values, 3);
    const QString elemento4 = textElement(values, 4);
    const QString todasDietas = textElement(values, 5);
    const int semArredondamento = integerElement(values, 6);
    CriaImpoCardHosp(cdFilial, cdServFili, dtCardapio, dtMesCard, elemento4, todasDietas,
                     semArredondamento);
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
