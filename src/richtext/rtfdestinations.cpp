#include "rtfdestinations.h"

#include "codepage.h"
#include "notemarker.h"
#include "noteobjects.h"
#include "pictureformat.h"
#include "rtfdocumentbuilder.h"
#include "rtfparserlimits.h"

#include <QImage>
#include <QTextDocument>
#include <QTextListFormat>

#include <algorithm>

namespace kmp::rtf::detail {

using namespace limits;

namespace {

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

RtfDestinations::RtfDestinations(RtfDocumentBuilder &builder) : m_builder(builder) {}

void RtfDestinations::open(GroupState &st, Dest d)
{
    st.dest = d;
    switch (d) {
    case Dest::FontTable:
        m_fontDef = -1;
        m_destBytes.clear();
        m_fontName.clear();
        break;
    case Dest::ColorTable:
        m_colors.clear();
        m_red = m_green = m_blue = -1;
        break;
    case Dest::Picture:
        st.onClose = OnClose::Picture;
        m_picture = RtfPicture();
        break;
    case Dest::Pn:
        st.onClose = OnClose::Pn;
        m_pnBuild = PnProps();
        break;
    case Dest::PnText: m_pnText.clear(); break;
    case Dest::FldInst:
        st.onClose = OnClose::FldInst;
        m_fldInst.clear();
        break;
    case Dest::LevelText:
        st.onClose = OnClose::LevelText;
        m_levelText.clear();
        break;
    case Dest::RevisionTable:
        m_revAuthors.clear();
        m_revName.clear();
        break;
    default: break;
    }
}

void RtfDestinations::beginList(GroupState &st)
{
    if (st.dest == Dest::ListTable) {
        st.onClose = OnClose::List;
        m_curList = ListDef();
    }
}

void RtfDestinations::beginListOverride(GroupState &st)
{
    if (st.dest == Dest::ListOverrideTable) {
        st.onClose = OnClose::ListOverride;
        m_overrideLs = 0;
        m_overrideId = 0;
    }
}

void RtfDestinations::close(const GroupState &closing, GroupState &parent)
{
    if (closing.dest == Dest::FontTable)
        finishFontName();
    if (closing.dest == Dest::ColorTable && parent.dest != Dest::ColorTable)
        finishColor();
    switch (closing.onClose) {
    case OnClose::None: break;
    case OnClose::Pn:
        parent.para.pn = m_pnBuild;
        if (m_pnBuild.ls > 0) {
            parent.para.ls = m_pnBuild.ls;
            parent.para.ilvl = m_pnBuild.ilvl;
        }
        break;
    case OnClose::FldInst: finishFieldInstruction(parent); break;
    case OnClose::Picture: finishPicture(parent); break;
    case OnClose::List:
        m_listDefs.push_back(std::move(m_curList));
        m_curList = ListDef();
        break;
    case OnClose::ListOverride:
        if (m_overrideLs > 0)
            m_overrides.insert(m_overrideLs, m_overrideId);
        break;
    case OnClose::LevelText: finishLevelText(); break;
    case OnClose::Note: finishNote(parent); break;
    case OnClose::NoteValue: finishValue(closing); break;
    case OnClose::Shape:
        if (!m_shapes.empty())
            m_shapes.pop_back();
        break;
    case OnClose::TextBox: m_builder.endTextBox(closing); break;
    }
}

void RtfDestinations::text(const GroupState &st, const char *s, qsizetype n)
{
    switch (st.dest) {
    case Dest::Text: m_builder.appendBytes(st, s, n); break;
    case Dest::Note: appendDecoded(codePageForFont(st.chr.font), s, n, m_note); break;
    case Dest::NoteValue:
        if (m_value.size() < kMaxValueLength)
            appendDecoded(codePageForFont(st.chr.font), s, n, m_value);
        break;
    case Dest::RevisionTable:
        for (qsizetype i = 0; i < n; ++i) {
            if (s[i] != ';') {
                if (m_revName.size() < kMaxValueLength)
                    appendDecoded(m_ansiCpg, s + i, 1, m_revName);
            } else if (m_revAuthors.size() < kMaxRevisionAuthors) {
                m_revAuthors.append(std::exchange(m_revName, QString()).trimmed());
            }
        }
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
    case Dest::PnTextBefore: appendDecoded(1252, s, n, m_pnBuild.before); break;
    case Dest::PnTextAfter: appendDecoded(1252, s, n, m_pnBuild.after); break;
    case Dest::PnText: appendDecoded(codePageForFont(st.chr.font), s, n, m_pnText); break;
    case Dest::FldInst: appendDecoded(1252, s, n, m_fldInst); break;
    case Dest::LevelText: appendDecoded(1252, s, n, m_levelText); break;
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
    default: break;
    }
}

void RtfDestinations::hexByte(const GroupState &st, unsigned char b)
{
    const char c = static_cast<char>(b);
    switch (st.dest) {
    case Dest::Text: m_builder.appendBytes(st, &c, 1); break;
    case Dest::FontTable: m_destBytes.append(c); break;
    case Dest::LevelText:
        // The first character of \leveltext is its length and the level
        // placeholders are bytes below 9: keep them as they are.
        if (b < 0x20)
            m_levelText.append(QChar(char16_t(b)));
        else
            appendDecoded(1252, &c, 1, m_levelText);
        break;
    default: text(st, &c, 1); break;
    }
}

void RtfDestinations::unicodeChar(const GroupState &st, int value)
{
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
    case Dest::Text: m_builder.appendUnits(st, units, n); break;
    case Dest::FontTable:
        // Names in other scripts come as \uN (this writer stores them so).
        flushFontNameBytes();
        m_fontName.append(QStringView(units, n));
        break;
    case Dest::Note: m_note.append(QStringView(units, n)); break;
    case Dest::NoteValue:
        if (m_value.size() < kMaxValueLength)
            m_value.append(QStringView(units, n));
        break;
    case Dest::RevisionTable:
        if (m_revName.size() < kMaxValueLength)
            m_revName.append(QStringView(units, n));
        break;
    case Dest::PnTextBefore: m_pnBuild.before.append(QStringView(units, n)); break;
    case Dest::PnTextAfter: m_pnBuild.after.append(QStringView(units, n)); break;
    case Dest::PnText: m_pnText.append(QStringView(units, n)); break;
    case Dest::LevelText: m_levelText.append(QStringView(units, n)); break;
    case Dest::FldInst: m_fldInst.append(QStringView(units, n)); break;
    default: break;
    }
}

void RtfDestinations::specialChar(const GroupState &st, char16_t ch)
{
    if (st.dest == Dest::Text) {
        m_builder.appendUnits(st, &ch, 1);
    } else if (st.dest == Dest::Note) {
        m_note.append(QChar(ch));
    } else if (st.dest == Dest::PnText) {
        m_pnText.append(QChar(ch));
    } else if (st.dest == Dest::FldInst) {
        m_fldInst.append(QChar(ch));
    }
}

int RtfDestinations::fontIndex(int font) const
{
    return font < 0 ? m_defFont : font;
}

int RtfDestinations::codePageForFont(int font) const
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

void RtfDestinations::flushFontNameBytes()
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

void RtfDestinations::finishFontName()
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
    forgetCodePages();
    ++m_formatGeneration;
}

