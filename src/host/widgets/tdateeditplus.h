#pragma once

#include <QDate>
#include <QWidget>

class QLineEdit;
class QToolButton;

namespace zov {

// The host's date edit: dd/MM/yyyy typed or picked from a calendar. An empty edit
// reads as a null date; a partly typed or impossible text too, until
// CheckValidDate reports it.
class TDateEditPlus : public QWidget
{
    Q_OBJECT
public:
    explicit TDateEditPlus(QWidget *parent = nullptr);

    QDate GetDate() const { return m_date; }
    void SetDate(const QDate &date);
    // False, after showing "Data inválida." through the presenter, when the typed
    // text is neither empty nor a date.
    bool CheckValidDate();
    QDate GetPrimDia() const;
    QString text() const; // the typed digits and separators, empty when nothing is typed
    QLineEdit *lineEdit() const { return m_edit; }
    // The calendar under the edit; it takes the keyboard (arrows move, Enter picks,
    // Esc closes). The focus stays in the edit.
    void popupCalendar();

Q_SIGNALS:
    void dateChanged(const QDate &date);

private:
    void typed();
    void setDateQuietly(const QDate &date);

    QLineEdit *m_edit;
    QToolButton *m_button;
    QDate m_date;
};

} // namespace zov
