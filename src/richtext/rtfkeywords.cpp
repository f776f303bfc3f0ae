#include "rtfparser.h"

#include "codepage.h"
#include "rtfparserlimits.h"
#include "textformat.h"

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
        {"footnote", &P::kwNote, int(NoteKind::Footnote)},
        {"ftnalt", &P::kwEndnote},
        {"annotation", &P::kwNote, int(NoteKind::Comment)},
        {"atnid", &P::kwNoteValue, int(ValueKind::CommentId)},
        {"atnauthor", &P::kwNoteValue, int(ValueKind::CommentAuthor)},
        {"atndate", &P::kwNoteValue, int(ValueKind::CommentDate)},
        {"atnref", &P::kwSkipGroup},
        {"atrfstart", &P::kwSkipGroup},
        {"atrfend", &P::kwSkipGroup},
        {"header", &P::kwNote, int(NoteKind::PageText)},
        {"headerl", &P::kwNote, int(NoteKind::PageText)},
        {"headerr", &P::kwNote, int(NoteKind::PageText)},
        {"headerf", &P::kwNote, int(NoteKind::PageText)},
        {"footer", &P::kwNote, int(NoteKind::PageText)},
        {"footerl", &P::kwNote, int(NoteKind::PageText)},
        {"footerr", &P::kwNote, int(NoteKind::PageText)},
        {"footerf", &P::kwNote, int(NoteKind::PageText)},
        {"revtbl", &P::kwRevisionTable},
        {"shp", &P::kwShape},
        {"shpgrp", &P::kwShape},
        {"shpinst", &P::kwShapeInstance},
        {"sn", &P::kwShapeName},
        {"sv", &P::kwShapeValue},
        {"shptxt", &P::kwShapeText},
        {"shprslt", &P::kwShapeResult},
        {"shpleft", &P::kwShapeBound, 0},
        {"shptop", &P::kwShapeBound, 1},
        {"shpright", &P::kwShapeBound, 2},
        {"shpbottom", &P::kwShapeBound, 3},
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
        {"ul", &P::kwUnderline, SingleUnderline},
        {"uld", &P::kwUnderline, DottedUnderline},
        {"uldash", &P::kwUnderline, DashUnderline},
        {"uldashd", &P::kwUnderline, DashDotUnderline},
        {"uldashdd", &P::kwUnderline, DashDotDotUnderline},
        {"uldb", &P::kwUnderline, DoubleUnderline},
        {"ulth", &P::kwUnderline, ThickUnderline},
        {"ulw", &P::kwUnderline, WordUnderline},
        {"ulwave", &P::kwUnderline, WaveUnderline},
        {"ulhwave", &P::kwUnderline, HeavyWaveUnderline},
        {"ululdbwave", &P::kwUnderline, DoubleWaveUnderline},
        {"ulthd", &P::kwUnderline, ThickDottedUnderline},
        {"ulthdash", &P::kwUnderline, ThickDashUnderline},
        {"ulldash", &P::kwUnderline, LongDashUnderline},
        {"ulthldash", &P::kwUnderline, ThickLongDashUnderline},
        {"ulthdashd", &P::kwUnderline, ThickDashDotUnderline},
        {"ulthdashdd", &P::kwUnderline, ThickDashDotDotUnderline},
        {"ulnone", &P::kwUnderlineNone},
        {"strike", &P::kwStrike, 1},
        {"striked", &P::kwStrike, 2},
        {"caps", &P::kwCaps, 1},
        {"scaps", &P::kwCaps, 2},
        {"outl", &P::kwOutline},
        {"shad", &P::kwShadow},
        {"expnd", &P::kwExpand, 5},
        {"expndtw", &P::kwExpand, 1},
        {"deleted", &P::kwDeleted},
        {"revised", &P::kwRevised},
        {"revauth", &P::kwRevisionAuthor, 0},
        {"revauthdel", &P::kwRevisionAuthor, 1},
        {"revdttm", &P::kwRevisionTime, 0},
        {"revdttmdel", &P::kwRevisionTime, 1},
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
        {"page", &P::kwPageBreak},
        {"sect", &P::kwSection},
        {"sbknone", &P::kwSectionKind, SectionContinuous},
        {"sbkcol", &P::kwSectionKind, SectionNewColumn},
        {"sbkpage", &P::kwSectionKind, SectionNewPage},
        {"sbkeven", &P::kwSectionKind, SectionEvenPage},
        {"sbkodd", &P::kwSectionKind, SectionOddPage},
        {"pagebb", &P::kwPageBreakBefore},
        {"cbpat", &P::kwParagraphShading},
        {"tx", &P::kwTabPosition},
        {"tqr", &P::kwTabAlign, 2},
        {"tqc", &P::kwTabAlign, 1},
        {"tqdec", &P::kwTabAlign, 3},
        {"tldot", &P::kwTabLeader, 1},
        {"tlmdot", &P::kwTabLeader, 1},
        {"tlhyph", &P::kwTabLeader, 2},
        {"tlul", &P::kwTabLeader, 3},
        {"tlth", &P::kwTabLeader, 4},
        {"tleq", &P::kwTabLeader, 5},
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
        {"brdrt", &P::kwParagraphBorder, 1},
        {"brdrl", &P::kwParagraphBorder, 2},
        {"brdrb", &P::kwParagraphBorder, 4},
        {"brdrr", &P::kwParagraphBorder, 8},
        {"box", &P::kwParagraphBorder, 15},
        {"brdrw", &P::kwBorderWidth},
        {"brdrcf", &P::kwBorderColour},
        {"clcbpat", &P::kwCellShading},
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

