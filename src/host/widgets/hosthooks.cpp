#include "hosthooks.h"

#include "commandline.h"
#include "dates.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

namespace zov {

namespace {

QWidget *shownWindow(const QString &name)
{
    QWidget *found = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == name && w->isVisible())
            found = w;
    }
    return found;
}

// types a date into a date edit of the screen, as the planner would
void typeDate(QWidget *screen, const char *edit, const QDate &date)
{
    if (auto *field = screen->findChild<QWidget *>(QLatin1String(edit))) {
        auto *line = field->findChild<QLineEdit *>(QStringLiteral("edit"));
        line->setFocus(Qt::TabFocusReason);
        line->setText(shortDate(date));
        Q_EMIT line->textEdited(line->text());
    }
}

// the picture of the screen, then "Simular" and the picture of its report beside it
void savePictures(QWidget *screen, const QString &file)
{
    screen->grab().save(file);
    const QFileInfo shot(file);
    const QString reportFile =
        shot.dir().filePath(shot.completeBaseName() + QStringLiteral("-report.") + shot.suffix());
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [=] {
        if (QWidget *report = shownWindow(QStringLiteral("importReport"))) {
            poll->deleteLater();
            report->grab().save(reportFile);
            report->close();
            // the screen was filled in: its close would ask the planner first, and no
            // one is there to answer
            if (auto *dialog = qobject_cast<QDialog *>(screen))
                dialog->done(QDialog::Rejected);
            else
                screen->close();
        }
    });
    poll->start(200);
    if (auto *simulate = screen->findChild<QAbstractButton *>(QStringLiteral("sbtSimular")))
        simulate->click();
}

void scheduleScreenshot(const QString &file, const QDate &from, const QDate &to)
{
    QTimer::singleShot(300, qApp, [=] {
        QWidget *screen = shownWindow(QStringLiteral("frmImpoCardHosp"));
        if (!screen)
            return;
        typeDate(screen, "depCardOrig", from);
        typeDate(screen, "depCardOrigAte", to);
        QTimer::singleShot(200, qApp, [=] {
            if (auto *grid = screen->findChild<QWidget *>(QStringLiteral("dbgPadrao")))
                grid->setFocus(Qt::TabFocusReason);
            QTimer::singleShot(800, qApp, [=] { savePictures(screen, file); });
        });
    });
}

class WidgetMap : public QObject
{
public:
    WidgetMap(QString file, QObject *parent)
        : QObject(parent)
        , m_file(std::move(file))
    {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *screen = qobject_cast<QWidget *>(watched);
        if (event->type() == QEvent::Show && screen &&
            (screen->objectName() == QLatin1String("frmImpoCardHosp") ||
             screen->objectName() == QLatin1String("workbench")))
            QTimer::singleShot(300, this, [this, screen = QPointer<QWidget>(screen)] {
                if (screen)
                    write(*screen);
            });
        return false;
    }

private:
    void write(QWidget &screen) const
    {
        QFile out(m_file + QStringLiteral(".part"));
        if (!out.open(QIODevice::WriteOnly))
            return;
        QTextStream lines(&out);
        for (QWidget *w : screen.findChildren<QWidget *>()) {
            if (w->objectName().isEmpty() || !w->isVisible())
                continue;
            const QPoint centre = w->mapToGlobal(w->rect().center());
            const QString parent = w->parentWidget() ? w->parentWidget()->objectName() : QString();
            const QString name =
                parent.isEmpty() ? w->objectName() : parent + QLatin1Char('.') + w->objectName();
            lines << w->objectName() << ' ' << centre.x() << ' ' << centre.y() << '\n';
            lines << name << ' ' << centre.x() << ' ' << centre.y() << '\n';
        }
        lines.flush();
        out.close();
        QFile::remove(m_file);
        out.rename(m_file);
    }

    QString m_file;
};

} // namespace

void installHostHooks(const CommandLine &options)
{
    if (qEnvironmentVariableIsSet("ZOV_HOST_WIDGET_MAP"))
        qApp->installEventFilter(new WidgetMap(qEnvironmentVariable("ZOV_HOST_WIDGET_MAP"), qApp));
    if (options.has(QStringLiteral("screenshot")))
        scheduleScreenshot(options.value(QStringLiteral("screenshot")),
                           parseIsoDate(options.value(QStringLiteral("from"))),
                           parseIsoDate(options.value(QStringLiteral("to"))));
}

} // namespace zov
