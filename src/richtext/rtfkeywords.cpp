#include "rtfparser.h"

#include "codepage.h"
#include "rtfparserlimits.h"

#include <QTextFrameFormat>
#include <QTextListFormat>

#include <algorithm>
#include <unordered_map>

namespace kmp::rtf::detail {

using namespace limits;

const RtfParser::Keyword *RtfParser::findKeyword(std::string_view word)
{
    using P = RtfParser;
    constexpr quint8 sizing = Keyword::PictureSizing;
    // Every control word the reader acts on, with what it does. Words not here
    // change nothing (an ignorable destination not here is skipped whole).
    static const Keyword keywords[] = {
        // Destinations. Page furniture, notes and metadata are not part of the
        // clinical text.
        {"fonttbl", &P::kwFontTable},
        {"colortbl", &P::kwColorTable},
        {"stylesheet", &P::kwSkipGroup},
        {"info", &P::kwSkipGroup},
        {"pict", &P::kwPicture},
        {"pn", &P::kwPn},
        {"pntxtb", &P::kwPnTextBefore},
        {"pntxta", &P::kwPnTextAfter},
        {"pntext", &P::kwPnText},
        {"listtext", &P::kwSkipGroup},
        {"fldinst", &P::kwFieldInstruction},
        {"fldrslt", &P::kwIgnore},
        {"listtable", &P::kwListTable},
        {"listoverridetable", &P::kwListOverrideTable},
        {"list", &P::kwList},
        {"listoverride", &P::kwListOverride},
        {"leveltext", &P::kwLevelText},
        {"levelnumbers", &P::kwSkipGroup},
        {"listname", &P::kwSkipGroup},
        {"nesttableprops", &P::kwNestTableProps},
        {"nonesttables", &P::kwSkipGroup},
        {"nonshppict", &P::kwSkipGroup},
        {"shppict", &P::kwIgnore},
        {"upr", &P::kwUpr},
        {"ud", &P::kwUd},
        {"footnote", &P::kwFootnote},
        {"header", &P::kwSkipGroup},
        {"headerl", &P::kwSkipGroup},
        {"headerr", &P::kwSkipGroup},
        {"headerf", &P::kwSkipGroup},
        {"footer", &P::kwSkipGroup},
        {"footerl", &P::kwSkipGroup},
        {"footerr", &P::kwSkipGroup},
        {"footerf", &P::kwSkipGroup},
        {"revtbl", &P::kwSkipGroup},
        {"filetbl", &P::kwSkipGroup},
        {"xe", &P::kwSkipGroup},
        {"tc", &P::kwSkipGroup},
        {"pnseclvl", &P::kwSkipGroup},
        {"objdata", &P::kwSkipGroup},
        {"datafield", &P::kwSkipGroup},
        {"template", &P::kwSkipGroup},
        // The document and its code pages.
        {"rtf", &P::kwIgnore},
        {"ansi", &P::kwIgnore},
        {"mac", &P::kwCharacterSet, 10000},
        {"pc", &P::kwCharacterSet, 437},
        {"pca", &P::kwCharacterSet, 850},
        {"ansicpg", &P::kwAnsiCodePage},
        {"deff", &P::kwDefaultFont},
        {"uc", &P::kwUnicodeSkip},
        {"u", &P::kwUnicode},
        {"bin", &P::kwBinary, 0, Keyword::NotPictureData},
        // Fonts and colours.
        {"f", &P::kwFont},
        {"fcharset", &P::kwFontCharset},
        {"cpg", &P::kwFontCodePage},
        {"red", &P::kwColorComponent, 0},
        {"green", &P::kwColorComponent, 1},
        {"blue", &P::kwColorComponent, 2},
        // Characters.
        {"plain", &P::kwPlain},
        {"b", &P::kwBold},
        {"i", &P::kwItalic},
        {"ul", &P::kwUnderline},
        {"uld", &P::kwUnderline},
        {"uldash", &P::kwUnderline},
        {"uldashd", &P::kwUnderline},
        {"uldashdd", &P::kwUnderline},
        {"uldb", &P::kwUnderline},
        {"ulth", &P::kwUnderline},
        {"ulw", &P::kwUnderline},
        {"ulwave", &P::kwUnderline},
        {"ulhwave", &P::kwUnderline},
        {"ululdbwave", &P::kwUnderline},
        {"ulthd", &P::kwUnderline},
        {"ulthdash", &P::kwUnderline},
        {"ulldash", &P::kwUnderline},
        {"ulnone", &P::kwUnderlineNone},
        {"strike", &P::kwStrike},
        {"striked", &P::kwStrike},
        {"super", &P::kwSuperSub, 1},
        {"sub", &P::kwSuperSub, 2},
        {"nosupersub", &P::kwNoSuperSub},
        {"up", &P::kwRaiseLower, 1},
        {"dn", &P::kwRaiseLower, 2},
        {"fs", &P::kwFontSize},
        {"cf", &P::kwForeground},
        {"highlight", &P::kwBackground},
        {"cb", &P::kwBackground},
        {"chcbpat", &P::kwBackground},
        {"v", &P::kwHidden},
        // Special characters.
        {"par", &P::kwParagraph},
        {"page", &P::kwParagraph},
        {"sect", &P::kwParagraph},
        {"line", &P::kwSpecialChar, QChar::LineSeparator},
        {"tab", &P::kwSpecialChar, u'\t'},
        {"emdash", &P::kwSpecialChar, 0x2014},
        {"endash", &P::kwSpecialChar, 0x2013},
        {"bullet", &P::kwSpecialChar, 0x2022},
        {"lquote", &P::kwSpecialChar, 0x2018},
        {"rquote", &P::kwSpecialChar, 0x2019},
        {"ldblquote", &P::kwSpecialChar, 0x201C},
        {"rdblquote", &P::kwSpecialChar, 0x201D},
        {"emspace", &P::kwSpecialChar, 0x2003},
        {"enspace", &P::kwSpecialChar, 0x2002},
        {"qmspace", &P::kwSpecialChar, 0x2005},
        {"zwj", &P::kwSpecialChar, 0x200D},
        {"zwnj", &P::kwSpecialChar, 0x200C},
        // Paragraphs.
        {"pard", &P::kwParagraphDefault},
        {"ql", &P::kwAlign, 0},
        {"qc", &P::kwAlign, 1},
        {"qr", &P::kwAlign, 2},
        {"qj", &P::kwAlign, 3},
        {"li", &P::kwLeftIndent},
        {"lin", &P::kwLeftIndent},
        {"ri", &P::kwRightIndent},
        {"rin", &P::kwRightIndent},
        {"fi", &P::kwFirstIndent},
        {"sb", &P::kwSpaceBefore},
        {"sa", &P::kwSpaceAfter},
        {"sl", &P::kwLineSpacing},
        {"slmult", &P::kwLineSpacingMultiple},
        {"intbl", &P::kwInTable},
        {"itap", &P::kwTableDepth},
        {"ls", &P::kwListOverrideIndex},
        {"ilvl", &P::kwListLevelIndex},
        // The legacy paragraph numbering.
        {"pnlvlblt", &P::kwPnKind, int(ListKind::Bullet)},
        {"pnlvlbody", &P::kwPnKind, int(ListKind::Numbered)},
        {"pnlvlcont", &P::kwPnKind, int(ListKind::Continue)},
        {"pnlvl", &P::kwPnLevel},
        {"pndec", &P::kwPnStyle, QTextListFormat::ListDecimal},
        {"pncard", &P::kwPnStyle, QTextListFormat::ListDecimal},
        {"pnord", &P::kwPnStyle, QTextListFormat::ListDecimal},
        {"pnucltr", &P::kwPnStyle, QTextListFormat::ListUpperAlpha},
        {"pnlcltr", &P::kwPnStyle, QTextListFormat::ListLowerAlpha},
        {"pnucrm", &P::kwPnStyle, QTextListFormat::ListUpperRoman},
        {"pnlcrm", &P::kwPnStyle, QTextListFormat::ListLowerRoman},
        {"pnstart", &P::kwPnStart},
        {"pnf", &P::kwPnFont},
        // Tables.
        {"trowd", &P::kwRowDefaults},
        {"cellx", &P::kwCellRight},
        {"cell", &P::kwCell},
        {"row", &P::kwRow},
        {"nestcell", &P::kwNestedCell},
        {"nestrow", &P::kwNestedRow},
        {"trleft", &P::kwRowLeft},
        {"clmgf", &P::kwCellMerge, CellDef::FirstAcross},
        {"clmrg", &P::kwCellMerge, CellDef::ContinuesAcross},
        {"clvmgf", &P::kwCellMerge, CellDef::FirstDown},
        {"clvmrg", &P::kwCellMerge, CellDef::ContinuesDown},
        {"clbrdrt", &P::kwCellBorder, 0},
        {"clbrdrl", &P::kwCellBorder, 1},
        {"clbrdrb", &P::kwCellBorder, 2},
        {"clbrdrr", &P::kwCellBorder, 3},
        {"trbrdrt", &P::kwOtherBorder},
        {"trbrdrl", &P::kwOtherBorder},
        {"trbrdrb", &P::kwOtherBorder},
        {"trbrdrr", &P::kwOtherBorder},
        {"trbrdrh", &P::kwOtherBorder},
        {"trbrdrv", &P::kwOtherBorder},
        {"brdrt", &P::kwOtherBorder},
        {"brdrl", &P::kwOtherBorder},
        {"brdrb", &P::kwOtherBorder},
        {"brdrr", &P::kwOtherBorder},
        {"box", &P::kwOtherBorder},
        {"brdrw", &P::kwBorderWidth},
        {"brdrs", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Solid},
        {"brdrth", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Solid},
        {"brdrsh", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Solid},
        {"brdrhair", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Solid},
        {"brdrdb", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Double},
        {"brdrdot", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Dotted},
        {"brdrdash", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Dashed},
        {"brdrdashsm", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Dashed},
        {"brdroutset", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Outset},
        {"brdrinset", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Inset},
        {"brdrengrave", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Groove},
        {"brdremboss", &P::kwBorderStyle, QTextFrameFormat::BorderStyle_Ridge},
        {"brdrnone", &P::kwBorderNone},
        {"brdrnil", &P::kwBorderNone},
        {"brdrtbl", &P::kwBorderNone},
        // Word's lists.
        {"listid", &P::kwListId},
        {"levelnfc", &P::kwLevelNumberFormat},
        {"levelnfcn", &P::kwLevelNumberFormat},
        {"levelstartat", &P::kwLevelStartAt},
        {"listlevel", &P::kwListLevel},
        // Pictures.
        {"pngblip", &P::kwPictureKind, int(PictureKind::Png)},
        {"jpegblip", &P::kwPictureKind, int(PictureKind::Jpeg)},
        {"wmetafile", &P::kwPictureKind, int(PictureKind::WindowsMetafile)},
        {"emfblip", &P::kwPictureKind, int(PictureKind::EnhancedMetafile)},
        {"dibitmap", &P::kwPictureKind, int(PictureKind::Dib)},
        {"wbitmap", &P::kwPictureKind, int(PictureKind::DeviceBitmap)},
        {"macpict", &P::kwPictureKind, int(PictureKind::Other)},
        {"pmmetafile", &P::kwPictureKind, int(PictureKind::Other)},
        {"picw", &P::kwPictureWidth},
        {"pich", &P::kwPictureHeight},
        {"picwgoal", &P::kwPictureGoalWidth, 0, sizing},
        {"pichgoal", &P::kwPictureGoalHeight, 0, sizing},
        {"picscalex", &P::kwPictureScaleX, 0, sizing},
        {"picscaley", &P::kwPictureScaleY, 0, sizing},
    };
    static const std::unordered_map<std::string_view, const Keyword *> index = [] {
        std::unordered_map<std::string_view, const Keyword *> map;
        map.reserve(std::size(keywords));
        for (const Keyword &kw : keywords)
            map.emplace(kw.word, &kw);
        return map;
    }();
    const auto it = index.find(word);
    return it == index.end() ? nullptr : it->second;
}

// Destinations.

void RtfParser::kwSkipGroup(const KeywordCall &)
{
    skipGroup();
}

void RtfParser::kwFootnote(const KeywordCall &)
{
    GroupState &st = state();
    // A footnote inside a footnote, or in anything but the text, is not
    // clinical text anyone sees.
    if (st.dest != Dest::Text) {
        skipGroup();
        return;
    }
    m_builder.commitPending(st);
    m_dest.open(st, Dest::Footnote);
}

void RtfParser::kwFontTable(const KeywordCall &)
{
    m_dest.open(state(), Dest::FontTable);
}

void RtfParser::kwColorTable(const KeywordCall &)
{
    m_dest.open(state(), Dest::ColorTable);
}

void RtfParser::kwPicture(const KeywordCall &)
{
    m_builder.commitPending(state());
    m_dest.open(state(), Dest::Picture);
}

void RtfParser::kwPn(const KeywordCall &)
{
    m_dest.open(state(), Dest::Pn);
}

void RtfParser::kwPnTextBefore(const KeywordCall &)
{
    m_dest.open(state(), Dest::PnTextBefore);
}

void RtfParser::kwPnTextAfter(const KeywordCall &)
{
    m_dest.open(state(), Dest::PnTextAfter);
}

void RtfParser::kwPnText(const KeywordCall &)
{
    m_dest.open(state(), Dest::PnText);
}

void RtfParser::kwFieldInstruction(const KeywordCall &)
{
    m_dest.open(state(), Dest::FldInst);
}

void RtfParser::kwListTable(const KeywordCall &)
{
    m_dest.open(state(), Dest::ListTable);
}

void RtfParser::kwListOverrideTable(const KeywordCall &)
{
    m_dest.open(state(), Dest::ListOverrideTable);
}

void RtfParser::kwList(const KeywordCall &)
{
    m_dest.beginList(state());
}

void RtfParser::kwListLevel(const KeywordCall &)
{
    if (state().dest == Dest::ListTable)
        m_dest.addListLevel();
}

void RtfParser::kwListOverride(const KeywordCall &)
{
    m_dest.beginListOverride(state());
}

void RtfParser::kwLevelText(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest == Dest::ListTable)
        m_dest.open(st, Dest::LevelText);
    else
        skipGroup();
}

