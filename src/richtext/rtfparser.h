#pragma once

#include <QByteArray>

#include "rtfdestinations.h"
#include "rtfdocumentbuilder.h"
#include "rtfgroupstate.h"
#include "rtflexer.h"

#include <string_view>
#include <vector>

class QTextDocument;

namespace kmp::rtf::detail {

// One pass over RTF bytes that builds the document as it goes. Every limit that
// protects the screen from a hostile or broken note lives here: group depth,
// numeric parameters, \bin lengths, table nesting and picture sizes are capped,
// and whatever was read before a problem stays in the document.
// The parser reads the tokens, keeps the group stack and acts on each control
// word; the text goes to the destinations, which collect tables, numbering and
// pictures, and the document builder puts the body into the document.
class RtfParser
{
public:
    // Far deeper than any writer nests; beyond it groups are read flat, so a
    // malicious note cannot grow the state stack without bound.
    static constexpr int kMaxGroupDepth = 200;
    static constexpr int kMaxTableDepth = 8;
    static constexpr int kMaxTableColumns = 64;
    static constexpr int kMaxColours = 4096;

    explicit RtfParser(QTextDocument *doc);

    // Parses data from offset start, which must point at the opening brace.
    void parse(const QByteArray &data, qsizetype start);

    // Whether the document is for display (the default): pictures decoded,
    // footnotes drawn. Readers that only want the text skip both, and with
    // them the metafile library and text layout.
    void setDecodePictures(bool decode)
    {
        m_dest.setDecodePictures(decode);
        m_builder.setDrawNotes(decode);
    }

    // What the parse held at its largest, for checking the limits above.
    int peakGroupDepth() const { return m_peakDepth; }
    int colourCount() const { return m_dest.colourCount(); }

private:
    // A control word as the keyword table hands it to its handler.
    struct KeywordCall
    {
        std::string_view word;
        int param = 0;
        int arg = 0; // the table's argument: which of a family of words this is
        bool hasParam = false;
        bool ignorable = false; // preceded by \*
        // On/off words: no parameter or a non-zero one turns the property on.
        bool on() const { return !hasParam || param != 0; }
    };
    using KeywordHandler = void (RtfParser::*)(const KeywordCall &);
    struct Keyword
    {
        enum Flag : quint8 { PictureSizing = 1, NotPictureData = 2 };
        std::string_view word;
        KeywordHandler handler;
        int arg = 0;
        quint8 flags = 0;
    };
    static const Keyword *findKeyword(std::string_view word);

    // rtfparser.cpp: reading tokens and keeping the group stack.
    void run();
    void pushGroup();
    void popGroup();
    void skipGroup();
    void controlWord(const RtfLexer::Token &token);
    void controlSymbol(char c);
    void keyword(std::string_view word, bool hasParam, int param);

