#include "rtfparser.h"

#include "codepage.h"
#include "footnotemarker.h"
#include "noteobjects.h"
#include "pictureformat.h"
#include "rtfparserlimits.h"

#include <QImage>
#include <QTextDocument>

#include <algorithm>

namespace kmp::rtf::detail {

using namespace limits;

void RtfParser::closeDestination(const GroupState& closing)
{
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
            const int v = RtfLexer::hexValue(s[i]);
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

} // namespace kmp::rtf::detail
