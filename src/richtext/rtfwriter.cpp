#include "rtfwriter.h"

#include "codepage.h"
#include "liststart.h"
#include "noteobjects.h"
#include "pictureformat.h"
#include "rtfwriterlists.h"
#include "tableformat.h"
#include "textformat.h"

#include <QBuffer>
#include <QImage>
#include <QPixmap>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextList>
#include <QTextTable>
#include <QUrl>

#include <array>
#include <cctype>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

namespace kmp::rtf {

namespace {

constexpr double kTwipsPerPixel = 15.0;
constexpr int kTableWidthTwips = 9360;
constexpr int kMaxTableDepth = 8; // as deep as the reader keeps tables // 6.5 inches: a letter page inside its margins

int twips(qreal pixels)
{
    return static_cast<int>(std::lround(pixels * kTwipsPerPixel));
}

struct RunProps
{
    int font = 0;
    int size = 24;
    int fg = 0;
    int bg = 0;
    int vertical = 0;
    int underline = 0; // UnderlineKind
    int strike = 0;    // 0 none, 1 single, 2 double
    int caps = 0;      // 0 none, 1 all capitals, 2 small capitals
    int expand = 0;    // letter spacing in twips
    bool bold = false;
    bool italic = false;
    bool outline = false;
    bool shadow = false;
    bool operator==(const RunProps &) const = default;
};

// The \brdr words of a border line: style, width and colour.
QByteArray borderWords(QTextFrameFormat::BorderStyle style, int width, int colour)
{
    QByteArray out;
    switch (style) {
    case QTextFrameFormat::BorderStyle_Double: out = "\\brdrdb"; break;
    case QTextFrameFormat::BorderStyle_Dotted: out = "\\brdrdot"; break;
    case QTextFrameFormat::BorderStyle_Dashed: out = "\\brdrdash"; break;
    case QTextFrameFormat::BorderStyle_Outset: out = "\\brdroutset"; break;
    case QTextFrameFormat::BorderStyle_Inset: out = "\\brdrinset"; break;
    case QTextFrameFormat::BorderStyle_Groove: out = "\\brdrengrave"; break;
    case QTextFrameFormat::BorderStyle_Ridge: out = "\\brdremboss"; break;
    default: out = "\\brdrs"; break;
    }
    out += "\\brdrw" + QByteArray::number(width);
    if (colour > 0)
        out += "\\brdrcf" + QByteArray::number(colour);
    return out;
}

QString alphabetic(int n, char16_t first)
{
    QString out;
    while (n > 0) {
        --n;
        out.prepend(QChar(char16_t(first + n % 26)));
        n /= 26;
    }
    return out;
}

QString roman(int n, bool upper)
{
    static const std::pair<int, const char *> parts[] = {{1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"},
                                                         {90, "xc"},  {50, "l"},   {40, "xl"}, {10, "x"},   {9, "ix"},
                                                         {5, "v"},    {4, "iv"},   {1, "i"}};
    QString out;
    for (const auto &[value, letters] : parts) {
        while (n >= value) {
            out += QLatin1String(letters);
            n -= value;
        }
    }
    return upper ? out.toUpper() : out;
}

// An item's number in the list's style, as Qt shows it; numbers that style
// cannot show (zero and below, or Roman past 4999) are written as digits.
QString numberText(QTextListFormat::Style style, int n)
{
    if (n > 0) {
        switch (style) {
        case QTextListFormat::ListLowerAlpha: return alphabetic(n, u'a');
        case QTextListFormat::ListUpperAlpha: return alphabetic(n, u'A');
        case QTextListFormat::ListLowerRoman:
        case QTextListFormat::ListUpperRoman:
            if (n < 5000)
                return roman(n, style == QTextListFormat::ListUpperRoman);
            break;
        default: break;
        }
    }
    return QString::number(n);
}

struct FontEntry
{
    QString name;
    int charset = 0;
};

class RtfWriter
{
public:
    explicit RtfWriter(const QTextDocument *doc);
    QByteArray write();

private:
    void writeFrame(QTextFrame *frame, bool inTable);
    void writeTable(QTextTable *table);
    void writeCell(const QTextTableCell &cell, int level);
    void writeNestedTable(QTextTable *table, int level);
    QByteArray rowDefinition(QTextTable *table, int row, const std::vector<int> &right);
    void writeBlock(const QTextBlock &block, int level, const char *end);
    void writeListMarker(const QTextBlock &block, QTextList *list, QByteArray &props);
    int runStart(const QTextBlock &block, QTextList *list, int start);
    void writeFragment(const QTextFragment &fragment);
    void writeRunText(const QString &text, const QTextCharFormat &fmt);
    void writeNoteObject(const QTextCharFormat &fmt);
    void writeTextBox(QTextFrame *box);
    QByteArray paragraphDecoration(const QTextBlockFormat &bf);
    int revisionAuthor(const QString &name);
    void switchTo(const RunProps &props);
    void writeImage(const QTextImageFormat &fmt);
    void writePicture(const QByteArray &words, const QByteArray &data);
    void escape(QStringView text, QByteArray &out) const;
    RunProps propsFor(const QTextCharFormat &fmt);
    int fontIndex(const QString &family, int charset = 0);
    int colorIndex(const QColor &color);

    const QTextDocument *m_doc;
    QByteArray m_out;
    std::vector<FontEntry> m_fonts;
    std::vector<QColor> m_colors; // index 0 is "automatic" and never written
    RunProps m_cur;
    const QTextList *m_runList = nullptr;
    int m_runStartNumber = 1;
    detail::WriterLists m_lists;
    QStringList m_revAuthors{QStringLiteral("Unknown")};
    QByteArray m_pageTexts;    // headers and footers, written before the text
    QByteArray m_pendingBoxes; // text boxes, written at the start of the next paragraph
    QString m_defaultFamily;
    double m_defaultSize = 12.0;
    bool m_defaultBold = false;
    bool m_defaultItalic = false;
};

RtfWriter::RtfWriter(const QTextDocument *doc) : m_doc(doc)
{
    const QFont font = doc->defaultFont();
    m_defaultFamily = font.family();
    if (font.pointSizeF() > 0)
        m_defaultSize = font.pointSizeF();
    else if (font.pixelSize() > 0)
        m_defaultSize = font.pixelSize() * 0.75;
    m_defaultBold = font.weight() >= QFont::DemiBold;
    m_defaultItalic = font.italic();
    m_colors.emplace_back();
    fontIndex(m_defaultFamily);
    // The reader starts every note at \deff0 and 12 points; say what differs.
    m_cur.font = 0;
    m_cur.size = 24;
}

QByteArray RtfWriter::write()
{
    m_out.reserve(m_doc->characterCount() * 2 + 256);
    writeFrame(m_doc->rootFrame(), false);

    QByteArray head = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\nouicompat\\deflang1046{\\fonttbl";
    for (size_t i = 0; i < m_fonts.size(); ++i) {
        head += "{\\f" + QByteArray::number(qsizetype(i)) + "\\fnil\\fcharset" + QByteArray::number(m_fonts[i].charset) + ' ';
        escape(m_fonts[i].name, head);
        head += ";}";
    }
    head += "}\r\n";
    if (m_colors.size() > 1) {
        head += "{\\colortbl ;";
        for (size_t i = 1; i < m_colors.size(); ++i) {
            const QColor &c = m_colors[i];
            head += "\\red" + QByteArray::number(c.red()) + "\\green" + QByteArray::number(c.green()) + "\\blue"
                    + QByteArray::number(c.blue()) + ';';
        }
        head += "}\r\n";
    }
    head += m_lists.tables();
    if (m_revAuthors.size() > 1) {
        head += "{\\*\\revtbl ";
        for (const QString &author : m_revAuthors) {
            head += '{';
            escape(QString(author).remove(QLatin1Char(';')), head);
            head += ";}";
        }
        head += "}\r\n";
    }
    head += "{\\*\\generator kmp-richtext;}\\viewkind4\\uc1 \r\n";
    return head + m_pageTexts + m_out + "}\r\n";
}

void RtfWriter::writeFrame(QTextFrame *frame, bool inTable)
{
    for (auto it = frame->begin(); !it.atEnd(); ++it) {
        if (QTextFrame *child = it.currentFrame()) {
            auto *table = qobject_cast<QTextTable *>(child);
            if (table && !inTable)
                writeTable(table);
            else if (table)
                for (int r = 0; r < table->rows(); ++r)
                    for (int c = 0; c < table->columns(); ++c) {
                        // Tables inside tables keep their text as paragraphs of
                        // the outer cell, in reading order.
                        const QTextTableCell cell = table->cellAt(r, c);
                        if (cell.row() != r || cell.column() != c)
                            continue;
                        for (auto cit = cell.begin(); !cit.atEnd(); ++cit) {
                            if (cit.currentBlock().isValid())
                                writeBlock(cit.currentBlock(), 1, "\\par\r\n");
                        }
                    }
            else if (child->format().boolProperty(TextBoxFrame))
                writeTextBox(child);
            else
                writeFrame(child, inTable);
        } else if (it.currentBlock().isValid()) {
            writeBlock(it.currentBlock(), inTable ? 1 : 0, "\\par\r\n");
        }
    }
}

// The right boundary of every column, in twips: the widths the table was read
// with or given; for a table given none (one pasted from a web page, sized to its
// contents), the widths its columns are laid out with, so that it comes back as it
// was shown rather than spread over the page; else equal parts of the page.
std::vector<int> columnBoundaries(const QTextTable *table, int cols)
{
    std::vector<int> right(static_cast<size_t>(cols));
    const QList<QTextLength> widths = table->format().columnWidthConstraints();
    bool fixed = widths.size() >= cols;
    for (int c = 0; fixed && c < cols; ++c)
        fixed = widths.at(c).type() == QTextLength::FixedLength && widths.at(c).rawValue() > 0;
    const QList<qreal> laid = laidOutColumnWidths(table);
    int at = 0;
    for (int c = 0; c < cols; ++c) {
        if (fixed)
            at += std::max(1, twips(widths.at(c).rawValue()));
        else if (laid.size() == cols)
            at += std::max(1, twips(laid.at(c)));
        else if (widths.size() >= cols && widths.at(c).type() == QTextLength::PercentageLength)
            at += std::max(1, static_cast<int>(std::lround(kTableWidthTwips * widths.at(c).rawValue() / 100.0)));
        else
            at += kTableWidthTwips / cols;
        right[static_cast<size_t>(c)] = at;
    }
    return right;
}

// A cell's borders as \clbrdr words: those it was read with or given; for a
// table of our own with lines, those lines; none for a table whose lines were
// only a screen aid.
QByteArray cellBorders(const QTextTable *table, const QTextTableCell &cell, const std::function<int(const QColor &)> &colourIndex)
{
    static const char *const sides[4] = {"\\clbrdrt", "\\clbrdrl", "\\clbrdrb", "\\clbrdrr"};
    const QTextTableCellFormat fmt = cell.format().toTableCellFormat();
    std::array<int, 4> width{-1, -1, -1, -1};
    std::array<QTextFrameFormat::BorderStyle, 4> style{};
    std::array<int, 4> colour{};
    const bool own = fmt.hasProperty(QTextFormat::TableCellTopBorder) || fmt.hasProperty(QTextFormat::TableCellLeftBorder)
                     || fmt.hasProperty(QTextFormat::TableCellBottomBorder) || fmt.hasProperty(QTextFormat::TableCellRightBorder);
    if (own) {
        const qreal px[4] = {fmt.topBorder(), fmt.leftBorder(), fmt.bottomBorder(), fmt.rightBorder()};
        const QTextFrameFormat::BorderStyle st[4] = {fmt.topBorderStyle(), fmt.leftBorderStyle(), fmt.bottomBorderStyle(),
                                                     fmt.rightBorderStyle()};
        const QTextFormat::Property brushes[4] = {QTextFormat::TableCellTopBorderBrush, QTextFormat::TableCellLeftBorderBrush,
                                                  QTextFormat::TableCellBottomBorderBrush,
                                                  QTextFormat::TableCellRightBorderBrush};
        const QList<int> read = fmt.property(CellBorderTwips).value<QList<int>>();
        for (int i = 0; i < 4; ++i) {
            if (px[i] <= 0 || st[i] == QTextFrameFormat::BorderStyle_None)
                continue;
            // Whole pixels lose thin borders: keep the width read when it still fits.
            const int t =
                read.size() == 4 && read.at(i) > 0 && std::abs(read.at(i) / 15.0 - px[i]) < 1.0 ? read.at(i) : twips(px[i]);
            width[static_cast<size_t>(i)] = t;
            style[static_cast<size_t>(i)] = st[i];
            const QBrush brush = fmt.brushProperty(brushes[i]);
            if (fmt.hasProperty(brushes[i]) && brush.style() != Qt::NoBrush)
                colour[static_cast<size_t>(i)] = colourIndex(brush.color());
        }
    } else {
        const QTextTableFormat tf = table->format();
        if (tf.border() <= 0 || tf.borderStyle() == QTextFrameFormat::BorderStyle_None || tf.boolProperty(TableScreenGrid))
            return {};
        width.fill(std::max(1, twips(tf.border())));
        style.fill(tf.borderStyle());
        // Lines read for every cell keep their width in twips and their colour
        // while the table still draws them.
        const QList<int> read = tf.property(TableCellBorders).value<QList<int>>();
        if (read.size() == 3 && read.at(0) > 0 && std::abs(read.at(0) / 15.0 - tf.border()) < 1.0) {
            width.fill(read.at(0));
            if (read.at(2) >= 0)
                colour.fill(colourIndex(QColor::fromRgb(QRgb(read.at(2)) | 0xFF000000u)));
        }
    }
    QByteArray out;
    for (int i = 0; i < 4; ++i) {
        if (width[static_cast<size_t>(i)] < 0)
            continue;
        out += sides[i];
        out += borderWords(style[static_cast<size_t>(i)], width[static_cast<size_t>(i)], colour[static_cast<size_t>(i)]);
    }
    return out;
}

QByteArray RtfWriter::rowDefinition(QTextTable *table, int r, const std::vector<int> &right)
{
    QByteArray def = "\\trowd\\trgaph108";
    // One cell per column, merged ones marked as such, which is how every
    // writer of this format reads merges back.
    for (int c = 0; c < static_cast<int>(right.size()); ++c) {
        const QTextTableCell cell = table->cellAt(r, c);
        if (cell.row() != r)
            def += "\\clvmrg";
        else if (cell.rowSpan() > 1 && cell.column() == c)
            def += "\\clvmgf";
        if (cell.column() != c)
            def += "\\clmrg";
        else if (cell.columnSpan() > 1)
            def += "\\clmgf";
        def += cellBorders(table, cell, [this](const QColor &c) { return colorIndex(c); });
        const QTextTableCellFormat cf = cell.format().toTableCellFormat();
        if (cf.hasProperty(QTextFormat::BackgroundBrush) && cf.background().style() != Qt::NoBrush)
            def += "\\clcbpat" + QByteArray::number(colorIndex(cf.background().color()));
        def += "\\cellx" + QByteArray::number(right[static_cast<size_t>(c)]);
    }
    return def;
}

void RtfWriter::writeTable(QTextTable *table)
{
    const int cols = std::max(1, table->columns());
    const std::vector<int> right = columnBoundaries(table, cols);
    for (int r = 0; r < table->rows(); ++r) {
        m_out += rowDefinition(table, r, right);
        m_out += "\r\n";
        for (int c = 0; c < cols; ++c) {
            const QTextTableCell cell = table->cellAt(r, c);
            if (cell.row() != r || cell.column() != c)
                m_out += "\\pard\\intbl\\cell\r\n";
            else
                writeCell(cell, 1);
        }
        m_out += "\\row\r\n";
    }
}

// A table inside a cell: its paragraphs carry their depth (\itapN), its
// cells and rows end with \nestcell and \nestrow, and its row definition
// comes after the cells, as Word writes them.
void RtfWriter::writeNestedTable(QTextTable *table, int level)
{
    const int cols = std::max(1, table->columns());
    const std::vector<int> right = columnBoundaries(table, cols);
    const QByteArray depth = "\\pard\\intbl\\itap" + QByteArray::number(level);
    for (int r = 0; r < table->rows(); ++r) {
        for (int c = 0; c < cols; ++c) {
            const QTextTableCell cell = table->cellAt(r, c);
            if (cell.row() != r || cell.column() != c)
                m_out += depth + "\\nestcell\r\n";
            else
                writeCell(cell, level);
        }
        m_out += depth + "{\\*\\nesttableprops" + rowDefinition(table, r, right) + "\\nestrow}{\\nonesttables\\par}\r\n";
    }
}

void RtfWriter::writeCell(const QTextTableCell &cell, int level)
{
    // The cell's paragraphs and the tables inside it, in order; the last
    // paragraph ends the cell.
    struct Item
    {
        QTextBlock block;
        QTextTable *table = nullptr;
        QTextFrame *box = nullptr; // written with the paragraph after it, which a frame always has
    };
    std::vector<Item> items;
    for (auto it = cell.begin(); !it.atEnd(); ++it) {
        if (QTextFrame *child = it.currentFrame()) {
            auto *inner = qobject_cast<QTextTable *>(child);
            if (inner && level < kMaxTableDepth) {
                items.push_back({QTextBlock(), inner});
                continue;
            }
            if (!inner && child->format().boolProperty(TextBoxFrame)) {
                items.push_back({QTextBlock(), nullptr, child});
                continue;
            }
            for (QTextBlock b = child->firstCursorPosition().block(); b.isValid() && b.position() <= child->lastPosition();
                 b = b.next())
                items.push_back({b, nullptr});
        } else if (it.currentBlock().isValid()) {
            items.push_back({it.currentBlock(), nullptr});
        }
    }
    const char *cellEnd = level > 1 ? "\\nestcell\r\n" : "\\cell\r\n";
    if (items.empty() || !items.back().block.isValid()) {
        for (const Item &item : items) {
            if (item.table)
                writeNestedTable(item.table, level + 1);
            else if (item.box)
                writeTextBox(item.box);
        }
        m_out += (level > 1 ? "\\pard\\intbl\\itap" + QByteArray::number(level) : QByteArray("\\pard\\intbl")) + cellEnd;
        return;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].table)
            writeNestedTable(items[i].table, level + 1);
        else if (items[i].box)
            writeTextBox(items[i].box);
        else
            writeBlock(items[i].block, level, i + 1 == items.size() ? cellEnd : "\\par\r\n");
    }
}

void RtfWriter::writeBlock(const QTextBlock &block, int level, const char *end)
{
    const QTextBlockFormat bf = block.blockFormat();
    QByteArray props;
    // A new section ends the one before it at this paragraph.
    static const char *const sectionStarts[] = {"\\sbknone", "\\sbkcol", "\\sbkpage", "\\sbkeven", "\\sbkodd"};
    const int section = bf.intProperty(SectionBreakBefore);
    if (section >= SectionContinuous && section <= SectionOddPage && level == 0)
        props += QByteArray("\\sect\\sectd") + sectionStarts[section - SectionContinuous] + "\r\n";
    props += "\\pard";
    if (level > 0)
        props += "\\intbl";
    if (level > 1)
        props += "\\itap" + QByteArray::number(level);
    qreal left = bf.leftMargin() + bf.indent() * m_doc->indentWidth();
    if (QTextList *list = block.textList()) {
        writeListMarker(block, list, props);
        int listLevel = 0;
        const int ls = m_lists.listFor(block, list, &listLevel);
        props += "\\ls" + QByteArray::number(ls) + "\\ilvl" + QByteArray::number(listLevel);
        // Each level of a list indents half an inch more, as other programs have it.
        props += "\\fi-360\\li" + QByteArray::number(720 * (listLevel + 1) + twips(left));
    } else {
        if (left != 0)
            props += "\\li" + QByteArray::number(twips(left));
        if (bf.textIndent() != 0)
            props += "\\fi" + QByteArray::number(twips(bf.textIndent()));
    }
    if (bf.rightMargin() != 0)
        props += "\\ri" + QByteArray::number(twips(bf.rightMargin()));
    if (bf.topMargin() != 0)
        props += "\\sb" + QByteArray::number(twips(bf.topMargin()));
    if (bf.bottomMargin() != 0)
        props += "\\sa" + QByteArray::number(twips(bf.bottomMargin()));
    switch (bf.lineHeightType()) {
    case QTextBlockFormat::ProportionalHeight:
        if (bf.lineHeight() > 0 && bf.lineHeight() != 100)
            props += "\\sl" + QByteArray::number(std::lround(bf.lineHeight() * 240 / 100)) + "\\slmult1";
        break;
    case QTextBlockFormat::MinimumHeight: props += "\\sl" + QByteArray::number(twips(bf.lineHeight())) + "\\slmult0"; break;
    case QTextBlockFormat::FixedHeight: props += "\\sl-" + QByteArray::number(twips(bf.lineHeight())) + "\\slmult0"; break;
    default: break;
    }
    const Qt::Alignment align = bf.alignment() & Qt::AlignHorizontal_Mask;
    if (align & Qt::AlignHCenter)
        props += "\\qc";
    else if (align & Qt::AlignJustify)
        props += "\\qj";
    else if ((align & Qt::AlignRight) && !(align & Qt::AlignAbsolute && bf.layoutDirection() == Qt::RightToLeft))
        props += "\\qr";
    else
        props += "\\ql";
    props += paragraphDecoration(bf);
    m_out += props;
    m_out += ' ';
    m_out += std::exchange(m_pendingBoxes, QByteArray());
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (fragment.isValid())
            writeFragment(fragment);
    }
    m_out += end;
}

int RtfWriter::runStart(const QTextBlock &block, QTextList *list, int start)
{
    // A long list is held as several lists of one look, each numbered on from
    // the one before; they are one list in the note and share its start.
    if (list != m_runList) {
        const QTextBlock previous = block.previous();
        QTextList *before = previous.isValid() ? previous.textList() : nullptr;
        QTextListFormat a = list->format();
        QTextListFormat b = before ? before->format() : QTextListFormat();
        setListStart(a, 1);
        setListStart(b, 1);
        const bool continues = before && before == m_runList && a == b && listStart(before->format()) + before->count() == start;
        if (!continues)
            m_runStartNumber = start;
        m_runList = list;
    }
    return m_runStartNumber;
}

void RtfWriter::writeListMarker(const QTextBlock &block, QTextList *list, QByteArray &props)
{
    const QTextListFormat lf = list->format();
    const QTextListFormat::Style style = lf.style();
    QByteArray marker;
    int font = 0;
    const char *kind = nullptr;
    switch (style) {
    case QTextListFormat::ListCircle:
        font = fontIndex(QStringLiteral("Courier New"));
        marker = "o";
        break;
    case QTextListFormat::ListSquare:
        font = fontIndex(QStringLiteral("Wingdings"), 2);
        marker = "\\'A7";
        break;
    case QTextListFormat::ListLowerAlpha: kind = "\\pnlcltr"; break;
    case QTextListFormat::ListUpperAlpha: kind = "\\pnucltr"; break;
    case QTextListFormat::ListLowerRoman: kind = "\\pnlcrm"; break;
    case QTextListFormat::ListUpperRoman: kind = "\\pnucrm"; break;
    case QTextListFormat::ListDecimal: kind = "\\pndec"; break;
    default:
        font = fontIndex(QStringLiteral("Symbol"), 2);
        marker = "\\'B7";
        break;
    }
    const QByteArray f = QByteArray::number(font);
    if (!kind) {
        // The rich-edit form: the rendered bullet for readers that know no
        // lists, then the list description itself.
        props +=
            "{\\pntext\\f" + f + ' ' + marker + "\\tab}{\\*\\pn\\pnlvlblt\\pnf" + f + "\\pnindent0{\\pntxtb " + marker + "}}";
        return;
    }
    // The number as the item shows it, counted from the list's own start,
    // which Qt before 6.6 keeps but does not show.
    const int start = listStart(lf);
    const QString suffix = lf.hasProperty(QTextFormat::ListNumberSuffix) ? lf.numberSuffix() : QStringLiteral(".");
    QByteArray itemText;
    escape(lf.numberPrefix() + numberText(style, start + list->itemNumber(block)) + suffix, itemText);
    props += "{\\pntext\\f" + f + ' ' + itemText + "\\tab}{\\*\\pn\\pnlvlbody\\pnf" + f + "\\pnindent0\\pnstart"
             + QByteArray::number(runStart(block, list, start)) + kind;
    if (!lf.numberPrefix().isEmpty()) {
        props += "{\\pntxtb ";
        escape(lf.numberPrefix(), props);
        props += '}';
    }
    // An unset suffix shows as "." in Qt, so that is what the note looks like.
    props += "{\\pntxta ";
    escape(suffix, props);
    props += "}}";
}

void RtfWriter::writeFragment(const QTextFragment &fragment)
{
    const QTextCharFormat fmt = fragment.charFormat();
    const QString text = fragment.text();
    if (fmt.isImageFormat()) {
        switchTo(propsFor(fmt));
        for (QChar c : text) {
            if (c == QChar::ObjectReplacementCharacter)
                writeImage(fmt.toImageFormat());
        }
        return;
    }
    const int type = fmt.objectType();
    if (type == HiddenTextObject || type == FootnoteObject || type == DeletedTextObject || type == CommentObject
        || type == PageTextObject) {
        if (type != PageTextObject)
            switchTo(propsFor(fmt));
        for (QChar c : text) {
            if (c == QChar::ObjectReplacementCharacter)
                writeNoteObject(fmt);
        }
        return;
    }
    const QString href = fmt.isAnchor() ? fmt.anchorHref() : QString();
    if (href.isEmpty()) {
        writeRunText(text, fmt);
        return;
    }
    m_out += "{\\field{\\*\\fldinst{HYPERLINK \"";
    // The target is quoted in the field instruction, so its own quotes travel
    // percent-encoded, which every browser reads the same.
    escape(QString(href).replace(QLatin1Char('"'), QLatin1String("%22")), m_out);
    m_out += "\"}}{\\fldrslt{";
    const RunProps outside = m_cur;
    writeRunText(text, fmt);
    m_cur = outside;
    m_out += "}}}";
}

void RtfWriter::writeNoteObject(const QTextCharFormat &fmt)
{
    const auto paragraphs = [this](const QString &text, QByteArray &out) {
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (i > 0)
                out += "\\par ";
            escape(lines.at(i), out);
        }
    };
    switch (fmt.objectType()) {
    case DeletedTextObject: {
        const QString deleted = fmt.stringProperty(DeletedText);
        if (deleted.isEmpty())
            return;
        // Never written as live text: the mark goes with it.
        m_out += "{\\deleted\\revauthdel" + QByteArray::number(revisionAuthor(fmt.stringProperty(RevisionAuthor)));
        if (const int time = fmt.intProperty(RevisionTime); time != 0)
            m_out += "\\revdttmdel" + QByteArray::number(time);
        m_out += ' ';
        escape(deleted, m_out);
        m_out += '}';
        return;
    }
    case CommentObject: {
        const QString initials = fmt.stringProperty(CommentInitials);
        const QString author = fmt.stringProperty(CommentAuthor);
        if (!initials.isEmpty()) {
            m_out += "{\\*\\atnid ";
            escape(initials, m_out);
            m_out += '}';
        }
        if (!author.isEmpty()) {
            m_out += "{\\*\\atnauthor ";
            escape(author, m_out);
            m_out += '}';
        }
        m_out += "\\chatn{\\*\\annotation";
        if (const int time = fmt.intProperty(CommentTime); time != 0)
            m_out += "{\\*\\atndate " + QByteArray::number(quint32(time)) + '}';
        m_out += "\\pard\\plain ";
        paragraphs(fmt.stringProperty(CommentText), m_out);
        m_out += '}';
        return;
    }
    case PageTextObject: {
        // Headers and footers are the section's, before its text.
        QByteArray word = fmt.property(PageTextKind).toByteArray();
        static const QList<QByteArray> known{"header", "headerl", "headerr", "headerf",
                                             "footer", "footerl", "footerr", "footerf"};
        if (!known.contains(word))
            word = "header";
        m_pageTexts += "{\\" + word + "\\pard\\plain ";
        paragraphs(fmt.stringProperty(PageText), m_pageTexts);
        m_pageTexts += "\\par}\r\n";
        return;
    }
    default: break;
    }
    if (fmt.objectType() == HiddenTextObject) {
        const QString hidden = fmt.stringProperty(HiddenText);
        if (hidden.isEmpty())
            return;
        m_out += "{\\v ";
        escape(hidden, m_out);
        m_out += '}';
        return;
    }
    const QString note = fmt.stringProperty(FootnoteText);
    if (note.isEmpty())
        return;
    // The reference mark and the note, each numbered by the reading program;
    // inside the note the run starts from the note's own plain format.
    m_out += fmt.boolProperty(FootnoteIsEndnote) ? "{\\super\\chftn}{\\footnote\\ftnalt\\pard\\plain{\\super\\chftn}"
                                                 : "{\\super\\chftn}{\\footnote\\pard\\plain{\\super\\chftn}";
    paragraphs(note, m_out);
    m_out += '}';
}

