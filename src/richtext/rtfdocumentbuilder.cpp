#include "rtfdocumentbuilder.h"

#include "codepage.h"
#include "liststart.h"
#include "notemarker.h"
#include "noteobjects.h"
#include "pictureformat.h"
#include "rtfdestinations.h"
#include "rtfparserlimits.h"
#include "tableformat.h"
#include "textformat.h"

#include <QImage>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QTextTable>
#include <QUrl>

#include <algorithm>

namespace kmp::rtf::detail {

using namespace limits;

namespace {

// Whether two cells have the same lines; with alike, whether a cell's four
// sides are alike.
bool sameLines(const CellDef &a, const CellDef &b, bool alike = false)
{
    for (size_t side = 0; side < 4; ++side) {
        const size_t other = alike ? 0 : side;
        if (a.border[side] != b.border[other] || a.style[side] != b.style[other] || a.colour[side] != b.colour[other])
            return false;
    }
    return true;
}

} // namespace

RtfDocumentBuilder::RtfDocumentBuilder(QTextDocument *doc, const RtfDestinations &tables)
    : m_doc(doc), m_cursor(doc), m_dest(tables)
{
}

void RtfDocumentBuilder::begin()
{
    m_cursor.beginEditBlock();
}

void RtfDocumentBuilder::finish(const GroupState *st)
{
    if (st) {
        commitPending(*st);
        if (m_blockHasContent && !m_needNewBlock)
            applyParagraphFormat(st->para);
        // A note cut short inside a text box still shows what the box held.
        while (!m_saved.empty())
            endTextBox(*st);
    }
    for (TableContext &ctx : m_tables) {
        applyMerges(ctx);
        trimRows(ctx);
    }
    if (!m_limits.isEmpty())
        m_doc->setProperty(kReadLimitsProperty, m_limits);
    m_cursor.endEditBlock();
}

void RtfDocumentBuilder::noteLimitMet(const QString &what)
{
    if (!m_limits.contains(what))
        m_limits.append(what);
}

void RtfDocumentBuilder::appendBytes(const GroupState &st, const char *s, qsizetype n)
{
    const int cp = m_dest.codePageForFont(st.chr.font);
    if (!(m_pendingProps == st.chr) || cp != m_pendingCp) {
        if (!m_text.isEmpty() || !m_bytes.isEmpty())
            commitPending(st);
        m_pendingProps = st.chr;
        m_pendingCp = cp;
    }
    m_bytes.append(s, n);
}

void RtfDocumentBuilder::appendUnits(const GroupState &st, const char16_t *units, qsizetype n)
{
    if (!(m_pendingProps == st.chr)) {
        if (!m_text.isEmpty() || !m_bytes.isEmpty())
            commitPending(st);
        m_pendingProps = st.chr;
        m_pendingCp = m_dest.codePageForFont(st.chr.font);
    }
    decodePendingBytes();
    m_text.append(QStringView(units, n));
}

void RtfDocumentBuilder::decodePendingBytes()
{
    if (m_bytes.isEmpty())
        return;
    appendDecoded(m_pendingCp, m_bytes.constData(), m_bytes.size(), m_text);
    m_bytes.clear();
}

void RtfDocumentBuilder::commitPending(const GroupState &st)
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
    if (m_pendingProps.deleted) {
        // Deleted text is never live text: one object a word (with the spaces
        // after it), so that lines still break between words.
        const QString text = std::exchange(m_text, QString());
        const QString author = m_dest.revisionAuthor(m_pendingProps.delAuthor);
        const QString tip = revisionToolTip(true, author, m_pendingProps.delTime);
        for (qsizetype start = 0, i = 0; start < text.size(); start = i) {
            while (i < text.size() && !text.at(i).isSpace())
                ++i;
            while (i < text.size() && text.at(i).isSpace())
                ++i;
            insertNoteObject(st, m_pendingProps, DeletedTextObject,
                             {{DeletedText, text.mid(start, i - start)},
                              {RevisionAuthor, author},
                              {RevisionTime, m_pendingProps.delTime},
                              {QTextFormat::TextToolTip, tip}});
        }
        return;
    }
    if (m_pendingProps.hidden) {
        // Hidden text stays in the note, out of sight, and goes back on a save.
        const QString hidden = std::exchange(m_text, QString());
        insertNoteObject(st, m_pendingProps, HiddenTextObject, {{HiddenText, hidden}});
        return;
    }
    ensureContext(st);
    m_cursor.insertText(m_text, charFormatFor(m_pendingProps));
    m_blockHasContent = true;
    m_text.clear();
}

