#pragma once

#include <QByteArray>
#include <QColor>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextList>
#include <QTextTable>

#include "picturedecoder.h"
#include "rtflexer.h"

#include <array>
#include <string_view>
#include <vector>

class QTextDocument;

namespace kmp::rtf::detail {

// One pass over RTF bytes that builds the document as it goes. Every limit that
// protects the screen from a hostile or broken note lives here: group depth,
// numeric parameters, \bin lengths, table nesting and picture sizes are capped,
// and whatever was read before a problem stays in the document.
class RtfParser
{
public:
    // Far deeper than any writer nests; beyond it groups are read flat, so a
    // malicious note cannot grow the state stack without bound.
    static constexpr int kMaxGroupDepth = 200;
    static constexpr int kMaxTableDepth = 8;
    static constexpr int kMaxTableColumns = 64;
    static constexpr int kMaxColours = 4096;

    explicit RtfParser(QTextDocument* doc);

    // Parses data from offset start, which must point at the opening brace.
    void parse(const QByteArray& data, qsizetype start);

    // Whether the document is for display (the default): pictures decoded,
    // footnotes drawn. Readers that only want the text skip both, and with
    // them the metafile library and text layout.
    void setDecodePictures(bool decode) { m_decodePictures = decode; }

    // What the parse held at its largest, for checking the limits above.
    int peakGroupDepth() const { return m_peakDepth; }
    int colourCount() const { return static_cast<int>(m_colors.size()); }

private:
    enum class Dest : quint8 {
        Text, Ignore, FontTable, ColorTable, Pn, PnTextBefore, PnTextAfter, PnText,
        FldInst, Picture, ListTable, LevelText, ListOverrideTable, Footnote
    };
    enum class OnClose : quint8 { None, Pn, FldInst, Picture, List, ListOverride, LevelText, Footnote };
    enum class ListKind : quint8 { None, Bullet, Numbered, Continue };

    struct CharProps
    {
        int font = -1; // -1: the document's default font (\deff)
        int size = 24; // half-points
        int fg = 0;    // colour table index, 0 = automatic
        int bg = 0;
        int link = 0;  // index into m_links, 0 = none
        quint8 vertical = 0; // 0 none, 1 superscript, 2 subscript
        bool bold = false;
        bool italic = false;
        bool underline = false;
        bool strike = false;
        bool hidden = false;
        bool operator==(const CharProps&) const = default;
    };

    // The legacy \pn paragraph numbering as the rich-edit control writes it.
    struct PnProps
    {
        ListKind kind = ListKind::None;
        int level = -1; // from \pnlvlN, else derived from the indent
        int style = 0;  // QTextListFormat::Style, 0 = decimal unless a bullet
        int start = 1;
        int font = -1;
        int ls = 0;
        int ilvl = 0;
        QString before;
        QString after;
    };

    struct ParaProps
    {
        int align = 0; // 0 left, 1 centre, 2 right, 3 justified
        int li = 0, ri = 0, fi = 0, sb = 0, sa = 0, sl = 0;
        bool slMult = false;
        bool inTable = false;
        int itap = -1; // -1: not given, use 1 when \intbl
        int ls = 0;
        int ilvl = 0;
        PnProps pn;
    };

    struct GroupState
    {
        CharProps chr;
        ParaProps para;
        Dest dest = Dest::Text;
        Dest uprParent = Dest::Text;
        OnClose onClose = OnClose::None;
        int uc = 1;
        bool nestedRowProps = false; // inside \\nesttableprops
    };

    struct FontInfo
    {
        QString name;
        int charset = -1;
        int cpg = 0;
    };

    struct ListLevel
    {
        int nfc = 0;
        int start = 1;
        QString text;
    };

    struct ListDef
    {
        int id = 0;
        std::vector<ListLevel> levels;
    };

    struct ListShape
    {
        ListKind kind = ListKind::None;
        int level = 0;
        int style = 0;
        int start = 1;
        QString prefix;
        QString suffix;
        QString key;
    };

    // Lists and tables belong to the document, which deletes a list as soon as
    // its last paragraph leaves it (a paragraph formatted again, a cell mark
    // after a list item): guarded pointers turn null instead of dangling.
    struct OpenList
    {
        QPointer<QTextList> list;
        QString key;
    };

    // A cell as the row definition (\trowd ... \cellx) describes it.
    struct CellDef
    {
        enum Merge : quint8 { FirstAcross = 1, ContinuesAcross = 2, FirstDown = 4, ContinuesDown = 8 };
        int right = 0;    // right boundary, twips from the row's left edge
        quint8 merge = 0;
        std::array<int, 4> border{-1, -1, -1, -1}; // top, left, bottom, right width in twips; -1 none
        std::array<quint8, 4> style{};             // QTextFrameFormat::BorderStyle of each
        bool hasBorder() const { return border[0] >= 0 || border[1] >= 0 || border[2] >= 0 || border[3] >= 0; }
    };

    struct MergeMark
    {
        int row;
        int col;
        quint8 merge;
    };

