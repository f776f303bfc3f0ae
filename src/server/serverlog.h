#pragma once

#include <QLoggingCategory>

namespace kmp::server {

// The application server's log: connections, refusals, warnings about its set-up.
// Lines never carry patient data. Every line, set-up warnings included, is written at
// the info level, so a rule that turns kmp.server's info off silences the whole log.
inline const QLoggingCategory &serverLog()
{
    static const QLoggingCategory category("kmp.server");
    return category;
}

} // namespace kmp::server
