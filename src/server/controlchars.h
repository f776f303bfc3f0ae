#pragma once

#include <QString>

namespace kmp::server {

// Control characters (C0, DEL and C1) are never part of a code, a key or a name, and in a
// log line or on a terminal they forge lines or drive the terminal. These helpers find
// them and make them visible.

// The index of the first control character in text, or -1 when there is none.
qsizetype firstControlCharacter(const QString &text);

// The text with every control character but the tab written as \n, \r or \xHH, so the result
// is one line that shows where they were. Backslashes stay as they are: a text that
// merely looks escaped cannot break a line either, and a message escaped once (a method
// name quoted back to a station) reads the same in the log.
QString escapeControlCharacters(const QString &text);

} // namespace kmp::server
