#pragma once

#include <QTextFormat>

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
};

} // namespace kmp::rtf