QTextCharFormat RtfDocumentBuilder::charFormatFor(const CharProps &props)
{
    if (m_haveCachedFormat && m_cachedGeneration == m_dest.formatGeneration() && m_cachedProps == props)
        return m_cachedFormat;
    QTextCharFormat fmt;
    const QString &family = m_dest.fontFamily(props.font);
    if (!family.isEmpty())
        fmt.setFontFamilies(QStringList{family});
    fmt.setFontPointSize(props.size / 2.0);
    if (props.bold)
        fmt.setFontWeight(QFont::Bold);
    if (props.italic)
        fmt.setFontItalic(true);
    if (props.underline) {
        fmt.setUnderlineStyle(underlineStyleFor(props.underline));
        if (props.underline != SingleUnderline)
            fmt.setProperty(CharUnderlineKind, props.underline);
    }
    if (props.strike) {
        fmt.setFontStrikeOut(true);
        if (props.strike == 2)
            fmt.setProperty(CharDoubleStrike, true);
    }
    if (props.caps)
        fmt.setFontCapitalization(props.caps == 1 ? QFont::AllUppercase : QFont::SmallCaps);
    if (props.outline)
        fmt.setProperty(CharOutline, true);
    if (props.shadow)
        fmt.setProperty(CharShadow, true);
    if (props.expand != 0) {
        fmt.setFontLetterSpacingType(QFont::AbsoluteSpacing);
        fmt.setFontLetterSpacing(props.expand / kTwipsPerPixel);
    }
    if (props.vertical == 1)
        fmt.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
    else if (props.vertical == 2)
        fmt.setVerticalAlignment(QTextCharFormat::AlignSubScript);
    if (const QColor fg = m_dest.colour(props.fg); fg.isValid())
        fmt.setForeground(fg);
    if (const QColor bg = m_dest.colour(props.bg); bg.isValid())
        fmt.setBackground(bg);
    const QStringList &links = m_dest.links();
    if (props.link > 0 && props.link <= links.size()) {
        fmt.setAnchor(true);
        fmt.setAnchorHref(links.at(props.link - 1));
    }
    if (props.inserted && !props.deleted) {
        // Inserted text is marked on screen, underlined in a colour of its own;
        // what it looked like before is kept for the save.
        const QString author = m_dest.revisionAuthor(props.insAuthor);
        fmt.setProperty(RevisionInserted, true);
        fmt.setProperty(RevisionAuthor, author);
        fmt.setProperty(RevisionTime, props.insTime);
        fmt.setProperty(RevisionOwnUnderline, int(props.underline));
        if (fmt.hasProperty(QTextFormat::ForegroundBrush))
            fmt.setProperty(RevisionOwnForeground, fmt.foreground().color());
        fmt.setUnderlineStyle(QTextCharFormat::SingleUnderline);
        fmt.setForeground(QColor(0x1F, 0x5F, 0xB0));
        fmt.setToolTip(revisionToolTip(false, author, props.insTime));
    }
    m_cachedProps = props;
    m_cachedFormat = fmt;
    m_haveCachedFormat = true;
    m_cachedGeneration = m_dest.formatGeneration();
    return fmt;
}