    struct TableContext
    {
        QPointer<QTextTable> table;
        int row = 0;
        int col = 0;
        bool needMove = false;
        bool widthsSet = false;
        std::vector<MergeMark> merges;
        // The table's columns as right boundaries in twips: every boundary
        // any of its rows has, so a cell wider than the ones below it spans
        // their columns. Empty when the rows gave none.
        std::vector<int> grid;
        std::vector<int> cellStart; // the current row's cells: first column
        std::vector<int> cellSpan;  // and columns covered
        int mappedRow = -1;
    };

    struct Picture
    {
        QByteArray data;
        PictureKind kind = PictureKind::Unknown;
        QByteArray header; // the control words describing data, as read
        QByteArray sizing; // the control words setting the size shown
        int picw = 0, pich = 0, goalw = 0, goalh = 0, scalex = 100, scaley = 100;
        int pendingNibble = -1;
    };

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
    using KeywordHandler = void (RtfParser::*)(const KeywordCall&);
    struct Keyword
    {
        enum Flag : quint8 { PictureSizing = 1, NotPictureData = 2 };
        std::string_view word;
        KeywordHandler handler;
        int arg = 0;
        quint8 flags = 0;
    };
    static const Keyword* findKeyword(std::string_view word);

    // rtfparser.cpp: reading tokens and keeping the group stack.
    void run();
    void pushGroup();
    void popGroup();
    void skipGroup();
    void controlWord(const RtfLexer::Token& token);
    void controlSymbol(char c);
    void keyword(std::string_view word, bool hasParam, int param);

    // rtfkeywords.cpp: what each control word does.
    void kwIgnore(const KeywordCall&) {}
    void kwSkipGroup(const KeywordCall&);
    void kwFootnote(const KeywordCall&);
    void kwFontTable(const KeywordCall&);
    void kwColorTable(const KeywordCall&);
    void kwPicture(const KeywordCall&);
    void kwPn(const KeywordCall&);
    void kwPnTextBefore(const KeywordCall&);
    void kwPnTextAfter(const KeywordCall&);
    void kwPnText(const KeywordCall&);
    void kwFieldInstruction(const KeywordCall&);
    void kwListTable(const KeywordCall&);
    void kwListOverrideTable(const KeywordCall&);
    void kwList(const KeywordCall&);
    void kwListLevel(const KeywordCall&);
    void kwListOverride(const KeywordCall&);
    void kwLevelText(const KeywordCall&);
    void kwNestTableProps(const KeywordCall&);
    void kwUpr(const KeywordCall&);
    void kwUd(const KeywordCall&);
    void kwCharacterSet(const KeywordCall&);
    void kwAnsiCodePage(const KeywordCall&);
    void kwDefaultFont(const KeywordCall&);
    void kwUnicodeSkip(const KeywordCall&);
    void kwUnicode(const KeywordCall&);
    void kwBinary(const KeywordCall&);
    void kwFont(const KeywordCall&);
    void kwFontCharset(const KeywordCall&);
    void kwFontCodePage(const KeywordCall&);
    void kwColorComponent(const KeywordCall&);
    void kwPlain(const KeywordCall&);
    void kwBold(const KeywordCall&);
    void kwItalic(const KeywordCall&);
    void kwUnderline(const KeywordCall&);
    void kwUnderlineNone(const KeywordCall&);
    void kwStrike(const KeywordCall&);
    void kwSuperSub(const KeywordCall&);
    void kwNoSuperSub(const KeywordCall&);
    void kwRaiseLower(const KeywordCall&);
    void kwFontSize(const KeywordCall&);
    void kwForeground(const KeywordCall&);
    void kwBackground(const KeywordCall&);
    void kwHidden(const KeywordCall&);
    void kwParagraph(const KeywordCall&);
    void kwSpecialChar(const KeywordCall&);
    void kwParagraphDefault(const KeywordCall&);
    void kwAlign(const KeywordCall&);
    void kwLeftIndent(const KeywordCall&);
    void kwRightIndent(const KeywordCall&);
    void kwFirstIndent(const KeywordCall&);
    void kwSpaceBefore(const KeywordCall&);
    void kwSpaceAfter(const KeywordCall&);
    void kwLineSpacing(const KeywordCall&);
    void kwLineSpacingMultiple(const KeywordCall&);
    void kwInTable(const KeywordCall&);
    void kwTableDepth(const KeywordCall&);
    void kwListOverrideIndex(const KeywordCall&);
    void kwListLevelIndex(const KeywordCall&);
    void kwPnKind(const KeywordCall&);
    void kwPnLevel(const KeywordCall&);
    void kwPnStyle(const KeywordCall&);
    void kwPnStart(const KeywordCall&);
    void kwPnFont(const KeywordCall&);
    void kwRowDefaults(const KeywordCall&);
    void kwRowLeft(const KeywordCall&);
    void kwCellRight(const KeywordCall&);
    void kwCellMerge(const KeywordCall&);
    void kwCellBorder(const KeywordCall&);
    void kwOtherBorder(const KeywordCall&);
    void kwBorderWidth(const KeywordCall&);
    void kwBorderStyle(const KeywordCall&);
    void kwBorderNone(const KeywordCall&);
    void kwCell(const KeywordCall&);
    void kwNestedCell(const KeywordCall&);
    void kwRow(const KeywordCall&);
    void kwNestedRow(const KeywordCall&);
    void kwListId(const KeywordCall&);
    void kwLevelNumberFormat(const KeywordCall&);
    void kwLevelStartAt(const KeywordCall&);
    void kwPictureKind(const KeywordCall&);
    void kwPictureWidth(const KeywordCall&);
    void kwPictureHeight(const KeywordCall&);
    void kwPictureGoalWidth(const KeywordCall&);
    void kwPictureGoalHeight(const KeywordCall&);
    void kwPictureScaleX(const KeywordCall&);
    void kwPictureScaleY(const KeywordCall&);

