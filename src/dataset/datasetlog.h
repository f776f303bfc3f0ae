#pragma once

#include <QLoggingCategory>

namespace kmp {

// The record sets' log: failures that reached the item model with nobody to tell.
inline const QLoggingCategory &datasetLog()
{
    static const QLoggingCategory category("kmp.dataset");
    return category;
}

} // namespace kmp
