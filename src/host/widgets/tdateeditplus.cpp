#include "tdateeditplus.h"

#include "dates.h"
#include "hostcontext.h"
#include "texts.h"

#include <QCalendarWidget>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QToolButton>
#include <QWidgetAction>

namespace zov {

TDateEditPlus::TDateEditPlus(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("edit"));
    m_edit->setMaxLength(10);
    m_edit->setPlaceholderText(QStringLiteral("dd/mm/aaaa"));
    m_edit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9/]{0,10}")), m_edit));
    m_button = new QToolButton(this);
    m_button->setObjectName(QStringLiteral("calendar"));
    m_button->setText(QStringLiteral("…"));
    m_button->setToolTip(zov::text("DATE_CALENDAR_HINT"));
    m_button->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(m_edit);
    layout->addWidget(m_button);
    setFocusProxy(m_edit);
    setFocusPolicy(Qt::StrongFocus);
    connect(m_edit, &QLineEdit::textEdited, this, &TDateEditPlus::typed);
    connect(m_button, &QToolButton::clicked, this, &TDateEditPlus::popupCalendar);
}

QString TDateEditPlus::text() const
{
    return m_edit->text().trimmed();
}

void TDateEditPlus::setDateQuietly(const QDate &date)
{
    m_edit->setText(shortDate(date));
}

void TDateEditPlus::SetDate(const QDate &date)
{
    setDateQuietly(date);
    if (date != m_date) {
        m_date = date;
        Q_EMIT dateChanged(m_date);
    }
}

void TDateEditPlus::typed()
{
    const QDate date = parseShortDate(m_edit->text());
    if (date != m_date) {
        m_date = date;
        Q_EMIT dateChanged(m_date);
    }
}

bool TDateEditPlus::CheckValidDate()
{
    if (text().isEmpty() || parseShortDate(text()).isValid())
        return true;
    presenter().showError(zov::text("DATE_INVALID").arg(text()));
    m_edit->setFocus(Qt::OtherFocusReason);
    return false;
}

QDate TDateEditPlus::GetPrimDia() const
{
    return firstDayOfMonth(orZero(m_date));
}

void TDateEditPlus::popupCalendar()
{
    QMenu popup(this);
    auto *calendar = new QCalendarWidget(&popup);
    calendar->setObjectName(QStringLiteral("calendarPopup"));
    calendar->setLocale(QLocale(QLocale::Portuguese, QLocale::Brazil));
    calendar->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    calendar->setSelectedDate(m_date.isValid() ? m_date : QDate::currentDate());
    auto *action = new QWidgetAction(&popup);
    action->setDefaultWidget(calendar);
    popup.addAction(action);
    const auto pick = [&](const QDate &date) {
        SetDate(date);
        popup.close();
    };
    connect(calendar, &QCalendarWidget::clicked, &popup, pick);
    // Enter on a day
    connect(calendar, &QCalendarWidget::activated, &popup, pick);
    QTimer::singleShot(0, calendar, [calendar] { calendar->setFocus(Qt::PopupFocusReason); });
    popup.exec(mapToGlobal(QPoint(0, height())));
}

} // namespace zov