int RtfDocumentBuilder::tablesWanted(const ParaProps &para)
{
    int want = std::min(para.itap > 0 ? para.itap : (para.inTable ? 1 : 0), kMaxTableDepth);
    if (m_overflowLevel > 0) {
        // Past a full table's last row its cells are paragraphs after it,
        // until the note leaves the table.
        if (want >= m_overflowLevel)
            want = m_overflowLevel - 1;
        else
            m_overflowLevel = 0;
    }
    return want;
}

void RtfDocumentBuilder::ensureContext(const GroupState &st, bool openBlock)
{
    const int want = tablesWanted(st.para);
    while (static_cast<int>(m_tables.size()) > want)
        closeTable();
    while (static_cast<int>(m_tables.size()) < want)
        openTable();
    if (!m_tables.empty() && m_tables.back().needMove)
        moveToCell();
    if (m_needNewBlock && openBlock) {
        m_cursor.insertBlock(QTextBlockFormat(), charFormatFor(st.chr));
        m_needNewBlock = false;
        m_blockHasContent = false;
    }
}

void RtfDocumentBuilder::openTable()
{
    // A table goes after the paragraph the cursor is in, whether or not that
    // paragraph has ended.
    m_needNewBlock = false;
    QTextTableFormat fmt;
    fmt.setCellPadding(ReadCellPadding);
    fmt.setCellSpacing(0);
    fmt.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
    // Cells that say which borders they have get exactly those; a table whose
    // cells say nothing gets thin lines on screen so its layout shows, which
    // the writer knows not to store as borders.
    // A table inside a cell is defined after its cells: what is known now is
    // the outer row's definition, not its own.
    const bool nested = !m_tables.empty();
    const bool cellBorders =
        !nested && std::any_of(m_row.cells.begin(), m_row.cells.end(), [](const CellDef &d) { return d.hasBorder(); });
    fmt.setBorder(cellBorders ? 0 : 1);
    fmt.setProperty(TableScreenGrid, !cellBorders);
    TableContext ctx;
    // Word gives every cell the same four lines: such a table draws them
    // itself, which spares setting a format on each of its cells.
    const CellDef &first = m_row.cells.empty() ? CellDef() : m_row.cells.front();
    const bool uniform =
        cellBorders && first.border[0] >= 0 && first.shading == 0
        && std::all_of(m_row.cells.begin(), m_row.cells.end(), [&](const CellDef &d) { return sameLines(d, first); })
        && sameLines(first, first, true);
    if (uniform) {
        const QColor colour = m_dest.colour(first.colour[0]);
        fmt.setBorder(std::max(1.0, first.border[0] / kTwipsPerPixel));
        fmt.setBorderStyle(QTextFrameFormat::BorderStyle(first.style[0]));
        if (colour.isValid())
            fmt.setBorderBrush(colour);
        fmt.setBorderCollapse(true);
        fmt.setProperty(TableCellBorders, QVariant::fromValue(QList<int>{first.border[0], first.style[0],
                                                                         colour.isValid() ? int(colour.rgb() & 0xFFFFFF) : -1}));
        ctx.uniform = first;
    }
    const int cols = nested ? 1 : std::max<int>(1, static_cast<int>(m_row.cells.size()));
    // Qt makes a table's first rows much faster than it adds rows later: make
    // as many as the note has ahead. Rows the guess got wrong are taken away
    // when the table ends.
    const int rows = !nested && m_rowsAhead ? std::clamp(m_rowsAhead(kMaxTableRows), 1, kMaxTableRows) : 1;
    ctx.table = m_cursor.insertTable(rows, cols, fmt);
    m_tables.push_back(std::move(ctx));
    setColumnWidths(m_tables.back());
    mapRow(m_tables.back());
    m_cursor = m_tables.back().table->cellAt(0, 0).firstCursorPosition();
    m_blockHasContent = false;
    resetLists();
}

