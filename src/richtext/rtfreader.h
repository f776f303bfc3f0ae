#pragma once

#include <QByteArray>
#include <QString>

class QTextDocument;

namespace kmp::rtf {

// Replaces the content of doc with the note stored in data. RTF as the rich-edit
// control, Word and LibreOffice write it is read with its formatting; anything
// that does not start with "{\rtf" is shown as plain text (UTF-8 when it is
// valid UTF-8, else cp1252). Broken or hostile input loads whatever could be
// read, in bounded time and memory; this never throws and never leaves the
// document half-cleared. Pictures become document resources. The undo history
// of doc is cleared, since undoing the load would show an empty note.
void read(const QByteArray &data, QTextDocument *doc);

// Whether data is RTF: "{\rtf" at the start, after white space, a byte-order
// mark or a few stray bytes that some exporters put before it.
bool looksLikeRtf(const QByteArray &data);

// The text of a stored note without its formatting, paragraphs separated by
// '\n'. For search, previews and exports that do not need a document.
QString plainText(const QByteArray &data);

} // namespace kmp::rtf
