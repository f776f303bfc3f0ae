#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QPointer>
#include <memory>
#include <vector>

class QLineEdit;
class QTreeView;
class QLabel;

namespace kmp {

class RecordSet;

// Folds text for searching: lower case, accents dropped (ã -> a, Ç -> c), everything that
// is neither letter nor digit becomes a blank.
QString foldForSearch(const QString &text);

// The searchable form of a record set's visible fields, built once per load of the record
// set and shared by every lookup over it until the set is reloaded or changed.
class LookupIndex
{
public:
    // Builds (or reuses) the index for the set. The first visible field is the code.
    static std::shared_ptr<const LookupIndex> forRecordSet(RecordSet *set);

    explicit LookupIndex(RecordSet *set);

    int rowCount() const { return int(m_rowStart.size()) - 1; }
    // Fills out with the source rows matching the query, best first. Reuses out's storage.
    void filter(const QString &query, std::vector<int> &out) const;

private:
    // Per row: [m_rowStart[r], m_rowStart[r+1]) in m_words holds offsets into m_text of the
    // starts of the row's words; the code's folded text is [m_codeStart[r], m_codeEnd[r]).
    std::u16string m_text;
    std::vector<quint32> m_words;
    std::vector<quint32> m_rowStart;
    std::vector<quint32> m_codeStart;
    std::vector<quint32> m_codeEnd;
    std::vector<quint32> m_textStart; // first word of the texts after the code
    mutable std::vector<int> m_rank;
};

// The rows the lookup shows: the visible fields of the matched source rows.
class LookupModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit LookupModel(RecordSet *set, QObject *parent = nullptr);

    void setRows(const std::vector<int> &rows);
    int sourceRow(int row) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QPointer<RecordSet> m_set;
    std::vector<int> m_fields;
    std::vector<int> m_rows;
};

// The lookup dialog of Pesquisa::Pesquisar. Tests reach it through the dialog service's
// request and drive it with setFilterText() and pick().
class LookupDialog : public QDialog
{
    Q_OBJECT
public:
    LookupDialog(RecordSet *set, const QString &title, QWidget *parent = nullptr);
    ~LookupDialog() override;

    void setFilterText(const QString &text); // as if typed
    QString filterText() const;
    int shownCount() const; // rows in the filtered list
    QString shownText(int row, int column) const;
    int currentShownRow() const;
    // Picks a shown row and accepts; false (nothing changes) when out of range.
    bool pick(int row);
    int pickedSourceRow() const { return m_picked; }

    QLineEdit *searchBox() const { return m_search; }
    QTreeView *view() const { return m_view; }

    // The size the dialog opens with: the one the user last gave it (kept by the host),
    // or the default.
    static QSize rememberedSize();
    void done(int result) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refilter();
    void pickCurrent();

    QPointer<RecordSet> m_set;
    std::shared_ptr<const LookupIndex> m_index;
    LookupModel *m_model;
    QLineEdit *m_search;
    QTreeView *m_view;
    QLabel *m_count;
    std::vector<int> m_rows;
    int m_picked = -1;
};

} // namespace kmp
