#pragma once

#include <QList>
#include <QTextFormat>

class QTextTable;

namespace kmp::rtf {

// Properties the reader puts on tables and cells so that the writer stores
// their borders as the note had them.
enum TableProperty : int {
    // bool, on the table: its lines are only a screen aid, since its cells
    // declared no borders; they are not stored as borders.
    TableScreenGrid = QTextFormat::UserProperty + 0x5210,
    // QList<int>, on a cell: the width in twips of its top, left, bottom and
    // right borders as read, -1 for none (Qt keeps them in whole pixels).
    CellBorderTwips,
    // QList<int>, on a table whose cells all have the same four lines, which
    // the table draws: their width in twips, style and colour (0xRRGGBB, -1
    // automatic). Cells with a format of their own have their own lines.
    TableCellBorders,
};

// The space between a cell's lines and its contents in a table the reader builds, in
// pixels; the writer allows for it when it measures a table that has no widths of its own.
constexpr int ReadCellPadding = 2;

// For a table given no column widths (one pasted from a web page, sized to its contents):
// each column's width as it is laid out, in pixels, its contents plus what a table of the
// reader puts around them. Empty when the table has widths of its own, or when a column
// has no cell of its own to measure.
QList<qreal> laidOutColumnWidths(const QTextTable *table);

} // namespace kmp::rtf
