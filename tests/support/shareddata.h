#pragma once

// The shared read-only data (the official catalogue, sample documents) lives outside the
// repository. KMP_SHARED_DATA names its folder at run time; without it, the folder the
// build was configured with. A test that needs a file from it skips, saying what is
// missing and how to provide it, rather than failing or aborting the whole executable.

#include <QFileInfo>
#include <QString>
#include <QTest>

namespace kmp::test {

inline QString sharedDataDir()
{
    const QString fromEnvironment = qEnvironmentVariable("KMP_SHARED_DATA");
#ifdef KMP_SHARED_DATA_DIR
    return fromEnvironment.isEmpty() ? QStringLiteral(KMP_SHARED_DATA_DIR) : fromEnvironment;
#else
    return fromEnvironment;
#endif
}

// A path inside the shared data folder ("cid10", "rtf/name.rtf").
inline QString sharedData(const QString &relative)
{
    return sharedDataDir() + QLatin1Char('/') + relative;
}

inline bool hasSharedData(const QString &relative)
{
    return !sharedDataDir().isEmpty() && QFileInfo::exists(sharedData(relative));
}

inline QString missingSharedDataReason(const QString &relative)
{
    return QStringLiteral("shared data missing: %1 (set KMP_SHARED_DATA to the folder holding cid10/ and rtf/)")
        .arg(sharedData(relative));
}

} // namespace kmp::test

// Declares var as the path of relative inside the shared data, or skips the test (or the
// whole test case, from initTestCase) with the reason when it is not there.
#define KMP_SHARED_DATA_OR_SKIP(var, relative)                                                                                   \
    const QString var = kmp::test::sharedData(QStringLiteral(relative));                                                         \
    if (!kmp::test::hasSharedData(QStringLiteral(relative)))                                                                     \
        QSKIP(qPrintable(kmp::test::missingSharedDataReason(QStringLiteral(relative))));
