#pragma once

#include <QTextFormat>
#include <QtGlobal>

namespace kmp::rtf {

// The number a numbered list starts at. Qt shows it from 6.6 on; older Qt
// keeps the same property without showing it, so a note's numbering that does
// not start at 1 still goes back into the note as it came.
inline constexpr int kListStartProperty = 0x3004; // QTextFormat::ListStart from Qt 6.6

inline int listStart(const QTextListFormat &format)
{
    return format.hasProperty(kListStartProperty) ? format.intProperty(kListStartProperty) : 1;
}

inline void setListStart(QTextListFormat &format, int start)
{
    if (start == 1)
        format.clearProperty(kListStartProperty);
    else
        format.setProperty(kListStartProperty, start);
}

} // namespace kmp::rtf
