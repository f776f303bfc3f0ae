#pragma once

#include <QLoggingCategory>

namespace kmp {

// The toolkit's log: the local catalogue copy, handlers that fail in unexpected ways.
inline const QLoggingCategory &toolkitLog()
{
    static const QLoggingCategory category("kmp.toolkit");
    return category;
}

} // namespace kmp
