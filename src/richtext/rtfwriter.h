#pragma once

#include <QByteArray>

class QTextDocument;

namespace kmp::rtf {

// The document as RTF that the rich-edit control, WordPad, Word and LibreOffice
// read back with its formatting: 7-bit output, cp1252 characters as \'hh and
// the rest as \uN?, a font and a colour table built from the document, every
// character format switched on and off explicitly, lists in the rich-edit \pn
// form, tables and PNG pictures. read() of the result gives back the same text,
// fonts, sizes, emphasis, colours, alignment, indents and lists.
QByteArray write(const QTextDocument *doc);

} // namespace kmp::rtf