    // rtfdestinations.cpp: text arriving in each destination, and what a
    // destination leaves behind when its group closes.
    void text(const char* s, qsizetype n);
    void hexByte(unsigned char b);
    void unicodeChar(int value);
    void specialChar(char16_t ch);
    void closeDestination(const GroupState& closing);
    void finishFontName();
    void flushFontNameBytes();
    void finishColor();
    void finishFieldInstruction(GroupState& parent);
    void finishPicture();
    void finishFootnote();
    void finishLevelText();
    void notePictureWord(std::string_view word, bool hasParam, int param, bool sizing);
    int codePageForFont(int font);
    int fontIndex(int font) const;

    // rtfdocumentbuilder.cpp: putting text, paragraphs, lists, tables and
    // pictures into the document.
    void appendBytes(const char* s, qsizetype n);
    void appendUnits(const char16_t* units, qsizetype n);
    void decodePendingBytes();
    void commitPending();
    QTextCharFormat charFormatFor(const CharProps& props);
    void ensureContext();
    void openTable();
    void closeTable();
    void moveToCell();
    void endParagraph();
    void endCell(int level);
    void endRow(int level);
    void applyCellDef(TableContext& ctx);
    void applyDefToCell(TableContext& ctx, int row, int cellIndex, const CellDef& def);
    void setColumnWidths(TableContext& ctx, bool nestedDefinition = false);
    void mapRow(TableContext& ctx);
    int columnFor(const TableContext& ctx, int cell) const;
    void applyMerges(TableContext& ctx);
    void applyParagraphFormat();
    ListShape listShapeFor(const ParaProps& para) const;
    void resetLists();
    void insertNoteObject(int type, int property, const QString& text, const CharProps& props);
    void insertImage(const QImage& image, int widthPx, int heightPx, const Picture* original = nullptr);

    GroupState& state() { return m_stack.back(); }

    QTextDocument* m_doc;
    QTextCursor m_cursor;
    RtfLexer m_lexer{nullptr, nullptr};
    std::vector<GroupState> m_stack;
    int m_overflowDepth = 0;
    int m_peakDepth = 0;
    int m_skip = 0;
    bool m_ignorable = false;
    bool m_done = false;
    bool m_decodePictures = true;

    int m_ansiCpg = 1252;
    int m_defFont = 0;
    QHash<int, FontInfo> m_fonts;
    int m_fontDef = -1;
    QByteArray m_destBytes;
    QString m_fontName; // a font name's characters that came as \uN, and those before them
    int m_cachedCpFont = -2;
    int m_cachedCp = 0;

    std::vector<QColor> m_colors;
    int m_red = -1, m_green = -1, m_blue = -1;

    // Text read but not yet in the document: decoded characters first, then raw
    // bytes still waiting for their code page (a double-byte character may come
    // as two \'hh escapes).
    QString m_text;
    QByteArray m_bytes;
    CharProps m_pendingProps;
    int m_pendingCp = 1252;
    CharProps m_cachedProps;
    QTextCharFormat m_cachedFormat;
    bool m_haveCachedFormat = false;

    bool m_needNewBlock = false;
    bool m_blockHasContent = false;
    std::vector<TableContext> m_tables;
    std::vector<CellDef> m_rowDef;
    CellDef m_cellDef;    // the cell being defined, until its \cellx
    int m_borderSide = -1; // which side of m_cellDef \brdr words apply to; -1 none
    int m_rowLeft = 0;
    // The outer row's definition while a \nesttableprops group defines an
    // inner table's row.
    std::vector<CellDef> m_outerRowDef;
    CellDef m_outerCellDef;
    int m_outerRowLeft = 0;
    std::array<OpenList, 9> m_openLists;
    QString m_pnText;

    PnProps m_pnBuild;
    QString m_fldInst;
    QString m_footnote;
    QStringList m_links;
    Picture m_picture;
    int m_imageCount = 0;

    std::vector<ListDef> m_listDefs;
    ListDef m_curList;
    QHash<int, int> m_overrides; // \ls -> \listid
    int m_overrideLs = 0;
    int m_overrideId = 0;
    QString m_levelText;
};

} // namespace kmp::rtf::detail