void RtfParser::kwNestTableProps(const KeywordCall &)
{
    // Word keeps only row properties here, but other writers put the whole
    // nested row inside: read it as text so none of it is lost. The row
    // definition in it is the inner table's, and must not replace that of
    // the outer row whose cells may still follow.
    GroupState &st = state();
    if (!st.nestedRowProps)
        m_builder.beginNestedRowDefinition();
    st.nestedRowProps = true;
}

void RtfParser::kwUpr(const KeywordCall &)
{
    GroupState &st = state();
    st.uprParent = st.dest;
    st.dest = Dest::Ignore;
}

void RtfParser::kwUd(const KeywordCall &)
{
    GroupState &st = state();
    st.dest = st.uprParent;
}

// The document and its code pages.

void RtfParser::kwCharacterSet(const KeywordCall &c)
{
    m_dest.setAnsiCodePage(c.arg);
}

void RtfParser::kwAnsiCodePage(const KeywordCall &c)
{
    // An unknown code page leaves the one before it.
    if (c.hasParam && isKnownCodePage(c.param))
        m_dest.setAnsiCodePage(c.param);
}

void RtfParser::kwDefaultFont(const KeywordCall &c)
{
    if (c.hasParam)
        m_dest.setDefaultFont(c.param);
}

void RtfParser::kwUnicodeSkip(const KeywordCall &c)
{
    state().uc = clampInt(c.hasParam ? c.param : 1, 0, 16);
}

