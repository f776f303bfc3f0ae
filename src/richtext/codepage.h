#pragma once

#include <QByteArray>
#include <QString>

namespace kmp::rtf::detail {

// Pseudo code pages for fonts whose bytes are glyph numbers, not characters.
inline constexpr int kSymbolCodePage = -2;     // the Symbol font: mapped to real Unicode
inline constexpr int kPrivateUseCodePage = -3; // other pictorial fonts: U+F0xx, as Windows does

// The code page that a font's \fcharset implies, or 0 when the charset leaves it
// to the document (\ansicpg).
int codePageForCharset(int charset);

// Whether appendDecoded() gives real characters for this code page.
bool isKnownCodePage(int codePage);

// Appends the bytes decoded in codePage to out. Control bytes other than the tab
// are dropped: they are never text in a clinical note. Never fails: undecodable
// bytes become U+FFFD.
void appendDecoded(int codePage, const char *data, qsizetype size, QString &out);

// The Unicode character for a glyph of the Symbol font.
char16_t symbolFontChar(unsigned char glyph);

// The cp1252 byte for ch, or -1 when cp1252 has no such character.
int cp1252Byte(char16_t ch);

// Appends text as 7-bit RTF: cp1252 characters as \'hh, the rest as \uN?,
// tabs and line breaks as their control words, braces and backslashes escaped.
void appendRtfText(QStringView text, QByteArray &out);

} // namespace kmp::rtf::detail
