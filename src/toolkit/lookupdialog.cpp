#include "lookupdialog.h"

#include "hostservices.h"
#include "recordset.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <QVBoxLayout>
#include <array>

namespace kmp {

namespace {

constexpr char16_t kSkip = 0; // a combining mark: dropped from the folded text

// One table for every UTF-16 unit: lower-case base letter, digit, blank or skip. Built once;
// folding then costs one look-up per character.
const std::array<char16_t, 65536> &foldTable()
{
    static const std::array<char16_t, 65536> table = [] {
        std::array<char16_t, 65536> t{};
        for (int c = 0; c < 65536; ++c) {
            const QChar ch{char16_t(c)};
            if (ch.isMark()) {
                t[c] = kSkip;
            } else if (ch.isLetterOrNumber()) {
                QChar base = ch;
                const QString d = ch.decomposition();
                if (!d.isEmpty() && d.at(0).isLetterOrNumber())
                    base = d.at(0);
                t[c] = base.toLower().unicode();
            } else {
                t[c] = u' ';
            }
        }
        return t;
    }();
    return table;
}

void appendFolded(std::u16string &out, const QString &text)
{
    const auto &table = foldTable();
    for (QChar c : text) {
        const char16_t f = table[c.unicode()];
        if (f != kSkip)
            out.push_back(f);
    }
}

// Splits a folded query into its words. Dots are dropped first, so "I10.0" looks for code
// I100 as the catalogue spells it.
std::vector<std::u16string> queryTokens(const QString &query)
{
    QString q = query;
    q.remove(QLatin1Char('.'));
    std::u16string folded;
    appendFolded(folded, q);
    std::vector<std::u16string> tokens;
    size_t i = 0;
    while (i < folded.size()) {
        while (i < folded.size() && folded[i] == u' ')
            ++i;
        size_t j = i;
        while (j < folded.size() && folded[j] != u' ')
            ++j;
        if (j > i)
            tokens.emplace_back(folded.substr(i, j - i));
        i = j;
    }
    return tokens;
}

QString displayValue(RecordSet *set, int row, int field)
{
    const QVariant v = set->value(row, field);
    if (v.isNull())
        return QString();
    if (set->field(field)->kind() == FieldKind::DateTime)
        return dateTimeFromDays(v.toDouble()).date().toString(QStringLiteral("dd/MM/yyyy"));
    return v.toString();
}

std::vector<int> visibleFields(RecordSet *set)
{
    std::vector<int> out;
    for (int i = 0; i < set->fieldCount(); ++i)
        if (set->field(i)->isVisible() && set->field(i)->kind() != FieldKind::Blob)
            out.push_back(i);
    return out;
}

// Plain text on the row's background: the list repaints on every keystroke, and the
// style's full item drawing (icons, check boxes, focus frames) is most of that time.
class LookupDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const bool selected = option.state & QStyle::State_Selected;
        if (selected)
            p->fillRect(option.rect, option.palette.brush(QPalette::Active, QPalette::Highlight));
        p->setPen(option.palette.color(QPalette::Active, selected ? QPalette::HighlightedText : QPalette::Text));
        p->drawText(option.rect.adjusted(4, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                    index.data(Qt::DisplayRole).toString());
    }
};

// The cache of indexes, one per record set, dropped when the set's rows change.
class IndexCache : public QObject
{
public:
    QHash<RecordSet *, std::shared_ptr<const LookupIndex>> entries;

    void watch(RecordSet *set)
    {
        auto drop = [this, set] { invalidate(set); };
        connect(set, &RecordSet::aboutToReset, this, drop);
        connect(set, &RecordSet::resetDone, this, drop);
        connect(set, &RecordSet::rowInserted, this, drop);
        connect(set, &RecordSet::rowRemoved, this, drop);
        connect(set, &RecordSet::rowChanged, this, drop);
        connect(set, &RecordSet::fieldLayoutChanged, this, drop);
        connect(set, &QObject::destroyed, this, drop);
    }
    void invalidate(RecordSet *set)
    {
        entries.remove(set);
        disconnect(set, nullptr, this, nullptr);
    }
};

IndexCache &cache()
{
    static IndexCache c;
    return c;
}

} // namespace