void RtfWriter::writeRunText(const QString &text, const QTextCharFormat &fmt)
{
    switchTo(propsFor(fmt));
    if (!fmt.boolProperty(RevisionInserted)) {
        escape(text, m_out);
        return;
    }
    m_out += "{\\revised\\revauth" + QByteArray::number(revisionAuthor(fmt.stringProperty(RevisionAuthor)));
    if (const int time = fmt.intProperty(RevisionTime); time != 0)
        m_out += "\\revdttm" + QByteArray::number(time);
    m_out += ' ';
    escape(text, m_out);
    m_out += '}';
}

int RtfWriter::revisionAuthor(const QString &name)
{
    // Entry 0 stands for an author the note did not name.
    if (name.isEmpty())
        return 0;
    qsizetype at = m_revAuthors.indexOf(name);
    if (at < 0) {
        at = m_revAuthors.size();
        m_revAuthors.append(name);
    }
    return static_cast<int>(at);
}

QByteArray RtfWriter::paragraphDecoration(const QTextBlockFormat &bf)
{
    QByteArray out;
    if ((bf.pageBreakPolicy() & QTextFormat::PageBreak_AlwaysBefore) && bf.intProperty(SectionBreakBefore) < SectionNewPage)
        out += "\\pagebb";
    if (bf.hasProperty(QTextFormat::BackgroundBrush) && bf.background().style() != Qt::NoBrush)
        out += "\\cbpat" + QByteArray::number(colorIndex(bf.background().color()));
    const QList<int> borders = bf.property(ParagraphBorders).value<QList<int>>();
    if (borders.size() == 12) {
        static const char *const sides[] = {"\\brdrt", "\\brdrl", "\\brdrb", "\\brdrr"};
        for (int i = 0; i < 4; ++i) {
            const int width = borders.at(3 * i);
            const int colour = borders.at(3 * i + 2);
            if (width < 0)
                continue;
            out += sides[i];
            out +=
                borderWords(QTextFrameFormat::BorderStyle(std::clamp(borders.at(3 * i + 1), 0, 10)), std::clamp(width, 1, 1440),
                            colour >= 0 ? colorIndex(QColor::fromRgb(QRgb(colour) | 0xFF000000u)) : 0);
        }
    }
    const QList<QTextOption::Tab> tabs = bf.tabPositions();
    const QList<int> leaders = bf.property(TabLeaders).value<QList<int>>();
    static const char *const leaderWords[] = {"", "\\tldot", "\\tlhyph", "\\tlul", "\\tlth", "\\tleq"};
    for (qsizetype i = 0; i < tabs.size(); ++i) {
        const int leader = i < leaders.size() ? leaders.at(i) : 0;
        if (leader > 0 && leader < 6)
            out += leaderWords[leader];
        switch (tabs.at(i).type) {
        case QTextOption::RightTab: out += "\\tqr"; break;
        case QTextOption::CenterTab: out += "\\tqc"; break;
        case QTextOption::DelimiterTab: out += "\\tqdec"; break;
        default: break;
        }
        out += "\\tx" + QByteArray::number(std::clamp(twips(tabs.at(i).position), 0, 31680));
    }
    return out;
}

