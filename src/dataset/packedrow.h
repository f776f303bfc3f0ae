#pragma once

#include "fielddef.h"

#include <QByteArrayView>
#include <memory>

namespace kmp {

// The stored values of one record, packed into a single allocation: the number of fields
// and a table of end offsets (32-bit words, the top bit marking null), then the values as
// bytes: UTF-8 for text, the eight bytes of the double for dates and floats, the bytes
// themselves for blobs. A whole catalogue held as QVariants costs several allocations
// per cell; packed, a row is one allocation a little larger than its text.
//
// Values are normalised to their field's kind on the way in (as coerceValue would) and
// come back out as the QVariant types the rest of the record set uses: QString, double,
// QByteArray, or an invalid QVariant for null.
class PackedRow
{
public:
    PackedRow() = default;
    PackedRow(PackedRow &&) noexcept = default;
    PackedRow &operator=(PackedRow &&) noexcept = default;
    PackedRow(const PackedRow &other);
    PackedRow &operator=(const PackedRow &other);

    // values may be shorter than kinds (missing values are null); extra ones are ignored.
    static PackedRow pack(const std::vector<FieldKind> &kinds, const RowValues &values);

    bool isEmpty() const { return !m_data; } // never packed: every value reads as null
    int fieldCount() const;
    bool isNull(int field) const;
    // The stored bytes of a value (empty for null).
    QByteArrayView raw(int field) const;
    QVariant value(int field, FieldKind kind) const;
    RowValues unpack(const std::vector<FieldKind> &kinds) const;

private:
    friend class PackedRowBuilder;
    quint32 word(int index) const;
    const char *payload() const;

    // One pointer, so that a row of the record set stays small.
    std::unique_ptr<char[]> m_data;
};

// Puts a packed row together value by value, reusing its buffers from row to row, so that
// a whole packet is packed with one allocation per row.
class PackedRowBuilder
{
public:
    void start()
    {
        m_ends.clear();
        m_data.clear();
    }
    void addNull() { m_ends.push_back(quint32(m_data.size()) | 0x80000000u); }
    void addBytes(QByteArrayView bytes)
    {
        m_data.append(bytes);
        m_ends.push_back(quint32(m_data.size()));
    }
    void addDouble(double d);
    PackedRow finish() const;

private:
    std::vector<quint32> m_ends;
    QByteArray m_data;
};

} // namespace kmp