QString foldForSearch(const QString &text)
{
    std::u16string out;
    appendFolded(out, text);
    return QString::fromStdU16String(out);
}

std::shared_ptr<const LookupIndex> LookupIndex::forRecordSet(RecordSet *set)
{
    IndexCache &c = cache();
    auto it = c.entries.constFind(set);
    if (it != c.entries.constEnd())
        return *it;
    auto index = std::make_shared<const LookupIndex>(set);
    c.entries.insert(set, index);
    c.watch(set);
    return index;
}

LookupIndex::LookupIndex(RecordSet *set)
{
    const std::vector<int> fields = visibleFields(set);
    const int rows = set->recordCount();
    m_rowStart.reserve(size_t(rows) + 1);
    m_codeStart.reserve(size_t(rows));
    m_codeEnd.reserve(size_t(rows));
    m_textStart.reserve(size_t(rows));
    m_text.reserve(size_t(rows) * 64);
    m_words.reserve(size_t(rows) * 8);
    for (int r = 0; r < rows; ++r) {
        m_rowStart.push_back(quint32(m_words.size()));
        // The code, blanks and punctuation squeezed out, for prefix matching.
        const quint32 codeStart = quint32(m_text.size());
        if (!fields.empty()) {
            std::u16string code;
            appendFolded(code, displayValue(set, r, fields.front()));
            for (char16_t ch : code)
                if (ch != u' ')
                    m_text.push_back(ch);
        }
        m_codeStart.push_back(codeStart);
        m_codeEnd.push_back(quint32(m_text.size()));
        m_text.push_back(u' ');
        m_textStart.push_back(quint32(m_words.size()));
        for (size_t f = 1; f < fields.size(); ++f) {
            const size_t from = m_text.size();
            appendFolded(m_text, displayValue(set, r, fields[f]));
            for (size_t i = from; i < m_text.size(); ++i)
                if (m_text[i] != u' ' && (i == from || m_text[i - 1] == u' '))
                    m_words.push_back(quint32(i));
            m_text.push_back(u' ');
        }
    }
    m_rowStart.push_back(quint32(m_words.size()));
    m_rank.resize(size_t(rows));
}

void LookupIndex::filter(const QString &query, std::vector<int> &out) const
{
    out.clear();
    const int rows = rowCount();
    const std::vector<std::u16string> tokens = queryTokens(query);
    if (tokens.empty()) {
        out.reserve(size_t(rows));
        for (int r = 0; r < rows; ++r)
            out.push_back(r);
        return;
    }
    const char16_t *text = m_text.data();
    const size_t textSize = m_text.size();
    auto startsAt = [&](size_t at, size_t limit, const std::u16string &t) {
        return at + t.size() <= limit && std::char_traits<char16_t>::compare(text + at, t.data(), t.size()) == 0;
    };
    // Ranks: 0 the code itself, 1 a code prefix, 2 the first word typed starts the text,
    // 3 the words are found elsewhere. Rows keep catalogue order within a rank.
    int counts[4] = {0, 0, 0, 0};
    for (int r = 0; r < rows; ++r) {
        const size_t cs = m_codeStart[size_t(r)], ce = m_codeEnd[size_t(r)];
        const quint32 w0 = m_rowStart[size_t(r)], w1 = m_rowStart[size_t(r) + 1];
        int rank = 3;
        bool all = true;
        for (size_t t = 0; t < tokens.size() && all; ++t) {
            const std::u16string &tok = tokens[t];
            if (startsAt(cs, ce, tok)) {
                if (t == 0)
                    rank = (tokens.size() == 1 && ce - cs == tok.size()) ? 0 : 1;
                continue;
            }
            bool found = false;
            for (quint32 w = w0; w < w1 && !found; ++w) {
                if (startsAt(m_words[w], textSize, tok)) {
                    found = true;
                    if (t == 0 && w == m_textStart[size_t(r)])
                        rank = 2;
                }
            }
            all = found;
        }
        if (!all) {
            m_rank[size_t(r)] = -1;
            continue;
        }
        m_rank[size_t(r)] = rank;
        ++counts[rank];
    }
    int start[4];
    start[0] = 0;
    for (int k = 1; k < 4; ++k)
        start[k] = start[k - 1] + counts[k - 1];
    out.resize(size_t(start[3] + counts[3]));
    for (int r = 0; r < rows; ++r) {
        const int rank = m_rank[size_t(r)];
        if (rank >= 0)
            out[size_t(start[rank]++)] = r;
    }
}

