#include "rtfparser.h"

#include "codepage.h"
#include "footnotemarker.h"
#include "liststart.h"
#include "noteobjects.h"
#include "pictureformat.h"
#include "tableformat.h"

#include <QImage>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QTextTable>
#include <QUrl>

#include <algorithm>
#include <unordered_map>

namespace kmp::rtf::detail {

namespace {

constexpr int kMaxGroupDepth = RtfParser::kMaxGroupDepth;
constexpr int kMaxTableDepth = RtfParser::kMaxTableDepth;
constexpr int kMaxTableColumns = RtfParser::kMaxTableColumns;
constexpr int kMaxTableRows = 10000;
constexpr int kMaxParam = 1'000'000'000;
constexpr int kMaxIndentTwips = 31680; // 22 inches, wider than any page
constexpr double kTwipsPerPixel = 15.0; // 1440 twips an inch at 96 pixels an inch
constexpr double kHimetricPerPixel = 2540.0 / 96.0; // metafile sizes are in 0.01 mm
constexpr qsizetype kMaxPictureWords = 1024;
// Items in one QTextList; see applyParagraphFormat(). Bullets show nothing that
// depends on the list they are in; a numbered list longer than this shows its
// numbering from 1 again on Qt before 6.6, and is stored with the right numbers.
constexpr int kBulletListRun = 16;
constexpr int kNumberedListRun = 1000;

enum class Kw : quint16 {
    Unknown,
    // destinations
    Fonttbl, Colortbl, Stylesheet, Info, Pict, Pn, Pntxtb, Pntxta, Pntext, Listtext, Fldinst, Fldrslt,
    Listtable, Listoverridetable, List, Listoverride, Leveltext, Levelnumbers, Listname, Nesttableprops,
    Nonesttables, Nonshppict, Shppict, Upr, Ud, SkipDest, Footnote,
    // document
    Rtf, Ansi, Mac, Pc, Pca, Ansicpg, Deff, Uc, U, Bin,
    // fonts and colours
    F, Fcharset, Cpg, Red, Green, Blue,
    // characters
    Plain, B, I, Ul, Ulnone, Strike, Striked, Super, Sub, Nosupersub, Up, Dn, Fs, Cf, Highlight, Cb, V,
    // special characters
    Par, Line, Tab, Emdash, Endash, Bullet, Lquote, Rquote, Ldblquote, Rdblquote, Emspace, Enspace,
    Qmspace, Zwj, Zwnj, Page, Sect,
    // paragraphs
    Pard, Ql, Qc, Qr, Qj, Li, Ri, Fi, Sb, Sa, Sl, Slmult, Intbl, Itap, Ls, Ilvl,
    // legacy numbering
    Pnlvlblt, Pnlvlbody, Pnlvlcont, Pnlvl, Pndec, Pnucltr, Pnlcltr, Pnucrm, Pnlcrm, Pnstart, Pnf,
    // tables
    Trowd, Cellx, Cell, Row, Nestcell, Nestrow, Trleft, Clmgf, Clmrg, Clvmgf, Clvmrg, Clbrdrt, Clbrdrl,
    Clbrdrb, Clbrdrr, OtherBorder, Brdrw, BrdrSolid, BrdrDouble, BrdrDotted, BrdrDashed, BrdrOutset, BrdrInset,
    BrdrEngrave, BrdrEmboss, BrdrNone,
    // Word lists
    Listid, Levelnfc, Levelstartat, Listlevel,
    // pictures
    Pngblip, Jpegblip, Wmetafile, Emfblip, Dibitmap, Wbitmap, Macpict, Pmmetafile, Picw, Pich, Picwgoal, Pichgoal, Picscalex, Picscaley,
};

const std::unordered_map<std::string_view, Kw>& keywordTable()
{
    static const std::unordered_map<std::string_view, Kw> table = {
        {"fonttbl", Kw::Fonttbl}, {"colortbl", Kw::Colortbl}, {"stylesheet", Kw::Stylesheet},
        {"info", Kw::Info}, {"pict", Kw::Pict}, {"pn", Kw::Pn}, {"pntxtb", Kw::Pntxtb},
        {"pntxta", Kw::Pntxta}, {"pntext", Kw::Pntext}, {"listtext", Kw::Listtext},
        {"fldinst", Kw::Fldinst}, {"fldrslt", Kw::Fldrslt}, {"listtable", Kw::Listtable},
        {"listoverridetable", Kw::Listoverridetable}, {"list", Kw::List},
        {"listoverride", Kw::Listoverride}, {"leveltext", Kw::Leveltext},
        {"levelnumbers", Kw::Levelnumbers}, {"listname", Kw::Listname},
        {"nesttableprops", Kw::Nesttableprops}, {"nonesttables", Kw::Nonesttables},
        {"nonshppict", Kw::Nonshppict}, {"shppict", Kw::Shppict}, {"upr", Kw::Upr}, {"ud", Kw::Ud},
        // Page furniture, notes and metadata: not part of the clinical text.
        {"footnote", Kw::Footnote},
        {"header", Kw::SkipDest}, {"headerl", Kw::SkipDest}, {"headerr", Kw::SkipDest},
        {"headerf", Kw::SkipDest}, {"footer", Kw::SkipDest}, {"footerl", Kw::SkipDest},
        {"footerr", Kw::SkipDest}, {"footerf", Kw::SkipDest},
        {"revtbl", Kw::SkipDest}, {"filetbl", Kw::SkipDest}, {"xe", Kw::SkipDest},
        {"tc", Kw::SkipDest}, {"pnseclvl", Kw::SkipDest}, {"object", Kw::Unknown},
        {"objdata", Kw::SkipDest}, {"datafield", Kw::SkipDest}, {"template", Kw::SkipDest},
        {"rtf", Kw::Rtf}, {"ansi", Kw::Ansi}, {"mac", Kw::Mac}, {"pc", Kw::Pc}, {"pca", Kw::Pca},
        {"ansicpg", Kw::Ansicpg}, {"deff", Kw::Deff}, {"uc", Kw::Uc}, {"u", Kw::U}, {"bin", Kw::Bin},
        {"f", Kw::F}, {"fcharset", Kw::Fcharset}, {"cpg", Kw::Cpg}, {"red", Kw::Red},
        {"green", Kw::Green}, {"blue", Kw::Blue},
        {"plain", Kw::Plain}, {"b", Kw::B}, {"i", Kw::I}, {"ul", Kw::Ul}, {"uld", Kw::Ul},
        {"uldash", Kw::Ul}, {"uldashd", Kw::Ul}, {"uldashdd", Kw::Ul}, {"uldb", Kw::Ul},
        {"ulth", Kw::Ul}, {"ulw", Kw::Ul}, {"ulwave", Kw::Ul}, {"ulhwave", Kw::Ul},
        {"ululdbwave", Kw::Ul}, {"ulthd", Kw::Ul}, {"ulthdash", Kw::Ul}, {"ulldash", Kw::Ul},
        {"ulnone", Kw::Ulnone}, {"strike", Kw::Strike}, {"striked", Kw::Striked},
        {"super", Kw::Super}, {"sub", Kw::Sub}, {"nosupersub", Kw::Nosupersub},
        {"up", Kw::Up}, {"dn", Kw::Dn}, {"fs", Kw::Fs},
        {"cf", Kw::Cf}, {"highlight", Kw::Highlight}, {"cb", Kw::Cb}, {"chcbpat", Kw::Cb},
        {"v", Kw::V},
        {"par", Kw::Par}, {"line", Kw::Line}, {"tab", Kw::Tab}, {"emdash", Kw::Emdash},
        {"endash", Kw::Endash}, {"bullet", Kw::Bullet}, {"lquote", Kw::Lquote},
        {"rquote", Kw::Rquote}, {"ldblquote", Kw::Ldblquote}, {"rdblquote", Kw::Rdblquote},
        {"emspace", Kw::Emspace}, {"enspace", Kw::Enspace}, {"qmspace", Kw::Qmspace},
        {"zwj", Kw::Zwj}, {"zwnj", Kw::Zwnj}, {"page", Kw::Page}, {"sect", Kw::Sect},
        {"pard", Kw::Pard}, {"ql", Kw::Ql}, {"qc", Kw::Qc}, {"qr", Kw::Qr}, {"qj", Kw::Qj},
        {"li", Kw::Li}, {"lin", Kw::Li}, {"ri", Kw::Ri}, {"rin", Kw::Ri}, {"fi", Kw::Fi},
        {"sb", Kw::Sb}, {"sa", Kw::Sa}, {"sl", Kw::Sl}, {"slmult", Kw::Slmult},
        {"intbl", Kw::Intbl}, {"itap", Kw::Itap}, {"ls", Kw::Ls}, {"ilvl", Kw::Ilvl},
        {"pnlvlblt", Kw::Pnlvlblt}, {"pnlvlbody", Kw::Pnlvlbody}, {"pnlvlcont", Kw::Pnlvlcont},
        {"pnlvl", Kw::Pnlvl}, {"pndec", Kw::Pndec}, {"pnucltr", Kw::Pnucltr},
        {"pnlcltr", Kw::Pnlcltr}, {"pnucrm", Kw::Pnucrm}, {"pnlcrm", Kw::Pnlcrm},
        {"pncard", Kw::Pndec}, {"pnord", Kw::Pndec}, {"pnstart", Kw::Pnstart}, {"pnf", Kw::Pnf},
        {"trowd", Kw::Trowd}, {"cellx", Kw::Cellx}, {"cell", Kw::Cell}, {"row", Kw::Row},
        {"trleft", Kw::Trleft}, {"clmgf", Kw::Clmgf}, {"clmrg", Kw::Clmrg}, {"clvmgf", Kw::Clvmgf},
        {"clvmrg", Kw::Clvmrg}, {"clbrdrt", Kw::Clbrdrt}, {"clbrdrl", Kw::Clbrdrl}, {"clbrdrb", Kw::Clbrdrb},
        {"clbrdrr", Kw::Clbrdrr}, {"trbrdrt", Kw::OtherBorder}, {"trbrdrl", Kw::OtherBorder},
        {"trbrdrb", Kw::OtherBorder}, {"trbrdrr", Kw::OtherBorder}, {"trbrdrh", Kw::OtherBorder},
        {"trbrdrv", Kw::OtherBorder}, {"brdrt", Kw::OtherBorder}, {"brdrl", Kw::OtherBorder},
        {"brdrb", Kw::OtherBorder}, {"brdrr", Kw::OtherBorder}, {"box", Kw::OtherBorder},
        {"brdrw", Kw::Brdrw}, {"brdrs", Kw::BrdrSolid}, {"brdrth", Kw::BrdrSolid}, {"brdrsh", Kw::BrdrSolid},
        {"brdrhair", Kw::BrdrSolid}, {"brdrdb", Kw::BrdrDouble}, {"brdrdot", Kw::BrdrDotted},
        {"brdrdash", Kw::BrdrDashed}, {"brdrdashsm", Kw::BrdrDashed}, {"brdrnone", Kw::BrdrNone},
        {"brdrnil", Kw::BrdrNone}, {"brdroutset", Kw::BrdrOutset}, {"brdrinset", Kw::BrdrInset},
        {"brdrengrave", Kw::BrdrEngrave}, {"brdremboss", Kw::BrdrEmboss}, {"brdrtbl", Kw::BrdrNone},
        {"nestcell", Kw::Nestcell}, {"nestrow", Kw::Nestrow},
        {"listid", Kw::Listid}, {"levelnfc", Kw::Levelnfc}, {"levelnfcn", Kw::Levelnfc},
        {"levelstartat", Kw::Levelstartat}, {"listlevel", Kw::Listlevel},
        {"pngblip", Kw::Pngblip}, {"jpegblip", Kw::Jpegblip}, {"wmetafile", Kw::Wmetafile},
        {"emfblip", Kw::Emfblip}, {"dibitmap", Kw::Dibitmap}, {"wbitmap", Kw::Wbitmap},
        {"macpict", Kw::Macpict}, {"pmmetafile", Kw::Pmmetafile}, {"picw", Kw::Picw},
        {"pich", Kw::Pich}, {"picwgoal", Kw::Picwgoal}, {"pichgoal", Kw::Pichgoal},
        {"picscalex", Kw::Picscalex}, {"picscaley", Kw::Picscaley},
    };
    return table;
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Bytes that end a run of plain text.
struct SpecialBytes
{
    std::array<bool, 256> special{};
    SpecialBytes()
    {
        for (unsigned char c : {'{', '}', '\\', '\r', '\n'})
            special[c] = true;
    }
};
const SpecialBytes kSpecial;

int clampInt(int v, int lo, int hi)
{
    return std::clamp(v, lo, hi);
}

QTextListFormat::Style styleForNfc(int nfc)
{
    switch (nfc) {
    case 1: return QTextListFormat::ListUpperRoman;
    case 2: return QTextListFormat::ListLowerRoman;
    case 3: return QTextListFormat::ListUpperAlpha;
    case 4: return QTextListFormat::ListLowerAlpha;
    default: return QTextListFormat::ListDecimal;
    }
}

} // namespace

RtfParser::RtfParser(QTextDocument* doc)
    : m_doc(doc)
    , m_cursor(doc)
{
}

void RtfParser::parse(const QByteArray& data, qsizetype start)
{
    m_p = data.constData() + start;
    m_end = data.constData() + data.size();
    m_stack.reserve(64);
    m_cursor.beginEditBlock();
    run();
    // The last paragraph may lack its \par, and a truncated note still shows
    // everything that was read.
    if (!m_stack.empty()) {
        commitPending();
        if (m_blockHasContent && !m_needNewBlock)
            applyParagraphFormat();
    }
    for (TableContext& ctx : m_tables)
        applyMerges(ctx);
    m_cursor.endEditBlock();
}

void RtfParser::run()
{
    while (m_p < m_end && !m_done) {
        const char c = *m_p;
        if (c == '{') {
            ++m_p;
            pushGroup();
        } else if (c == '}') {
            ++m_p;
            popGroup();
        } else if (c == '\\') {
            ++m_p;
            controlSequence();
        } else if (c == '\r' || c == '\n') {
            ++m_p;
        } else {
            const char* s = m_p++;
            while (m_p < m_end && !kSpecial.special[static_cast<unsigned char>(*m_p)])
                ++m_p;
            if (!m_stack.empty())
                text(s, m_p - s);
        }
    }
}

void RtfParser::pushGroup()
{
    m_skip = 0;
    m_ignorable = false;
    if (m_stack.size() >= kMaxGroupDepth) {
        ++m_overflowDepth;
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
    if (m_end - m_p >= 2 && m_p[0] == '*' && m_p[1] == '\\') {
        ++m_p;
        m_ignorable = true;
    }
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
    if (closing.nestedRowProps && !state().nestedRowProps) {
        m_rowDef = std::move(m_outerRowDef);
        m_outerRowDef.clear();
        m_cellDef = m_outerCellDef;
        m_rowLeft = m_outerRowLeft;
        m_borderSide = -1;
    }
    if (closing.dest == Dest::Text && (closing.para.inTable != state().para.inTable || closing.para.itap != state().para.itap))
        commitPending();
    if (closing.dest == Dest::FontTable)
        finishFontName();
    if (closing.dest == Dest::ColorTable && state().dest != Dest::ColorTable)
        finishColor();
    switch (closing.onClose) {
    case OnClose::None:
        break;
    case OnClose::Pn:
        state().para.pn = m_pnBuild;
        if (m_pnBuild.ls > 0) {
            state().para.ls = m_pnBuild.ls;
            state().para.ilvl = m_pnBuild.ilvl;
        }
        break;
    case OnClose::FldInst:
        finishFieldInstruction(state());
        break;
    case OnClose::Picture:
        finishPicture();
        break;
    case OnClose::List:
        m_listDefs.push_back(std::move(m_curList));
        m_curList = ListDef();
        break;
    case OnClose::ListOverride:
        if (m_overrideLs > 0)
            m_overrides.insert(m_overrideLs, m_overrideId);
        break;
    case OnClose::LevelText:
        finishLevelText();
        break;
    case OnClose::Footnote:
        finishFootnote();
        break;
    }
}

void RtfParser::skipGroup()
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
    // The group's state was pushed when its brace was read; the brace that
    // closed it was consumed above.
    popGroup();
}

void RtfParser::controlSequence()
{
    if (m_p >= m_end)
        return;
    const char c = *m_p;
    if (isLetter(c)) {
        const char* start = m_p;
        while (m_p < m_end && isLetter(*m_p))
            ++m_p;
        std::string_view word(start, std::min<qsizetype>(m_p - start, 32));
        bool hasParam = false;
        bool negative = false;
        qint64 value = 0;
        if (m_p < m_end && *m_p == '-' && m_end - m_p > 1 && isDigit(m_p[1])) {
            negative = true;
            ++m_p;
        }
        while (m_p < m_end && isDigit(*m_p)) {
            hasParam = true;
            value = std::min<qint64>(value * 10 + (*m_p - '0'), kMaxParam);
            ++m_p;
        }
        if (m_p < m_end && *m_p == ' ')
            ++m_p;
        const int param = static_cast<int>(negative ? -value : value);
        if (m_skip > 0) {
            --m_skip;
            if (word == "bin")
                skipBinary(param);
            return;
        }
        if (m_stack.empty())
            return;
        keyword(word, hasParam, param);
        return;
    }
    ++m_p;
    if (c == '\'') {
        int v = -1;
        const int hi = m_p < m_end ? hexValue(m_p[0]) : -1;
        const int lo = m_end - m_p >= 2 ? hexValue(m_p[1]) : -1;
        if (hi >= 0 && lo >= 0) {
            v = hi * 16 + lo;
            m_p += 2;
        } else if (hi >= 0 && m_end - m_p == 1) {
            ++m_p; // half an escape at a truncation: not text
        }
        if (m_skip > 0) {
            --m_skip;
            return;
        }
        if (v >= 0 && !m_stack.empty())
            hexByte(static_cast<unsigned char>(v));
        return;
    }
    if (m_skip > 0) {
        --m_skip;
        return;
    }
    if (m_stack.empty())
        return;
    switch (c) {
    case '\\':
    case '{':
    case '}':
        text(&c, 1);
        break;
    case '~':
        specialChar(0x00A0);
        break;
    case '_':
        specialChar(0x2011);
        break;
    case '-':
        specialChar(0x00AD);
        break;
    case '*':
        m_ignorable = true;
        break;
    case '\r':
    case '\n':
        keyword("par", false, 0);
        break;
    case '\t':
        specialChar(u'\t');
        break;
    default:
        break;
    }
}

void RtfParser::skipBinary(int length)
{
    if (length > 0)
        m_p += std::min<qint64>(length, m_end - m_p);
}

void RtfParser::text(const char* s, qsizetype n)
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
    GroupState& st = state();
    switch (st.dest) {
    case Dest::Text:
        appendBytes(s, n);
        break;
    case Dest::Footnote:
        appendDecoded(codePageForFont(st.chr.font), s, n, m_footnote);
        break;
    case Dest::FontTable:
        for (qsizetype i = 0; i < n; ++i) {
            if (s[i] == ';')
                finishFontName();
            else
                m_destBytes.append(s[i]);
        }
        break;
    case Dest::ColorTable:
        for (qsizetype i = 0; i < n; ++i) {
            if (s[i] == ';')
                finishColor();
        }
        break;
    case Dest::PnTextBefore:
        appendDecoded(1252, s, n, m_pnBuild.before);
        break;
    case Dest::PnTextAfter:
        appendDecoded(1252, s, n, m_pnBuild.after);
        break;
    case Dest::PnText:
        appendDecoded(codePageForFont(st.chr.font), s, n, m_pnText);
        break;
    case Dest::FldInst:
        appendDecoded(1252, s, n, m_fldInst);
        break;
    case Dest::LevelText:
        appendDecoded(1252, s, n, m_levelText);
        break;
    case Dest::Picture:
        for (qsizetype i = 0; i < n; ++i) {
            const int v = hexValue(s[i]);
            if (v < 0)
                continue;
            if (m_picture.pendingNibble < 0) {
                m_picture.pendingNibble = v;
            } else {
                m_picture.data.append(static_cast<char>(m_picture.pendingNibble * 16 + v));
                m_picture.pendingNibble = -1;
            }
        }
        break;
    default:
        break;
    }
}

void RtfParser::hexByte(unsigned char b)
{
    m_ignorable = false;
    GroupState& st = state();
    const char c = static_cast<char>(b);
    switch (st.dest) {
    case Dest::Text:
        appendBytes(&c, 1);
        break;
    case Dest::FontTable:
        m_destBytes.append(c);
        break;
    case Dest::LevelText:
        // The first character of \leveltext is its length and the level
        // placeholders are bytes below 9: keep them as they are.
        if (b < 0x20)
            m_levelText.append(QChar(char16_t(b)));
        else
            appendDecoded(1252, &c, 1, m_levelText);
        break;
    default:
        text(&c, 1);
        break;
    }
}

void RtfParser::unicodeChar(int value)
{
    m_skip = state().uc;
    if (value < 0)
        value += 65536;
    if (value < 0 || value > 0x10FFFF)
        return;
    GroupState& st = state();
    char16_t units[2];
    qsizetype n = 1;
    if (value > 0xFFFF) {
        units[0] = QChar::highSurrogate(static_cast<char32_t>(value));
        units[1] = QChar::lowSurrogate(static_cast<char32_t>(value));
        n = 2;
    } else {
        units[0] = static_cast<char16_t>(value);
        if (units[0] >= 0xF020 && units[0] <= 0xF0FF && codePageForFont(st.chr.font) == kSymbolCodePage)
            units[0] = symbolFontChar(static_cast<unsigned char>(units[0] - 0xF000));
    }
    switch (st.dest) {
    case Dest::Text:
        appendUnits(units, n);
        break;
    case Dest::FontTable:
        // Names in other scripts come as \uN (this writer stores them so).
        flushFontNameBytes();
        m_fontName.append(QStringView(units, n));
        break;
    case Dest::Footnote:
        m_footnote.append(QStringView(units, n));
        break;
    case Dest::PnTextBefore:
        m_pnBuild.before.append(QStringView(units, n));
        break;
    case Dest::PnTextAfter:
        m_pnBuild.after.append(QStringView(units, n));
        break;
    case Dest::PnText:
        m_pnText.append(QStringView(units, n));
        break;
    case Dest::LevelText:
        m_levelText.append(QStringView(units, n));
        break;
    case Dest::FldInst:
        m_fldInst.append(QStringView(units, n));
        break;
    default:
        break;
    }
}

void RtfParser::specialChar(char16_t ch)
{
    m_ignorable = false;
    const GroupState& st = state();
    if (st.dest == Dest::Text) {
        appendUnits(&ch, 1);
    } else if (st.dest == Dest::Footnote) {
        m_footnote.append(QChar(ch));
    } else if (st.dest == Dest::PnText) {
        m_pnText.append(QChar(ch));
    } else if (st.dest == Dest::FldInst) {
        m_fldInst.append(QChar(ch));
    }
}

void RtfParser::keyword(std::string_view word, bool hasParam, int param)
{
    const bool ignorable = std::exchange(m_ignorable, false);
    const auto& table = keywordTable();
    const auto it = table.find(word);
    const Kw kw = it == table.end() ? Kw::Unknown : it->second;
    GroupState& st = state();
    const int flag = hasParam ? param : 1;

    // Every control word that describes a picture's data is kept with it, so
    // that a save writes the picture back as it came.
    if (st.dest == Dest::Picture && !ignorable && kw != Kw::Bin)
        notePictureWord(word, hasParam, param,
                        kw == Kw::Picwgoal || kw == Kw::Pichgoal || kw == Kw::Picscalex || kw == Kw::Picscaley);

    switch (kw) {
    case Kw::Unknown:
        if (ignorable)
            skipGroup();
        return;
    case Kw::SkipDest:
    case Kw::Info:
    case Kw::Stylesheet:
    case Kw::Listtext:
    case Kw::Levelnumbers:
    case Kw::Listname:
    case Kw::Nonesttables:
    case Kw::Nonshppict:
        skipGroup();
        return;
    case Kw::Footnote:
        // A footnote inside a footnote, or in anything but the text, is not
        // clinical text anyone sees.
        if (st.dest != Dest::Text) {
            skipGroup();
            return;
        }
        commitPending();
        st.dest = Dest::Footnote;
        st.onClose = OnClose::Footnote;
        m_footnote.clear();
        return;
    case Kw::Fonttbl:
        st.dest = Dest::FontTable;
        m_fontDef = -1;
        m_destBytes.clear();
        m_fontName.clear();
        return;
    case Kw::Colortbl:
        st.dest = Dest::ColorTable;
        m_colors.clear();
        m_red = m_green = m_blue = -1;
        return;
    case Kw::Pict:
        commitPending();
        st.dest = Dest::Picture;
        st.onClose = OnClose::Picture;
        m_picture = Picture();
        return;
    case Kw::Pn:
        st.dest = Dest::Pn;
        st.onClose = OnClose::Pn;
        m_pnBuild = PnProps();
        return;
    case Kw::Pntxtb:
        st.dest = Dest::PnTextBefore;
        return;
    case Kw::Pntxta:
        st.dest = Dest::PnTextAfter;
        return;
    case Kw::Pntext:
        st.dest = Dest::PnText;
        m_pnText.clear();
        return;
    case Kw::Fldinst:
        st.dest = Dest::FldInst;
        st.onClose = OnClose::FldInst;
        m_fldInst.clear();
        return;
    case Kw::Fldrslt:
    case Kw::Shppict:
        return;
    case Kw::Listtable:
        st.dest = Dest::ListTable;
        return;
    case Kw::Listoverridetable:
        st.dest = Dest::ListOverrideTable;
        return;
    case Kw::List:
        if (st.dest == Dest::ListTable) {
            st.onClose = OnClose::List;
            m_curList = ListDef();
        }
        return;
    case Kw::Listlevel:
        if (st.dest == Dest::ListTable && m_curList.levels.size() < 9)
            m_curList.levels.emplace_back();
        return;
    case Kw::Listoverride:
        if (st.dest == Dest::ListOverrideTable) {
            st.onClose = OnClose::ListOverride;
            m_overrideLs = 0;
            m_overrideId = 0;
        }
        return;
    case Kw::Leveltext:
        if (st.dest == Dest::ListTable) {
            st.dest = Dest::LevelText;
            st.onClose = OnClose::LevelText;
            m_levelText.clear();
        } else {
            skipGroup();
        }
        return;
    case Kw::Nesttableprops:
        // Word keeps only row properties here, but other writers put the whole
        // nested row inside: read it as text so none of it is lost. The row
        // definition in it is the inner table's, and must not replace that of
        // the outer row whose cells may still follow.
        if (!st.nestedRowProps) {
            m_outerRowDef = std::move(m_rowDef);
            m_outerCellDef = m_cellDef;
            m_outerRowLeft = m_rowLeft;
            m_rowDef.clear();
            m_cellDef = CellDef();
            m_rowLeft = 0;
        }
        st.nestedRowProps = true;
        return;
    case Kw::Upr:
        st.uprParent = st.dest;
        st.dest = Dest::Ignore;
        return;
    case Kw::Ud:
        st.dest = st.uprParent;
        return;
    default:
        break;
    }

    switch (kw) {
    case Kw::Rtf:
    case Kw::Ansi:
        return;
    case Kw::Mac:
        m_ansiCpg = 10000;
        m_cachedCpFont = -2;
        return;
    case Kw::Pc:
        m_ansiCpg = 437;
        m_cachedCpFont = -2;
        return;
    case Kw::Pca:
        m_ansiCpg = 850;
        m_cachedCpFont = -2;
        return;
    case Kw::Ansicpg:
        if (hasParam && isKnownCodePage(param))
            m_ansiCpg = param;
        m_cachedCpFont = -2;
        return;
    case Kw::Deff:
        if (hasParam)
            m_defFont = param;
        m_cachedCpFont = -2;
        return;
    case Kw::Uc:
        st.uc = clampInt(hasParam ? param : 1, 0, 16);
        return;
    case Kw::U:
        if (hasParam)
            unicodeChar(param);
        return;
    case Kw::Bin:
        if (st.dest == Dest::Picture && param > 0) {
            const qint64 n = std::min<qint64>(param, m_end - m_p);
            m_picture.data.append(m_p, n);
            m_p += n;
        } else {
            skipBinary(param);
        }
        return;
    case Kw::F:
        if (st.dest == Dest::FontTable) {
            finishFontName();
            m_fontDef = param;
            m_fonts[param];
            m_cachedCpFont = -2;
        } else if (hasParam) {
            st.chr.font = param;
        }
        return;
    case Kw::Fcharset:
        if (st.dest == Dest::FontTable && m_fonts.contains(m_fontDef))
            m_fonts[m_fontDef].charset = param;
        m_cachedCpFont = -2;
        return;
    case Kw::Cpg:
        if (st.dest == Dest::FontTable && m_fonts.contains(m_fontDef))
            m_fonts[m_fontDef].cpg = param;
        m_cachedCpFont = -2;
        return;
    case Kw::Red:
        m_red = clampInt(param, 0, 255);
        return;
    case Kw::Green:
        m_green = clampInt(param, 0, 255);
        return;
    case Kw::Blue:
        m_blue = clampInt(param, 0, 255);
        return;
    case Kw::Plain: {
        const int link = st.chr.link;
        st.chr = CharProps();
        st.chr.link = link;
        return;
    }
    case Kw::B:
        st.chr.bold = flag != 0;
        return;
    case Kw::I:
        st.chr.italic = flag != 0;
        return;
    case Kw::Ul:
        st.chr.underline = flag != 0;
        return;
    case Kw::Ulnone:
        st.chr.underline = false;
        return;
    case Kw::Strike:
    case Kw::Striked:
        st.chr.strike = flag != 0;
        return;
    case Kw::Super:
        st.chr.vertical = flag != 0 ? 1 : 0;
        return;
    case Kw::Sub:
        st.chr.vertical = flag != 0 ? 2 : 0;
        return;
    case Kw::Nosupersub:
        st.chr.vertical = 0;
        return;
    // Raised and lowered text (\up6 m\up0) is how some writers put indices and
    // powers; it reads as superscript and subscript, so "m²" stays "m²".
    case Kw::Up:
        st.chr.vertical = (hasParam ? param : 6) > 0 ? 1 : 0;
        return;
    case Kw::Dn:
        st.chr.vertical = (hasParam ? param : 6) > 0 ? 2 : 0;
        return;
    case Kw::Fs:
        if (hasParam && param > 0)
            st.chr.size = clampInt(param, 2, 3276);
        return;
    case Kw::Cf:
        st.chr.fg = std::max(0, param);
        return;
    case Kw::Highlight:
    case Kw::Cb:
        st.chr.bg = std::max(0, param);
        return;
    case Kw::V:
        st.chr.hidden = flag != 0;
        return;
    case Kw::Par:
    case Kw::Page:
    case Kw::Sect:
        if (st.dest == Dest::Text)
            endParagraph();
        else if (st.dest == Dest::Footnote && !m_footnote.isEmpty())
            m_footnote += QLatin1Char('\n');
        return;
    case Kw::Line:
        specialChar(QChar::LineSeparator);
        return;
    case Kw::Tab:
        specialChar(u'\t');
        return;
    case Kw::Emdash:
        specialChar(0x2014);
        return;
    case Kw::Endash:
        specialChar(0x2013);
        return;
    case Kw::Bullet:
        specialChar(0x2022);
        return;
    case Kw::Lquote:
        specialChar(0x2018);
        return;
    case Kw::Rquote:
        specialChar(0x2019);
        return;
    case Kw::Ldblquote:
        specialChar(0x201C);
        return;
    case Kw::Rdblquote:
        specialChar(0x201D);
        return;
    case Kw::Emspace:
        specialChar(0x2003);
        return;
    case Kw::Enspace:
        specialChar(0x2002);
        return;
    case Kw::Qmspace:
        specialChar(0x2005);
        return;
    case Kw::Zwj:
        specialChar(0x200D);
        return;
    case Kw::Zwnj:
        specialChar(0x200C);
        return;
    case Kw::Pard:
        if (st.dest == Dest::Text)
            commitPending();
        st.para = ParaProps();
        return;
    case Kw::Ql:
        st.para.align = 0;
        return;
    case Kw::Qc:
        st.para.align = 1;
        return;
    case Kw::Qr:
        st.para.align = 2;
        return;
    case Kw::Qj:
        st.para.align = 3;
        return;
    case Kw::Li:
        st.para.li = clampInt(param, -kMaxIndentTwips, kMaxIndentTwips);
        return;
    case Kw::Ri:
        st.para.ri = clampInt(param, -kMaxIndentTwips, kMaxIndentTwips);
        return;
    case Kw::Fi:
        st.para.fi = clampInt(param, -kMaxIndentTwips, kMaxIndentTwips);
        return;
    case Kw::Sb:
        st.para.sb = clampInt(param, 0, kMaxIndentTwips);
        return;
    case Kw::Sa:
        st.para.sa = clampInt(param, 0, kMaxIndentTwips);
        return;
    case Kw::Sl:
        st.para.sl = clampInt(param, -kMaxIndentTwips, kMaxIndentTwips);
        return;
    case Kw::Slmult:
        st.para.slMult = flag != 0;
        return;
    case Kw::Intbl:
        if (st.dest == Dest::Text)
            commitPending();
        st.para.inTable = true;
        return;
    case Kw::Itap:
        if (st.dest == Dest::Text)
            commitPending();
        st.para.itap = clampInt(param, 0, kMaxTableDepth);
        return;
    case Kw::Ls:
        if (st.dest == Dest::ListOverrideTable)
            m_overrideLs = param;
        else if (st.dest == Dest::Pn)
            m_pnBuild.ls = param;
        else
            st.para.ls = param;
        return;
    case Kw::Ilvl:
        if (st.dest == Dest::Pn)
            m_pnBuild.ilvl = clampInt(param, 0, 8);
        else
            st.para.ilvl = clampInt(param, 0, 8);
        return;
    case Kw::Pnlvlblt:
        m_pnBuild.kind = ListKind::Bullet;
        return;
    case Kw::Pnlvlbody:
        m_pnBuild.kind = ListKind::Numbered;
        return;
    case Kw::Pnlvlcont:
        m_pnBuild.kind = ListKind::Continue;
        return;
    case Kw::Pnlvl:
        if (m_pnBuild.kind == ListKind::None)
            m_pnBuild.kind = ListKind::Numbered;
        m_pnBuild.level = clampInt(param - 1, 0, 8);
        return;
    case Kw::Pndec:
        m_pnBuild.style = QTextListFormat::ListDecimal;
        return;
    case Kw::Pnucltr:
        m_pnBuild.style = QTextListFormat::ListUpperAlpha;
        return;
    case Kw::Pnlcltr:
        m_pnBuild.style = QTextListFormat::ListLowerAlpha;
        return;
    case Kw::Pnucrm:
        m_pnBuild.style = QTextListFormat::ListUpperRoman;
        return;
    case Kw::Pnlcrm:
        m_pnBuild.style = QTextListFormat::ListLowerRoman;
        return;
    case Kw::Pnstart:
        m_pnBuild.start = clampInt(param, 0, 32767);
        return;
    case Kw::Pnf:
        m_pnBuild.font = param;
        return;
    case Kw::Trowd:
        m_rowDef.clear();
        m_cellDef = CellDef();
        m_borderSide = -1;
        m_rowLeft = 0;
        return;
    case Kw::Trleft:
        m_rowLeft = clampInt(param, -kMaxIndentTwips, kMaxIndentTwips);
        return;
    case Kw::Cellx:
        if (static_cast<int>(m_rowDef.size()) < kMaxTableColumns) {
            m_cellDef.right = clampInt(param - m_rowLeft, 0, 20 * kMaxIndentTwips);
            m_rowDef.push_back(m_cellDef);
        }
        m_cellDef = CellDef();
        m_borderSide = -1;
        return;
    case Kw::Clmgf:
        m_cellDef.merge |= CellDef::FirstAcross;
        return;
    case Kw::Clmrg:
        m_cellDef.merge |= CellDef::ContinuesAcross;
        return;
    case Kw::Clvmgf:
        m_cellDef.merge |= CellDef::FirstDown;
        return;
    case Kw::Clvmrg:
        m_cellDef.merge |= CellDef::ContinuesDown;
        return;
    case Kw::Clbrdrt:
    case Kw::Clbrdrl:
    case Kw::Clbrdrb:
    case Kw::Clbrdrr:
        m_borderSide = int(kw) - int(Kw::Clbrdrt);
        m_cellDef.border[m_borderSide] = 15; // a hairline until \brdrw says more
        m_cellDef.style[m_borderSide] = QTextFrameFormat::BorderStyle_Solid;
        return;
    case Kw::OtherBorder:
        m_borderSide = -1;
        return;
    case Kw::Brdrw:
        if (m_borderSide >= 0)
            m_cellDef.border[m_borderSide] = clampInt(param, 1, 1440);
        return;
    case Kw::BrdrSolid:
    case Kw::BrdrDouble:
    case Kw::BrdrDotted:
    case Kw::BrdrDashed:
    case Kw::BrdrOutset:
    case Kw::BrdrInset:
    case Kw::BrdrEngrave:
    case Kw::BrdrEmboss:
        if (m_borderSide >= 0) {
            QTextFrameFormat::BorderStyle style = QTextFrameFormat::BorderStyle_Solid;
            switch (kw) {
            case Kw::BrdrDouble: style = QTextFrameFormat::BorderStyle_Double; break;
            case Kw::BrdrDotted: style = QTextFrameFormat::BorderStyle_Dotted; break;
            case Kw::BrdrDashed: style = QTextFrameFormat::BorderStyle_Dashed; break;
            case Kw::BrdrOutset: style = QTextFrameFormat::BorderStyle_Outset; break;
            case Kw::BrdrInset: style = QTextFrameFormat::BorderStyle_Inset; break;
            case Kw::BrdrEngrave: style = QTextFrameFormat::BorderStyle_Groove; break;
            case Kw::BrdrEmboss: style = QTextFrameFormat::BorderStyle_Ridge; break;
            default: break;
            }
            m_cellDef.style[m_borderSide] = style;
        }
        return;
    case Kw::BrdrNone:
        if (m_borderSide >= 0)
            m_cellDef.border[m_borderSide] = -1;
        return;
    case Kw::Cell:
        if (st.dest == Dest::Text)
            endCell(std::max(1, st.para.itap));
        return;
    case Kw::Nestcell:
        if (st.dest == Dest::Text)
            endCell(std::max(2, st.para.itap));
        return;
    case Kw::Row:
        if (st.dest == Dest::Text)
            endRow(1);
        return;
    case Kw::Nestrow:
        if (st.dest == Dest::Text)
            endRow(std::max(2, st.para.itap));
        return;
    case Kw::Listid:
        if (st.dest == Dest::ListTable)
            m_curList.id = param;
        else if (st.dest == Dest::ListOverrideTable)
            m_overrideId = param;
        return;
    case Kw::Levelnfc:
        if (st.dest == Dest::ListTable && !m_curList.levels.empty())
            m_curList.levels.back().nfc = param;
        return;
    case Kw::Levelstartat:
        if (st.dest == Dest::ListTable && !m_curList.levels.empty())
            m_curList.levels.back().start = clampInt(param, 0, 32767);
        return;
    case Kw::Pngblip:
        m_picture.kind = PictureKind::Png;
        return;
    case Kw::Jpegblip:
        m_picture.kind = PictureKind::Jpeg;
        return;
    case Kw::Wmetafile:
        m_picture.kind = PictureKind::WindowsMetafile;
        return;
    case Kw::Emfblip:
        m_picture.kind = PictureKind::EnhancedMetafile;
        return;
    case Kw::Dibitmap:
        m_picture.kind = PictureKind::Dib;
        return;
    case Kw::Wbitmap:
        m_picture.kind = PictureKind::DeviceBitmap;
        return;
    case Kw::Macpict:
    case Kw::Pmmetafile:
        m_picture.kind = PictureKind::Other;
        return;
    case Kw::Picw:
        m_picture.picw = clampInt(param, 0, 100000);
        return;
    case Kw::Pich:
        m_picture.pich = clampInt(param, 0, 100000);
        return;
    case Kw::Picwgoal:
        m_picture.goalw = clampInt(param, 0, 1000000);
        return;
    case Kw::Pichgoal:
        m_picture.goalh = clampInt(param, 0, 1000000);
        return;
    case Kw::Picscalex:
        m_picture.scalex = clampInt(param, 1, 1000);
        return;
    case Kw::Picscaley:
        m_picture.scaley = clampInt(param, 1, 1000);
        return;
    default:
        return;
    }
}

int RtfParser::fontIndex(int font) const
{
    return font < 0 ? m_defFont : font;
}

int RtfParser::codePageForFont(int font)
{
    if (font == m_cachedCpFont)
        return m_cachedCp;
    int cp = m_ansiCpg;
    const auto it = m_fonts.constFind(fontIndex(font));
    if (it != m_fonts.constEnd()) {
        if (it->cpg > 0 && isKnownCodePage(it->cpg)) {
            cp = it->cpg;
        } else if (it->charset >= 0) {
            const int fromCharset = codePageForCharset(it->charset);
            if (fromCharset == kSymbolCodePage)
                cp = it->name.compare(QLatin1String("Symbol"), Qt::CaseInsensitive) == 0 ? kSymbolCodePage : kPrivateUseCodePage;
            else if (fromCharset != 0 && isKnownCodePage(fromCharset))
                cp = fromCharset;
        }
    }
    m_cachedCpFont = font;
    m_cachedCp = cp;
    return cp;
}

void RtfParser::appendBytes(const char* s, qsizetype n)
{
    const int cp = codePageForFont(state().chr.font);
    if (!(m_pendingProps == state().chr) || cp != m_pendingCp) {
        if (!m_text.isEmpty() || !m_bytes.isEmpty())
            commitPending();
        m_pendingProps = state().chr;
        m_pendingCp = cp;
    }
    m_bytes.append(s, n);
}

void RtfParser::appendUnits(const char16_t* units, qsizetype n)
{
    if (!(m_pendingProps == state().chr)) {
        if (!m_text.isEmpty() || !m_bytes.isEmpty())
            commitPending();
        m_pendingProps = state().chr;
        m_pendingCp = codePageForFont(state().chr.font);
    }
    decodePendingBytes();
    m_text.append(QStringView(units, n));
}

void RtfParser::decodePendingBytes()
{
    if (m_bytes.isEmpty())
        return;
    appendDecoded(m_pendingCp, m_bytes.constData(), m_bytes.size(), m_text);
    m_bytes.clear();
}

void RtfParser::commitPending()
{
    decodePendingBytes();
    if (m_text.isEmpty())
        return;
    // Lone surrogates from a broken \u pair would poison every later save.
    for (qsizetype i = 0; i < m_text.size(); ++i) {
        const QChar c = m_text.at(i);
        if (c.isHighSurrogate() && i + 1 < m_text.size() && m_text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            m_text[i] = QChar::ReplacementCharacter;
    }
    if (m_pendingProps.hidden) {
        // Hidden text stays in the note, out of sight, and goes back on a save.
        const QString hidden = std::exchange(m_text, QString());
        insertNoteObject(HiddenTextObject, HiddenText, hidden, m_pendingProps);
        return;
    }
    ensureContext();
    m_cursor.insertText(m_text, charFormatFor(m_pendingProps));
    m_blockHasContent = true;
    m_text.clear();
}

QTextCharFormat RtfParser::charFormatFor(const CharProps& props)
{
    if (m_haveCachedFormat && m_cachedProps == props)
        return m_cachedFormat;
    QTextCharFormat fmt;
    const auto it = m_fonts.constFind(fontIndex(props.font));
    if (it != m_fonts.constEnd() && !it->name.isEmpty())
        fmt.setFontFamilies(QStringList{it->name});
    fmt.setFontPointSize(props.size / 2.0);
    if (props.bold)
        fmt.setFontWeight(QFont::Bold);
    if (props.italic)
        fmt.setFontItalic(true);
    if (props.underline)
        fmt.setFontUnderline(true);
    if (props.strike)
        fmt.setFontStrikeOut(true);
    if (props.vertical == 1)
        fmt.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
    else if (props.vertical == 2)
        fmt.setVerticalAlignment(QTextCharFormat::AlignSubScript);
    if (props.fg > 0 && props.fg < static_cast<int>(m_colors.size()) && m_colors[props.fg].isValid())
        fmt.setForeground(m_colors[props.fg]);
    if (props.bg > 0 && props.bg < static_cast<int>(m_colors.size()) && m_colors[props.bg].isValid())
        fmt.setBackground(m_colors[props.bg]);
    if (props.link > 0 && props.link <= m_links.size()) {
        fmt.setAnchor(true);
        fmt.setAnchorHref(m_links.at(props.link - 1));
    }
    m_cachedProps = props;
    m_cachedFormat = fmt;
    m_haveCachedFormat = true;
    return fmt;
}

void RtfParser::ensureContext()
{
    const ParaProps& para = state().para;
    const int want = std::min(para.itap > 0 ? para.itap : (para.inTable ? 1 : 0), kMaxTableDepth);
    while (static_cast<int>(m_tables.size()) > want)
        closeTable();
    while (static_cast<int>(m_tables.size()) < want)
        openTable();
    if (!m_tables.empty() && m_tables.back().needMove)
        moveToCell();
    if (m_needNewBlock) {
        m_cursor.insertBlock(QTextBlockFormat(), charFormatFor(state().chr));
        m_needNewBlock = false;
        m_blockHasContent = false;
    }
}

void RtfParser::openTable()
{
    // A table goes after the paragraph the cursor is in, whether or not that
    // paragraph has ended.
    m_needNewBlock = false;
    QTextTableFormat fmt;
    fmt.setCellPadding(2);
    fmt.setCellSpacing(0);
    fmt.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
    // Cells that say which borders they have get exactly those; a table whose
    // cells say nothing gets thin lines on screen so its layout shows, which
    // the writer knows not to store as borders.
    // A table inside a cell is defined after its cells: what is known now is
    // the outer row's definition, not its own.
    const bool nested = !m_tables.empty();
    const bool cellBorders = !nested && std::any_of(m_rowDef.begin(), m_rowDef.end(), [](const CellDef& d) { return d.hasBorder(); });
    fmt.setBorder(cellBorders ? 0 : 1);
    fmt.setProperty(TableScreenGrid, !cellBorders);
    const int cols = nested ? 1 : std::max<int>(1, static_cast<int>(m_rowDef.size()));
    TableContext ctx;
    ctx.table = m_cursor.insertTable(1, cols, fmt);
    m_tables.push_back(std::move(ctx));
    setColumnWidths(m_tables.back());
    mapRow(m_tables.back());
    m_cursor = m_tables.back().table->cellAt(0, 0).firstCursorPosition();
    m_blockHasContent = false;
    resetLists();
}

void RtfParser::closeTable()
{
    applyMerges(m_tables.back());
    const QPointer<QTextTable> table = m_tables.back().table;
    m_tables.pop_back();
    if (table) {
        m_cursor = table->lastCursorPosition();
        m_cursor.movePosition(QTextCursor::NextBlock);
    }
    m_needNewBlock = false;
    m_blockHasContent = !m_cursor.block().text().isEmpty();
    if (m_blockHasContent)
        m_needNewBlock = true;
    resetLists();
}

void RtfParser::moveToCell()
{
    TableContext& ctx = m_tables.back();
    ctx.needMove = false;
    if (!ctx.table) {
        // Nothing of the table is left to write into; what follows goes after it.
        m_tables.pop_back();
        return;
    }
    ctx.row = std::min(ctx.row, kMaxTableRows);
    ctx.col = std::min(ctx.col, kMaxTableColumns - 1);
    if (ctx.row >= ctx.table->rows())
        ctx.table->appendRows(ctx.row - ctx.table->rows() + 1);
    if (ctx.mappedRow != ctx.row)
        mapRow(ctx);
    const int col = columnFor(ctx, ctx.col);
    if (col >= ctx.table->columns())
        ctx.table->appendColumns(col - ctx.table->columns() + 1);
    // A cell wider than the columns below or above it covers them.
    const int span = ctx.col < static_cast<int>(ctx.cellSpan.size()) ? ctx.cellSpan[ctx.col] : 1;
    const QTextTableCell cell = ctx.table->cellAt(ctx.row, col);
    if (span > 1 && col + span <= ctx.table->columns() && cell.rowSpan() == 1 && cell.columnSpan() == 1)
        ctx.table->mergeCells(ctx.row, col, 1, span);
    m_cursor = ctx.table->cellAt(ctx.row, col).firstCursorPosition();
    m_needNewBlock = false;
    m_blockHasContent = false;
    resetLists();
}

void RtfParser::endParagraph()
{
    commitPending();
    ensureContext();
    applyParagraphFormat();
    m_pnText.clear();
    m_needNewBlock = true;
    m_blockHasContent = false;
}

void RtfParser::endCell(int level)
{
    // A \cell puts its text in a cell even when the writer left out \intbl,
    // and the paragraphs that follow until \pard are cells too.
    ParaProps& para = state().para;
    if (!para.inTable && para.itap <= 0)
        para.inTable = true;
    const int saved = para.itap;
    para.itap = level;
    commitPending();
    // A paragraph mark just before the cell mark does not open an empty line.
    m_needNewBlock = false;
    ensureContext();
    para.itap = saved;
    applyParagraphFormat();
    m_pnText.clear();
    if (!m_tables.empty()) {
        TableContext& ctx = m_tables.back();
        applyCellDef(ctx);
        ++ctx.col;
        ctx.needMove = true;
    }
    m_blockHasContent = false;
}

void RtfParser::endRow(int level)
{
    commitPending();
    if (static_cast<int>(m_tables.size()) < level)
        return;
    while (static_cast<int>(m_tables.size()) > level)
        closeTable();
    TableContext& ctx = m_tables.back();
    if (level > 1 && state().nestedRowProps && ctx.table) {
        // An inner table's row is defined after its cells: give them what
        // the definition says now.
        if (!ctx.widthsSet && ctx.row == 0) {
            setColumnWidths(ctx, true);
            if (std::any_of(m_rowDef.begin(), m_rowDef.end(), [](const CellDef& d) { return d.hasBorder(); })) {
                // Its cells have borders of their own: no screen grid on top.
                QTextTableFormat fmt = ctx.table->format();
                fmt.setBorder(0);
                fmt.setProperty(TableScreenGrid, false);
                ctx.table->setFormat(fmt);
            }
        }
        const int cells = std::min<int>(static_cast<int>(m_rowDef.size()), ctx.needMove ? ctx.col : ctx.col + 1);
        for (int i = 0; i < cells; ++i)
            applyDefToCell(ctx, ctx.row, i, m_rowDef[i]);
    }
    // Rich-edit writes a row's definition after its cells: the first row's
    // widths are known only here.
    if (!ctx.widthsSet)
        setColumnWidths(ctx);
    if (ctx.col > 0 || !ctx.needMove) {
        ++ctx.row;
        ctx.col = 0;
        ctx.needMove = true;
    }
}

void RtfParser::setColumnWidths(TableContext& ctx, bool nestedDefinition)
{
    // An inner table's definition comes after its cells, in \nesttableprops;
    // what is current while its cells are read is the outer row's.
    if (!ctx.table || (m_tables.size() != 1 && !nestedDefinition))
        return;
    if (ctx.grid.empty()) {
        int left = 0;
        for (const CellDef& def : m_rowDef) {
            if (def.right <= left) {
                ctx.grid.clear(); // boundaries out of order: leave the columns to Qt
                return;
            }
            ctx.grid.push_back(def.right);
            left = def.right;
        }
    }
    if (ctx.grid.empty() || static_cast<int>(ctx.grid.size()) != ctx.table->columns())
        return;
    QList<QTextLength> widths;
    int left = 0;
    for (int right : ctx.grid) {
        widths.append(QTextLength(QTextLength::FixedLength, (right - left) / kTwipsPerPixel));
        left = right;
    }
    QTextTableFormat fmt = ctx.table->format();
    fmt.setColumnWidthConstraints(widths);
    ctx.table->setFormat(fmt);
    ctx.widthsSet = true;
}

void RtfParser::mapRow(TableContext& ctx)
{
    ctx.mappedRow = ctx.row;
    ctx.cellStart.clear();
    ctx.cellSpan.clear();
    if (!ctx.table || m_tables.size() != 1 || m_rowDef.empty() || ctx.grid.empty())
        return;
    for (const CellDef& def : m_rowDef) {
        const auto at = std::lower_bound(ctx.grid.begin(), ctx.grid.end(), def.right);
        if (at != ctx.grid.end() && *at == def.right)
            continue;
        if (static_cast<int>(ctx.grid.size()) >= kMaxTableColumns)
            break;
        // A boundary the rows above do not have splits the column it falls
        // in: the rows above keep one cell over both halves.
        const int g = static_cast<int>(at - ctx.grid.begin());
        const bool inside = at != ctx.grid.end();
        ctx.grid.insert(at, def.right);
        if (!inside) {
            ctx.table->appendColumns(1);
            continue;
        }
        ctx.table->insertColumns(g, 1);
        for (int r = 0; r < ctx.row && r < ctx.table->rows(); ++r) {
            const QTextTableCell old = ctx.table->cellAt(r, g + 1);
            if (old.isValid() && old.row() == r && old.column() == g + 1)
                ctx.table->mergeCells(r, g, old.rowSpan(), old.columnSpan() + 1);
        }
    }
    if (static_cast<int>(ctx.grid.size()) == ctx.table->columns())
        setColumnWidths(ctx);
    int left = 0;
    for (const CellDef& def : m_rowDef) {
        const int first = static_cast<int>(std::upper_bound(ctx.grid.begin(), ctx.grid.end(), left) - ctx.grid.begin());
        const int last = static_cast<int>(std::lower_bound(ctx.grid.begin(), ctx.grid.end(), def.right) - ctx.grid.begin());
        ctx.cellStart.push_back(std::min(first, kMaxTableColumns - 1));
        ctx.cellSpan.push_back(std::max(1, last - first + 1));
        left = std::max(left, def.right);
    }
}

int RtfParser::columnFor(const TableContext& ctx, int cell) const
{
    const int known = static_cast<int>(ctx.cellStart.size());
    if (cell < known)
        return ctx.cellStart[cell];
    // Cells beyond the row's definition take the columns after it.
    const int next = known == 0 ? 0 : ctx.cellStart.back() + ctx.cellSpan.back();
    return std::min(next + (cell - known), kMaxTableColumns - 1);
}

void RtfParser::applyCellDef(TableContext& ctx)
{
    if (!ctx.table || m_tables.size() != 1 || ctx.col >= static_cast<int>(m_rowDef.size()))
        return;
    applyDefToCell(ctx, ctx.row, ctx.col, m_rowDef[ctx.col]);
}

void RtfParser::applyDefToCell(TableContext& ctx, int row, int cellIndex, const CellDef& def)
{
    if (!ctx.table)
        return;
    const int col = columnFor(ctx, cellIndex);
    if (def.merge != 0)
        ctx.merges.push_back({row, col, def.merge});
    if (!def.hasBorder())
        return;
    QTextTableCell cell = ctx.table->cellAt(std::min(row, ctx.table->rows() - 1), std::min(col, ctx.table->columns() - 1));
    if (!cell.isValid())
        return;
    QTextTableCellFormat fmt = cell.format().toTableCellFormat();
    const auto width = [&](int side) { return def.border[side] < 0 ? 0.0 : std::max(1.0, def.border[side] / kTwipsPerPixel); };
    const auto style = [&](int side) {
        return def.border[side] < 0 ? QTextFrameFormat::BorderStyle_None : QTextFrameFormat::BorderStyle(def.style[side]);
    };
    fmt.setTopBorder(width(0));
    fmt.setTopBorderStyle(style(0));
    fmt.setLeftBorder(width(1));
    fmt.setLeftBorderStyle(style(1));
    fmt.setBottomBorder(width(2));
    fmt.setBottomBorderStyle(style(2));
    fmt.setRightBorder(width(3));
    fmt.setRightBorderStyle(style(3));
    fmt.setProperty(CellBorderTwips, QVariant::fromValue(QList<int>{def.border[0], def.border[1], def.border[2], def.border[3]}));
    cell.setFormat(fmt);
}

void RtfParser::applyMerges(TableContext& ctx)
{
    if (!ctx.table || ctx.merges.empty())
        return;
    const std::vector<MergeMark> marks = std::move(ctx.merges);
    ctx.merges.clear();
    auto flagsAt = [&](int row, int col) -> quint8 {
        for (const MergeMark& m : marks) {
            if (m.row == row && m.col == col)
                return m.merge;
        }
        return 0;
    };
    QTextTable* table = ctx.table;
    for (const MergeMark& m : marks) {
        if (!(m.merge & (CellDef::FirstAcross | CellDef::FirstDown)))
            continue;
        int cols = 1;
        if (m.merge & CellDef::FirstAcross) {
            while (m.col + cols < table->columns() && (flagsAt(m.row, m.col + cols) & CellDef::ContinuesAcross))
                ++cols;
        }
        int rows = 1;
        if (m.merge & CellDef::FirstDown) {
            while (m.row + rows < table->rows() && (flagsAt(m.row + rows, m.col) & CellDef::ContinuesDown))
                ++rows;
        }
        if (rows > 1 || cols > 1) {
            const QTextTableCell cell = table->cellAt(m.row, m.col);
            // Never merge into an area another merge already covers in part.
            if (cell.isValid() && cell.row() == m.row && cell.column() == m.col && cell.rowSpan() == 1 && cell.columnSpan() == 1)
                table->mergeCells(m.row, m.col, rows, cols);
        }
    }
}

void RtfParser::applyParagraphFormat()
{
    const ParaProps& para = state().para;
    const ListShape shape = listShapeFor(para);
    QTextBlockFormat bf;
    switch (para.align) {
    case 1: bf.setAlignment(Qt::AlignHCenter); break;
    case 2: bf.setAlignment(Qt::AlignRight); break;
    case 3: bf.setAlignment(Qt::AlignJustify); break;
    default: break;
    }
    if (shape.kind == ListKind::Bullet || shape.kind == ListKind::Numbered) {
        // The list indents its own items; keep only what lies beyond it.
        const int listIndent = para.ls > 0 ? 720 * (shape.level + 1) : 360 * (shape.level + 2);
        const int extra = std::max(0, para.li - listIndent);
        if (extra > 0)
            bf.setLeftMargin(extra / kTwipsPerPixel);
    } else {
        if (para.li != 0)
            bf.setLeftMargin(para.li / kTwipsPerPixel);
        if (para.fi != 0)
            bf.setTextIndent(para.fi / kTwipsPerPixel);
    }
    if (para.ri != 0)
        bf.setRightMargin(para.ri / kTwipsPerPixel);
    if (para.sb != 0)
        bf.setTopMargin(para.sb / kTwipsPerPixel);
    if (para.sa != 0)
        bf.setBottomMargin(para.sa / kTwipsPerPixel);
    if (para.sl != 0) {
        if (para.slMult && para.sl > 0)
            bf.setLineHeight(para.sl * 100.0 / 240.0, QTextBlockFormat::ProportionalHeight);
        else if (para.sl > 0)
            bf.setLineHeight(para.sl / kTwipsPerPixel, QTextBlockFormat::MinimumHeight);
        else
            bf.setLineHeight(-para.sl / kTwipsPerPixel, QTextBlockFormat::FixedHeight);
    }
    m_cursor.setBlockFormat(bf);

    if (shape.kind == ListKind::Continue)
        return;
    if (shape.kind == ListKind::None) {
        resetLists();
        return;
    }
    OpenList& slot = m_openLists[shape.level];
    // Qt revisits every item of a list whenever one joins it, so a list read
    // into one QTextList costs time in the square of its length. Long lists
    // are therefore read as consecutive lists of the same look, the numbered
    // ones each starting where the one before stopped.
    const int run = shape.kind == ListKind::Bullet ? kBulletListRun : kNumberedListRun;
    if (slot.list && slot.key == shape.key && slot.list->count() > 0 && slot.list->count() < run) {
        slot.list->add(m_cursor.block());
    } else if (slot.list && slot.key == shape.key && slot.list->count() > 0) {
        QTextListFormat lf = slot.list->format();
        setListStart(lf, listStart(lf) + slot.list->count());
        slot.list = m_cursor.createList(lf);
    } else {
        QTextListFormat lf;
        lf.setStyle(static_cast<QTextListFormat::Style>(shape.style));
        lf.setIndent(shape.level + 1);
        if (shape.kind == ListKind::Numbered) {
            lf.setNumberPrefix(shape.prefix);
            lf.setNumberSuffix(shape.suffix);
            setListStart(lf, shape.start);
        }
        slot.list = m_cursor.createList(lf);
        slot.key = shape.key;
    }
    for (int lvl = shape.level + 1; lvl < static_cast<int>(m_openLists.size()); ++lvl)
        m_openLists[lvl] = OpenList();
}

RtfParser::ListShape RtfParser::listShapeFor(const ParaProps& para) const
{
    ListShape shape;
    if (para.ls > 0) {
        const auto ov = m_overrides.constFind(para.ls);
        const int listId = ov == m_overrides.constEnd() ? -1 : *ov;
        for (const ListDef& def : m_listDefs) {
            if (def.id != listId)
                continue;
            if (para.ilvl >= static_cast<int>(def.levels.size()))
                break;
            const ListLevel& level = def.levels[para.ilvl];
            if (level.nfc == 255)
                return shape;
            shape.level = para.ilvl;
            shape.key = QStringLiteral("ls%1").arg(para.ls);
            shape.start = level.start;
            if (level.nfc == 23) {
                shape.kind = ListKind::Bullet;
                const QString marker = level.text.trimmed();
                if (marker == QLatin1String("o"))
                    shape.style = QTextListFormat::ListCircle;
                else if (marker == QString(QChar(0xF0A7)) || marker == QString(QChar(0x00A7)))
                    shape.style = QTextListFormat::ListSquare;
                else
                    shape.style = QTextListFormat::ListDisc;
            } else {
                shape.kind = ListKind::Numbered;
                shape.style = styleForNfc(level.nfc);
                // \leveltext holds the number's surroundings around a placeholder
                // byte for each level; keep what surrounds the last one.
                const QString& t = level.text;
                qsizetype first = -1, last = -1;
                for (qsizetype i = 0; i < t.size(); ++i) {
                    if (t.at(i).unicode() < 9) {
                        if (first < 0)
                            first = i;
                        last = i;
                    }
                }
                if (last >= 0) {
                    shape.prefix = t.left(first);
                    shape.suffix = t.mid(last + 1);
                } else {
                    shape.suffix = QStringLiteral(".");
                }
            }
            return shape;
        }
    }
    const PnProps& pn = para.pn;
    if (pn.kind == ListKind::Continue) {
        shape.kind = ListKind::Continue;
        return shape;
    }
    if (pn.kind == ListKind::Bullet || pn.kind == ListKind::Numbered) {
        shape.kind = pn.kind;
        shape.level = pn.level >= 0 ? pn.level : clampInt(para.li / 360 - 2, 0, 8);
        shape.start = pn.start;
        if (pn.kind == ListKind::Bullet) {
            const QString marker = pn.before.trimmed();
            const auto fit = m_fonts.constFind(pn.font);
            const bool wingdings = fit != m_fonts.constEnd() && fit->name.startsWith(QLatin1String("Wingdings"), Qt::CaseInsensitive);
            if (marker == QLatin1String("o"))
                shape.style = QTextListFormat::ListCircle;
            else if (wingdings || marker == QString(QChar(0x25AA)))
                shape.style = QTextListFormat::ListSquare;
            else
                shape.style = QTextListFormat::ListDisc;
        } else {
            shape.style = pn.style == 0 ? int(QTextListFormat::ListDecimal) : pn.style;
            shape.prefix = pn.before;
            shape.suffix = pn.after;
        }
        shape.key = QStringLiteral("pn%1|%2|%3|%4").arg(int(pn.kind)).arg(shape.style).arg(pn.before, pn.after);
        return shape;
    }
    // Writers that keep only the rendered marker: a number becomes a numbered
    // list, anything else a bullet, so the item is not shown as plain text.
    const QString marker = m_pnText.trimmed();
    if (!marker.isEmpty()) {
        shape.level = clampInt(para.li / 360 - 2, 0, 8);
        qsizetype digits = 0;
        while (digits < marker.size() && marker.at(digits).isDigit())
            ++digits;
        if (digits > 0) {
            shape.kind = ListKind::Numbered;
            shape.style = QTextListFormat::ListDecimal;
            shape.suffix = marker.mid(digits);
        } else {
            shape.kind = ListKind::Bullet;
            shape.style = QTextListFormat::ListDisc;
        }
        shape.key = QStringLiteral("text%1").arg(shape.style);
    }
    return shape;
}

void RtfParser::resetLists()
{
    m_openLists.fill(OpenList());
}

void RtfParser::flushFontNameBytes()
{
    if (m_destBytes.isEmpty())
        return;
    const auto it = m_fonts.constFind(m_fontDef);
    int cp = it == m_fonts.constEnd() ? 0 : (it->cpg > 0 ? it->cpg : codePageForCharset(it->charset));
    if (cp <= 0 || !isKnownCodePage(cp))
        cp = m_ansiCpg;
    appendDecoded(cp, m_destBytes.constData(), m_destBytes.size(), m_fontName);
    m_destBytes.clear();
}

void RtfParser::finishFontName()
{
    if (m_fontDef < 0 && m_destBytes.isEmpty() && m_fontName.isEmpty())
        return;
    flushFontNameBytes();
    auto it = m_fonts.find(m_fontDef);
    if (it != m_fonts.end() && m_fontName.size() < 256) {
        const QString name = m_fontName.trimmed();
        if (!name.isEmpty())
            it->name = name;
    }
    m_fontName.clear();
    m_cachedCpFont = -2;
    m_haveCachedFormat = false;
}

void RtfParser::finishColor()
{
    if (m_red < 0 && m_green < 0 && m_blue < 0) {
        m_colors.emplace_back(); // "automatic"
    } else {
        m_colors.emplace_back(std::max(m_red, 0), std::max(m_green, 0), std::max(m_blue, 0));
    }
    m_red = m_green = m_blue = -1;
    m_haveCachedFormat = false;
    if (m_colors.size() > RtfParser::kMaxColours)
        m_colors.resize(RtfParser::kMaxColours);
}

void RtfParser::finishFieldInstruction(GroupState& parent)
{
    const QString inst = m_fldInst.trimmed();
    m_fldInst.clear();
    if (!inst.startsWith(QLatin1String("HYPERLINK"), Qt::CaseInsensitive))
        return;
    QString rest = inst.mid(9).trimmed();
    QString anchor;
    QString target;
    while (!rest.isEmpty()) {
        QString token;
        if (rest.startsWith(QLatin1Char('"'))) {
            const qsizetype close = rest.indexOf(QLatin1Char('"'), 1);
            token = close < 0 ? rest.mid(1) : rest.mid(1, close - 1);
            rest = close < 0 ? QString() : rest.mid(close + 1).trimmed();
        } else {
            const qsizetype space = rest.indexOf(QLatin1Char(' '));
            token = space < 0 ? rest : rest.left(space);
            rest = space < 0 ? QString() : rest.mid(space + 1).trimmed();
        }
        if (token == QLatin1String("\\l")) {
            anchor = QStringLiteral("#");
            continue;
        }
        if (token.startsWith(QLatin1Char('\\')))
            continue;
        if (target.isEmpty())
            target = anchor + token;
    }
    if (target.isEmpty() || m_links.size() > 100000)
        return;
    m_links.append(target);
    parent.chr.link = static_cast<int>(m_links.size());
}

void RtfParser::finishLevelText()
{
    if (m_curList.levels.empty())
        return;
    QString t = m_levelText;
    m_levelText.clear();
    if (t.endsWith(QLatin1Char(';')))
        t.chop(1);
    // The first character counts those that follow.
    if (!t.isEmpty()) {
        const int length = t.at(0).unicode();
        t = t.mid(1, length);
    }
    m_curList.levels.back().text = t;
}

void RtfParser::finishFootnote()
{
    QString text = std::exchange(m_footnote, QString());
    // The space after the note's own reference mark is not part of the note.
    while (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    while (text.startsWith(QLatin1Char(' ')))
        text.remove(0, 1);
    if (text.trimmed().isEmpty() || state().dest != Dest::Text)
        return;
    // Only a document that will be shown needs its footnotes drawn; laying
    // out text is no business of the server threads that read notes' text.
    if (m_decodePictures)
        FootnoteMarker::install(m_doc);
    insertNoteObject(FootnoteObject, FootnoteText, text, state().chr);
}

void RtfParser::insertNoteObject(int type, int property, const QString& text, const CharProps& props)
{
    ensureContext();
    QTextCharFormat fmt = charFormatFor(props);
    fmt.setObjectType(type);
    fmt.setProperty(property, text);
    m_cursor.insertText(QString(QChar::ObjectReplacementCharacter), fmt);
    m_blockHasContent = true;
}

void RtfParser::notePictureWord(std::string_view word, bool hasParam, int param, bool sizing)
{
    QByteArray& out = sizing ? m_picture.sizing : m_picture.header;
    if (out.size() >= kMaxPictureWords)
        return;
    out += '\\';
    out.append(word.data(), static_cast<qsizetype>(word.size()));
    if (hasParam)
        out += QByteArray::number(param);
}

void RtfParser::finishPicture()
{
    Picture pict = std::move(m_picture);
    m_picture = Picture();
    if (state().dest != Dest::Text)
        return;
    const bool metafile = pict.kind == PictureKind::WindowsMetafile || pict.kind == PictureKind::EnhancedMetafile
        || pict.kind == PictureKind::Other;
    // \picw and \pich give a metafile's size in hundredths of a millimetre and
    // a bitmap's in pixels; \picwgoal and \pichgoal, when given, the size shown.
    auto nativePx = [&](int v) { return metafile ? v / kHimetricPerPixel : double(v); };
    auto sizeFor = [](int goal, double native, int scale, double fallback) {
        double px = goal > 0 ? goal / kTwipsPerPixel : (native > 0 ? native : fallback);
        px = px * scale / 100.0;
        return std::clamp(static_cast<int>(px + 0.5), 1, 4000);
    };
    const int shownW = sizeFor(pict.goalw, nativePx(pict.picw), pict.scalex, 32);
    const int shownH = sizeFor(pict.goalh, nativePx(pict.pich), pict.scaley, 32);
    QImage image;
    if (!pict.data.isEmpty() && m_decodePictures) {
        // Metafiles are drawn at twice the size shown, sharp on high-density screens.
        image = decodePicture(pict.kind, pict.data, QSize(shownW * 2, shownH * 2));
    }
    if (!image.isNull()) {
        const bool bitmap = !metafile;
        insertImage(image,
                    bitmap ? sizeFor(pict.goalw, image.width(), pict.scalex, image.width()) : shownW,
                    bitmap ? sizeFor(pict.goalh, image.height(), pict.scaley, image.height()) : shownH, &pict);
        return;
    }
    // A picture we cannot show (an unsupported kind, broken data) keeps its
    // place as a grey box, so the clinician sees that something is there, and
    // its bytes, so that saving the note does not lose it.
    QImage placeholder(8, 8, QImage::Format_RGB32);
    placeholder.fill(QColor(0xD0, 0xD0, 0xD0));
    insertImage(placeholder, shownW, shownH, pict.data.isEmpty() ? nullptr : &pict);
}

void RtfParser::insertImage(const QImage& image, int widthPx, int heightPx, const Picture* original)
{
    commitPending();
    ensureContext();
    const QString name = QStringLiteral("rtf-image-%1.png").arg(++m_imageCount);
    m_doc->addResource(QTextDocument::ImageResource, QUrl(name), image);
    QTextImageFormat fmt;
    fmt.setName(name);
    fmt.setWidth(widthPx);
    fmt.setHeight(heightPx);
    if (original) {
        fmt.setProperty(PictureData, original->data);
        fmt.setProperty(PictureHeader, original->header);
        fmt.setProperty(PictureSizing, original->sizing);
        fmt.setProperty(PictureShownSize, QSize(widthPx, heightPx));
    }
    m_cursor.insertImage(fmt);
    m_blockHasContent = true;
}

} // namespace kmp::rtf::detail
