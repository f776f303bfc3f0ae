#include "recordset.h"

#include "datasource.h"
#include "error.h"
#include "packedpacket.h"

#include <algorithm>

namespace kmp {

QString dataSetStateName(DataSetState state)
{
    switch (state) {
    case DataSetState::Inactive: return QStringLiteral("inactive");
    case DataSetState::Browse: return QStringLiteral("browse");
    case DataSetState::Edit: return QStringLiteral("edit");
    case DataSetState::Insert: return QStringLiteral("insert");
    }
    return {};
}

RecordSet::RecordSet(const QString &name, QObject *parent) : QObject(parent), m_name(name)
{
    setObjectName(name);
}

RecordSet::~RecordSet()
{
    for (const auto &s : m_sources)
        if (s)
            s->forgetDataSet(this);
}

Field *RecordSet::addField(const QString &name, FieldKind kind, int size)
{
    if (isActive())
        throw DataSetError(QStringLiteral("%1: campos só podem ser definidos com o conjunto fechado.").arg(m_name));
    if (findField(name))
        throw DataSetError(QStringLiteral("%1: campo %2 repetido.").arg(m_name, name));
    m_fields.push_back(
        std::make_unique<Field>(this, int(m_fields.size()), FieldDef{name, kind, kind == FieldKind::String ? size : 0}));
    m_kinds.push_back(kind);
    m_fieldsDeclared = true;
    Q_EMIT fieldLayoutChanged();
    return m_fields.back().get();
}

Field *RecordSet::findField(const QString &name) const
{
    for (const auto &f : m_fields)
        if (f->fieldName().compare(name, Qt::CaseInsensitive) == 0)
            return f.get();
    return nullptr;
}

Field *RecordSet::fieldByName(const QString &name) const
{
    if (Field *f = findField(name))
        return f;
    throw DataSetError(QStringLiteral("%1: campo '%2' não encontrado.").arg(m_name, name));
}

FieldDefs RecordSet::fieldDefs() const
{
    FieldDefs defs;
    defs.reserve(m_fields.size());
    for (const auto &f : m_fields)
        defs.push_back(f->def());
    return defs;
}

void RecordSet::checkActive() const
{
    if (!isActive())
        throw DataSetError(QStringLiteral("%1: operação não permitida com o conjunto de dados fechado.").arg(m_name));
}

void RecordSet::fire(const Event &e)
{
    if (e)
        e(*this);
}

void RecordSet::setState(DataSetState s)
{
    if (m_state == s)
        return;
    m_state = s;
    // Copy: a handler may attach or detach sources while we walk the list.
    const auto sources = m_sources;
    for (const auto &src : sources)
        if (src)
            src->recordSetStateChanged();
    Q_EMIT stateChanged(s);
}

void RecordSet::clearEvents()
{
    for (Event *e : {&OnBeforeOpen, &OnAfterOpen, &OnBeforeClose, &OnAfterClose, &OnBeforeInsert, &OnAfterInsert, &OnBeforeEdit,
                     &OnAfterEdit, &OnBeforePost, &OnAfterPost, &OnBeforeCancel, &OnAfterCancel, &OnBeforeDelete, &OnAfterDelete,
                     &OnBeforeScroll, &OnAfterScroll})
        *e = nullptr;
}

void RecordSet::attachDataSource(DataSource *source)
{
    if (std::find(m_sources.begin(), m_sources.end(), source) == m_sources.end())
        m_sources.emplace_back(source);
}

void RecordSet::detachDataSource(DataSource *source)
{
    m_sources.erase(
        std::remove_if(m_sources.begin(), m_sources.end(), [source](const QPointer<DataSource> &p) { return !p || p == source; }),
        m_sources.end());
}

void RecordSet::requestFieldFocus(Field *field)
{
    Q_EMIT fieldFocusRequested(field);
}

// ---------------------------------------------------------------------------------------
// open, close, load

void RecordSet::open()
{
    if (isActive())
        return;
    if (m_fields.empty())
        throw DataSetError(QStringLiteral("%1: não há campos definidos.").arg(m_name));
    fire(OnBeforeOpen);
    Q_EMIT aboutToReset();
    setState(DataSetState::Browse);
    resetCursor();
    Q_EMIT resetDone();
    fire(OnAfterOpen);
    fire(OnAfterScroll);
}

void RecordSet::close()
{
    if (!isActive())
        return;
    fire(OnBeforeClose);
    Q_EMIT aboutToReset();
    m_rows.clear();
    m_deleted.clear();
    m_indexes.clear();
    m_buffer.clear();
    m_bufferRow = -1;
    m_bufferModified = false;
    m_current = -1;
    m_bof = m_eof = true;
    setState(DataSetState::Inactive);
    Q_EMIT resetDone();
    fire(OnAfterClose);
}

void RecordSet::loadFromPacket(const QByteArray &packet)
{
    PackedPacket p = decodePackedPacket(packet); // throws before anything changes
    if (takesAsItIs(p.fields)) {
        installRows(p.fields, std::move(p.rows));
        return;
    }
    // Fields in another order, or wider than ours: value by value, mapped and checked.
    std::vector<FieldKind> kinds;
    for (const FieldDef &d : p.fields)
        kinds.push_back(d.kind);
    std::vector<RowValues> rows;
    rows.reserve(p.rows.size());
    for (PackedRow &r : p.rows) {
        rows.push_back(r.unpack(kinds));
        r = PackedRow();
    }
    loadRows(p.fields, std::move(rows));
}

bool RecordSet::takesAsItIs(const FieldDefs &defs) const
{
    if (!m_fieldsDeclared)
        return true;
    if (defs.size() != m_fields.size())
        return false;
    for (size_t i = 0; i < defs.size(); ++i) {
        const Field &f = *m_fields[i];
        const bool numeric = (defs[i].kind == FieldKind::Float || defs[i].kind == FieldKind::DateTime)
                             && (f.kind() == FieldKind::Float || f.kind() == FieldKind::DateTime);
        if (defs[i].name.compare(f.fieldName(), Qt::CaseInsensitive) != 0 || (defs[i].kind != f.kind() && !numeric)
            || defs[i].size > f.size())
            return false;
    }
    return true;
}

void RecordSet::installRows(const FieldDefs &defs, std::vector<PackedRow> rows)
{
    close();
    if (!m_fieldsDeclared) {
        m_fields.clear();
        m_kinds.clear();
        for (const FieldDef &d : defs) {
            m_fields.push_back(std::make_unique<Field>(this, int(m_fields.size()), d));
            m_kinds.push_back(d.kind);
        }
        Q_EMIT fieldLayoutChanged();
    }
    m_rows.clear();
    m_rows.shrink_to_fit(); // a smaller load must not keep the last one's capacity
    m_rows.reserve(rows.size());
    int ordinal = 0;
    for (PackedRow &values : rows) {
        Row r;
        r.values = std::move(values);
        r.ordinal = ordinal++;
        m_rows.push_back(std::move(r));
    }
    open();
}

void RecordSet::loadRows(const FieldDefs &defs, std::vector<RowValues> rows)
{
    // Work out, before touching the set, where each of our fields comes from.
    std::vector<int> source;
    bool identity = true;
    if (m_fieldsDeclared) {
        source.reserve(m_fields.size());
        for (const auto &f : m_fields) {
            int found = -1;
            for (size_t i = 0; i < defs.size(); ++i)
                if (defs[i].name.compare(f->fieldName(), Qt::CaseInsensitive) == 0) {
                    found = int(i);
                    break;
                }
            if (found < 0)
                throw DataSetError(
                    QStringLiteral("%1: o campo '%2' não veio nos dados do servidor.").arg(m_name, f->fieldName()));
            const FieldKind got = defs[size_t(found)].kind;
            const bool numeric = (got == FieldKind::Float || got == FieldKind::DateTime)
                                 && (f->kind() == FieldKind::Float || f->kind() == FieldKind::DateTime);
            if (got != f->kind() && !numeric)
                throw DataSetError(QStringLiteral("%1: o campo '%2' veio como %3, esperado %4.")
                                       .arg(m_name, f->fieldName(), fieldKindName(got), fieldKindName(f->kind())));
            if (found != int(source.size()) || defs[size_t(found)].size > f->size())
                identity = false;
            source.push_back(found);
        }
        if (defs.size() != m_fields.size())
            identity = false;
        if (!identity) {
            for (RowValues &row : rows) {
                RowValues mapped;
                mapped.reserve(m_fields.size());
                for (size_t i = 0; i < m_fields.size(); ++i)
                    mapped.push_back(coerceValue(m_fields[i]->def(), row.at(size_t(source[i]))));
                row = std::move(mapped);
            }
        }
    } else {
        for (RowValues &row : rows)
            if (row.size() != defs.size())
                throw DataSetError(QStringLiteral("%1: linha com número errado de valores.").arg(m_name));
    }

    // Packed with the kinds the set will have once loaded.
    std::vector<FieldKind> kinds = m_kinds;
    if (!m_fieldsDeclared) {
        kinds.clear();
        for (const FieldDef &d : defs)
            kinds.push_back(d.kind);
    }
    std::vector<PackedRow> packed;
    packed.reserve(rows.size());
    for (RowValues &values : rows) {
        packed.push_back(PackedRow::pack(kinds, values));
        RowValues().swap(values); // each row's QVariants go as soon as they are packed
    }
    installRows(defs, std::move(packed));
}

QByteArray RecordSet::toPacket() const
{
    Packet p;
    p.fields = fieldDefs();
    p.rows.reserve(m_rows.size());
    for (const Row &r : m_rows)
        p.rows.push_back(r.values.unpack(m_kinds));
    return encodePacket(p);
}

// ---------------------------------------------------------------------------------------
// navigation

void RecordSet::resetCursor()
{
    m_current = m_rows.empty() ? -1 : 0;
    m_bof = true;
    m_eof = m_rows.empty();
}

void RecordSet::checkBrowseMode()
{
    if (!isEditing())
        return;
    // An untouched new record is dropped rather than stored empty.
    if (m_state == DataSetState::Insert && !m_bufferModified)
        cancel();
    else
        post();
}

void RecordSet::scrollTo(int row, bool forceEvents)
{
    checkActive();
    checkBrowseMode();
    if (m_rows.empty()) {
        m_current = -1;
        m_bof = m_eof = true;
        return;
    }
    row = std::clamp(row, 0, int(m_rows.size()) - 1);
    if (row == m_current && !forceEvents)
        return;
    fire(OnBeforeScroll);
    m_current = row;
    Q_EMIT cursorMoved(row);
    fire(OnAfterScroll);
}

void RecordSet::first()
{
    scrollTo(0, true);
    m_bof = true;
    m_eof = m_rows.empty();
}

void RecordSet::last()
{
    scrollTo(int(m_rows.size()) - 1, true);
    m_eof = true;
    m_bof = m_rows.empty();
}

void RecordSet::next()
{
    checkActive();
    checkBrowseMode();
    if (m_current < 0 || m_current >= int(m_rows.size()) - 1) {
        m_eof = true;
        return;
    }
    scrollTo(m_current + 1, false);
    m_bof = false;
    m_eof = false;
}

void RecordSet::prior()
{
    checkActive();
    checkBrowseMode();
    if (m_current <= 0) {
        m_bof = true;
        return;
    }
    scrollTo(m_current - 1, false);
    m_bof = false;
    m_eof = false;
}

void RecordSet::moveTo(int row)
{
    scrollTo(row, false);
    m_bof = m_eof = m_rows.empty();
}

LocateIndex &RecordSet::locateIndex(int field, bool caseInsensitive)
{
    for (LocateIndex &idx : m_indexes)
        if (idx.field() == field && idx.isCaseInsensitive() == caseInsensitive)
            return idx;
    LocateIndex idx(field, m_kinds[size_t(field)], caseInsensitive);
    std::vector<size_t> hashes;
    hashes.reserve(m_rows.size());
    for (const Row &r : m_rows)
        hashes.push_back(idx.hashOf(r.values));
    idx.build(hashes);
    m_indexes.push_back(std::move(idx));
    return m_indexes.back();
}

void RecordSet::indexRowInserted(int row)
{
    for (LocateIndex &idx : m_indexes)
        idx.rowInserted(row, idx.hashOf(m_rows[size_t(row)].values));
}

void RecordSet::indexRowRemoving(int row)
{
    for (LocateIndex &idx : m_indexes)
        idx.rowRemoved(row, idx.hashOf(m_rows[size_t(row)].values));
}

void RecordSet::indexRowChanging(int row, const PackedRow &newValues)
{
    for (LocateIndex &idx : m_indexes)
        idx.rowChanged(row, idx.hashOf(m_rows[size_t(row)].values), idx.hashOf(newValues));
}

bool RecordSet::locate(const QString &fieldName, const QVariant &value, LocateOptions options)
{
    checkActive();
    checkBrowseMode();
    const Field *f = fieldByName(fieldName);
    const int fi = f->index();
    const bool text = f->kind() == FieldKind::String;
    const bool caseless = options.testFlag(LocateOption::CaseInsensitive);
    const Qt::CaseSensitivity cs = caseless ? Qt::CaseInsensitive : Qt::CaseSensitive;
    const bool partial = options.testFlag(LocateOption::PartialKey);
    QVariant wanted;
    QString wantedText;
    QByteArray wantedUtf8;
    if (text) {
        wantedText = value.toString();
        wantedUtf8 = wantedText.toUtf8();
    } else {
        try {
            wanted = coerceValue(f->def(), value);
        } catch (const DataSetError &) {
            return false;
        }
    }
    // A null text matches only a search for nothing at all; case-sensitive comparisons
    // are done on the stored UTF-8 without decoding it.
    const auto matches = [&](int row) {
        const PackedRow &values = m_rows[size_t(row)].values;
        if (!text)
            return sameValue(values.value(fi, f->kind()), wanted);
        if (values.isNull(fi))
            return wantedText.isEmpty() && !value.isValid();
        const QByteArrayView stored = values.raw(fi);
        if (cs == Qt::CaseSensitive)
            return partial ? stored.startsWith(wantedUtf8) : stored == QByteArrayView(wantedUtf8);
        const QString s = QString::fromUtf8(stored);
        return partial ? s.startsWith(wantedText, cs) : s.compare(wantedText, cs) == 0;
    };
    int found = -1;
    if (text && partial) {
        for (size_t i = 0; i < m_rows.size() && found < 0; ++i)
            if (matches(int(i)))
                found = int(i);
    } else {
        const LocateIndex &idx = locateIndex(fi, text && caseless);
        std::vector<int> candidates = idx.rowsFor(text ? idx.hashOfText(wantedText) : idx.hashOfValue(wanted));
        if (text && wantedText.isEmpty() && !value.isValid()) {
            const std::vector<int> nulls = idx.rowsFor(LocateIndex::nullHash());
            candidates.insert(candidates.end(), nulls.begin(), nulls.end());
            std::sort(candidates.begin(), candidates.end());
        }
        for (int row : candidates)
            if (matches(row)) {
                found = row;
                break;
            }
    }
    if (found < 0)
        return false;
    scrollTo(found, false);
    m_bof = m_eof = false;
    return true;
}

// ---------------------------------------------------------------------------------------
// editing

void RecordSet::doInsert(int at)
{
    checkActive();
    if (m_readOnly)
        throw DataSetError(QStringLiteral("%1: conjunto de dados somente leitura.").arg(m_name));
    checkBrowseMode();
    fire(OnBeforeInsert);
    fire(OnBeforeScroll);
    if (at < 0)
        at = m_rows.empty() ? 0 : std::max(m_current, 0);
    at = std::clamp(at, 0, int(m_rows.size()));
    Q_EMIT rowAboutToBeInserted(at);
    Row r;
    r.status = RowStatus::Inserted;
    m_rows.insert(m_rows.begin() + at, std::move(r));
    indexRowInserted(at);
    m_current = at;
    m_buffer.assign(m_fields.size(), QVariant());
    m_bufferRow = at;
    m_bufferModified = false;
    m_bof = m_eof = false;
    Q_EMIT rowInserted(at);
    setState(DataSetState::Insert);
    Q_EMIT cursorMoved(at);
    fire(OnAfterInsert);
    fire(OnAfterScroll);
}

void RecordSet::insert()
{
    doInsert(-1);
}

void RecordSet::append()
{
    doInsert(int(m_rows.size()));
}

void RecordSet::edit()
{
    checkActive();
    if (isEditing())
        return;
    if (m_readOnly)
        throw DataSetError(QStringLiteral("%1: conjunto de dados somente leitura.").arg(m_name));
    if (m_rows.empty()) {
        insert();
        return;
    }
    fire(OnBeforeEdit);
    m_buffer = m_rows[size_t(m_current)].values.unpack(m_kinds);
    m_bufferRow = m_current;
    m_bufferModified = false;
    setState(DataSetState::Edit);
    fire(OnAfterEdit);
}

void RecordSet::post()
{
    checkActive();
    if (!isEditing())
        return;
    fire(OnBeforePost); // an exception here leaves state and buffer as they are
    Row &r = m_rows[size_t(m_current)];
    if (m_state == DataSetState::Insert) {
        PackedRow packed = pack(m_buffer);
        indexRowChanging(m_current, packed);
        r.values = std::move(packed);
        if (m_logChanges) {
            r.status = RowStatus::Inserted;
            r.changeSeq = m_nextChangeSeq++;
        } else {
            r.status = RowStatus::Unmodified;
            renumber();
        }
    } else {
        bool changed = false;
        for (size_t i = 0; i < m_buffer.size() && !changed; ++i)
            changed = !sameValue(m_buffer[i], r.values.value(int(i), m_kinds[i]));
        if (changed) {
            PackedRow packed = pack(m_buffer);
            indexRowChanging(m_current, packed);
            if (m_logChanges && r.status == RowStatus::Unmodified) {
                r.original = std::move(r.values);
                r.status = RowStatus::Modified;
                r.changeSeq = m_nextChangeSeq++;
            }
            r.values = std::move(packed);
        }
    }
    m_buffer.clear();
    m_bufferRow = -1;
    m_bufferModified = false;
    const int row = m_current;
    setState(DataSetState::Browse);
    Q_EMIT rowChanged(row);
    fire(OnAfterPost);
}

void RecordSet::cancel()
{
    checkActive();
    // A view told that the new row goes away may ask to cancel again; once is enough.
    if (!isEditing() || m_cancelling)
        return;
    fire(OnBeforeCancel);
    m_cancelling = true;
    struct Reset
    {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{m_cancelling};
    const int row = m_current;
    m_bufferRow = -1;
    if (m_state == DataSetState::Insert) {
        Q_EMIT rowAboutToBeRemoved(row);
        indexRowRemoving(row);
        m_rows.erase(m_rows.begin() + row);
        if (m_current >= int(m_rows.size()))
            m_current = int(m_rows.size()) - 1;
        Q_EMIT rowRemoved(row);
    }
    m_buffer.clear();
    m_bufferModified = false;
    m_bof = m_rows.empty() || m_current == 0;
    m_eof = m_rows.empty();
    setState(DataSetState::Browse);
    if (m_current >= 0) {
        Q_EMIT rowChanged(m_current);
        Q_EMIT cursorMoved(m_current);
    }
    fire(OnAfterCancel);
}

void RecordSet::remove()
{
    checkActive();
    if (m_state == DataSetState::Insert) {
        cancel();
        return;
    }
    if (m_rows.empty())
        throw DataSetError(QStringLiteral("%1: não há registro para excluir.").arg(m_name));
    if (m_readOnly)
        throw DataSetError(QStringLiteral("%1: conjunto de dados somente leitura.").arg(m_name));
    fire(OnBeforeDelete);
    fire(OnBeforeScroll);
    const int row = m_current;
    m_bufferRow = -1;
    Q_EMIT rowAboutToBeRemoved(row); // views still read the row while told it is going
    indexRowRemoving(row);
    Row r = std::move(m_rows[size_t(row)]);
    m_rows.erase(m_rows.begin() + row);
    m_buffer.clear();
    m_bufferModified = false;
    if (m_logChanges) {
        if (r.status == RowStatus::Modified)
            m_deleted.push_back({std::move(r.original), r.ordinal, m_nextChangeSeq++});
        else if (r.status == RowStatus::Unmodified)
            m_deleted.push_back({std::move(r.values), r.ordinal, m_nextChangeSeq++});
        // a row inserted since the last merge simply disappears: the server never saw it
    }
    if (m_current >= int(m_rows.size()))
        m_current = int(m_rows.size()) - 1;
    m_bof = m_rows.empty();
    m_eof = m_rows.empty();
    Q_EMIT rowRemoved(row);
    setState(DataSetState::Browse);
    if (m_current >= 0)
        Q_EMIT cursorMoved(m_current);
    fire(OnAfterDelete);
    fire(OnAfterScroll);
}

// ---------------------------------------------------------------------------------------
// change log

int RecordSet::changeCount() const
{
    int n = int(m_deleted.size());
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (m_state == DataSetState::Insert && int(i) == m_current)
            continue; // the record being inserted is not a change until posted
        if (m_rows[i].status != RowStatus::Unmodified)
            ++n;
    }
    return n;
}

Delta RecordSet::deltaData() const
{
    std::vector<std::pair<qint64, Change>> changes;
    for (size_t i = 0; i < m_rows.size(); ++i) {
        const Row &r = m_rows[i];
        if (m_state == DataSetState::Insert && int(i) == m_current)
            continue;
        if (r.status == RowStatus::Inserted)
            changes.push_back({r.changeSeq, Change{ChangeKind::Insert, {}, r.values.unpack(m_kinds)}});
        else if (r.status == RowStatus::Modified)
            changes.push_back({r.changeSeq, Change{ChangeKind::Modify, r.original.unpack(m_kinds), r.values.unpack(m_kinds)}});
    }
    for (const DeletedRow &d : m_deleted)
        changes.push_back({d.changeSeq, Change{ChangeKind::Delete, d.original.unpack(m_kinds), {}}});
    std::stable_sort(changes.begin(), changes.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    Delta delta;
    delta.fields = fieldDefs();
    delta.changes.reserve(changes.size());
    for (auto &c : changes)
        delta.changes.push_back(std::move(c.second));
    return delta;
}

void RecordSet::renumber()
{
    int ordinal = 0;
    for (size_t i = 0; i < m_rows.size(); ++i) {
        Row &r = m_rows[i];
        if (m_state == DataSetState::Insert && int(i) == m_current)
            continue;
        r.ordinal = ordinal++;
    }
}

void RecordSet::mergeChangeLog()
{
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (m_state == DataSetState::Insert && int(i) == m_current)
            continue;
        m_rows[i].status = RowStatus::Unmodified;
        m_rows[i].original = PackedRow();
    }
    m_deleted.clear();
    renumber();
}

void RecordSet::cancelUpdates()
{
    if (!isActive())
        return;
    Q_EMIT aboutToReset();
    m_indexes.clear(); // rows come back in their old order: rebuilt at the next locate
    if (isEditing()) {
        if (m_state == DataSetState::Insert)
            m_rows.erase(m_rows.begin() + m_current);
        m_buffer.clear();
        m_bufferRow = -1;
        m_bufferModified = false;
    }
    std::vector<Row> restored;
    restored.reserve(m_rows.size() + m_deleted.size());
    for (Row &r : m_rows) {
        if (r.status == RowStatus::Inserted)
            continue;
        if (r.status == RowStatus::Modified) {
            r.values = std::move(r.original);
            r.original = {};
            r.status = RowStatus::Unmodified;
        }
        restored.push_back(std::move(r));
    }
    for (DeletedRow &d : m_deleted) {
        Row r;
        r.values = std::move(d.original);
        r.ordinal = d.ordinal;
        restored.push_back(std::move(r));
    }
    m_deleted.clear();
    std::stable_sort(restored.begin(), restored.end(), [](const Row &a, const Row &b) { return a.ordinal < b.ordinal; });
    m_rows = std::move(restored);
    if (m_current >= int(m_rows.size()))
        m_current = int(m_rows.size()) - 1;
    if (m_current < 0 && !m_rows.empty())
        m_current = 0;
    m_bof = m_rows.empty() || m_current == 0;
    m_eof = m_rows.empty();
    setState(DataSetState::Browse);
    Q_EMIT resetDone();
}

// ---------------------------------------------------------------------------------------
// values

QVariant RecordSet::value(int row, int fieldIndex) const
{
    if (row < 0 || row >= int(m_rows.size()) || fieldIndex < 0 || fieldIndex >= int(m_fields.size()))
        return {};
    if (row == m_bufferRow)
        return m_buffer[size_t(fieldIndex)];
    return m_rows[size_t(row)].values.value(fieldIndex, m_kinds[size_t(fieldIndex)]);
}

QVariant RecordSet::currentValue(int fieldIndex) const
{
    checkActive();
    if (m_current < 0)
        return {};
    return value(m_current, fieldIndex);
}

void RecordSet::setCurrentValue(int fieldIndex, const QVariant &v)
{
    checkActive();
    const Field *f = field(fieldIndex);
    if (!isEditing())
        throw DataSetError(QStringLiteral("%1: o registro não está em edição (campo %2).").arg(m_name, f->fieldName()));
    if (f->isReadOnly())
        throw DataSetError(QStringLiteral("O campo '%1' não pode ser alterado.").arg(f->fieldName()));
    m_buffer[size_t(fieldIndex)] = coerceValue(f->def(), v);
    m_bufferModified = true;
    Q_EMIT rowChanged(m_current);
}

} // namespace kmp