// --- model -----------------------------------------------------------------------------

LookupModel::LookupModel(RecordSet *set, QObject *parent) : QAbstractTableModel(parent), m_set(set), m_fields(visibleFields(set))
{
}

void LookupModel::setRows(const std::vector<int> &rows)
{
    beginResetModel();
    m_rows = rows;
    endResetModel();
}

int LookupModel::sourceRow(int row) const
{
    return row >= 0 && size_t(row) < m_rows.size() ? m_rows[size_t(row)] : -1;
}

int LookupModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int LookupModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_fields.size());
}

QVariant LookupModel::data(const QModelIndex &index, int role) const
{
    // The tooltip is the whole text: long catalogue names do not fit the column.
    if (!m_set || !index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return QVariant();
    const int src = sourceRow(index.row());
    if (src < 0 || src >= m_set->recordCount() || size_t(index.column()) >= m_fields.size())
        return QVariant();
    return displayValue(m_set, src, m_fields[size_t(index.column())]);
}

QVariant LookupModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && m_set && section >= 0 && size_t(section) < m_fields.size())
        return m_set->field(m_fields[size_t(section)])->displayLabel();
    return QAbstractTableModel::headerData(section, orientation, role);
}

// --- dialog ----------------------------------------------------------------------------

LookupDialog::LookupDialog(RecordSet *set, const QString &title, QWidget *parent)
    : QDialog(parent), m_set(set), m_index(LookupIndex::forRecordSet(set))
{
    setObjectName(QStringLiteral("kmpLookupDialog"));
    setWindowTitle(title);
    auto *layout = new QVBoxLayout(this);
    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("lookupSearch"));
    m_search->setPlaceholderText(QStringLiteral("Digite o código ou o início das palavras"));
    m_search->setClearButtonEnabled(true);
    m_search->setAccessibleName(QStringLiteral("Pesquisar"));
    m_search->setToolTip(QStringLiteral("Digite o código ou o início das palavras; Enter escolhe a linha marcada"));
    m_search->installEventFilter(this);
    layout->addWidget(m_search);

    m_model = new LookupModel(set, this);
    // A flat tree view with uniform rows: unlike a table it keeps no per-row header, so
    // swapping 14,000 rows for a few on a keystroke costs next to nothing.
    m_view = new QTreeView(this);
    m_view->setObjectName(QStringLiteral("lookupView"));
    m_view->setAccessibleName(QStringLiteral("Resultados da pesquisa"));
    m_view->setModel(m_model);
    m_view->setItemDelegate(new LookupDelegate(m_view));
    m_view->setRootIsDecorated(false);
    m_view->setItemsExpandable(false);
    m_view->setUniformRowHeights(true);
    m_view->setAllColumnsShowFocus(true);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setWordWrap(false);
    // Eliding lays out each long description in full on every paint; clipping costs nothing.
    m_view->setTextElideMode(Qt::ElideNone);
    m_view->header()->setSectionResizeMode(QHeaderView::Interactive);
    const std::vector<int> fields = visibleFields(set);
    const int charW = m_view->fontMetrics().averageCharWidth();
    // The longest text (a diagnosis's name) takes the width the others leave: cut to a
    // fixed width, names that differ only at their end would all read the same.
    int widest = -1;
    for (size_t i = 0; i < fields.size(); ++i) {
        const Field *f = set->field(fields[i]);
        if (widest < 0 || f->size() > set->field(fields[size_t(widest)])->size())
            widest = int(i);
    }
    for (size_t i = 0; i < fields.size(); ++i) {
        const Field *f = set->field(fields[i]);
        // The other long texts start narrow (the user can widen them), leaving the room to it.
        int chars =
            f->displayWidth() > 0 ? f->displayWidth() : (f->size() > 0 ? qMin(f->size(), int(i) == widest ? 40 : 24) : 12);
        chars = qMax(chars, f->displayLabel().size());
        m_view->setColumnWidth(int(i), charW * chars + 16);
    }
    m_view->header()->setStretchLastSection(widest < 0 || widest == int(fields.size()) - 1);
    if (widest >= 0 && widest < int(fields.size()) - 1)
        m_view->header()->setSectionResizeMode(widest, QHeaderView::Stretch);
    m_view->installEventFilter(this);
    connect(m_view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &i) { pick(i.row()); });
    layout->addWidget(m_view, 1);

    auto *bottom = new QHBoxLayout;
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("lookupCount"));
    m_count->setAccessibleName(QStringLiteral("Quantidade encontrada"));
    // A fixed width: a count that changes length must not re-lay out the dialog per key.
    m_count->setMinimumWidth(m_count->fontMetrics().horizontalAdvance(QStringLiteral("00000 de 00000")) + 8);
    bottom->addWidget(m_count, 1);
    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("Selecionar"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancelar"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { pickCurrent(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    bottom->addWidget(buttons);
    layout->addLayout(bottom);

    connect(m_search, &QLineEdit::textChanged, this, [this] { refilter(); });
    setSizeGripEnabled(true);
    resize(rememberedSize());
    refilter();
    m_search->setFocus();
}

