#pragma once

#include "field.h"
#include "locateindex.h"
#include "packedrow.h"
#include "packet.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <vector>

namespace kmp {

class DataSource;

enum class DataSetState { Inactive, Browse, Edit, Insert };

QString dataSetStateName(DataSetState state);

enum class LocateOption {
    None = 0,
    CaseInsensitive = 1,
    PartialKey = 2,
};
Q_DECLARE_FLAGS(LocateOptions, LocateOption)

// A client-side table, filled whole from a data packet, edited locally and sent back as a
// delta of its pending changes.
//
// Events are plain std::function members called directly, so that an exception thrown by
// a before-event stops the operation (the set stays exactly as it was) and reaches
// whoever asked for it; an after-event's exception reaches the caller too. Views listen
// to the Qt signals, which never carry exceptions.
class RecordSet : public QObject
{
    Q_OBJECT
public:
    using Event = std::function<void(RecordSet &)>;

    explicit RecordSet(const QString &name = QString(), QObject *parent = nullptr);
    ~RecordSet() override;

    // --- structure -------------------------------------------------------------------
    // Fields can only be declared while the set is closed. Declared fields must all be
    // present in any packet later loaded; with no declared fields, the packet's are used.
    Field *addField(const QString &name, FieldKind kind, int size = 0);
    Field *findField(const QString &name) const;
    Field *fieldByName(const QString &name) const; // throws DataSetError when absent
    Field *field(int index) const { return m_fields.at(size_t(index)).get(); }
    int fieldCount() const { return int(m_fields.size()); }
    FieldDefs fieldDefs() const;

    // --- state and navigation --------------------------------------------------------
    DataSetState state() const { return m_state; }
    bool isActive() const { return m_state != DataSetState::Inactive; }
    bool isEditing() const { return m_state == DataSetState::Edit || m_state == DataSetState::Insert; }

    void open(); // opens empty when nothing was loaded
    void close();
    void loadFromPacket(const QByteArray &packet); // decodes fully, then closes and opens
    void loadRows(const FieldDefs &defs, std::vector<RowValues> rows);
    QByteArray toPacket() const;

    void first();
    void last();
    void next();
    void prior();
    void moveTo(int row);
    bool isBof() const { return m_bof; }
    bool isEof() const { return m_eof; }
    int currentRow() const { return m_current; } // -1 when empty or closed
    int recordCount() const { return int(m_rows.size()); }
    bool isEmpty() const { return m_rows.empty(); }

    // Moves to the first record whose field holds the value. Exact locates go through an
    // index of the field, built at the first locate on it and kept up to date by every
    // later edit, so that looking up a code in a large catalogue does not scan it.
    bool locate(const QString &fieldName, const QVariant &value, LocateOptions options = LocateOption::None);

    // --- editing ---------------------------------------------------------------------
    void insert(); // a new record before the current one
    void append(); // a new record at the end
    void edit();   // no effect while already editing; on an empty set it inserts
    void post();
    void cancel();
    void remove(); // deletes the current record

    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }

    // --- change log --------------------------------------------------------------------
    int changeCount() const;
    bool logChanges() const { return m_logChanges; }
    void setLogChanges(bool on) { m_logChanges = on; }
    Delta deltaData() const;
    QByteArray delta() const { return encodeDelta(deltaData()); }
    void mergeChangeLog();
    void cancelUpdates(); // back to the content of the last load or merge

    // --- values (used by Field and the item model) -------------------------------------
    QVariant value(int row, int fieldIndex) const; // what a view shows for that row
    QVariant currentValue(int fieldIndex) const;
    void setCurrentValue(int fieldIndex, const QVariant &value);

    // --- events ------------------------------------------------------------------------
    Event OnBeforeOpen, OnAfterOpen, OnBeforeClose, OnAfterClose;
    Event OnBeforeInsert, OnAfterInsert, OnBeforeEdit, OnAfterEdit;
    Event OnBeforePost, OnAfterPost, OnBeforeCancel, OnAfterCancel;
    Event OnBeforeDelete, OnAfterDelete, OnBeforeScroll, OnAfterScroll;

    // Drops every event handler (a screen being destroyed must not be called back).
    void clearEvents();

    // Data sources register themselves here to hear every state change synchronously.
    void attachDataSource(DataSource *source);
    void detachDataSource(DataSource *source);

    void requestFieldFocus(Field *field);
    // Throws unless the set is open; exposed for the views' own checks.
    void checkActive() const;

Q_SIGNALS:
    void aboutToReset();
    void resetDone();
    void rowAboutToBeInserted(int row);
    void rowInserted(int row);
    void rowAboutToBeRemoved(int row);
    void rowRemoved(int row);
    void rowChanged(int row);
    void cursorMoved(int row);
    void stateChanged(kmp::DataSetState state);
    void fieldFocusRequested(kmp::Field *field);
    void fieldLayoutChanged();

private:
    enum class RowStatus : quint8 { Unmodified, Inserted, Modified };
    // Kept small: a catalogue holds tens of thousands of these.
    struct Row
    {
        PackedRow values;
        PackedRow original; // set once modified: the values as last loaded or merged
        qint64 changeSeq = 0;
        int ordinal = -1; // position at the last load or merge; -1 for new rows
        RowStatus status = RowStatus::Unmodified;
    };
    struct DeletedRow
    {
        PackedRow original;
        int ordinal;
        qint64 changeSeq;
    };

    void setState(DataSetState s);
    void fire(const Event &e);
    void checkBrowseMode(); // posts a pending edit before the cursor moves
    void scrollTo(int row, bool forceEvents);
    void doInsert(int at);
    void resetCursor();
    void renumber();
    PackedRow pack(const RowValues &values) const { return PackedRow::pack(m_kinds, values); }
    // Whether rows of a packet with these fields can be kept as they come.
    bool takesAsItIs(const FieldDefs &defs) const;
    void installRows(const FieldDefs &defs, std::vector<PackedRow> rows);
    LocateIndex &locateIndex(int field, bool caseInsensitive);
    // Keep the locate indexes in step: call before a row goes away or changes its values,
    // after a row is inserted.
    void indexRowInserted(int row);
    void indexRowRemoving(int row);
    void indexRowChanging(int row, const PackedRow &newValues);
    friend class Field;
    void notifyFieldLayout() { Q_EMIT fieldLayoutChanged(); }

    QString m_name;
    std::vector<std::unique_ptr<Field>> m_fields;
    std::vector<FieldKind> m_kinds; // the fields' kinds, in order, for packing rows
    std::vector<LocateIndex> m_indexes;
    std::vector<Row> m_rows;
    std::vector<DeletedRow> m_deleted;
    RowValues m_buffer;   // the record being edited or inserted
    int m_bufferRow = -1; // the row the buffer stands for, -1 when not editing
    DataSetState m_state = DataSetState::Inactive;
    int m_current = -1;
    bool m_bof = true;
    bool m_eof = true;
    bool m_logChanges = true;
    bool m_readOnly = false;
    bool m_fieldsDeclared = false;
    bool m_bufferModified = false;
    bool m_cancelling = false;
    qint64 m_nextChangeSeq = 1;
    std::vector<QPointer<DataSource>> m_sources;
};

} // namespace kmp

Q_DECLARE_OPERATORS_FOR_FLAGS(kmp::LocateOptions)
