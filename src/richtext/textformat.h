#pragma once

#include <QTextFormat>

namespace kmp::rtf {

// How text is underlined, by the control word a note used. Qt draws fewer
// kinds (a double line as one line, a thick one as thin): the kind is kept on
// the format so that the note is saved with the line it had.
enum UnderlineKind : int {
    NoUnderline,
    SingleUnderline, // \ul
    DottedUnderline, // \uld
    DashUnderline,   // \uldash
    DashDotUnderline,
    DashDotDotUnderline,
    DoubleUnderline, // \uldb
    ThickUnderline,
    WordUnderline, // \ulw: words only
    WaveUnderline,
    HeavyWaveUnderline,
    DoubleWaveUnderline,
    ThickDottedUnderline,
    ThickDashUnderline,
    LongDashUnderline,
    ThickLongDashUnderline,
    ThickDashDotUnderline,
    ThickDashDotDotUnderline,
    UnderlineKindCount
};

// The control word of each kind, and the line Qt draws for it.
const char *underlineWord(int kind);
QTextCharFormat::UnderlineStyle underlineStyleFor(int kind);
// The kind of a character format: the one it was read with while Qt still
// underlines it, else what Qt draws.
int underlineKindOf(const QTextCharFormat &format);

// Properties the reader puts on formats for what Qt does not draw (or draws
// otherwise), so that a save keeps it.
enum TextProperty : int {
    CharUnderlineKind = QTextFormat::UserProperty + 0x5230, // int, UnderlineKind
    CharDoubleStrike,                                       // bool
    CharOutline,                                            // bool
    CharShadow,                                             // bool
    // QList<int> on a paragraph: for its top, left, bottom and right borders,
    // the width in twips (-1 none), the style (QTextFrameFormat::BorderStyle)
    // and the colour as 0xRRGGBB (-1 automatic), twelve numbers in all. Qt does
    // not draw them.
    ParagraphBorders,
    // QList<int> on a paragraph: the leader of each of its tab stops, in the
    // order of QTextBlockFormat::tabPositions() (1 dots, 2 hyphens, 3 line,
    // 4 thick line, 5 equals signs, 0 none).
    TabLeaders,
    // int on a paragraph that starts a new section of the note: how the section
    // starts (SectionBreak).
    SectionBreakBefore,
    // bool on a frame: a text box, stored as a shape with its text.
    TextBoxFrame,
    // QSize on a text box: its size in twips as the note gave it.
    TextBoxTwips,
};

enum SectionBreak : int { SectionContinuous = 1, SectionNewColumn, SectionNewPage, SectionEvenPage, SectionOddPage };

// The dynamic property of a document read from a note that lists the limits the
// note met (QStringList: "rows", "cells", "depth"). Nothing past a limit is
// dropped or run together: rows and cells past a table's limits follow it as
// paragraphs, groups nested too deep are read flat.
inline constexpr char kReadLimitsProperty[] = "kmpRtfLimits";

} // namespace kmp::rtf
