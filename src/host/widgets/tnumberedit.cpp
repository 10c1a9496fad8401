#include "tnumberedit.h"

#include <QRegularExpressionValidator>

namespace zov {

TNumberEdit::TNumberEdit(QWidget *parent)
    : QLineEdit(parent)
{
    setAlignment(Qt::AlignRight);
    setDecimals(3);
    connect(this, &QLineEdit::textEdited, this, [this] { Q_EMIT numberChanged(GetNumber()); });
}

void TNumberEdit::setDecimals(int decimals)
{
    m_decimals = decimals;
    setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("-?[0-9]{0,6}([.,][0-9]{0,%1})?").arg(decimals)), this));
}

double TNumberEdit::GetNumber() const
{
    QString t = text().trimmed();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    return t.toDouble();
}

void TNumberEdit::SetNumber(double value)
{
    QString t = QString::number(value, 'f', m_decimals);
    t.replace(QLatin1Char('.'), QLatin1Char(','));
    setText(t);
}

} // namespace zov