LookupDialog::~LookupDialog() = default;

namespace {
const QString kSizeKey = QStringLiteral("lookupDialog/size");
const QSize kDefaultSize(640, 420);
} // namespace

QSize LookupDialog::rememberedSize()
{
    const QSize saved = HostServices::instance()->savedState(kSizeKey).toSize();
    // A size from a larger monitor, or a damaged state file, must not open a dialog that
    // cannot be seen or used.
    if (!saved.isValid() || saved.width() < 320 || saved.height() < 200 || saved.width() > 8000 || saved.height() > 8000)
        return kDefaultSize;
    return saved;
}

void LookupDialog::done(int result)
{
    if (isVisible())
        HostServices::instance()->saveState(kSizeKey, size());
    QDialog::done(result);
}

void LookupDialog::refilter()
{
    if (!m_set)
        return;
    m_index->filter(m_search->text(), m_rows);
    m_model->setRows(m_rows);
    m_count->setText(QStringLiteral("%1 de %2").arg(m_rows.size()).arg(m_index->rowCount()));
    if (!m_rows.empty())
        m_view->setCurrentIndex(m_model->index(0, 0));
}

void LookupDialog::setFilterText(const QString &text)
{
    m_search->setText(text);
}

QString LookupDialog::filterText() const
{
    return m_search->text();
}

int LookupDialog::shownCount() const
{
    return m_model->rowCount();
}

QString LookupDialog::shownText(int row, int column) const
{
    return m_model->data(m_model->index(row, column)).toString();
}

int LookupDialog::currentShownRow() const
{
    return m_view->currentIndex().isValid() ? m_view->currentIndex().row() : -1;
}

bool LookupDialog::pick(int row)
{
    const int src = m_model->sourceRow(row);
    if (src < 0)
        return false;
    m_picked = src;
    accept();
    return true;
}

void LookupDialog::pickCurrent()
{
    const int row = currentShownRow();
    if (!pick(row < 0 && shownCount() > 0 ? 0 : row))
        QApplication::beep();
}

bool LookupDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    auto *key = static_cast<QKeyEvent *>(event);
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: pickCurrent(); return true;
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        if (watched == m_search) {
            // Moving through the list while the typing stays in the box.
            QKeyEvent copy(key->type(), key->key(), key->modifiers(), key->text());
            QApplication::sendEvent(m_view, &copy);
            return true;
        }
        break;
    default:
        if (watched == m_view && !key->text().isEmpty() && key->text().at(0).isPrint()) {
            // Typing while the list has the focus goes on into the search box.
            m_search->setFocus();
            m_search->insert(key->text());
            return true;
        }
        break;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace kmp