void RtfDestinations::finishColor()
{
    if (m_red < 0 && m_green < 0 && m_blue < 0) {
        m_colors.emplace_back(); // "automatic"
    } else {
        m_colors.emplace_back(std::max(m_red, 0), std::max(m_green, 0), std::max(m_blue, 0));
    }
    m_red = m_green = m_blue = -1;
    ++m_formatGeneration;
    if (m_colors.size() > RtfParser::kMaxColours)
        m_colors.resize(RtfParser::kMaxColours);
}

void RtfDestinations::finishFieldInstruction(GroupState &parent)
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

void RtfDestinations::finishLevelText()
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

void RtfDestinations::openNote(GroupState &st, NoteKind kind, std::string_view word)
{
    st.dest = Dest::Note;
    st.onClose = OnClose::Note;
    m_note.clear();
    m_noteKind = kind;
    m_noteWord = QByteArray(word.data(), static_cast<qsizetype>(word.size()));
    m_noteEndnote = false;
    m_noteDate = 0;
}

void RtfDestinations::openValue(GroupState &st, ValueKind kind)
{
    st.dest = Dest::NoteValue;
    st.onClose = OnClose::NoteValue;
    st.valueKind = kind;
    m_value.clear();
}

void RtfDestinations::finishValue(const GroupState &closing)
{
    QString value = std::exchange(m_value, QString()).trimmed();
    switch (closing.valueKind) {
    case ValueKind::CommentId: m_commentInitials = value; break;
    case ValueKind::CommentAuthor: m_commentAuthor = value; break;
    case ValueKind::CommentDate: {
        // Digits standing for 32 bits, the weekday in the top three.
        quint32 bits = 0;
        for (QChar c : value)
            if (c.isDigit())
                bits = bits * 10u + static_cast<quint32>(c.digitValue());
        m_noteDate = static_cast<int>(bits);
        break;
    }
    case ValueKind::ShapeProperty:
        if (!m_shapes.empty())
            m_shapes.back().property = value;
        break;
    case ValueKind::None: break;
    }
}

