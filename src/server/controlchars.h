#pragma once

#include <QString>

namespace kmp::server {

// Control characters (C0, DEL and C1) are never part of a code, a key or a name, and in a
// log line or on a terminal they forge lines or drive the terminal. These helpers find
// them and make them visible.

// The index of the first control character in text, or -1 when there is none.
qsizetype firstControlCharacter(const QString &text);

// The text with every control character written as \n, \r, \t or \xHH (\u{HHHH} above
// 0xFF) and every backslash doubled, so the result is one line that shows exactly what
// was there.
QString escapeControlCharacters(const QString &text);

} // namespace kmp::server