void RtfParser::kwNote(const KeywordCall &c)
{
    GroupState &st = state();
    // A note inside a note, or in anything but the text, is not clinical text
    // anyone sees.
    if (st.dest != Dest::Text) {
        skipGroup();
        return;
    }
    m_builder.commitPending(st);
    m_dest.openNote(st, static_cast<NoteKind>(c.arg), c.word);
}

void RtfParser::kwEndnote(const KeywordCall &)
{
    if (state().dest == Dest::Note)
        m_dest.setEndnote();
}

void RtfParser::kwNoteValue(const KeywordCall &c)
{
    GroupState &st = state();
    // A comment's author and initials stand in the text before it, its date
    // inside it.
    const auto kind = static_cast<ValueKind>(c.arg);
    if (st.dest != (kind == ValueKind::CommentDate ? Dest::Note : Dest::Text)) {
        skipGroup();
        return;
    }
    m_dest.openValue(st, kind);
}

void RtfParser::kwRevisionTable(const KeywordCall &)
{
    m_dest.open(state(), Dest::RevisionTable);
}

void RtfParser::kwShape(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest != Dest::Text && st.dest != Dest::ShapeInstance) {
        skipGroup();
        return;
    }
    // A shape in a group of shapes is read where the group stands.
    st.dest = Dest::Text;
    m_dest.beginShape(st);
}

void RtfParser::kwShapeInstance(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest != Dest::Text || !m_dest.inShape()) {
        skipGroup();
        return;
    }
    st.dest = Dest::ShapeInstance;
}

void RtfParser::kwShapeName(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest != Dest::ShapeInstance) {
        skipGroup();
        return;
    }
    m_dest.openValue(st, ValueKind::ShapeProperty);
}

void RtfParser::kwShapeValue(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest != Dest::ShapeInstance) {
        skipGroup();
        return;
    }
    st.dest = Dest::ShapeValue;
}

void RtfParser::kwShapeText(const KeywordCall &)
{
    GroupState &st = state();
    if (st.dest != Dest::ShapeInstance || !m_builder.beginTextBox(st, m_dest.shapeSize())) {
        skipGroup();
        return;
    }
    m_dest.shapeHasContent();
    // The box's paragraphs are its own: none of the paragraph it stands in
    // (a table cell's, a list's) carries over.
    st.dest = Dest::Text;
    st.para = ParaProps();
    st.onClose = OnClose::TextBox;
}

void RtfParser::kwShapeResult(const KeywordCall &)
{
    // What older readers show instead of the shape: read only when the shape
    // itself gave nothing to show.
    if (m_dest.inShape() && m_dest.shapeHadContent())
        skipGroup();
}

void RtfParser::kwShapeBound(const KeywordCall &c)
{
    if (state().dest == Dest::ShapeInstance)
        m_dest.setShapeBound(c.arg, clampInt(c.param, -20 * kMaxIndentTwips, 20 * kMaxIndentTwips));
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
    state().chr.underline = c.on() ? static_cast<quint8>(c.arg) : 0;
}

void RtfParser::kwUnderlineNone(const KeywordCall &)
{
    state().chr.underline = 0;
}

void RtfParser::kwStrike(const KeywordCall &c)
{
    state().chr.strike = c.on() ? static_cast<quint8>(c.arg) : 0;
}

void RtfParser::kwCaps(const KeywordCall &c)
{
    state().chr.caps = c.on() ? static_cast<quint8>(c.arg) : 0;
}

void RtfParser::kwOutline(const KeywordCall &c)
{
    state().chr.outline = c.on();
}

void RtfParser::kwShadow(const KeywordCall &c)
{
    state().chr.shadow = c.on();
}

void RtfParser::kwExpand(const KeywordCall &c)
{
    // \expnd counts quarter points, \expndtw twips.
    state().chr.expand = clampInt(clampInt(c.param, -2000, 2000) * c.arg, -2000, 2000);
}