void RtfWriter::writeTextBox(QTextFrame *box)
{
    // The box's paragraphs are written on their own and go into the
    // paragraph after the box, where the reader puts the box back.
    const RunProps outside = m_cur;
    const QByteArray before = std::exchange(m_pendingBoxes, QByteArray());
    const QByteArray text = std::exchange(m_out, QByteArray());
    writeFrame(box, false);
    QByteArray inner = std::exchange(m_out, text);
    inner += std::exchange(m_pendingBoxes, before);
    m_cur = outside;
    const QTextFrameFormat fmt = box->frameFormat();
    QSize size = fmt.property(TextBoxTwips).toSize();
    if (size.width() <= 0)
        size.setWidth(fmt.width().type() == QTextLength::FixedLength ? std::max(1, twips(fmt.width().rawValue())) : 4320);
    if (size.height() <= 0)
        size.setHeight(720);
    m_pendingBoxes += "{\\shp{\\*\\shpinst\\shpleft0\\shptop0\\shpright" + QByteArray::number(size.width()) + "\\shpbottom"
                      + QByteArray::number(size.height())
                      + "\\shpbxcolumn\\shpbxignore\\shpbypara\\shpbyignore\\shpwr1\\shpwrk0\\shpfblwtxt0\\shpz0"
                        "{\\sp{\\sn shapeType}{\\sv 202}}{\\sp{\\sn fFitShapeToText}{\\sv 1}}{\\shptxt "
                      + inner + "}}}";
}

