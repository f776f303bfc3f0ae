// Feeds arbitrary bytes to the packet and delta decoders and, when a packet decodes, loads
// it into a record set and walks it: nothing may crash, hang or allocate without bound.
#include "error.h"
#include "recordset.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    try {
        kmp::Packet p = kmp::decodePacket(bytes);
        kmp::RecordSet set;
        set.loadRows(p.fields, std::move(p.rows));
        set.last();
        if (!set.isEmpty()) {
            set.edit();
            set.post();
            (void)set.delta();
        }
    } catch (const kmp::Error &) {
    }
    // The record set's own loading reads the bytes straight into packed rows.
    try {
        kmp::RecordSet set;
        set.loadFromPacket(bytes);
        if (!set.isEmpty()) {
            const QVariant first = set.value(0, 0);
            set.last();
            (void)set.locate(set.field(0)->fieldName(), first);
            (void)set.locate(set.field(0)->fieldName(), first, kmp::LocateOption::CaseInsensitive);
            (void)set.toPacket();
        }
    } catch (const kmp::Error &) {
    }
    try {
        kmp::Delta d = kmp::decodeDelta(bytes);
        (void)kmp::encodeDelta(d);
    } catch (const kmp::Error &) {
    }
    return 0;
}
