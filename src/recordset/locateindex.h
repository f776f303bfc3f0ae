#pragma once

#include "packedrow.h"

#include <QString>
#include <utility>
#include <vector>

namespace kmp {

// A lookup index of one field of a record set, for exact locates: the hash of each row's
// value beside the row's position, sorted, so that the rows holding a value are found by
// binary search. The hash only narrows the search; the caller checks each candidate
// against the real value, so a collision costs a comparison, never a wrong row.
//
// The record set keeps it in step with its rows: a row inserted or removed shifts the
// positions after it, a changed row moves to its new hash. Anything that reorders rows
// wholesale (a load, cancelling all updates) simply drops the index, which is rebuilt
// on the next locate.
class LocateIndex
{
public:
    LocateIndex(int field, FieldKind kind, bool caseInsensitive)
        : m_field(field), m_kind(kind), m_caseInsensitive(caseInsensitive)
    {
    }

    int field() const { return m_field; }
    bool isCaseInsensitive() const { return m_caseInsensitive; }

    // Hash of a stored value and of a value looked for (text as the user gave it, or a
    // value already normalised to the field's kind); equal values hash alike.
    size_t hashOf(const PackedRow &row) const;
    size_t hashOfText(const QString &text) const;
    size_t hashOfValue(const QVariant &normalised) const;
    static size_t nullHash() { return 0x6b6d70u; }

    void build(const std::vector<size_t> &hashes);
    // Positions of the rows whose value hashes to h, in row order.
    std::vector<int> rowsFor(size_t hash) const;

    void rowInserted(int row, size_t hash);
    void rowRemoved(int row, size_t hash);
    void rowChanged(int row, size_t oldHash, size_t newHash);

private:
    size_t hashOfUtf8(QByteArrayView utf8) const;

    int m_field;
    FieldKind m_kind;
    bool m_caseInsensitive;
    std::vector<std::pair<size_t, int>> m_entries; // (hash, row), sorted
};

} // namespace kmp