void RtfParser::kwDeleted(const KeywordCall &c)
{
    state().chr.deleted = c.on();
}

void RtfParser::kwRevised(const KeywordCall &c)
{
    state().chr.inserted = c.on();
}

void RtfParser::kwRevisionAuthor(const KeywordCall &c)
{
    (c.arg ? state().chr.delAuthor : state().chr.insAuthor) = clampInt(c.param, 0, 65535);
}

void RtfParser::kwRevisionTime(const KeywordCall &c)
{
    // Packed dates use all 32 bits (the weekday sits in the top three).
    (c.arg ? state().chr.delTime : state().chr.insTime) = static_cast<int>(m_wordBits);
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
    } else if (st.dest == Dest::Note) {
        m_dest.newNoteLine();
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
    } else {
        // Cells past the limit still end their text at \cell: it goes on as
        // paragraphs of the last cell.
        m_builder.noteLimitMet(QStringLiteral("cells"));
    }
    row.cell = CellDef();
    row.borderSide = -1;
    m_borderTarget = BorderTarget::None;
}

void RtfParser::kwCellShading(const KeywordCall &c)
{
    m_builder.rowDefinition().cell.shading = std::max(0, c.param);
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
    m_borderTarget = BorderTarget::Cell;
}

void RtfParser::kwOtherBorder(const KeywordCall &)
{
    // Row borders are not kept; the \brdr words after them must not change
    // the border last named.
    m_builder.rowDefinition().borderSide = -1;
    m_borderTarget = BorderTarget::None;
}

void RtfParser::kwParagraphBorder(const KeywordCall &c)
{
    m_borderTarget = BorderTarget::Paragraph;
    m_paraBorderSides = static_cast<quint8>(c.arg);
    forEachBorder([](int &width, quint8 &style, int &) {
        width = 15; // a hairline until \brdrw says more
        style = QTextFrameFormat::BorderStyle_Solid;
    });
}

template <typename F>
void RtfParser::forEachBorder(F &&apply)
{
    if (m_borderTarget == BorderTarget::Cell) {
        RowDefinition &row = m_builder.rowDefinition();
        if (row.borderSide >= 0)
            apply(row.cell.border[row.borderSide], row.cell.style[row.borderSide], row.cell.colour[row.borderSide]);
    } else if (m_borderTarget == BorderTarget::Paragraph) {
        for (int side = 0; side < 4; ++side) {
            BorderLine &line = state().para.border[static_cast<size_t>(side)];
            if (m_paraBorderSides & (1 << side))
                apply(line.width, line.style, line.colour);
        }
    }
}

void RtfParser::kwBorderWidth(const KeywordCall &c)
{
    forEachBorder([&](int &width, quint8 &, int &) { width = clampInt(c.param, 1, 1440); });
}

void RtfParser::kwBorderStyle(const KeywordCall &c)
{
    forEachBorder([&](int &, quint8 &style, int &) { style = static_cast<quint8>(c.arg); });
}

void RtfParser::kwBorderNone(const KeywordCall &)
{
    forEachBorder([](int &width, quint8 &, int &) { width = -1; });
}

void RtfParser::kwBorderColour(const KeywordCall &c)
{
    forEachBorder([&](int &, quint8 &, int &colour) { colour = std::max(0, c.param); });
}

void RtfParser::kwParagraphShading(const KeywordCall &c)
{
    state().para.shading = std::max(0, c.param);
}

void RtfParser::kwPageBreakBefore(const KeywordCall &c)
{
    state().para.pageBreakBefore = c.on();
}

void RtfParser::kwPageBreak(const KeywordCall &)
{
    const GroupState &st = state();
    if (st.dest == Dest::Text)
        m_builder.pageBreak(st, 0);
}

void RtfParser::kwSection(const KeywordCall &)
{
    const GroupState &st = state();
    if (st.dest == Dest::Text)
        m_builder.pageBreak(st, SectionNewPage);
}

void RtfParser::kwSectionKind(const KeywordCall &c)
{
    m_builder.setSectionKind(c.arg);
}

void RtfParser::kwTabPosition(const KeywordCall &c)
{
    ParaProps &para = state().para;
    TabStop tab = std::exchange(para.tab, TabStop());
    tab.position = clampInt(c.param, 0, kMaxIndentTwips);
    if (para.tabs.size() < kMaxTabStops)
        para.tabs.append(tab);
}

void RtfParser::kwTabAlign(const KeywordCall &c)
{
    state().para.tab.align = static_cast<quint8>(c.arg);
}

void RtfParser::kwTabLeader(const KeywordCall &c)
{
    state().para.tab.leader = static_cast<quint8>(c.arg);
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
