#pragma once

#include "fielddef.h"

#include <QByteArray>

namespace kmp {

// A data packet: the field definitions and every row of a result, as the server sends it.
struct Packet
{
    FieldDefs fields;
    std::vector<RowValues> rows;
};

enum class ChangeKind : int { Insert = 1, Modify = 2, Delete = 3 };

// One pending change of a record set. Inserts carry only new values, deletes only the
// original ones, modifications both, so that the server can find the row by its key and
// refuse it when someone else changed it since it was loaded.
struct Change
{
    ChangeKind kind = ChangeKind::Insert;
    RowValues oldValues;
    RowValues newValues;
};

struct Delta
{
    FieldDefs fields;
    std::vector<Change> changes;
};

// CBOR encodings. The decoders validate everything (shape, kinds, sizes, lengths against
// the bytes actually present) and throw PacketError on anything malformed; they never
// allocate by a length read from the input without checking it against the input size.
QByteArray encodePacket(const Packet &packet);
Packet decodePacket(const QByteArray &bytes);

QByteArray encodeDelta(const Delta &delta);
Delta decodeDelta(const QByteArray &bytes);

// Writes a packet row by row when the number of rows is not known beforehand (a query
// being read): rows go straight into their encoded form, the head is added at the end.
// The result decodes exactly as encodePacket's would.
class PacketWriter
{
public:
    explicit PacketWriter(FieldDefs fields);
    ~PacketWriter();
    PacketWriter(const PacketWriter &) = delete;
    PacketWriter &operator=(const PacketWriter &) = delete;

    // One row: valueAt(i) gives the value of field i.
    template <typename ValueAt>
    void addRow(ValueAt &&valueAt)
    {
        beginRow();
        for (size_t i = 0; i < m_fields.size(); ++i)
            addValue(i, valueAt(int(i)));
        endRow();
    }
    quint64 rowCount() const { return m_count; }
    QByteArray finish();

private:
    void beginRow();
    void addValue(size_t field, const QVariant &value);
    void endRow();

    FieldDefs m_fields;
    QByteArray m_rows;
    quint64 m_count = 0;
};

// Largest number of fields a packet or delta may declare.
constexpr int MaxPacketFields = 1024;

} // namespace kmp