void RtfWriter::switchTo(const RunProps &p)
{
    const qsizetype before = m_out.size();
    if (p.font != m_cur.font)
        m_out += "\\f" + QByteArray::number(p.font);
    if (p.size != m_cur.size)
        m_out += "\\fs" + QByteArray::number(p.size);
    if (p.bold != m_cur.bold)
        m_out += p.bold ? "\\b" : "\\b0";
    if (p.italic != m_cur.italic)
        m_out += p.italic ? "\\i" : "\\i0";
    if (p.underline != m_cur.underline)
        m_out += QByteArray("\\") + underlineWord(p.underline);
    if (p.strike != m_cur.strike) {
        if (m_cur.strike)
            m_out += m_cur.strike == 2 ? "\\striked0" : "\\strike0";
        if (p.strike)
            m_out += p.strike == 2 ? "\\striked1" : "\\strike";
    }
    if (p.caps != m_cur.caps) {
        if (m_cur.caps)
            m_out += m_cur.caps == 2 ? "\\scaps0" : "\\caps0";
        if (p.caps)
            m_out += p.caps == 2 ? "\\scaps" : "\\caps";
    }
    if (p.outline != m_cur.outline)
        m_out += p.outline ? "\\outl" : "\\outl0";
    if (p.shadow != m_cur.shadow)
        m_out += p.shadow ? "\\shad" : "\\shad0";
    if (p.expand != m_cur.expand) {
        // Quarter points for older readers, then the twips the others prefer.
        m_out += "\\expnd" + QByteArray::number(p.expand / 5) + "\\expndtw" + QByteArray::number(p.expand);
    }
    if (p.vertical != m_cur.vertical)
        m_out += p.vertical == 1 ? "\\super" : (p.vertical == 2 ? "\\sub" : "\\nosupersub");
    if (p.fg != m_cur.fg)
        m_out += "\\cf" + QByteArray::number(p.fg);
    if (p.bg != m_cur.bg)
        m_out += "\\highlight" + QByteArray::number(p.bg);
    if (m_out.size() != before)
        m_out += ' ';
    m_cur = p;
}

