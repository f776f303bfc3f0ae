#include "controlchars.h"

namespace kmp::server {

namespace {

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e)
           || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

qsizetype firstControlCharacter(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i)
        if (isControl(text.at(i).unicode()))
            return i;
    return -1;
}

QString escapeControlCharacters(const QString &text)
{
    // Most lines have nothing to escape: hand them back untouched.
    if (firstControlCharacter(text) < 0)
        return text;
    QString out;
    out.reserve(text.size() + 16);
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        switch (c) {
        case u'\n': out += QLatin1String("\\n"); continue;
        case u'\r': out += QLatin1String("\\r"); continue;
        case u'\t': out += ch; continue; // a tab moves along the line, never off it
        default: break;
        }
        if (isControl(c) && c > 0xff)
            out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
        else if (isControl(c))
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            out += ch;
    }
    return out;
}

} // namespace kmp::server
