#include "dbgrid.h"

#include "exceptions.h"
#include "field.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

namespace kmp {

namespace {

// The grid's model: the data-set model with the grid's column titles, fonts and
// read-only columns on top.
class GridModel : public kmp::DataSetModel
{
public:
    GridModel(DBGrid *grid) : kmp::DataSetModel(nullptr, grid), m_grid(grid) {}

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal) {
            const DBGridColumn c = columnFor(section);
            if (role == Qt::DisplayRole && !c.title.isEmpty())
                return c.title;
        }
        return kmp::DataSetModel::headerData(section, orientation, role);
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::FontRole) {
            const DBGridColumn c = columnFor(index.column());
            if (c.hasFont)
                return c.font;
            return QVariant();
        }
        // The whole text in the tooltip: a long catalogue name is cut by its column.
        if (role == Qt::ToolTipRole) {
            const QString text = kmp::DataSetModel::data(index, Qt::DisplayRole).toString();
            return text.trimmed().isEmpty() ? QVariant() : QVariant(text);
        }
        return kmp::DataSetModel::data(index, role);
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        Qt::ItemFlags f = kmp::DataSetModel::flags(index);
        if (columnFor(index.column()).readOnly)
            f &= ~Qt::ItemIsEditable;
        return f;
    }

    bool setData(const QModelIndex &index, const QVariant &value, int role) override
    {
        const bool ok = kmp::DataSetModel::setData(index, value, role);
        if (ok)
            m_grid->markTouched();
        return ok;
    }

private:
    // Columns of the model follow the grid's column list when it has one.
    DBGridColumn columnFor(int section) const
    {
        const QList<DBGridColumn> cols = m_grid->gridColumns();
        return section >= 0 && section < cols.size() ? cols.at(section) : DBGridColumn();
    }
    DBGrid *m_grid;
};

class GridDelegate : public QStyledItemDelegate
{
public:
    GridDelegate(DBGrid *grid) : QStyledItemDelegate(grid), m_grid(grid) {}

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        m_grid->drawColumnCell(painter, option, index);
    }

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QWidget *editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto *line = qobject_cast<QLineEdit *>(editor)) {
            if (kmp::Field *f = m_grid->columnField(index.column()); f && f->kind() == kmp::FieldKind::String && f->size() > 0)
                line->setMaxLength(f->size()); // refuse what the field could not hold
            line->setFrame(false);
        }
        if (editor)
            editor->installEventFilter(m_grid); // typed characters pass through OnKeyPress
        return editor;
    }

    // A column with a lookup button keeps the button visible beside the editor, so it can
    // still be seen (and clicked) while a code is typed.
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::updateEditorGeometry(editor, option, index);
        if (m_grid->columnButton(index.column())) {
            QRect r = editor->geometry();
            r.setWidth(qMax(0, r.width() - qMin(option.rect.height(), option.rect.width())));
            editor->setGeometry(r);
        }
    }

private:
    DBGrid *m_grid;
};

bool isTypedCharacter(const QKeyEvent *e)
{
    const QString t = e->text();
    if (t.isEmpty())
        return false;
    if (e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    const QChar c = t.at(0);
    return c.isPrint() || c == QChar(u'\b');
}

} // namespace