void RtfParser::kwUnicode(const KeywordCall &c)
{
    if (c.hasParam)
        unicodeChar(c.param);
}

void RtfParser::kwBinary(const KeywordCall &c)
{
    if (state().dest == Dest::Picture && c.param > 0) {
        const std::string_view bytes = m_lexer.takeBytes(c.param);
        m_dest.picture().data.append(bytes.data(), static_cast<qsizetype>(bytes.size()));
    } else {
        m_lexer.skipBytes(c.param);
    }
}

// Fonts and colours.

void RtfParser::kwFont(const KeywordCall &c)
{
    if (state().dest == Dest::FontTable)
        m_dest.defineFont(c.param);
    else if (c.hasParam)
        state().chr.font = c.param;
}

void RtfParser::kwFontCharset(const KeywordCall &c)
{
    if (state().dest == Dest::FontTable)
        m_dest.setFontCharset(c.param);
}

void RtfParser::kwFontCodePage(const KeywordCall &c)
{
    if (state().dest == Dest::FontTable)
        m_dest.setFontCodePage(c.param);
}

void RtfParser::kwColorComponent(const KeywordCall &c)
{
    m_dest.setColorComponent(c.arg, clampInt(c.param, 0, 255));
}

// Characters.

void RtfParser::kwPlain(const KeywordCall &)
{
    CharProps &chr = state().chr;
    const int link = chr.link;
    chr = CharProps();
    chr.link = link;
}

