#pragma once

#include <QtGlobal>

#include <string_view>

namespace kmp::rtf::detail {

// Cuts RTF bytes into groups, control words, control symbols, hex escapes and
// runs of plain text. It knows nothing of what the words mean; the parser asks
// it to skip a group or take raw bytes (\bin) when a word calls for that.
class RtfLexer
{
public:
    // Numeric parameters are clamped to this, so arithmetic on them cannot overflow.
    static constexpr int kMaxParam = 1'000'000'000;
    // Longer control words are cut here; none the parser knows comes close.
    static constexpr qsizetype kMaxWordLength = 32;

    struct Token
    {
        enum Type : quint8 { End, GroupOpen, GroupClose, ControlWord, ControlSymbol, HexByte, Text };
        Type type = End;
        bool hasParam = false; // ControlWord: a number followed the word
        char symbol = 0;       // ControlSymbol: the character after the backslash
        int value = 0;         // ControlWord: the parameter; HexByte: the byte, -1 for a broken escape
        quint32 bits = 0;      // ControlWord: the parameter's low 32 bits, unclamped (packed dates)
        std::string_view word; // ControlWord: the word; Text: the run
    };

    RtfLexer(const char *begin, const char *end) : m_p(begin), m_end(end) {}

    Token next();

    // Right after a '{': whether "*\" follows, which some rich-edit versions
    // wrote for "\*\"; the star is consumed when it does.
    bool takeBareStar();

    // Skips to the brace closing the group being read (consumed), stepping over
    // nested groups and \bin data.
    void skipGroup();

    // How many rows of the table being read lie ahead: \row words, up to limit,
    // until a paragraph outside a table ends. A guess from the bytes alone, for
    // making room in advance; the parser still reads every row as it comes.
    int rowsAhead(int limit) const;

    // Skips or takes up to length raw bytes, as \bin announces them.
    void skipBytes(qint64 length);
    std::string_view takeBytes(qint64 length);

    static int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

private:
    Token controlSequence();

    const char *m_p;
    const char *m_end;
};

} // namespace kmp::rtf::detail
