#include "rtflexer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <string_view>

namespace kmp::rtf::detail {

namespace {

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Bytes that end a run of plain text.
struct SpecialBytes
{
    std::array<bool, 256> special{};
    explicit SpecialBytes(const char *bytes)
    {
        for (const char *b = bytes; *b; ++b)
            special[static_cast<unsigned char>(*b)] = true;
    }
};
const SpecialBytes kSpecial("{}\\\r\n");

RtfLexer::Token makeToken(RtfLexer::Token::Type type)
{
    RtfLexer::Token t;
    t.type = type;
    return t;
}

} // namespace

RtfLexer::Token RtfLexer::next()
{
    while (m_p < m_end) {
        const char c = *m_p;
        if (c == '{') {
            ++m_p;
            return makeToken(Token::GroupOpen);
        }
        if (c == '}') {
            ++m_p;
            return makeToken(Token::GroupClose);
        }
        if (c == '\\') {
            ++m_p;
            return controlSequence();
        }
        if (c == '\r' || c == '\n') {
            ++m_p;
            continue;
        }
        const char *s = m_p++;
        while (m_p < m_end && !kSpecial.special[static_cast<unsigned char>(*m_p)])
            ++m_p;
        Token t = makeToken(Token::Text);
        t.word = std::string_view(s, static_cast<size_t>(m_p - s));
        return t;
    }
    return makeToken(Token::End);
}

RtfLexer::Token RtfLexer::controlSequence()
{
    // A backslash as the last byte ends the input.
    if (m_p >= m_end)
        return makeToken(Token::End);
    const char c = *m_p;
    if (isLetter(c)) {
        const char *start = m_p;
        while (m_p < m_end && isLetter(*m_p))
            ++m_p;
        Token t = makeToken(Token::ControlWord);
        t.word = std::string_view(start, static_cast<size_t>(std::min<qsizetype>(m_p - start, kMaxWordLength)));
        bool negative = false;
        qint64 value = 0;
        if (m_p < m_end && *m_p == '-' && m_end - m_p > 1 && isDigit(m_p[1])) {
            negative = true;
            ++m_p;
        }
        while (m_p < m_end && isDigit(*m_p)) {
            t.hasParam = true;
            value = std::min<qint64>(value * 10 + (*m_p - '0'), kMaxParam);
            t.bits = t.bits * 10u + static_cast<quint32>(*m_p - '0');
            ++m_p;
        }
        if (m_p < m_end && *m_p == ' ')
            ++m_p;
        t.value = static_cast<int>(negative ? -value : value);
        if (negative)
            t.bits = 0u - t.bits;
        return t;
    }
    ++m_p;
    if (c == '\'') {
        Token t = makeToken(Token::HexByte);
        t.value = -1;
        const int hi = m_p < m_end ? hexValue(m_p[0]) : -1;
        const int lo = m_end - m_p >= 2 ? hexValue(m_p[1]) : -1;
        if (hi >= 0 && lo >= 0) {
            t.value = hi * 16 + lo;
            m_p += 2;
        } else if (hi >= 0 && m_end - m_p == 1) {
            ++m_p; // half an escape at a truncation: not text
        }
        return t;
    }
    Token t = makeToken(Token::ControlSymbol);
    t.symbol = c;
    return t;
}

bool RtfLexer::takeBareStar()
{
    if (m_end - m_p >= 2 && m_p[0] == '*' && m_p[1] == '\\') {
        ++m_p;
        return true;
    }
    return false;
}

void RtfLexer::skipGroup()
{
    int depth = 1;
    while (m_p < m_end) {
        const char c = *m_p++;
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (--depth == 0)
                break;
        } else if (c == '\\' && m_p < m_end) {
            if (m_end - m_p > 3 && m_p[0] == 'b' && m_p[1] == 'i' && m_p[2] == 'n' && (isDigit(m_p[3]) || m_p[3] == '-')) {
                m_p += 3;
                bool negative = false;
                if (*m_p == '-') {
                    negative = true;
                    ++m_p;
                }
                qint64 n = 0;
                while (m_p < m_end && isDigit(*m_p)) {
                    n = std::min<qint64>(n * 10 + (*m_p - '0'), kMaxParam);
                    ++m_p;
                }
                if (m_p < m_end && *m_p == ' ')
                    ++m_p;
                if (!negative)
                    m_p += std::min<qint64>(n, m_end - m_p);
            } else {
                ++m_p;
            }
        }
    }
}

