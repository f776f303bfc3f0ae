#pragma once

#include <QString>

namespace kmp::server {

// Control characters (C0, DEL and C1) are never part of a code, a key or a name, and in a
// log line or on a terminal they forge lines or drive the terminal. Neither are the
// invisible marks that reorder text (U+200E, U+200F, U+202A..U+202E, U+2066..U+2069,
// U+061C), which make a code or a log line read as something else than it is. These
// helpers find them and make them visible.

// The index of the first control character in text, or -1 when there is none.
qsizetype firstControlCharacter(const QString &text);

// The text with every control character but the tab written as \n, \r, \xHH or \uHHHH, so the result
// is one line that shows where they were. Backslashes stay as they are: a text that
// merely looks escaped cannot break a line either, and a message escaped once (a method
// name quoted back to a station) reads the same in the log.
QString escapeControlCharacters(const QString &text);

} // namespace kmp::server
