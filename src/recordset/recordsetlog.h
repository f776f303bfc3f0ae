#pragma once

#include <QLoggingCategory>

namespace kmp {

// The record sets' log: failures that reached the item model with nobody to tell.
inline const QLoggingCategory &recordsetLog()
{
    static const QLoggingCategory category("kmp.recordset");
    return category;
}

} // namespace kmp