DBGrid::DBGrid(QWidget *parent) : QTableView(parent)
{
    m_model = new GridModel(this);
    // Connected before the view attaches to the model, so these run first.
    // While the model moves rows the view shifts its current index by itself; that is not
    // the user choosing a row and must not move the record set's cursor (a cursor move would
    // post or cancel the row being changed right then).
    auto enter = [this] { ++m_modelChanging; };
    auto leave = [this] { m_modelChanging = qMax(0, m_modelChanging - 1); };
    connect(m_model, &QAbstractItemModel::rowsAboutToBeRemoved, this, enter);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, leave);
    connect(m_model, &QAbstractItemModel::rowsAboutToBeInserted, this, enter);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, leave);
    connect(m_model, &QAbstractItemModel::modelAboutToBeReset, this, enter);
    connect(m_model, &QAbstractItemModel::modelReset, this, leave);
    setModel(m_model);
    setItemDelegate(new GridDelegate(this));
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::AnyKeyPressed | QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed
                    | QAbstractItemView::SelectedClicked);
    setTabKeyNavigation(true);
    setWordWrap(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    fitRowNumbers();
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &DBGrid::fitRowNumbers);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &DBGrid::fitRowNumbers);
    connect(m_model, &QAbstractItemModel::modelReset, this, &DBGrid::fitRowNumbers);
    verticalHeader()->installEventFilter(this); // its font may change after this
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
    // The selection stays visible when the grid does not have the focus.
    QPalette pal = palette();
    pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText, pal.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(pal);

    m_button = new QToolButton(viewport());
    m_button->setObjectName(QStringLiteral("dbGridEditButton"));
    m_button->setText(QStringLiteral("…"));
    m_button->setToolTip(QStringLiteral("Pesquisar (F8 ou Alt+Seta para baixo)"));
    m_button->setAccessibleName(QStringLiteral("Pesquisar"));
    m_button->setFocusPolicy(Qt::NoFocus);
    m_button->setCursor(Qt::ArrowCursor);
    m_button->hide();
    connect(m_button, &QToolButton::clicked, this, &DBGrid::clickEditButton);

    m_model->OnError = [this](std::exception_ptr e) { kmp::guarded(this, [&] { std::rethrow_exception(e); }); };
    connect(m_model, &kmp::DataSetModel::currentRowChanged, this, &DBGrid::followCursor);
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        applyWidths();
        followCursor(m_model->currentRow());
    });
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int col, int, int size) {
        // A width the user gave a column outlives reloads of the rows; it is kept by field,
        // so a column list set again finds it too.
        if (!m_applyingWidths && m_modelChanging == 0) {
            const QString name = columnFieldName(col);
            if (!name.isEmpty())
                m_userWidths.insert(name.toUpper(), size);
        }
        placeButton();
    });
    connect(qApp, &QApplication::focusChanged, this, &DBGrid::focusMoved);
}

DBGrid::~DBGrid()
{
    disconnect(qApp, nullptr, this, nullptr);
}

void DBGrid::setDataSource(kmp::DataSource *source)
{
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
    m_source = source;
    if (m_source)
        connect(m_source, &kmp::DataSource::dataSetChanged, this, [this] { attachSet(); });
    m_model->setDataSource(source);
    attachSet();
    applyColumns();
    followCursor(m_model->currentRow());
}

void DBGrid::attachSet()
{
    if (m_set)
        disconnect(m_set, nullptr, this, nullptr);
    m_set = m_source ? m_source->dataSet() : nullptr;
    m_touched = false;
    if (!m_set) {
        placeButton();
        return;
    }
    connect(m_set, &kmp::RecordSet::stateChanged, this, [this](kmp::DataSetState s) {
        if (s == kmp::DataSetState::Insert)
            m_touched = false;
        placeButton();
    });
    connect(m_set, &kmp::RecordSet::rowChanged, this, [this](int row) {
        if (m_set && m_set->state() == kmp::DataSetState::Insert && row == m_set->currentRow())
            m_touched = true;
    });
    connect(m_set, &kmp::RecordSet::fieldFocusRequested, this, &DBGrid::fieldFocusRequested);
}

// --- columns ----------------------------------------------------------------------------

int DBGrid::addColumn(const QString &fieldName, const QString &title, int width, bool readOnly)
{
    DBGridColumn c;
    c.fieldName = fieldName;
    c.title = title;
    c.width = width;
    c.readOnly = readOnly;
    m_columns.append(c);
    applyColumns();
    return int(m_columns.size()) - 1;
}

void DBGrid::setColumns(const QList<DBGridColumn> &columns)
{
    m_columns = columns;
    applyColumns();
}

void DBGrid::applyColumns()
{
    QStringList names;
    for (const DBGridColumn &c : m_columns)
        names.append(c.fieldName);
    m_model->setColumns(names);
    applyWidths();
}

