#include "tdateeditplus.h"

#include "fielddef.h"

#include <cmath>

namespace kmp {

TDateEditPlus::TDateEditPlus(QWidget *parent) : QLineEdit(parent)
{
    setReadOnly(true);
    m_weekDays = {QStringLiteral("Domingo"), QStringLiteral("Segunda"), QStringLiteral("Terça"), QStringLiteral("Quarta"),
                  QStringLiteral("Quinta"),  QStringLiteral("Sexta"),   QStringLiteral("Sábado")};
}

void TDateEditPlus::setWeekDays(const QStringList &names)
{
    if (names.size() == 7)
        m_weekDays = names;
    refresh();
}

void TDateEditPlus::setValidColor(const QColor &color)
{
    m_validColor = color;
    refresh();
}

void TDateEditPlus::setValue(double days)
{
    if (!std::isfinite(days)) {
        clearValue();
        return;
    }
    m_value = SaveTime ? days : std::floor(days);
    m_hasValue = true;
    refresh();
}

QDate TDateEditPlus::date() const
{
    return m_hasValue ? kmp::dateTimeFromDays(m_value).date() : QDate();
}

void TDateEditPlus::clearValue()
{
    m_value = 0;
    m_hasValue = false;
    refresh();
}

void TDateEditPlus::refresh()
{
    const QDate d = date();
    QPalette pal = palette();
    if (!d.isValid()) {
        setText(QString());
        return;
    }
    // dayOfWeek: Monday 1 .. Sunday 7; the names start on Sunday.
    const QString weekday = m_weekDays.value(d.dayOfWeek() % 7);
    QString text = d.toString(QStringLiteral("dd/MM/yyyy"));
    if (SaveTime)
        text += QLatin1Char(' ') + kmp::dateTimeFromDays(m_value).time().toString(QStringLiteral("HH:mm"));
    setText(text + QLatin1Char(' ') + weekday);
    setCursorPosition(0); // show the date from its start, not the end of the weekday
    pal.setColor(QPalette::Text, m_validColor);
    setPalette(pal);
}

} // namespace kmp