void RtfParser::kwBold(const KeywordCall &c)
{
    state().chr.bold = c.on();
}

void RtfParser::kwItalic(const KeywordCall &c)
{
    state().chr.italic = c.on();
}

void RtfParser::kwUnderline(const KeywordCall &c)
{
    state().chr.underline = c.on();
}

void RtfParser::kwUnderlineNone(const KeywordCall &)
{
    state().chr.underline = false;
}

void RtfParser::kwStrike(const KeywordCall &c)
{
    state().chr.strike = c.on();
}

void RtfParser::kwSuperSub(const KeywordCall &c)
{
    state().chr.vertical = c.on() ? static_cast<quint8>(c.arg) : 0;
}

void RtfParser::kwNoSuperSub(const KeywordCall &)
{
    state().chr.vertical = 0;
}

// Raised and lowered text (\up6 m\up0) is how some writers put indices and
// powers; it reads as superscript and subscript, so "m²" stays "m²".
void RtfParser::kwRaiseLower(const KeywordCall &c)
{
    state().chr.vertical = (c.hasParam ? c.param : 6) > 0 ? static_cast<quint8>(c.arg) : 0;
}

void RtfParser::kwFontSize(const KeywordCall &c)
{
    if (c.hasParam && c.param > 0)
        state().chr.size = clampInt(c.param, 2, 3276);
}

