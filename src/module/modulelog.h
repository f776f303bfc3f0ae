#pragma once

#include <QLoggingCategory>

namespace kmp {

// The screen module's log: what the transport said when the server could not be reached.
inline const QLoggingCategory &moduleLog()
{
    static const QLoggingCategory category("kmp.module");
    return category;
}

} // namespace kmp
