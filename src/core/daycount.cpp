#include "daycount.h"

#include <cmath>

namespace kmp {

namespace {

QDate epochDate()
{
    return QDate(1899, 12, 30);
}

} // namespace

QDateTime dateTimeFromDays(double days)
{
    const QDateTime epoch(epochDate(), QTime(0, 0));
    return epoch.addMSecs(qint64(std::llround(days * 86400000.0)));
}

double daysFromDateTime(const QDateTime &dt)
{
    const QDateTime epoch(epochDate(), QTime(0, 0));
    return epoch.msecsTo(QDateTime(dt.date(), dt.time())) / 86400000.0;
}

double daysFromDate(QDate date)
{
    return double(epochDate().daysTo(date));
}

QDate dateFromDays(double days)
{
    // Far beyond any calendar QDate keeps (and NaN): no day, rather than an overflow.
    if (!std::isfinite(days) || std::fabs(days) > 1e9)
        return QDate();
    return epochDate().addDays(qint64(std::floor(days)));
}

} // namespace kmp
