#pragma once

#include <QColor>
#include <QDate>
#include <QLineEdit>
#include <QStringList>

namespace kmp {

// A date display: the date with its weekday name ("07/12/2026 Segunda"). Valid dates are
// drawn in ValidColor; an empty or invalid value shows nothing. The value is the day-count
// date (days since 30 December 1899); SaveTime keeps the time of day in it, otherwise the
// value is cut to the whole day.
class TDateEditPlus : public QLineEdit
{
    Q_OBJECT
public:
    explicit TDateEditPlus(QWidget *parent = nullptr);

    bool SaveTime = false;
    void setSaveTime(bool on) { SaveTime = on; }

    void setWeekDays(const QStringList &names); // seven names, Sunday first
    void setValidColor(const QColor &color);

    void setValue(double days);
    double value() const { return m_value; }
    QDate date() const;
    void clearValue();

private:
    void refresh();

    QStringList m_weekDays;
    QColor m_validColor = Qt::blue;
    double m_value = 0;
    bool m_hasValue = false;
};

} // namespace kmp
