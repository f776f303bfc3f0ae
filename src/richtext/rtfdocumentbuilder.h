#pragma once

#include "rtfgroupstate.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextList>
#include <QTextTable>

#include <array>
#include <vector>

class QImage;
class QTextDocument;

namespace kmp::rtf::detail {

class RtfDestinations;
struct RtfPicture;

// A cell as the row definition (\trowd ... \cellx) describes it.
struct CellDef
{
    enum Merge : quint8 { FirstAcross = 1, ContinuesAcross = 2, FirstDown = 4, ContinuesDown = 8 };
    int right = 0; // right boundary, twips from the row's left edge
    quint8 merge = 0;
    std::array<int, 4> border{-1, -1, -1, -1}; // top, left, bottom, right width in twips; -1 none
    std::array<quint8, 4> style{};             // QTextFrameFormat::BorderStyle of each
    bool hasBorder() const { return border[0] >= 0 || border[1] >= 0 || border[2] >= 0 || border[3] >= 0; }
};

// The row definition being read: its cells so far and the one being defined.
struct RowDefinition
{
    std::vector<CellDef> cells;
    CellDef cell;        // the cell being defined, until its \cellx
    int borderSide = -1; // which side of cell \brdr words apply to; -1 none
    int left = 0;
};

// Puts text, paragraphs, lists, tables and pictures into the document. The
// character and paragraph properties in force come with each call; fonts,
// colours, links and list definitions come from the destinations that read
// them. Lists and tables stay guarded: the document deletes a list as soon as
// its last paragraph leaves it, and a table can vanish under a broken note.
class RtfDocumentBuilder
{
public:
    RtfDocumentBuilder(QTextDocument *doc, const RtfDestinations &tables);

    QTextDocument *document() const { return m_doc; }

    void begin();
    // The last paragraph may lack its \par, and a truncated note still shows
    // everything that was read. st is null when no group was ever opened.
    void finish(const GroupState *st);

    void appendBytes(const GroupState &st, const char *s, qsizetype n);
    void appendUnits(const GroupState &st, const char16_t *units, qsizetype n);
    void commitPending(const GroupState &st);
    void endParagraph(const GroupState &st);
    void endCell(GroupState &st, int level);
    void endRow(const GroupState &st, int level);
    void insertNoteObject(const GroupState &st, int type, int property, const QString &text, const CharProps &props);
    void insertImage(const GroupState &st, const QImage &image, int widthPx, int heightPx, const RtfPicture *original = nullptr);

    RowDefinition &rowDefinition() { return m_row; }
    // A \nesttableprops group defines an inner table's row; the outer row's
    // definition comes back when the group closes.
    void beginNestedRowDefinition();
    void endNestedRowDefinition();

private:
    struct OpenList
    {
        QPointer<QTextList> list;
        QString key;
    };

    struct MergeMark
    {
        int row;
        int col;
        quint8 merge;
    };

    struct TableContext
    {
        QPointer<QTextTable> table;
        int row = 0;
        int col = 0;
        bool needMove = false;
        bool widthsSet = false;
        std::vector<MergeMark> merges;
        // The table's columns as right boundaries in twips: every boundary
        // any of its rows has, so a cell wider than the ones below it spans
        // their columns. Empty when the rows gave none.
        std::vector<int> grid;
        std::vector<int> cellStart; // the current row's cells: first column
        std::vector<int> cellSpan;  // and columns covered
        int mappedRow = -1;
    };

    void decodePendingBytes();
    QTextCharFormat charFormatFor(const CharProps &props);
    void ensureContext(const GroupState &st);
    void openTable();
    void closeTable();
    void moveToCell();
    void applyCellDef(TableContext &ctx);
    void applyDefToCell(TableContext &ctx, int row, int cellIndex, const CellDef &def);
    void setColumnWidths(TableContext &ctx, bool nestedDefinition = false);
    void mapRow(TableContext &ctx);
    int columnFor(const TableContext &ctx, int cell) const;
    void applyMerges(TableContext &ctx);
    void applyParagraphFormat(const ParaProps &para);
    void resetLists();

    QTextDocument *m_doc;
    QTextCursor m_cursor;
    const RtfDestinations &m_dest;

    // Text read but not yet in the document: decoded characters first, then raw
    // bytes still waiting for their code page (a double-byte character may come
    // as two \'hh escapes).
    QString m_text;
    QByteArray m_bytes;
    CharProps m_pendingProps;
    int m_pendingCp = 1252;
    CharProps m_cachedProps;
    QTextCharFormat m_cachedFormat;
    bool m_haveCachedFormat = false;
    int m_cachedGeneration = 0;

    bool m_needNewBlock = false;
    bool m_blockHasContent = false;
    std::vector<TableContext> m_tables;
    RowDefinition m_row;
    RowDefinition m_outerRow;
    std::array<OpenList, 9> m_openLists;
    int m_imageCount = 0;
};

} // namespace kmp::rtf::detail