namespace {

// Destinations whose text is not the note's body: a \row in them ends no row.
bool isAsideDestination(std::string_view word)
{
    static constexpr std::string_view kAside[] = {
        "footnote",   "annotation", "header",   "headerl",  "headerr",    "headerf", "footer",    "footerl", "footerr",
        "footerf",    "pict",       "fonttbl",  "colortbl", "stylesheet", "info",    "listtable", "shp",     "shpgrp",
        "nonshppict", "pntext",     "listtext", "pn",       "fldinst",    "xe",      "tc",        "revtbl",  "filetbl"};
    return std::find(std::begin(kAside), std::end(kAside), word) != std::end(kAside);
}

} // namespace

int RtfLexer::rowsAhead(int limit) const
{
    static const SpecialBytes kGroupOrWord("{}\\");
    int rows = 0;
    // Whether the paragraph being read is in a table, and whether the row
    // being read has a cell; groups keep their own.
    bool inTable = true;
    bool hasCell = true;
    quint64 outer = 0;
    int depth = 0;
    for (const char *p = m_p; p < m_end && rows < limit;) {
        while (p < m_end && !kGroupOrWord.special[static_cast<unsigned char>(*p)])
            ++p;
        if (p >= m_end)
            break;
        const char c = *p++;
        if (c == '{') {
            // Groups the body does not flow through are passed over whole.
            const char *q = p;
            if (q + 1 < m_end && q[0] == '\\' && q[1] == '*')
                q = m_end;
            else if (q < m_end && *q == '\\') {
                const char *w = ++q;
                while (q < m_end && isLetter(*q))
                    ++q;
                if (!isAsideDestination(std::string_view(w, static_cast<size_t>(q - w))))
                    q = nullptr;
            } else {
                q = nullptr;
            }
            if (q) {
                RtfLexer group(p, m_end);
                group.skipGroup();
                p = group.m_p;
                continue;
            }
            if (depth < 64)
                outer = (outer & ~(quint64(1) << depth)) | (quint64(inTable) << depth);
            ++depth;
            continue;
        }
        if (c == '}') {
            if (depth > 0 && --depth < 64)
                inTable = (outer >> depth) & 1;
            continue;
        }
        // Only a few words matter, and their parameters only for \bin; the
        // letters of the others are passed over with the text.
        const char first = p < m_end ? *p : '\0';
        if (first != 'b' && first != 'r' && first != 'p' && first != 'i' && first != 's' && first != 'c' && first != 'n') {
            if (p < m_end && !isLetter(first))
                ++p; // a control symbol: \{ and \} are not groups
            continue;
        }
        const char *word = p;
        while (p < m_end && isLetter(*p))
            ++p;
        const qsizetype length = p - word;
        const auto is = [&](const char *name, qsizetype n) { return length == n && std::memcmp(word, name, size_t(n)) == 0; };
        if (is("bin", 3)) {
            qint64 n = 0;
            const bool negative = p < m_end && *p == '-';
            while (p < m_end && isDigit(*p))
                n = std::min<qint64>(n * 10 + (*p++ - '0'), kMaxParam);
            if (p < m_end && *p == ' ')
                ++p;
            if (!negative)
                p += std::min<qint64>(n, m_end - p);
        } else if (is("cell", 4) || is("nestcell", 8)) {
            hasCell = true;
        } else if (is("row", 3)) {
            // As the reader counts them: a row ends only after a cell.
            rows += hasCell ? 1 : 0;
            hasCell = false;
        } else if (is("pard", 4)) {
            inTable = false;
        } else if (is("intbl", 5)) {
            inTable = true;
        } else if ((is("par", 3) || is("sect", 4)) && !inTable) {
            break;
        }
    }
    return rows;
}

void RtfLexer::skipBytes(qint64 length)
{
    if (length > 0)
        m_p += std::min<qint64>(length, m_end - m_p);
}

std::string_view RtfLexer::takeBytes(qint64 length)
{
    const qint64 n = length > 0 ? std::min<qint64>(length, m_end - m_p) : 0;
    const std::string_view bytes(m_p, static_cast<size_t>(n));
    m_p += n;
    return bytes;
}

} // namespace kmp::rtf::detail
