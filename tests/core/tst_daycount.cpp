// The day-count dates every date field, remote call and stored row uses.

#include "daycount.h"

#include <QTest>

#include <limits>

class TestDayCount : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void dates_data()
    {
        QTest::addColumn<double>("days");
        QTest::addColumn<QDate>("date");
        QTest::newRow("the epoch") << 0.0 << QDate(1899, 12, 30);
        QTest::newRow("a consultation") << 46363.0 << QDate(2026, 12, 7);
        QTest::newRow("the afternoon of it") << 46363.75 << QDate(2026, 12, 7);
        QTest::newRow("before the epoch") << -1.0 << QDate(1899, 12, 29);
        QTest::newRow("an evening before the epoch") << -0.25 << QDate(1899, 12, 29);
        QTest::newRow("late in the 22nd century") << 109574.0 << QDate(2199, 12, 31);
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << QDate();
        QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << QDate();
        QTest::newRow("beyond any calendar") << 1e300 << QDate();
        QTest::newRow("far before any calendar") << -1e300 << QDate();
    }

    void dates()
    {
        QFETCH(double, days);
        QFETCH(QDate, date);
        QCOMPARE(kmp::dateFromDays(days), date);
        if (date.isValid() && days == std::floor(days))
            QCOMPARE(kmp::daysFromDate(date), days);
    }

    void timesOfDay_data()
    {
        QTest::addColumn<double>("days");
        QTest::addColumn<QDateTime>("dateTime");
        QTest::newRow("midnight") << 46363.0 << QDateTime(QDate(2026, 12, 7), QTime(0, 0));
        QTest::newRow("noon") << 46363.5 << QDateTime(QDate(2026, 12, 7), QTime(12, 0));
        QTest::newRow("a quarter past six in the evening") << 46363.7604166666666 << QDateTime(QDate(2026, 12, 7), QTime(18, 15));
        QTest::newRow("a millisecond to midnight")
            << 46363.0 + 86399999.0 / 86400000.0 << QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59, 999));
    }

    // The time of day survives the round trip to the millisecond.
    void timesOfDay()
    {
        QFETCH(double, days);
        QFETCH(QDateTime, dateTime);
        QCOMPARE(kmp::dateTimeFromDays(days), dateTime);
        QCOMPARE(kmp::dateTimeFromDays(kmp::daysFromDateTime(dateTime)), dateTime);
    }
};

QTEST_GUILESS_MAIN(TestDayCount)
#include "tst_daycount.moc"
