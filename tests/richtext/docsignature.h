#pragma once

#include <QString>

class QTextDocument;

namespace kmp::rtf::test {

// A line per paragraph with everything a clinician can set on it and on each run
// of its text, formats resolved against the document's default font. Two
// documents a clinician would call the same give the same signature, and a
// failing comparison shows the paragraph that differs.
QString documentSignature(const QTextDocument &doc);

// The first line where two signatures differ, both versions, or an empty
// string when they are the same: a readable failure for long documents.
QString firstDifference(const QString &actual, const QString &expected);

} // namespace kmp::rtf::test