    // rtfkeywords.cpp: what each control word does.
    void kwIgnore(const KeywordCall &) {}
    void kwSkipGroup(const KeywordCall &);
    void kwFontTable(const KeywordCall &);
    void kwColorTable(const KeywordCall &);
    void kwPicture(const KeywordCall &);
    void kwPn(const KeywordCall &);
    void kwPnTextBefore(const KeywordCall &);
    void kwPnTextAfter(const KeywordCall &);
    void kwPnText(const KeywordCall &);
    void kwFieldInstruction(const KeywordCall &);
    void kwListTable(const KeywordCall &);
    void kwListOverrideTable(const KeywordCall &);
    void kwList(const KeywordCall &);
    void kwListLevel(const KeywordCall &);
    void kwListOverride(const KeywordCall &);
    void kwLevelText(const KeywordCall &);
    void kwNestTableProps(const KeywordCall &);
    void kwUpr(const KeywordCall &);
    void kwUd(const KeywordCall &);
    void kwCharacterSet(const KeywordCall &);
    void kwAnsiCodePage(const KeywordCall &);
    void kwDefaultFont(const KeywordCall &);
    void kwUnicodeSkip(const KeywordCall &);
    void kwUnicode(const KeywordCall &);
    void kwBinary(const KeywordCall &);
    void kwFont(const KeywordCall &);
    void kwFontCharset(const KeywordCall &);
    void kwFontCodePage(const KeywordCall &);
    void kwColorComponent(const KeywordCall &);
    void kwPlain(const KeywordCall &);
    void kwBold(const KeywordCall &);
    void kwItalic(const KeywordCall &);
    void kwUnderline(const KeywordCall &);
    void kwUnderlineNone(const KeywordCall &);
    void kwStrike(const KeywordCall &);
    void kwSuperSub(const KeywordCall &);
    void kwNoSuperSub(const KeywordCall &);
    void kwRaiseLower(const KeywordCall &);
    void kwFontSize(const KeywordCall &);
    void kwForeground(const KeywordCall &);
    void kwBackground(const KeywordCall &);
    void kwHidden(const KeywordCall &);
    void kwParagraph(const KeywordCall &);
    void kwSpecialChar(const KeywordCall &);
    void kwParagraphDefault(const KeywordCall &);
    void kwAlign(const KeywordCall &);
    void kwLeftIndent(const KeywordCall &);
    void kwRightIndent(const KeywordCall &);
    void kwFirstIndent(const KeywordCall &);
    void kwSpaceBefore(const KeywordCall &);
    void kwSpaceAfter(const KeywordCall &);
    void kwLineSpacing(const KeywordCall &);
    void kwLineSpacingMultiple(const KeywordCall &);
    void kwInTable(const KeywordCall &);
    void kwTableDepth(const KeywordCall &);
    void kwListOverrideIndex(const KeywordCall &);
    void kwListLevelIndex(const KeywordCall &);
    void kwPnKind(const KeywordCall &);
    void kwPnLevel(const KeywordCall &);
    void kwPnStyle(const KeywordCall &);
    void kwPnStart(const KeywordCall &);
    void kwPnFont(const KeywordCall &);
    void kwRowDefaults(const KeywordCall &);
    void kwRowLeft(const KeywordCall &);
    void kwCellRight(const KeywordCall &);
    void kwCellMerge(const KeywordCall &);
    void kwCellBorder(const KeywordCall &);
    void kwOtherBorder(const KeywordCall &);
    void kwBorderWidth(const KeywordCall &);
    void kwBorderStyle(const KeywordCall &);
    void kwBorderNone(const KeywordCall &);
    void kwCell(const KeywordCall &);
    void kwNestedCell(const KeywordCall &);
    void kwRow(const KeywordCall &);
    void kwNestedRow(const KeywordCall &);
    void kwListId(const KeywordCall &);
    void kwLevelNumberFormat(const KeywordCall &);
    void kwLevelStartAt(const KeywordCall &);
    void kwPictureKind(const KeywordCall &);
    void kwPictureWidth(const KeywordCall &);
    void kwPictureHeight(const KeywordCall &);
    void kwPictureGoalWidth(const KeywordCall &);
    void kwPictureGoalHeight(const KeywordCall &);
    void kwPictureScaleX(const KeywordCall &);
    void kwPictureScaleY(const KeywordCall &);
    // Shapes: pictures and text boxes.
    void kwShape(const KeywordCall &);
    void kwShapeInstance(const KeywordCall &);
    void kwShapeName(const KeywordCall &);
    void kwShapeValue(const KeywordCall &);
    void kwShapeText(const KeywordCall &);
    void kwShapeResult(const KeywordCall &);
    void kwShapeBound(const KeywordCall &);
    // Footnotes, endnotes, comments, headers and footers.
    void kwNote(const KeywordCall &);
    void kwEndnote(const KeywordCall &);
    void kwNoteValue(const KeywordCall &);
    // Tracked changes.
    void kwRevisionTable(const KeywordCall &);
    void kwDeleted(const KeywordCall &);
    void kwRevised(const KeywordCall &);
    void kwRevisionAuthor(const KeywordCall &);
    void kwRevisionTime(const KeywordCall &);
    // Character effects, page breaks, shading, borders and tab stops.
    void kwCaps(const KeywordCall &);
    void kwOutline(const KeywordCall &);
    void kwShadow(const KeywordCall &);
    void kwExpand(const KeywordCall &);
    void kwPageBreakBefore(const KeywordCall &);
    void kwPageBreak(const KeywordCall &);
    void kwSection(const KeywordCall &);
    void kwSectionKind(const KeywordCall &);
    void kwParagraphShading(const KeywordCall &);
    void kwParagraphBorder(const KeywordCall &);
    void kwBorderColour(const KeywordCall &);
    void kwCellShading(const KeywordCall &);
    void kwTabPosition(const KeywordCall &);
    void kwTabAlign(const KeywordCall &);
    void kwTabLeader(const KeywordCall &);
    // The border lines that \brdr words describe: those of paragraph's sides
    // or of a cell's side, as the word before them named.
    template <typename F>
    void forEachBorder(F &&apply);

    // Text and characters after the group's \uc skip count has taken its share.
    void text(const char *s, qsizetype n);
    void hexByte(unsigned char b);
    void unicodeChar(int value);
    void specialChar(char16_t ch);

    GroupState &state() { return m_stack.back(); }

    // The builder reads fonts, colours and lists from the destinations, which
    // hand it the body text and what their groups leave in the document.
    RtfDocumentBuilder m_builder;
    RtfDestinations m_dest;
    RtfLexer m_lexer{nullptr, nullptr};
    std::vector<GroupState> m_stack;
    int m_overflowDepth = 0;
    int m_peakDepth = 0;
    int m_skip = 0;
    quint32 m_wordBits = 0; // the current control word's parameter, unclamped
    bool m_ignorable = false;
    bool m_done = false;
    enum class BorderTarget : quint8 { None, Cell, Paragraph };
    BorderTarget m_borderTarget = BorderTarget::None;
    quint8 m_paraBorderSides = 0; // bit per side, top first
};

} // namespace kmp::rtf::detail