// Only control words may stand before a picture's data: anything else in a
// stored header would end up in the note as text.
bool isControlWords(const QByteArray &words)
{
    for (qsizetype i = 0; i < words.size();) {
        if (words.at(i) != '\\')
            return false;
        ++i;
        const qsizetype letters = i;
        while (i < words.size() && std::isalpha(static_cast<unsigned char>(words.at(i))))
            ++i;
        if (i == letters)
            return false;
        if (i < words.size() && words.at(i) == '-')
            ++i;
        while (i < words.size() && std::isdigit(static_cast<unsigned char>(words.at(i))))
            ++i;
    }
    return true;
}

void RtfWriter::writeImage(const QTextImageFormat &fmt)
{
    const int shownW = fmt.width() > 0 ? static_cast<int>(std::lround(fmt.width())) : -1;
    const int shownH = fmt.height() > 0 ? static_cast<int>(std::lround(fmt.height())) : -1;
    auto goals = [](int w, int h) {
        return "\\picwgoal" + QByteArray::number(w * 15) + "\\pichgoal" + QByteArray::number(h * 15);
    };
    // A picture read from a note goes back with its own bytes and kind, so a
    // metafile stays a metafile and a JPEG a JPEG, whatever is shown of it.
    const QByteArray original = fmt.property(PictureData).toByteArray();
    const QByteArray header = fmt.property(PictureHeader).toByteArray();
    if (!original.isEmpty() && !header.isEmpty() && isControlWords(header)) {
        QByteArray sizing = fmt.property(PictureSizing).toByteArray();
        const QSize shown = fmt.property(PictureShownSize).toSize();
        if (!isControlWords(sizing) || (shownW > 0 && shownH > 0 && shown != QSize(shownW, shownH)))
            sizing = shownW > 0 && shownH > 0 ? goals(shownW, shownH) : QByteArray();
        writePicture(header + sizing, original);
        return;
    }
    const QVariant resource = m_doc->resource(QTextDocument::ImageResource, QUrl(fmt.name()));
    QImage image;
    if (resource.typeId() == QMetaType::QImage)
        image = resource.value<QImage>();
    else if (resource.typeId() == QMetaType::QPixmap)
        image = resource.value<QPixmap>().toImage();
    else if (resource.typeId() == QMetaType::QByteArray)
        image = QImage::fromData(resource.toByteArray());
    if (image.isNull())
        return;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        return;
    const int w = shownW > 0 ? shownW : image.width();
    const int h = shownH > 0 ? shownH : image.height();
    writePicture(
        "\\pngblip\\picw" + QByteArray::number(image.width()) + "\\pich" + QByteArray::number(image.height()) + goals(w, h), png);
}

