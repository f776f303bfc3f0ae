#pragma once

#include "fielddef.h"
#include "packedrow.h"

#include <QByteArray>
#include <vector>

namespace kmp {

// A data packet decoded straight into packed rows: the same checks as decodePacket, but
// text that is already sound UTF-8 is copied as it is, with no QString or QVariant made
// for it, which is most of the cost of loading a large catalogue.
struct PackedPacket
{
    FieldDefs fields;
    std::vector<PackedRow> rows;
};

PackedPacket decodePackedPacket(const QByteArray &bytes);

} // namespace kmp
