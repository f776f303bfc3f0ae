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

// Largest number of fields a packet or delta may declare.
constexpr int MaxPacketFields = 1024;

} // namespace kmp