void RtfWriter::writePicture(const QByteArray &words, const QByteArray &data)
{
    m_out += "{\\pict" + words + "\r\n";
    const QByteArray hex = data.toHex();
    m_out.reserve(m_out.size() + hex.size() + hex.size() / 64 + 8);
    for (qsizetype i = 0; i < hex.size(); i += 128) {
        m_out.append(hex.constData() + i, std::min<qsizetype>(128, hex.size() - i));
        m_out += "\r\n";
    }
    m_out += '}';
}

void RtfWriter::escape(QStringView text, QByteArray &out) const
{
    detail::appendRtfText(text, out);
}

RunProps RtfWriter::propsFor(const QTextCharFormat &fmt)
{
    RunProps p;
    QString family;
    if (fmt.hasProperty(QTextFormat::FontFamilies))
        family = fmt.fontFamilies().toStringList().value(0);
    if (family.isEmpty() && fmt.hasProperty(QTextFormat::FontFamily))
        family = fmt.stringProperty(QTextFormat::FontFamily);
    p.font = family.isEmpty() ? 0 : fontIndex(family);
    double size = m_defaultSize;
    if (fmt.hasProperty(QTextFormat::FontPointSize) && fmt.fontPointSize() > 0)
        size = fmt.fontPointSize();
    else if (fmt.hasProperty(QTextFormat::FontPixelSize) && fmt.intProperty(QTextFormat::FontPixelSize) > 0)
        size = fmt.intProperty(QTextFormat::FontPixelSize) * 0.75;
    p.size = std::clamp(static_cast<int>(std::lround(size * 2)), 2, 3276);
    p.bold = fmt.hasProperty(QTextFormat::FontWeight) ? fmt.fontWeight() >= QFont::DemiBold : m_defaultBold;
    p.italic = fmt.hasProperty(QTextFormat::FontItalic) ? fmt.fontItalic() : m_defaultItalic;
    p.underline = underlineKindOf(fmt);
    if (fmt.fontStrikeOut())
        p.strike = fmt.boolProperty(CharDoubleStrike) ? 2 : 1;
    if (fmt.hasProperty(QTextFormat::FontCapitalization)) {
        const QFont::Capitalization caps = fmt.fontCapitalization();
        p.caps = caps == QFont::AllUppercase ? 1 : (caps == QFont::SmallCaps ? 2 : 0);
    }
    p.outline = fmt.boolProperty(CharOutline);
    p.shadow = fmt.boolProperty(CharShadow);
    if (fmt.hasProperty(QTextFormat::FontLetterSpacing) && fmt.fontLetterSpacingType() == QFont::AbsoluteSpacing)
        p.expand = std::clamp(twips(fmt.fontLetterSpacing()), -2000, 2000);
    if (fmt.verticalAlignment() == QTextCharFormat::AlignSuperScript)
        p.vertical = 1;
    else if (fmt.verticalAlignment() == QTextCharFormat::AlignSubScript)
        p.vertical = 2;
    if (fmt.boolProperty(RevisionInserted)) {
        // The mark of a tracked insertion is only on screen: store the run as it was.
        p.underline = std::clamp(fmt.intProperty(RevisionOwnUnderline), 0, UnderlineKindCount - 1);
        if (fmt.hasProperty(RevisionOwnForeground))
            p.fg = colorIndex(fmt.colorProperty(RevisionOwnForeground));
    } else if (fmt.hasProperty(QTextFormat::ForegroundBrush) && fmt.foreground().style() != Qt::NoBrush) {
        p.fg = colorIndex(fmt.foreground().color());
    }
    if (fmt.hasProperty(QTextFormat::BackgroundBrush) && fmt.background().style() != Qt::NoBrush)
        p.bg = colorIndex(fmt.background().color());
    return p;
}

int RtfWriter::fontIndex(const QString &family, int charset)
{
    for (size_t i = 0; i < m_fonts.size(); ++i) {
        if (m_fonts[i].name == family)
            return static_cast<int>(i);
    }
    m_fonts.push_back({family, charset});
    return static_cast<int>(m_fonts.size() - 1);
}

int RtfWriter::colorIndex(const QColor &color)
{
    const QRgb rgb = color.rgb();
    for (size_t i = 1; i < m_colors.size(); ++i) {
        if (m_colors[i].rgb() == rgb)
            return static_cast<int>(i);
    }
    m_colors.emplace_back(QColor::fromRgb(rgb));
    return static_cast<int>(m_colors.size() - 1);
}

} // namespace

QByteArray write(const QTextDocument *doc)
{
    if (!doc)
        return QByteArray("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}}}\r\n");
    return RtfWriter(doc).write();
}

} // namespace kmp::rtf
