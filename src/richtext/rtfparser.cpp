#include "rtfparser.h"

#include "rtfparserlimits.h"

#include <QTextDocument>

#include <algorithm>

namespace kmp::rtf::detail {

using namespace limits;

RtfParser::RtfParser(QTextDocument *doc) : m_builder(doc, m_dest), m_dest(m_builder)
{
    m_builder.setRowCounter([this](int limit) { return m_lexer.rowsAhead(limit); });
}

void RtfParser::parse(const QByteArray &data, qsizetype start)
{
    m_lexer = RtfLexer(data.constData() + start, data.constData() + data.size());
    m_stack.reserve(64);
    m_builder.begin();
    run();
    m_builder.finish(m_stack.empty() ? nullptr : &state());
}

void RtfParser::run()
{
    while (!m_done) {
        const RtfLexer::Token token = m_lexer.next();
        switch (token.type) {
        case RtfLexer::Token::End: return;
        case RtfLexer::Token::GroupOpen: pushGroup(); break;
        case RtfLexer::Token::GroupClose: popGroup(); break;
        case RtfLexer::Token::ControlWord: controlWord(token); break;
        case RtfLexer::Token::ControlSymbol: controlSymbol(token.symbol); break;
        case RtfLexer::Token::HexByte:
            if (m_skip > 0) {
                --m_skip;
                break;
            }
            if (token.value >= 0 && !m_stack.empty())
                hexByte(static_cast<unsigned char>(token.value));
            break;
        case RtfLexer::Token::Text:
            if (!m_stack.empty())
                text(token.word.data(), static_cast<qsizetype>(token.word.size()));
            break;
        }
    }
}

void RtfParser::pushGroup()
{
    m_skip = 0;
    m_ignorable = false;
    if (m_stack.size() >= kMaxGroupDepth) {
        ++m_overflowDepth;
        m_builder.noteLimitMet(QStringLiteral("depth"));
        return;
    }
    if (m_stack.empty())
        m_stack.emplace_back();
    else
        m_stack.push_back(m_stack.back());
    m_peakDepth = std::max(m_peakDepth, static_cast<int>(m_stack.size()));
    m_stack.back().onClose = OnClose::None;
    // Some rich-edit versions wrote "{*\generator ...}" without the backslash
    // before the star; read it as the ignorable destination that was meant.
    if (m_lexer.takeBareStar())
        m_ignorable = true;
}

void RtfParser::popGroup()
{
    m_skip = 0;
    m_ignorable = false;
    if (m_overflowDepth > 0) {
        --m_overflowDepth;
        return;
    }
    if (m_stack.empty()) {
        m_done = true;
        return;
    }
    if (m_stack.size() == 1) {
        // The document's closing brace: whatever follows it is not part of the note.
        m_done = true;
        return;
    }
    GroupState closing = std::move(m_stack.back());
    m_stack.pop_back();
    if (closing.nestedRowProps && !state().nestedRowProps)
        m_builder.endNestedRowDefinition();
    if (closing.dest == Dest::Text && (closing.para.inTable != state().para.inTable || closing.para.itap != state().para.itap))
        m_builder.commitPending(state());
    m_dest.close(closing, state());
}

void RtfParser::skipGroup()
{
    m_lexer.skipGroup();
    // The group's state was pushed when its brace was read; the brace that
    // closed it was consumed above.
    popGroup();
}

void RtfParser::controlWord(const RtfLexer::Token &token)
{
    if (m_skip > 0) {
        // A word counts as one of the characters \uN stands in for; \bin's data
        // goes with it.
        --m_skip;
        if (token.word == "bin")
            m_lexer.skipBytes(token.value);
        return;
    }
    if (m_stack.empty())
        return;
    m_wordBits = token.bits;
    keyword(token.word, token.hasParam, token.value);
}

void RtfParser::controlSymbol(char c)
{
    if (m_skip > 0) {
        --m_skip;
        return;
    }
    if (m_stack.empty())
        return;
    switch (c) {
    case '\\':
    case '{':
    case '}': text(&c, 1); break;
    case '~': specialChar(0x00A0); break;
    case '_': specialChar(0x2011); break;
    case '-': specialChar(0x00AD); break;
    case '*': m_ignorable = true; break;
    case '\r':
    case '\n': keyword("par", false, 0); break;
    case '\t': specialChar(u'\t'); break;
    default: break;
    }
}

void RtfParser::keyword(std::string_view word, bool hasParam, int param)
{
    const bool ignorable = std::exchange(m_ignorable, false);
    const Keyword *kw = findKeyword(word);
    // Every control word that describes a picture's data is kept with it, so
    // that a save writes the picture back as it came.
    if (state().dest == Dest::Picture && !ignorable && !(kw && (kw->flags & Keyword::NotPictureData)))
        m_dest.notePictureWord(word, hasParam, param, kw && (kw->flags & Keyword::PictureSizing));
    if (!kw) {
        // An unknown destination marked ignorable is skipped whole; an unknown
        // word on its own changes nothing.
        if (ignorable)
            skipGroup();
        return;
    }
    const KeywordCall call{word, param, kw->arg, hasParam, ignorable};
    (this->*kw->handler)(call);
}

void RtfParser::text(const char *s, qsizetype n)
{
    m_ignorable = false;
    if (m_skip > 0) {
        const qsizetype k = std::min<qsizetype>(n, m_skip);
        s += k;
        n -= k;
        m_skip -= static_cast<int>(k);
        if (n == 0)
            return;
    }
    m_dest.text(state(), s, n);
}

void RtfParser::hexByte(unsigned char b)
{
    m_ignorable = false;
    m_dest.hexByte(state(), b);
}

void RtfParser::unicodeChar(int value)
{
    m_skip = state().uc;
    if (value < 0)
        value += 65536;
    if (value < 0 || value > 0x10FFFF)
        return;
    m_dest.unicodeChar(state(), value);
}

void RtfParser::specialChar(char16_t ch)
{
    m_ignorable = false;
    m_dest.specialChar(state(), ch);
}

} // namespace kmp::rtf::detail
