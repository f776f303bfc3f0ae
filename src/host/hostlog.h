#pragma once

#include <QLoggingCategory>

namespace kmp {

// The host's log: failures to open a module, to keep its state, to find Qt's
// translations. QT_LOGGING_RULES="kmp.host.warning=false" silences it.
inline const QLoggingCategory &hostLog()
{
    static const QLoggingCategory category("kmp.host");
    return category;
}

} // namespace kmp