void RtfParser::kwForeground(const KeywordCall &c)
{
    state().chr.fg = std::max(0, c.param);
}

void RtfParser::kwBackground(const KeywordCall &c)
{
    state().chr.bg = std::max(0, c.param);
}

void RtfParser::kwHidden(const KeywordCall &c)
{
    state().chr.hidden = c.on();
}

void RtfParser::kwParagraph(const KeywordCall &)
{
    const GroupState &st = state();
    if (st.dest == Dest::Text) {
        m_builder.endParagraph(st);
        m_dest.clearPnText();
    } else if (st.dest == Dest::Footnote) {
        m_dest.newFootnoteLine();
    }
}

void RtfParser::kwSpecialChar(const KeywordCall &c)
{
    specialChar(static_cast<char16_t>(c.arg));
}

// Paragraphs.

void RtfParser::kwParagraphDefault(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest == Dest::Text)
        m_builder.commitPending(st);
    st.para = ParaProps();
}

void RtfParser::kwAlign(const KeywordCall &c)
{
    state().para.align = c.arg;
}

void RtfParser::kwLeftIndent(const KeywordCall &c)
{
    state().para.li = clampInt(c.param, -kMaxIndentTwips, kMaxIndentTwips);
}

void RtfParser::kwRightIndent(const KeywordCall &c)
{
    state().para.ri = clampInt(c.param, -kMaxIndentTwips, kMaxIndentTwips);
}