void DBGrid::applyWidths()
{
    m_applyingWidths = true;
    for (int i = 0; i < m_model->columnCount(); ++i) {
        const int user = m_userWidths.value(columnFieldName(i).toUpper(), -1);
        if (user > 0)
            setColumnWidth(i, user);
        else if (i < m_columns.size() && m_columns.at(i).width > 0)
            setColumnWidth(i, m_columns.at(i).width);
    }
    m_applyingWidths = false;
    placeButton();
}

int DBGrid::gridColumnCount() const
{
    return m_model->columnCount();
}

QString DBGrid::columnFieldName(int col) const
{
    if (col >= 0 && col < m_columns.size())
        return m_columns.at(col).fieldName;
    if (kmp::Field *f = m_model->fieldAt(col))
        return f->fieldName();
    return QString();
}

kmp::Field *DBGrid::columnField(int col) const
{
    return m_model->fieldAt(col);
}

int DBGrid::columnOf(const QString &fieldName) const
{
    for (int i = 0; i < m_columns.size(); ++i)
        if (m_columns.at(i).fieldName.compare(fieldName, Qt::CaseInsensitive) == 0)
            return i;
    if (m_columns.isEmpty())
        return m_model->columnOfField(fieldName);
    return -1;
}

void DBGrid::setColumnButton(int col, bool on)
{
    if (col < 0 || col >= m_columns.size())
        return;
    m_columns[col].button = on;
    placeButton();
}

bool DBGrid::columnButton(int col) const
{
    return col >= 0 && col < m_columns.size() && m_columns.at(col).button;
}

// --- current cell -----------------------------------------------------------------------

int DBGrid::selectedIndex() const
{
    if (m_exitColumn >= 0)
        return m_exitColumn;
    const QModelIndex i = currentIndex();
    return i.isValid() ? i.column() : (m_model->columnCount() > 0 ? 0 : -1);
}

void DBGrid::setSelectedIndex(int col)
{
    if (col < 0 || col >= m_model->columnCount())
        return;
    const int row = qMax(0, m_model->currentRow());
    if (row >= m_model->rowCount())
        return;
    m_syncing = true;
    setCurrentIndex(m_model->index(row, col));
    m_syncing = false;
    placeButton();
}

kmp::Field *DBGrid::selectedField() const
{
    return columnField(selectedIndex());
}

void DBGrid::followCursor(int row)
{
    if (m_reverting)
        return;
    m_syncing = true;
    if (row < 0 || row >= m_model->rowCount()) {
        selectionModel()->clearCurrentIndex();
    } else {
        const QModelIndex cur = currentIndex();
        const int col = cur.isValid() ? cur.column() : 0;
        if (!cur.isValid() || cur.row() != row)
            setCurrentIndex(m_model->index(row, col));
        scrollTo(m_model->index(row, col));
    }
    m_syncing = false;
    placeButton();
}

bool DBGrid::runColExit(int column)
{
    if (!OnColExit)
        return true;
    m_exitColumn = column;
    const bool ok = kmp::guarded(this, OnColExit);
    m_exitColumn = -1;
    return ok;
}

void DBGrid::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QTableView::currentChanged(current, previous);
    if (m_syncing || m_reverting || m_modelChanging > 0 || !current.isValid()) {
        placeButton();
        return;
    }
    if (previous.isValid() && previous.column() != current.column()) {
        if (!runColExit(previous.column())) {
            // The handler refused to let the column go: back to where the user was.
            m_reverting = true;
            setCurrentIndex(m_model->index(qMin(previous.row(), m_model->rowCount() - 1), previous.column()));
            m_reverting = false;
            placeButton();
            return;
        }
    }
    if (current.row() != m_model->currentRow()) {
        if (!m_model->setCurrentRow(current.row())) {
            m_reverting = true;
            const int row = m_model->currentRow();
            if (row >= 0)
                setCurrentIndex(m_model->index(row, current.column()));
            m_reverting = false;
        }
    }
    placeButton();
}

