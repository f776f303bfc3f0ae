#pragma once

#include "picturedecoder.h"
#include "rtfgroupstate.h"

#include <QByteArray>
#include <QColor>
#include <QHash>
#include <QSize>
#include <QString>
#include <QStringList>

#include <array>

#include <string_view>
#include <vector>

namespace kmp::rtf::detail {

class RtfDocumentBuilder;

// A picture as its \pict group describes it.
struct RtfPicture
{
    QByteArray data;
    PictureKind kind = PictureKind::Unknown;
    QByteArray header; // the control words describing data, as read
    QByteArray sizing; // the control words setting the size shown
    int picw = 0, pich = 0, goalw = 0, goalh = 0, scalex = 100, scaley = 100;
    int pendingNibble = -1;
};

// How a paragraph's list looks, from whichever numbering the note used.
struct ListShape
{
    ListKind kind = ListKind::None;
    int level = 0;
    int style = 0;
    int start = 1;
    QString prefix;
    QString suffix;
    QString key;
    int ls = 0; // the \ls list it comes from, 0 for the older numbering
};

// The text each destination collects (font and colour tables, numbering, field
// instructions, list definitions, pictures, footnotes) and what a destination
// leaves behind when its group closes. Text in the body goes straight to the
// document builder. Everything read here is bounded: names, colours, links and
// picture words stop growing at their limits.
class RtfDestinations
{
public:
    explicit RtfDestinations(RtfDocumentBuilder &builder);

    void setDecodePictures(bool decode) { m_decodePictures = decode; }

    // Makes st's group the destination d, starting d's collection afresh.
    void open(GroupState &st, Dest d);
    // A \list or \listoverride group inside its table.
    void beginList(GroupState &st);
    void beginListOverride(GroupState &st);
    void close(const GroupState &closing, GroupState &parent);

    void text(const GroupState &st, const char *s, qsizetype n);
    void hexByte(const GroupState &st, unsigned char b);
    // value is a character in range; a symbol font's private-use letters are
    // mapped here.
    void unicodeChar(const GroupState &st, int value);
    void specialChar(const GroupState &st, char16_t ch);
    void newNoteLine();
    void notePictureWord(std::string_view word, bool hasParam, int param, bool sizing);

    // The document's code pages and fonts.
    void setAnsiCodePage(int cp);
    void setDefaultFont(int font);
    void defineFont(int font);
    void setFontCharset(int charset);
    void setFontCodePage(int cpg);
    void setColorComponent(int which, int value);
    int codePageForFont(int font) const;
    // The font's name; empty when the font table does not name it.
    const QString &fontFamily(int font) const;
    QColor colour(int index) const;
    const QStringList &links() const { return m_links; }
    int colourCount() const { return static_cast<int>(m_colors.size()); }
    // Changes whenever a font's name or the colour table changes, so formats
    // built from them can be cached until then.
    int formatGeneration() const { return m_formatGeneration; }

    // Numbering and lists.
    PnProps &pnBuild() { return m_pnBuild; }
    void clearPnText() { m_pnText.clear(); }
    void addListLevel();
    void setListId(int id);
    void setOverrideIndex(int ls) { m_overrideLs = ls; }
    void setOverrideListId(int id) { m_overrideId = id; }
    void setLevelNumberFormat(int nfc);
    void setLevelStart(int start);
    ListShape listShapeFor(const ParaProps &para) const;

    RtfPicture &picture() { return m_picture; }

    // Footnotes, endnotes, comments, headers and footers. word is the control
    // word that opened the note.
    void openNote(GroupState &st, NoteKind kind, std::string_view word);
    void setEndnote() { m_noteEndnote = true; }
    void openValue(GroupState &st, ValueKind kind);
    // The name the revision table gives an author, empty when it gives none.
    QString revisionAuthor(int index) const { return m_revAuthors.value(index); }

    // Shapes: a \shp group and what it holds.
    void beginShape(GroupState &st);
    bool inShape() const { return !m_shapes.empty(); }
    void shapeHasContent();
    bool shapeHadContent() const { return !m_shapes.empty() && m_shapes.back().hasContent; }
    void setShapeBound(int which, int twips);
    QSize shapeSize() const;

private:
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

    void finishFontName();
    void flushFontNameBytes();
    void finishColor();
    void finishFieldInstruction(GroupState &parent);
    void finishPicture(const GroupState &parent);
    void finishNote(const GroupState &parent);
    void finishValue(const GroupState &closing);
    void insertShapePicture(const GroupState &parent, RtfPicture &pict);
    void finishLevelText();
    int fontIndex(int font) const;
    void forgetCodePages() { m_cachedCpFont = -2; }

    RtfDocumentBuilder &m_builder;
    bool m_decodePictures = true;

    int m_ansiCpg = 1252;
    int m_defFont = 0;
    QHash<int, FontInfo> m_fonts;
    int m_fontDef = -1;
    QByteArray m_destBytes;
    QString m_fontName; // a font name's characters that came as \uN, and those before them
    mutable int m_cachedCpFont = -2;
    mutable int m_cachedCp = 0;
    int m_formatGeneration = 0;

    std::vector<QColor> m_colors;
    int m_red = -1, m_green = -1, m_blue = -1;

    QString m_pnText;
    PnProps m_pnBuild;
    QString m_fldInst;
    QString m_note;
    QByteArray m_noteWord;
    NoteKind m_noteKind = NoteKind::Footnote;
    bool m_noteEndnote = false;
    int m_noteDate = 0;
    QString m_value;
    QString m_commentInitials;
    QString m_commentAuthor;
    QStringList m_revAuthors;
    QString m_revName;

    struct Shape
    {
        bool hasContent = false;
        QString property;            // the \sn being given a value
        std::array<int, 4> bounds{}; // left, top, right, bottom in twips
    };
    std::vector<Shape> m_shapes;
    QStringList m_links;
    RtfPicture m_picture;

    std::vector<ListDef> m_listDefs;
    ListDef m_curList;
    QHash<int, int> m_overrides; // \ls -> \listid
    int m_overrideLs = 0;
    int m_overrideId = 0;
    QString m_levelText;
};

} // namespace kmp::rtf::detail
