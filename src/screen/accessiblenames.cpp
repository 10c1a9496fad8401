#include "accessiblenames.h"

#include "tdateeditplus.h"
#include "texts.h"

#include <QLineEdit>
#include <QToolButton>

namespace zov {

void nameControls(QWidget *window, std::initializer_list<AccessibleName> names)
{
    for (const AccessibleName &row : names) {
        auto *control = window->findChild<QWidget *>(QLatin1String(row.objectName));
        if (!control)
            continue;
        const QString name = text(row.key);
        control->setAccessibleName(name);
        if (auto *date = qobject_cast<TDateEditPlus *>(control)) {
            date->lineEdit()->setAccessibleName(name);
            if (auto *calendar = date->findChild<QToolButton *>(QStringLiteral("calendar")))
                calendar->setAccessibleName(text("A11Y_CALENDAR").arg(name));
        }
    }
}

} // namespace zov
