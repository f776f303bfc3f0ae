#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>

namespace kmp::rtf::detail {

// Where the text of a group goes.
enum class Dest : quint8 {
    Text,
    Ignore,
    FontTable,
    ColorTable,
    Pn,
    PnTextBefore,
    PnTextAfter,
    PnText,
    FldInst,
    Picture,
    ListTable,
    LevelText,
    ListOverrideTable,
    // Footnotes, endnotes, comments, headers and footers: text kept with the
    // note object that stands for it.
    Note,
    RevisionTable,
    // The small destinations whose text is one value: a comment's author and
    // initials, its date, a shape property's name.
    NoteValue,
    // A shape's properties, where only a picture or a text box matters.
    ShapeInstance,
    ShapeValue
};

// What a group leaves behind when it closes.
enum class OnClose : quint8 { None, Pn, FldInst, Picture, List, ListOverride, LevelText, Note, NoteValue, Shape, TextBox };

// What a Note group holds.
enum class NoteKind : quint8 { Footnote, Comment, PageText };

// What a NoteValue group's text is.
enum class ValueKind : quint8 { None, CommentId, CommentAuthor, CommentDate, ShapeProperty };

enum class ListKind : quint8 { None, Bullet, Numbered, Continue };

struct CharProps
{
    int font = -1; // -1: the document's default font (\deff)
    int size = 24; // half-points
    int fg = 0;    // colour table index, 0 = automatic
    int bg = 0;
    int link = 0;         // index into the document's links, 0 = none
    quint8 vertical = 0;  // 0 none, 1 superscript, 2 subscript
    quint8 underline = 0; // UnderlineKind, 0 none
    quint8 strike = 0;    // 0 none, 1 single, 2 double
    quint8 caps = 0;      // 0 none, 1 all capitals, 2 small capitals
    bool bold = false;
    bool italic = false;
    bool hidden = false;
    bool outline = false;
    bool shadow = false;
    int expand = 0; // letter spacing in twips (\expndtw)
    // Tracked changes: who inserted or deleted the run and when (indexes into
    // the revision table; times packed as the note wrote them).
    bool inserted = false;
    bool deleted = false;
    int insAuthor = 0, insTime = 0;
    int delAuthor = 0, delTime = 0;
    bool operator==(const CharProps &) const = default;
};

// A border line of a paragraph or a cell: width in twips (-1 none), its look
// (QTextFrameFormat::BorderStyle) and its colour table index (0 automatic).
struct BorderLine
{
    int width = -1;
    quint8 style = 0;
    int colour = 0;
    bool operator==(const BorderLine &) const = default;
};

// A tab stop: position in twips, alignment (0 left, 1 centre, 2 right,
// 3 decimal) and leader (0 none, 1 dots, 2 hyphens, 3 underline, 4 thick line,
// 5 equals sign).
struct TabStop
{
    int position = 0;
    quint8 align = 0;
    quint8 leader = 0;
    bool operator==(const TabStop &) const = default;
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
    bool pageBreakBefore = false;
    int shading = 0;                  // colour table index of the background, 0 none
    std::array<BorderLine, 4> border; // top, left, bottom, right
    QList<TabStop> tabs;
    TabStop tab; // the tab stop being defined, until its \tx
    PnProps pn;
};

// Everything a group inherits from the one around it and drops when it closes.
struct GroupState
{
    CharProps chr;
    ParaProps para;
    Dest dest = Dest::Text;
    Dest uprParent = Dest::Text;
    OnClose onClose = OnClose::None;
    ValueKind valueKind = ValueKind::None;
    int uc = 1;
    bool nestedRowProps = false; // inside \\nesttableprops
};

} // namespace kmp::rtf::detail