void RtfDestinations::finishNote(const GroupState &parent)
{
    QString text = std::exchange(m_note, QString());
    // The space after the note's own reference mark is not part of the note.
    while (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    while (text.startsWith(QLatin1Char(' ')))
        text.remove(0, 1);
    const QString author = std::exchange(m_commentAuthor, QString());
    const QString initials = std::exchange(m_commentInitials, QString());
    if (text.trimmed().isEmpty() || parent.dest != Dest::Text)
        return;
    // Only a document that will be shown needs its notes drawn; laying out
    // text is no business of the server threads that read notes' text.
    if (m_decodePictures)
        NoteMarker::install(m_builder.document());
    switch (m_noteKind) {
    case NoteKind::Footnote:
        m_builder.insertNoteObject(parent, parent.chr, FootnoteObject,
                                   {{FootnoteText, text}, {FootnoteIsEndnote, m_noteEndnote ? QVariant(true) : QVariant()}});
        break;
    case NoteKind::Comment: {
        QString tip = QStringLiteral("Comentário");
        if (!author.isEmpty())
            tip += QStringLiteral(" de ") + author;
        if (const QString when = revisionTimeText(m_noteDate); !when.isEmpty())
            tip += QStringLiteral(" em ") + when;
        m_builder.insertNoteObject(parent, parent.chr, CommentObject,
                                   {{CommentText, text},
                                    {CommentAuthor, author},
                                    {CommentInitials, initials},
                                    {CommentTime, m_noteDate},
                                    {QTextFormat::TextToolTip, tip + QStringLiteral(": ") + text}});
        break;
    }
    case NoteKind::PageText:
        // Page text stands apart from the text around it: it takes none of its format.
        m_builder.insertNoteObject(parent, std::nullopt, PageTextObject, {{PageTextKind, m_noteWord}, {PageText, text}});
        break;
    }
}

void RtfDestinations::beginShape(GroupState &st)
{
    st.onClose = OnClose::Shape;
    if (m_shapes.size() < 64)
        m_shapes.emplace_back();
}

void RtfDestinations::shapeHasContent()
{
    if (!m_shapes.empty())
        m_shapes.back().hasContent = true;
}

void RtfDestinations::setShapeBound(int which, int twips)
{
    if (!m_shapes.empty())
        m_shapes.back().bounds[static_cast<size_t>(which)] = twips;
}

QSize RtfDestinations::shapeSize() const
{
    if (m_shapes.empty())
        return {};
    const std::array<int, 4> &b = m_shapes.back().bounds;
    return QSize(std::max(0, b[2] - b[0]), std::max(0, b[3] - b[1]));
}

void RtfDestinations::notePictureWord(std::string_view word, bool hasParam, int param, bool sizing)
{
    QByteArray &out = sizing ? m_picture.sizing : m_picture.header;
    if (out.size() >= kMaxPictureWords)
        return;
    out += '\\';
    out.append(word.data(), static_cast<qsizetype>(word.size()));
    if (hasParam)
        out += QByteArray::number(param);
}

void RtfDestinations::finishPicture(const GroupState &parent)
{
    RtfPicture pict = std::move(m_picture);
    m_picture = RtfPicture();
    if (parent.dest == Dest::ShapeValue) {
        // A shape's own picture, which older readers see only as the shape's
        // fallback (a metafile or nothing): shown and saved in its place.
        if (m_shapes.empty() || m_shapes.back().property != QLatin1String("pib"))
            return;
        m_shapes.back().hasContent = true;
    } else if (parent.dest != Dest::Text) {
        return;
    }
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
        m_builder.insertImage(parent, image, bitmap ? sizeFor(pict.goalw, image.width(), pict.scalex, image.width()) : shownW,
                              bitmap ? sizeFor(pict.goalh, image.height(), pict.scaley, image.height()) : shownH, &pict);
        return;
    }
    // A picture we cannot show (an unsupported kind, broken data) keeps its
    // place as a grey box, so the clinician sees that something is there, and
    // its bytes, so that saving the note does not lose it.
    QImage placeholder(8, 8, QImage::Format_RGB32);
    placeholder.fill(QColor(0xD0, 0xD0, 0xD0));
    m_builder.insertImage(parent, placeholder, shownW, shownH, pict.data.isEmpty() ? nullptr : &pict);
}

