#pragma once

#include "datasetmodel.h"

#include <QFont>
#include <QHash>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTableView>
#include <exception>
#include <functional>

class QToolButton;

namespace kmp {

// Commits the cell editor of the grid that has the focus, if any (see DBGrid::commitEditor).
// The key dispatcher and the screens' toolbar run it before a command.
bool commitPendingEdit();

class Field;

// One grid column bound to a field of the record set.
struct DBGridColumn
{
    QString fieldName;
    QString title;  // empty: the field's label
    int width = -1; // pixels; -1 leaves the default
    bool readOnly = false;
    bool button = false; // ellipsis button in the current cell of the column
    bool hasFont = false;
    QFont font;
};

// A data-aware grid over a data source: the record set's rows with one column per bound
// field (or per visible field when no columns are set), edited in place through the
// record set. The grid's current row is the record set's cursor, both ways.
//
// Keys: Tab and Shift+Tab walk the row's columns and leave the grid past its last or first
// column; F8 or Alt+Down in a column with a lookup button runs the lookup, as the button
// does. A cell's tooltip is its whole text; a width the user gives a column survives
// reloads for the life of the grid.
//
// Every hook runs through the guarded dispatch, so a handler's exception ends the handler
// with its message (or silently for the silent abort) and the grid stays usable.
class DBGrid : public QTableView
{
    Q_OBJECT
public:
    explicit DBGrid(QWidget *parent = nullptr);
    ~DBGrid() override;

    // null detaches: no rows are shown and the grid does not follow any cursor; setting the
    // source again restores both.
    void setDataSource(kmp::DataSource *source);
    kmp::DataSource *dataSource() const { return m_source; }

    // --- columns ----------------------------------------------------------------------
    int addColumn(const QString &fieldName, const QString &title = QString(), int width = -1, bool readOnly = false);
    void setColumns(const QList<DBGridColumn> &columns);
    QList<DBGridColumn> gridColumns() const { return m_columns; }
    int gridColumnCount() const;
    QString columnFieldName(int col) const;
    kmp::Field *columnField(int col) const;
    int columnOf(const QString &fieldName) const; // letter case ignored; -1 when absent
    void setColumnButton(int col, bool on);
    bool columnButton(int col) const;

    // The current column (SelectedIndex) and its field. While OnColExit runs these still
    // name the column being left.
    int selectedIndex() const;
    void setSelectedIndex(int col);
    kmp::Field *selectedField() const;

    // Leaving the grid cancels a new row the user has not touched.
    void setCancelOnExit(bool on) { m_cancelOnExit = on; }

    // --- hooks ------------------------------------------------------------------------
    // Each typed character, before it reaches the cell; set it to QChar() to discard it.
    std::function<void(QChar &key)> OnKeyPress;
    // The current column is being left (another column, or focus leaving the grid while
    // a row is edited). If it raises, the cursor goes back to the column left.
    std::function<void()> OnColExit;
    // The ellipsis button of the current cell was clicked.
    std::function<void()> OnEditButtonClick;
    // A cell is being painted. Runs inside paint: exceptions are caught there and reported
    // through the guarded dispatch right after painting.
    std::function<void(QPainter *painter, const QRect &rect, int column, kmp::Field *field, const QStyleOptionViewItem &option)>
        OnDrawColumnCell;

    // The ellipsis button widget (visible over the current cell when its column has one).
    QToolButton *editButton() const { return m_button; }
    // Clicks the ellipsis button as the user would.
    void clickEditButton();

    // Called by the delegate while painting.
    void drawColumnCell(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index);
    void markTouched() { m_touched = true; }

    // Writes what is typed in the open cell editor into the row and closes the editor; a
    // command that posts runs this first, so nothing typed is lost. True when there was one.
    bool commitEditor();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool edit(const QModelIndex &index, EditTrigger trigger, QEvent *event) override;
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    void closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) override;

private:
    void applyColumns();
    void applyWidths();
    void followCursor(int row);
    void attachSet();
    void placeButton();
    void fitRowNumbers();
    void focusMoved(QWidget *old, QWidget *now);
    bool filterKey(QKeyEvent *event, QObject *target);
    void reportLater(std::exception_ptr e);
    void fieldFocusRequested(kmp::Field *field);
    bool runColExit(int column);
    bool atTabEdge(CursorAction action) const;
    bool isLookupKey(const QKeyEvent *event) const;

    kmp::DataSetModel *m_model;
    QPointer<kmp::DataSource> m_source;
    QPointer<kmp::RecordSet> m_set;
    QList<DBGridColumn> m_columns;
    QToolButton *m_button = nullptr;
    bool m_cancelOnExit = false;
    bool m_touched = false;
    bool m_syncing = false;
    bool m_reverting = false;
    bool m_inFilter = false;
    int m_modelChanging = 0; // >0 while the model inserts, removes or resets rows
    int m_exitColumn = -1;   // column reported by selectedIndex() during OnColExit
    std::exception_ptr m_paintError;
    bool m_paintReportQueued = false;
    QString m_lastPaintError;
    QHash<QString, int> m_userWidths; // by upper-case field name
    bool m_applyingWidths = false;
};

} // namespace kmp
