#include "tableformat.h"

#include <QAbstractTextDocumentLayout>
#include <QTextDocument>
#include <QTextTable>
#include <algorithm>
#include <cmath>

namespace kmp::rtf {

QList<qreal> laidOutColumnWidths(const QTextTable *table)
{
    const QList<QTextLength> given = table->format().columnWidthConstraints();
    if (!std::all_of(given.begin(), given.end(), [](const QTextLength &w) { return w.type() == QTextLength::VariableLength; }))
        return {};
    QAbstractTextDocumentLayout *layout = table->document()->documentLayout();
    // Padding on both sides and the cell's lines.
    const qreal around = 2 * ReadCellPadding + 2 * std::max<qreal>(1, table->format().border());
    QList<qreal> widths;
    for (int c = 0; c < table->columns(); ++c) {
        qreal width = -1;
        for (int r = 0; r < table->rows() && width < 0; ++r) {
            const QTextTableCell cell = table->cellAt(r, c);
            if (cell.column() == c && cell.columnSpan() == 1)
                width = layout->blockBoundingRect(cell.firstCursorPosition().block()).width();
        }
        if (width <= 0)
            return {};
        widths << std::ceil(width) + around;
    }
    return widths;
}

} // namespace kmp::rtf