void RtfParser::kwFirstIndent(const KeywordCall &c)
{
    state().para.fi = clampInt(c.param, -kMaxIndentTwips, kMaxIndentTwips);
}

void RtfParser::kwSpaceBefore(const KeywordCall &c)
{
    state().para.sb = clampInt(c.param, 0, kMaxIndentTwips);
}

void RtfParser::kwSpaceAfter(const KeywordCall &c)
{
    state().para.sa = clampInt(c.param, 0, kMaxIndentTwips);
}

void RtfParser::kwLineSpacing(const KeywordCall &c)
{
    state().para.sl = clampInt(c.param, -kMaxIndentTwips, kMaxIndentTwips);
}

void RtfParser::kwLineSpacingMultiple(const KeywordCall &c)
{
    state().para.slMult = c.on();
}

void RtfParser::kwInTable(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest == Dest::Text)
        m_builder.commitPending(st);
    st.para.inTable = true;
}

void RtfParser::kwTableDepth(const KeywordCall &c)
{
    GroupState &st = state();
    if (st.dest == Dest::Text)
        m_builder.commitPending(st);
    st.para.itap = clampInt(c.param, 0, kMaxTableDepth);
}

void RtfParser::kwListOverrideIndex(const KeywordCall &c)
{
    GroupState &st = state();
    if (st.dest == Dest::ListOverrideTable)
        m_dest.setOverrideIndex(c.param);
    else if (st.dest == Dest::Pn)
        m_dest.pnBuild().ls = c.param;
    else
        st.para.ls = c.param;
}

void RtfParser::kwListLevelIndex(const KeywordCall &c)
{
    GroupState &st = state();
    if (st.dest == Dest::Pn)
        m_dest.pnBuild().ilvl = clampInt(c.param, 0, 8);
    else
        st.para.ilvl = clampInt(c.param, 0, 8);
}

// The legacy paragraph numbering.

void RtfParser::kwPnKind(const KeywordCall &c)
{
    m_dest.pnBuild().kind = static_cast<ListKind>(c.arg);
}

void RtfParser::kwPnLevel(const KeywordCall &c)
{
    PnProps &pn = m_dest.pnBuild();
    if (pn.kind == ListKind::None)
        pn.kind = ListKind::Numbered;
    pn.level = clampInt(c.param - 1, 0, 8);
}

void RtfParser::kwPnStyle(const KeywordCall &c)
{
    m_dest.pnBuild().style = c.arg;
}

void RtfParser::kwPnStart(const KeywordCall &c)
{
    m_dest.pnBuild().start = clampInt(c.param, 0, 32767);
}

void RtfParser::kwPnFont(const KeywordCall &c)
{
    m_dest.pnBuild().font = c.param;
}

// Tables.

void RtfParser::kwRowDefaults(const KeywordCall &)
{
    m_builder.rowDefinition() = RowDefinition();
}

void RtfParser::kwRowLeft(const KeywordCall &c)
{
    m_builder.rowDefinition().left = clampInt(c.param, -kMaxIndentTwips, kMaxIndentTwips);
}

void RtfParser::kwCellRight(const KeywordCall &c)
{
    RowDefinition &row = m_builder.rowDefinition();
    if (static_cast<int>(row.cells.size()) < kMaxTableColumns) {
        row.cell.right = clampInt(c.param - row.left, 0, 20 * kMaxIndentTwips);
        row.cells.push_back(row.cell);
    }
    row.cell = CellDef();
    row.borderSide = -1;
}

void RtfParser::kwCellMerge(const KeywordCall &c)
{
    m_builder.rowDefinition().cell.merge |= static_cast<quint8>(c.arg);
}