void RtfDocumentBuilder::closeTable()
{
    applyMerges(m_tables.back());
    trimRows(m_tables.back());
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

void RtfDocumentBuilder::moveToCell()
{
    TableContext &ctx = m_tables.back();
    ctx.needMove = false;
    if (!ctx.table) {
        // Nothing of the table is left to write into; what follows goes after it.
        m_tables.pop_back();
        return;
    }
    // A cell past the last a row can hold goes on in the last cell, as a
    // paragraph of its own.
    const bool pastLastCell = ctx.col >= kMaxTableColumns;
    ctx.col = std::min(ctx.col, kMaxTableColumns - 1);
    if (ctx.row >= ctx.table->rows()) {
        // Rows come one at a time, and Qt rebuilds a table's whole grid after
        // every change of its shape: adding them in batches keeps that from
        // happening for every row. A batch holds the rows the note has ahead,
        // as far as the bytes tell, since spare rows cost as much again to
        // take away when the table ends.
        const int have = ctx.table->rows();
        // The rows ahead are counted for tables in the text only: an inner
        // table's rows end with \nestrow.
        const int ahead = m_rowsAhead && m_tables.size() == 1 ? std::clamp(m_rowsAhead(kTableRowBatch), 1, kTableRowBatch) : 1;
        ctx.table->appendRows(std::min(ctx.row + ahead, kMaxTableRows) - have);
    }
    ctx.usedRows = std::max(ctx.usedRows, ctx.row + 1);
    if (ctx.mappedRow != ctx.row)
        mapRow(ctx);
    const int col = std::min(columnFor(ctx, ctx.col), kMaxTableColumns - 1);
    if (col >= ctx.table->columns())
        ctx.table->appendColumns(col - ctx.table->columns() + 1);
    if (pastLastCell) {
        noteLimitMet(QStringLiteral("cells"));
        m_cursor = ctx.table->cellAt(ctx.row, col).lastCursorPosition();
        m_needNewBlock = m_cursor.block().length() > 1;
        m_blockHasContent = false;
        resetLists();
        return;
    }
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

void RtfDocumentBuilder::endParagraph(const GroupState &st)
{
    commitPending(st);
    ensureContext(st);
    applyParagraphFormat(st.para);
    m_needNewBlock = true;
    m_blockHasContent = false;
}

void RtfDocumentBuilder::endCell(GroupState &st, int level)
{
    // A \cell puts its text in a cell even when the writer left out \intbl,
    // and the paragraphs that follow until \pard are cells too.
    ParaProps &para = st.para;
    if (!para.inTable && para.itap <= 0)
        para.inTable = true;
    const int saved = para.itap;
    para.itap = level;
    commitPending(st);
    if (m_overflowLevel > 0 && level >= m_overflowLevel) {
        // Past a full table: each cell's text is a paragraph of its own.
        if (m_blockHasContent && !m_needNewBlock) {
            applyParagraphFormat(para);
            m_needNewBlock = true;
            m_blockHasContent = false;
        }
        para.itap = saved;
        return;
    }
    // A paragraph mark just before the cell mark does not open an empty line.
    m_needNewBlock = false;
    ensureContext(st);
    para.itap = saved;
    applyParagraphFormat(para);
    if (!m_tables.empty()) {
        TableContext &ctx = m_tables.back();
        applyCellDef(ctx);
        ++ctx.col;
        ctx.needMove = true;
    }
    m_blockHasContent = false;
}

void RtfDocumentBuilder::endRow(const GroupState &st, int level)
{
    commitPending(st);
    if (static_cast<int>(m_tables.size()) < level || (m_overflowLevel > 0 && level >= m_overflowLevel))
        return;
    while (static_cast<int>(m_tables.size()) > level)
        closeTable();
    TableContext &ctx = m_tables.back();
    if (level > 1 && st.nestedRowProps && ctx.table) {
        // An inner table's row is defined after its cells: give them what
        // the definition says now.
        if (!ctx.widthsSet && ctx.row == 0) {
            setColumnWidths(ctx, true);
            if (std::any_of(m_row.cells.begin(), m_row.cells.end(), [](const CellDef &d) { return d.hasBorder(); })) {
                // Its cells have borders of their own: no screen grid on top.
                QTextTableFormat fmt = ctx.table->format();
                fmt.setBorder(0);
                fmt.setProperty(TableScreenGrid, false);
                ctx.table->setFormat(fmt);
            }
        }
        const int cells = std::min<int>(static_cast<int>(m_row.cells.size()), ctx.needMove ? ctx.col : ctx.col + 1);
        for (int i = 0; i < cells; ++i)
            applyDefToCell(ctx, ctx.row, i, m_row.cells[i]);
    }
    // Rich-edit writes a row's definition after its cells: the first row's
    // widths are known only here.
    if (!ctx.widthsSet)
        setColumnWidths(ctx);
    if (ctx.col > 0 || !ctx.needMove) {
        ++ctx.row;
        ctx.col = 0;
        ctx.needMove = true;
        if (ctx.row >= kMaxTableRows) {
            // The table is full: the rows after it follow as paragraphs, never
            // run together into its last cell.
            noteLimitMet(QStringLiteral("rows"));
            m_overflowLevel = level;
            while (static_cast<int>(m_tables.size()) >= level)
                closeTable();
        }
    }
}

void RtfDocumentBuilder::trimRows(TableContext &ctx)
{
    if (!ctx.table || ctx.table->rows() <= ctx.usedRows)
        return;
    // Taking the rows away joins the last paragraph kept to the first one
    // taken, whose format it would get: it keeps its own.
    QTextCursor last = ctx.table->cellAt(ctx.usedRows - 1, ctx.table->columns() - 1).lastCursorPosition();
    const QTextBlockFormat format = last.blockFormat();
    const QTextCharFormat charFormat = last.blockCharFormat();
    ctx.table->removeRows(ctx.usedRows, ctx.table->rows() - ctx.usedRows);
    if (!last.isNull()) {
        last.setBlockFormat(format);
        last.setBlockCharFormat(charFormat);
    }
}

void RtfDocumentBuilder::setColumnWidths(TableContext &ctx, bool nestedDefinition)
{
    // An inner table's definition comes after its cells, in \nesttableprops;
    // what is current while its cells are read is the outer row's.
    if (!ctx.table || (m_tables.size() != 1 && !nestedDefinition))
        return;
    if (ctx.grid.empty()) {
        int left = 0;
        for (const CellDef &def : m_row.cells) {
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

void RtfDocumentBuilder::mapRow(TableContext &ctx)
{
    ctx.mappedRow = ctx.row;
    ctx.cellStart.clear();
    ctx.cellSpan.clear();
    if (!ctx.table || m_tables.size() != 1 || m_row.cells.empty() || ctx.grid.empty())
        return;
    const size_t columnsBefore = ctx.grid.size();
    for (const CellDef &def : m_row.cells) {
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
    // Setting the widths makes Qt rebuild the table's grid: only when they change.
    if ((!ctx.widthsSet || ctx.grid.size() != columnsBefore) && static_cast<int>(ctx.grid.size()) == ctx.table->columns())
        setColumnWidths(ctx);
    int left = 0;
    for (const CellDef &def : m_row.cells) {
        const int first = static_cast<int>(std::upper_bound(ctx.grid.begin(), ctx.grid.end(), left) - ctx.grid.begin());
        const int last = static_cast<int>(std::lower_bound(ctx.grid.begin(), ctx.grid.end(), def.right) - ctx.grid.begin());
        ctx.cellStart.push_back(std::min(first, kMaxTableColumns - 1));
        ctx.cellSpan.push_back(std::max(1, last - first + 1));
        left = std::max(left, def.right);
    }
}

int RtfDocumentBuilder::columnFor(const TableContext &ctx, int cell) const
{
    const int known = static_cast<int>(ctx.cellStart.size());
    if (cell < known)
        return ctx.cellStart[cell];
    // Cells beyond the row's definition take the columns after it.
    const int next = known == 0 ? 0 : ctx.cellStart.back() + ctx.cellSpan.back();
    return std::min(next + (cell - known), kMaxTableColumns - 1);
}

void RtfDocumentBuilder::applyCellDef(TableContext &ctx)
{
    if (!ctx.table || m_tables.size() != 1 || ctx.col >= static_cast<int>(m_row.cells.size()))
        return;
    applyDefToCell(ctx, ctx.row, ctx.col, m_row.cells[ctx.col]);
}

void RtfDocumentBuilder::applyDefToCell(TableContext &ctx, int row, int cellIndex, const CellDef &def)
{
    if (!ctx.table)
        return;
    const int col = columnFor(ctx, cellIndex);
    if (def.merge != 0)
        ctx.merges.push_back({row, col, def.merge});
    const QColor shading = m_dest.colour(def.shading);
    if ((!def.hasBorder() || (ctx.uniform && sameLines(def, *ctx.uniform))) && !shading.isValid())
        return;
    QTextTableCell cell = ctx.table->cellAt(std::min(row, ctx.table->rows() - 1), std::min(col, ctx.table->columns() - 1));
    if (!cell.isValid())
        return;
    const QTextCharFormat base = cell.format();
    // Rows mostly repeat the one before: its cells' formats are built once.
    if (static_cast<int>(ctx.cellFormats.size()) <= cellIndex)
        ctx.cellFormats.resize(static_cast<size_t>(cellIndex) + 1);
    TableContext::CellFormat &cached = ctx.cellFormats[static_cast<size_t>(cellIndex)];
    if (cached.generation == m_dest.formatGeneration() && cached.def == def && cached.base == base) {
        cell.setFormat(cached.format);
        return;
    }
    QTextTableCellFormat fmt = base.toTableCellFormat();
    cached = {def, base, QTextCharFormat(), m_dest.formatGeneration()};
    if (shading.isValid())
        fmt.setBackground(shading);
    if (!def.hasBorder()) {
        cached.format = fmt;
        cell.setFormat(fmt);
        return;
    }
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
    if (const QColor c = m_dest.colour(def.colour[0]); c.isValid())
        fmt.setTopBorderBrush(c);
    if (const QColor c = m_dest.colour(def.colour[1]); c.isValid())
        fmt.setLeftBorderBrush(c);
    if (const QColor c = m_dest.colour(def.colour[2]); c.isValid())
        fmt.setBottomBorderBrush(c);
    if (const QColor c = m_dest.colour(def.colour[3]); c.isValid())
        fmt.setRightBorderBrush(c);
    fmt.setProperty(CellBorderTwips, QVariant::fromValue(QList<int>{def.border[0], def.border[1], def.border[2], def.border[3]}));
    cached.format = fmt;
    cell.setFormat(fmt);
}

void RtfDocumentBuilder::applyMerges(TableContext &ctx)
{
    if (!ctx.table || ctx.merges.empty())
        return;
    const std::vector<MergeMark> marks = std::move(ctx.merges);
    ctx.merges.clear();
    QHash<qint64, quint8> flags;
    flags.reserve(static_cast<qsizetype>(marks.size()));
    for (const MergeMark &m : marks)
        flags.insert(qint64(m.row) << 32 | quint32(m.col), m.merge);
    auto flagsAt = [&](int row, int col) -> quint8 { return flags.value(qint64(row) << 32 | quint32(col)); };
    QTextTable *table = ctx.table;
    for (const MergeMark &m : marks) {
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

void RtfDocumentBuilder::applyParagraphFormat(const ParaProps &para)
{
    const ListShape shape = m_dest.listShapeFor(para);
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
    applyBlockDecoration(para, bf);
    // A new paragraph has the plain format already; Qt does much work to set it again.
    m_cursor.setBlockFormat(bf);

    if (shape.kind == ListKind::Continue)
        return;
    if (shape.kind == ListKind::None) {
        resetLists();
        return;
    }
    OpenList &slot = m_openLists[shape.level];
    // An \ls list numbers on across the paragraphs between its items, and
    // each level starts again after an item of a level above it.
    int itemsBefore = 0;
    if (shape.ls > 0) {
        std::array<int, 9> &items = m_lsItems[shape.ls];
        itemsBefore = items[static_cast<size_t>(shape.level)]++;
        std::fill(items.begin() + shape.level + 1, items.end(), 0);
    }
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
        }
        // A bullet's start shows nothing; it only counts the items before it.
        setListStart(lf, (shape.kind == ListKind::Numbered ? shape.start : 1) + itemsBefore);
        slot.list = m_cursor.createList(lf);
        slot.key = shape.key;
    }
    for (int lvl = shape.level + 1; lvl < static_cast<int>(m_openLists.size()); ++lvl)
        m_openLists[lvl] = OpenList();
}

void RtfDocumentBuilder::resetLists()
{
    // Called for every cell and paragraph: nothing to do is the common case.
    if (std::any_of(m_openLists.begin(), m_openLists.end(), [](const OpenList &l) { return !l.key.isEmpty(); }))
        m_openLists.fill(OpenList());
}

void RtfDocumentBuilder::applyBlockDecoration(const ParaProps &para, QTextBlockFormat &bf)
{
    if (para.pageBreakBefore || m_pendingPageBreak || m_pendingSection >= SectionNewPage)
        bf.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
    if (m_pendingSection > 0)
        bf.setProperty(SectionBreakBefore, m_pendingSection);
    m_pendingPageBreak = false;
    m_pendingSection = 0;
    if (const QColor shading = m_dest.colour(para.shading); shading.isValid())
        bf.setBackground(shading);
    if (std::any_of(para.border.begin(), para.border.end(), [](const BorderLine &b) { return b.width >= 0; })) {
        QList<int> borders;
        for (const BorderLine &b : para.border) {
            const QColor c = m_dest.colour(b.colour);
            borders << b.width << b.style << (c.isValid() ? int(c.rgb() & 0xFFFFFF) : -1);
        }
        bf.setProperty(ParagraphBorders, QVariant::fromValue(borders));
    }
    if (!para.tabs.isEmpty()) {
        static constexpr QTextOption::TabType types[] = {QTextOption::LeftTab, QTextOption::CenterTab, QTextOption::RightTab,
                                                         QTextOption::DelimiterTab};
        QList<QTextOption::Tab> tabs;
        QList<int> leaders;
        bool anyLeader = false;
        for (const TabStop &t : para.tabs) {
            // Notes are written in Portuguese: numbers line up on the comma.
            tabs << QTextOption::Tab(t.position / kTwipsPerPixel, types[std::min<int>(t.align, 3)],
                                     t.align == 3 ? QChar(u',') : QChar());
            leaders << t.leader;
            anyLeader = anyLeader || t.leader != 0;
        }
        bf.setTabPositions(tabs);
        if (anyLeader)
            bf.setProperty(TabLeaders, QVariant::fromValue(leaders));
    }
}

void RtfDocumentBuilder::pageBreak(const GroupState &st, int sectionKind)
{
    commitPending(st);
    // The break ends the paragraph it stands in; the next one starts the page.
    if (m_blockHasContent && !m_needNewBlock)
        endParagraph(st);
    if (sectionKind > 0)
        m_pendingSection = sectionKind;
    else
        m_pendingPageBreak = true;
}

void RtfDocumentBuilder::setSectionKind(int kind)
{
    if (m_pendingSection > 0)
        m_pendingSection = kind;
}

void RtfDocumentBuilder::insertNoteObject(const GroupState &st, const std::optional<CharProps> &props, int type,
                                          std::initializer_list<std::pair<int, QVariant>> properties)
{
    ensureContext(st);
    // Only a document that will be shown needs its notes drawn; laying out
    // text is no business of the server threads that read notes' text.
    if (m_drawNotes && type != HiddenTextObject)
        NoteMarker::install(m_doc);
    QTextCharFormat fmt = props ? charFormatFor(*props) : QTextCharFormat();
    fmt.setObjectType(type);
    for (const auto &[property, value] : properties) {
        if (value.isValid())
            fmt.setProperty(property, value);
    }
    m_cursor.insertText(QString(QChar::ObjectReplacementCharacter), fmt);
    m_blockHasContent = true;
}

bool RtfDocumentBuilder::beginTextBox(const GroupState &st, QSize twips)
{
    if (static_cast<int>(m_saved.size()) >= kMaxTextBoxDepth)
        return false;
    commitPending(st);
    // The box goes where the text stands: after the paragraph that just ended,
    // or inside the one being read, which it splits.
    ensureContext(st, false);
    QTextFrameFormat fmt;
    fmt.setBorder(1);
    fmt.setBorderBrush(QColor(0x80, 0x80, 0x80));
    fmt.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
    fmt.setPadding(4);
    fmt.setMargin(2);
    if (twips.width() > 0)
        fmt.setWidth(QTextLength(QTextLength::FixedLength, std::min(twips.width(), 20 * kMaxIndentTwips) / kTwipsPerPixel));
    fmt.setProperty(TextBoxFrame, true);
    if (!twips.isEmpty())
        fmt.setProperty(TextBoxTwips, twips);
    SavedContext saved;
    saved.cursor = m_cursor;
    saved.tables = std::move(m_tables);
    saved.row = std::move(m_row);
    saved.outerRow = std::move(m_outerRow);
    saved.lists = m_openLists;
    saved.overflowLevel = std::exchange(m_overflowLevel, 0);
    m_tables.clear();
    m_row = RowDefinition();
    m_outerRow = RowDefinition();
    saved.box = m_cursor.insertFrame(fmt);
    m_cursor = saved.box->firstCursorPosition();
    m_saved.push_back(std::move(saved));
    m_needNewBlock = false;
    m_blockHasContent = false;
    resetLists();
    return true;
}

void RtfDocumentBuilder::endTextBox(const GroupState &closing)
{
    if (m_saved.empty())
        return;
    commitPending(closing);
    if (m_blockHasContent && !m_needNewBlock)
        applyParagraphFormat(closing.para);
    while (!m_tables.empty())
        closeTable();
    SavedContext saved = std::move(m_saved.back());
    m_saved.pop_back();
    m_tables = std::move(saved.tables);
    m_row = std::move(saved.row);
    m_outerRow = std::move(saved.outerRow);
    m_openLists = saved.lists;
    m_overflowLevel = saved.overflowLevel;
    // The text after the box goes on in the paragraph after it.
    if (saved.box) {
        m_cursor = saved.box->lastCursorPosition();
        m_cursor.movePosition(QTextCursor::NextBlock);
    } else {
        m_cursor = saved.cursor;
    }
    m_needNewBlock = false;
    m_blockHasContent = !m_cursor.block().text().isEmpty();
}

void RtfDocumentBuilder::insertImage(const GroupState &st, const QImage &image, int widthPx, int heightPx,
                                     const RtfPicture *original)
{
    commitPending(st);
    ensureContext(st);
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

void RtfDocumentBuilder::beginNestedRowDefinition()
{
    const int side = m_row.borderSide;
    m_outerRow = std::move(m_row);
    m_row = RowDefinition();
    m_row.borderSide = side;
}

void RtfDocumentBuilder::endNestedRowDefinition()
{
    m_row = std::move(m_outerRow);
    m_outerRow = RowDefinition();
    m_row.borderSide = -1;
}

} // namespace kmp::rtf::detail
