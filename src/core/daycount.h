#pragma once

#include <QDate>
#include <QDateTime>

namespace kmp {

// The day-count date used by every date field, remote call and stored row: days since
// 30 December 1899, the fraction being the time of day.
QDateTime dateTimeFromDays(double days);
double daysFromDateTime(const QDateTime &dt);

// Whole days only: the count of a calendar day, and the calendar day a count falls on
// (the time of day, if any, is dropped; an invalid date for a count no calendar holds).
double daysFromDate(QDate date);
QDate dateFromDays(double days);

} // namespace kmp
