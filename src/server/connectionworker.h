#pragma once

#include "databaseconfig.h"

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <functional>

namespace kmp::server {

// Serves one client connection on the calling thread, from accept to close: reads frames,
// answers each request in order, and owns the thread's own database connection (opened
// at the first request, reopened when it was lost). Returns when the client goes away,
// sends a frame that cannot be read, or stop becomes true.
class ConnectionWorker
{
public:
    struct Settings
    {
        DatabaseConfig database;
        quint32 maxFrame = 0;
        std::function<void(const QString &)> log; // one line, no patient data
    };

    ConnectionWorker(Settings settings, quint64 number) : m_settings(std::move(settings)), m_number(number) {}

    void run(qintptr socketDescriptor, const std::atomic<bool> &stop);

private:
    Settings m_settings;
    quint64 m_number;
};

} // namespace kmp::server
