#pragma once

#include <QLineEdit>

namespace zov {

// The host's number edit: a number with a fixed count of decimals, shown with a
// decimal comma and no thousands separator; a dot is taken as a comma.
class TNumberEdit : public QLineEdit
{
    Q_OBJECT
public:
    explicit TNumberEdit(QWidget *parent = nullptr);

    void setDecimals(int decimals);
    int decimals() const { return m_decimals; }
    double GetNumber() const; // 0 for an empty edit
    void SetNumber(double value);

Q_SIGNALS:
    void numberChanged(double value);

private:
    int m_decimals = 3;
};

} // namespace zov