QModelIndex DBGrid::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers)
{
    // Tab walks the columns of the row; past the last one (or Shift+Tab before the first)
    // it leaves the grid instead of wrapping to another row, so the keyboard can get out.
    if (atTabEdge(cursorAction))
        return QModelIndex();
    return QTableView::moveCursor(cursorAction, modifiers);
}

bool DBGrid::atTabEdge(CursorAction action) const
{
    if (action != MoveNext && action != MovePrevious)
        return false;
    const QModelIndex cur = currentIndex();
    if (!cur.isValid())
        return true;
    int last = -1, first = -1;
    for (int c = 0; c < m_model->columnCount(); ++c) {
        if (isColumnHidden(c))
            continue;
        if (first < 0)
            first = c;
        last = c;
    }
    return action == MoveNext ? cur.column() >= last : cur.column() <= first;
}

void DBGrid::closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint)
{
    // Tab out of the editor in the last column: close it and leave the grid in one key.
    const bool leaveForward = hint == QAbstractItemDelegate::EditNextItem && atTabEdge(MoveNext);
    const bool leaveBack = hint == QAbstractItemDelegate::EditPreviousItem && atTabEdge(MovePrevious);
    if (!leaveForward && !leaveBack) {
        QTableView::closeEditor(editor, hint);
        return;
    }
    QTableView::closeEditor(editor, QAbstractItemDelegate::NoHint);
    QAbstractScrollArea::focusNextPrevChild(leaveForward);
}

bool DBGrid::isLookupKey(const QKeyEvent *event) const
{
    const bool f8 = event->key() == Qt::Key_F8 && event->modifiers() == Qt::NoModifier;
    const bool altDown = event->key() == Qt::Key_Down && (event->modifiers() & ~Qt::KeypadModifier) == Qt::AltModifier;
    return (f8 || altDown) && columnButton(selectedIndex()) && m_set && m_set->isActive();
}

bool DBGrid::edit(const QModelIndex &index, EditTrigger trigger, QEvent *event)
{
    // No editing while detached: nothing to write into.
    if (!m_set)
        return false;
    return QTableView::edit(index, trigger, event);
}

void DBGrid::fieldFocusRequested(kmp::Field *field)
{
    if (!field)
        return;
    const int col = columnOf(field->fieldName());
    if (col < 0)
        return;
    setSelectedIndex(col);
    setFocus(Qt::OtherFocusReason);
}

// --- keys -------------------------------------------------------------------------------

bool DBGrid::filterKey(QKeyEvent *event, QObject *target)
{
    if (m_inFilter || !OnKeyPress || !isTypedCharacter(event))
        return false;
    QChar key = event->text().at(0);
    const QChar original = key;
    if (!kmp::guarded(this, [&] { OnKeyPress(key); }) || key.isNull())
        return true; // discarded
    if (key == original)
        return false;
    // The handler replaced the character: deliver the replacement instead.
    QKeyEvent replaced(QEvent::KeyPress, key.isLetter() ? int(key.toUpper().unicode()) : 0,
                       event->modifiers() & Qt::ShiftModifier, QString(key));
    m_inFilter = true;
    if (target == this)
        QTableView::keyPressEvent(&replaced);
    else
        QApplication::sendEvent(target, &replaced);
    m_inFilter = false;
    return true;
}

void DBGrid::keyPressEvent(QKeyEvent *event)
{
    if (isLookupKey(event)) {
        event->accept();
        clickEditButton();
        return;
    }
    if (filterKey(event, this)) {
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

// The row numbers are as wide as the highest one: where the order of the rows is clinical
// content, row 12 must not read "1".
void DBGrid::fitRowNumbers()
{
    QHeaderView *numbers = verticalHeader();
    const QString widest = QString::number(qMax(9, m_model->rowCount()));
    const int margin = numbers->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, numbers);
    numbers->setFixedWidth(numbers->fontMetrics().horizontalAdvance(widest) + 2 * margin + 4);
}

bool DBGrid::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == verticalHeader()) {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            fitRowNumbers();
        return QTableView::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress && watched != this && watched != viewport()) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (isLookupKey(key)) {
            clickEditButton();
            return true;
        }
        if (filterKey(key, watched))
            return true;
    }
    // The lookup keys must reach the grid rather than a shortcut of the same keys.
    if (event->type() == QEvent::ShortcutOverride && watched != this && watched != viewport()
        && isLookupKey(static_cast<QKeyEvent *>(event))) {
        event->accept();
        return true;
    }
    return QTableView::eventFilter(watched, event);
}

