#pragma once

#include <QLoggingCategory>

namespace kmp::server {

// The application server's log: connections, refusals, warnings about its set-up.
// Lines never carry patient data. QT_LOGGING_RULES="kmp.server.info=false" silences
// the routine lines and keeps the warnings.
inline const QLoggingCategory &serverLog()
{
    static const QLoggingCategory category("kmp.server");
    return category;
}

} // namespace kmp::server
