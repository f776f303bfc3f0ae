#pragma once

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QStringList>

// Records the busy indicator's text each time it appears or changes.
class IndicatorWatch : public QObject
{
public:
    IndicatorWatch() { qApp->installEventFilter(this); }
    ~IndicatorWatch() override { qApp->removeEventFilter(this); }
    QStringList texts;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched->objectName() == QLatin1String("kmpBusyText")
            && (event->type() == QEvent::Show || event->type() == QEvent::Paint)) {
            const QString text = static_cast<QLabel *>(watched)->text();
            if (texts.isEmpty() || texts.last() != text)
                texts << text;
        }
        return false;
    }
};