// --- focus ------------------------------------------------------------------------------

void DBGrid::focusMoved(QWidget *old, QWidget *now)
{
    auto inside = [this](QWidget *w) { return w && (w == this || isAncestorOf(w)); };
    if (!inside(old) || inside(now) || !now)
        return;
    // A dialog opened from the grid (the lookup) is another window: that is not leaving.
    if (now->window() != window())
        return;
    if (!m_set || !m_set->isEditing())
        return;
    if (m_cancelOnExit && m_set->state() == kmp::DataSetState::Insert && !m_touched) {
        kmp::guarded(this, [this] { m_set->cancel(); });
        return;
    }
    runColExit(selectedIndex());
}

// --- ellipsis button ----------------------------------------------------------------------

void DBGrid::placeButton()
{
    if (!m_button) // setModel() in the constructor moves the current cell before the button exists
        return;
    const QModelIndex cur = currentIndex();
    const bool show = m_set && cur.isValid() && columnButton(cur.column()) && m_set->isActive();
    if (!show) {
        m_button->hide();
        return;
    }
    const QRect r = visualRect(cur);
    if (!r.isValid() || !viewport()->rect().intersects(r)) {
        m_button->hide();
        return;
    }
    const int w = qMin(r.height(), r.width());
    m_button->setGeometry(r.right() - w + 1, r.top(), w, r.height());
    m_button->show();
    m_button->raise();
}

bool DBGrid::commitEditor()
{
    if (state() != QAbstractItemView::EditingState)
        return false;
    QWidget *focus = QApplication::focusWidget();
    if (!focus || !viewport()->isAncestorOf(focus))
        return false;
    commitData(focus);
    closeEditor(focus, QAbstractItemDelegate::NoHint);
    return true;
}

bool commitPendingEdit()
{
    for (QWidget *w = QApplication::focusWidget(); w; w = w->parentWidget())
        if (auto *grid = qobject_cast<DBGrid *>(w))
            return grid->commitEditor();
    return false;
}

void DBGrid::clickEditButton()
{
    // Whatever was typed in the cell goes into the row before the handler looks at it.
    commitEditor();
    if (OnEditButtonClick)
        kmp::guarded(this, OnEditButtonClick);
    placeButton();
}

void DBGrid::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    placeButton();
}

void DBGrid::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);
    placeButton();
}

// --- painting -----------------------------------------------------------------------------

void DBGrid::drawColumnCell(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index)
{
    if (!OnDrawColumnCell)
        return;
    try {
        painter->save();
        OnDrawColumnCell(painter, option.rect, index.column(), columnField(index.column()), option);
        painter->restore();
    } catch (...) {
        painter->restore();
        reportLater(std::current_exception());
    }
}

void DBGrid::reportLater(std::exception_ptr e)
{
    // Paint runs again and again: report a failure once, after painting, and not the same
    // message twice in a row, so a handler that always fails cannot flood the user.
    QString message;
    try {
        std::rethrow_exception(e);
    } catch (const std::exception &ex) {
        message = QString::fromUtf8(ex.what());
    } catch (...) {
        message = QStringLiteral("?");
    }
    if (m_paintReportQueued || message == m_lastPaintError)
        return;
    m_lastPaintError = message;
    m_paintError = e;
    m_paintReportQueued = true;
    QTimer::singleShot(0, this, [this] {
        std::exception_ptr pending = m_paintError;
        m_paintError = nullptr;
        m_paintReportQueued = false;
        if (pending)
            kmp::guarded(this, [&] { std::rethrow_exception(pending); });
    });
}

} // namespace kmp
