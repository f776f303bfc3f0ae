#pragma once

#include <QString>
#include <QtGlobal>

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
    Footnote
};

// What a group leaves behind when it closes.
enum class OnClose : quint8 { None, Pn, FldInst, Picture, List, ListOverride, LevelText, Footnote };

enum class ListKind : quint8 { None, Bullet, Numbered, Continue };

struct CharProps
{
    int font = -1; // -1: the document's default font (\deff)
    int size = 24; // half-points
    int fg = 0;    // colour table index, 0 = automatic
    int bg = 0;
    int link = 0;        // index into the document's links, 0 = none
    quint8 vertical = 0; // 0 none, 1 superscript, 2 subscript
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    bool hidden = false;
    bool operator==(const CharProps &) const = default;
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

// Everything a group inherits from the one around it and drops when it closes.
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

} // namespace kmp::rtf::detail
