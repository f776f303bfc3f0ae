#pragma once

#include "hostservices.h"

#include <QList>
#include <QStringList>

// The in-memory host services with every cache refresh recorded in order, so that a test
// can tell which keys the screen asked the host to refresh, and when it asked none.
class RecordingHostServices : public kmp::MemoryHostServices
{
public:
    void refreshLocalCache(const QStringList &keys) override
    {
        m_refreshes.append(keys);
        kmp::MemoryHostServices::refreshLocalCache(keys);
    }

    // Every refresh asked for, in order, each with the keys it named.
    const QList<QStringList> &cacheRefreshes() const { return m_refreshes; }
    void clearCacheLog() { m_refreshes.clear(); }

private:
    QList<QStringList> m_refreshes;
};
