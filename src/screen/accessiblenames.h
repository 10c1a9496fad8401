#pragma once

#include <initializer_list>

class QWidget;

namespace zov {

// The name a screen reader gives a control: the text of `key`, for the child of that
// object name.
struct AccessibleName
{
    const char *objectName;
    const char *key;
};

// Names the controls of `window` after the table, once the window is built. A row whose
// control the window lacks is passed over, so that one table serves the forms that have
// it and those that do not yet. A date edit's field and calendar button are named after
// the edit.
void nameControls(QWidget *window, std::initializer_list<AccessibleName> names);

} // namespace zov