void RtfDestinations::newNoteLine()
{
    if (!m_note.isEmpty())
        m_note += QLatin1Char('\n');
}

void RtfDestinations::setAnsiCodePage(int cp)
{
    m_ansiCpg = cp;
    forgetCodePages();
}

void RtfDestinations::setDefaultFont(int font)
{
    m_defFont = font;
    forgetCodePages();
}

void RtfDestinations::defineFont(int font)
{
    finishFontName();
    m_fontDef = font;
    m_fonts[font];
    forgetCodePages();
}

void RtfDestinations::setFontCharset(int charset)
{
    if (m_fonts.contains(m_fontDef))
        m_fonts[m_fontDef].charset = charset;
    forgetCodePages();
}

void RtfDestinations::setFontCodePage(int cpg)
{
    if (m_fonts.contains(m_fontDef))
        m_fonts[m_fontDef].cpg = cpg;
    forgetCodePages();
}

void RtfDestinations::setColorComponent(int which, int value)
{
    int *const component[] = {&m_red, &m_green, &m_blue};
    *component[which] = value;
}

const QString &RtfDestinations::fontFamily(int font) const
{
    static const QString none;
    const auto it = m_fonts.constFind(fontIndex(font));
    return it == m_fonts.constEnd() ? none : it->name;
}

QColor RtfDestinations::colour(int index) const
{
    if (index <= 0 || index >= static_cast<int>(m_colors.size()))
        return QColor();
    return m_colors[index];
}

void RtfDestinations::addListLevel()
{
    if (m_curList.levels.size() < 9)
        m_curList.levels.emplace_back();
}

void RtfDestinations::setListId(int id)
{
    m_curList.id = id;
}

void RtfDestinations::setLevelNumberFormat(int nfc)
{
    if (!m_curList.levels.empty())
        m_curList.levels.back().nfc = nfc;
}

void RtfDestinations::setLevelStart(int start)
{
    if (!m_curList.levels.empty())
        m_curList.levels.back().start = start;
}

ListShape RtfDestinations::listShapeFor(const ParaProps &para) const
{
    ListShape shape;
    if (para.ls > 0) {
        const auto ov = m_overrides.constFind(para.ls);
        const int listId = ov == m_overrides.constEnd() ? -1 : *ov;
        for (const ListDef &def : m_listDefs) {
            if (def.id != listId)
                continue;
            if (para.ilvl >= static_cast<int>(def.levels.size()))
                break;
            const ListLevel &level = def.levels[para.ilvl];
            if (level.nfc == 255)
                return shape;
            shape.level = para.ilvl;
            shape.key = QStringLiteral("ls%1").arg(para.ls);
            shape.ls = para.ls;
            shape.start = level.start;
            if (level.nfc == 23) {
                shape.kind = ListKind::Bullet;
                const QString marker = level.text.trimmed();
                if (marker == QLatin1String("o") || marker == QString(QChar(0x25E6)))
                    shape.style = QTextListFormat::ListCircle;
                else if (marker == QString(QChar(0xF0A7)) || marker == QString(QChar(0x00A7)) || marker == QString(QChar(0x25AA))
                         || marker == QString(QChar(0x25A0)))
                    shape.style = QTextListFormat::ListSquare;
                else
                    shape.style = QTextListFormat::ListDisc;
            } else {
                shape.kind = ListKind::Numbered;
                shape.style = styleForNfc(level.nfc);
                // \leveltext holds the number's surroundings around a placeholder
                // byte for each level; keep what surrounds the last one.
                const QString &t = level.text;
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
    const PnProps &pn = para.pn;
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
            const bool wingdings =
                fit != m_fonts.constEnd() && fit->name.startsWith(QLatin1String("Wingdings"), Qt::CaseInsensitive);
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

} // namespace kmp::rtf::detail
