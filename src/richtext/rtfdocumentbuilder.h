#pragma once

#include "rtfgroupstate.h"

#include <QByteArray>
#include <QHash>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextList>
#include <QTextTable>
#include <QVariant>

#include <array>
#include <functional>
#include <initializer_list>
#include <optional>
#include <utility>
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
    std::array<int, 4> colour{};               // colour table index of each, 0 automatic
    int shading = 0;                           // colour table index of the background, 0 none
    bool hasBorder() const { return border[0] >= 0 || border[1] >= 0 || border[2] >= 0 || border[3] >= 0; }
    bool operator==(const CellDef &) const = default;
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
    // An object character of the given type at the text's place, in the format
    // of props with properties added.
    void insertNoteObject(const GroupState &st, const std::optional<CharProps> &props, int type,
                          std::initializer_list<std::pair<int, QVariant>> properties);
    void insertImage(const GroupState &st, const QImage &image, int widthPx, int heightPx, const RtfPicture *original = nullptr);

    // A text box where the text stands: its paragraphs go into a frame until
    // endTextBox(). False when boxes are nested too deep to show.
    bool beginTextBox(const GroupState &st, QSize twips);
    void endTextBox(const GroupState &closing);

    // A page break (\page, sectionKind 0) or the end of a section (\sect): the
    // paragraph it stands in ends, and the next one starts a page or a section.
    void pageBreak(const GroupState &st, int sectionKind);
    // How the section that just ended lets the next one start (\sbk...).
    void setSectionKind(int kind);

    // Records that the note met one of the reader's limits (see textformat.h).
    void noteLimitMet(const QString &what);

    RowDefinition &rowDefinition() { return m_row; }
    // Whether notes (footnotes, comments, deletions) are drawn: only in a
    // document that will be shown.
    void setDrawNotes(bool draw) { m_drawNotes = draw; }
    // Counts the table rows ahead in the note, up to a limit (RtfLexer::rowsAhead).
    void setRowCounter(std::function<int(int)> counter) { m_rowsAhead = std::move(counter); }
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
        int usedRows = 1; // rows read; the table holds spare ones while it grows
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
        std::optional<CellDef> uniform; // the lines the table draws for each of its cells
        // The format last given to each cell of a row, with what it was made from.
        struct CellFormat
        {
            CellDef def;
            QTextCharFormat base;
            QTextCharFormat format;
            int generation = -1;
        };
        std::vector<CellFormat> cellFormats;
    };

    // What the text box being read interrupted: the text around it and its tables.
    struct SavedContext
    {
        QTextCursor cursor;
        QPointer<QTextFrame> box;
        std::vector<TableContext> tables;
        RowDefinition row;
        RowDefinition outerRow;
        std::array<OpenList, 9> lists;
        int overflowLevel = 0;
    };

    void decodePendingBytes();
    QTextCharFormat charFormatFor(const CharProps &props);
    void ensureContext(const GroupState &st, bool openBlock = true);
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
    void applyBlockDecoration(const ParaProps &para, QTextBlockFormat &bf);
    void resetLists();
    void trimRows(TableContext &ctx);
    int tablesWanted(const ParaProps &para);

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
    // Items of each \ls list read so far at each level since that level last
    // restarted, so that a list interrupted by other paragraphs numbers on.
    QHash<int, std::array<int, 9>> m_lsItems;
    int m_imageCount = 0;
    bool m_drawNotes = true;
    std::function<int(int)> m_rowsAhead;
    // A table that reached its row limit: what follows at its depth and deeper
    // is read as paragraphs after it, until the note leaves the table.
    int m_overflowLevel = 0;
    bool m_pendingPageBreak = false;
    int m_pendingSection = 0;
    std::vector<SavedContext> m_saved;
    QStringList m_limits;
};

} // namespace kmp::rtf::detail