void RtfParser::kwCellBorder(const KeywordCall &c)
{
    RowDefinition &row = m_builder.rowDefinition();
    row.borderSide = c.arg;
    row.cell.border[row.borderSide] = 15; // a hairline until \brdrw says more
    row.cell.style[row.borderSide] = QTextFrameFormat::BorderStyle_Solid;
}

void RtfParser::kwOtherBorder(const KeywordCall &)
{
    // Row and paragraph borders are not kept; the \brdr words after them must
    // not change the cell border last named.
    m_builder.rowDefinition().borderSide = -1;
}

void RtfParser::kwBorderWidth(const KeywordCall &c)
{
    RowDefinition &row = m_builder.rowDefinition();
    if (row.borderSide >= 0)
        row.cell.border[row.borderSide] = clampInt(c.param, 1, 1440);
}

void RtfParser::kwBorderStyle(const KeywordCall &c)
{
    RowDefinition &row = m_builder.rowDefinition();
    if (row.borderSide >= 0)
        row.cell.style[row.borderSide] = static_cast<quint8>(c.arg);
}

void RtfParser::kwBorderNone(const KeywordCall &)
{
    RowDefinition &row = m_builder.rowDefinition();
    if (row.borderSide >= 0)
        row.cell.border[row.borderSide] = -1;
}

void RtfParser::kwCell(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest == Dest::Text) {
        m_builder.endCell(st, std::max(1, st.para.itap));
        m_dest.clearPnText();
    }
}

void RtfParser::kwNestedCell(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest == Dest::Text) {
        m_builder.endCell(st, std::max(2, st.para.itap));
        m_dest.clearPnText();
    }
}

void RtfParser::kwRow(const KeywordCall &)
{
    const GroupState &st = state();
    if (st.dest == Dest::Text)
        m_builder.endRow(st, 1);
}

void RtfParser::kwNestedRow(const KeywordCall &)
{
    const GroupState &st = state();
    if (st.dest == Dest::Text)
        m_builder.endRow(st, std::max(2, st.para.itap));
}

// Word's lists.

void RtfParser::kwListId(const KeywordCall &c)
{
    const GroupState &st = state();
    if (st.dest == Dest::ListTable)
        m_dest.setListId(c.param);
    else if (st.dest == Dest::ListOverrideTable)
        m_dest.setOverrideListId(c.param);
}

void RtfParser::kwLevelNumberFormat(const KeywordCall &c)
{
    if (state().dest == Dest::ListTable)
        m_dest.setLevelNumberFormat(c.param);
}

void RtfParser::kwLevelStartAt(const KeywordCall &c)
{
    if (state().dest == Dest::ListTable)
        m_dest.setLevelStart(clampInt(c.param, 0, 32767));
}

// Pictures.

void RtfParser::kwPictureKind(const KeywordCall &c)
{
    m_dest.picture().kind = static_cast<PictureKind>(c.arg);
}

void RtfParser::kwPictureWidth(const KeywordCall &c)
{
    m_dest.picture().picw = clampInt(c.param, 0, 100000);
}

void RtfParser::kwPictureHeight(const KeywordCall &c)
{
    m_dest.picture().pich = clampInt(c.param, 0, 100000);
}

void RtfParser::kwPictureGoalWidth(const KeywordCall &c)
{
    m_dest.picture().goalw = clampInt(c.param, 0, 1000000);
}

void RtfParser::kwPictureGoalHeight(const KeywordCall &c)
{
    m_dest.picture().goalh = clampInt(c.param, 0, 1000000);
}

void RtfParser::kwPictureScaleX(const KeywordCall &c)
{
    m_dest.picture().scalex = clampInt(c.param, 1, 1000);
}

void RtfParser::kwPictureScaleY(const KeywordCall &c)
{
    m_dest.picture().scaley = clampInt(c.param, 1, 1000);
}

} // namespace kmp::rtf::detail
