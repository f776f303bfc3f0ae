#include "packedrow.h"

#include <QtEndian>
#include <cstring>

namespace kmp {

namespace {

constexpr quint32 NullBit = 0x80000000u;

QByteArray bytesOf(FieldKind kind, const QVariant &v)
{
    switch (kind) {
    case FieldKind::String: return v.toString().toUtf8();
    case FieldKind::DateTime:
    case FieldKind::Float: break; // written as doubles by the caller
    case FieldKind::Blob: return v.typeId() == QMetaType::QByteArray ? v.toByteArray() : v.toString().toUtf8();
    }
    return {};
}

} // namespace

PackedRow::PackedRow(const PackedRow &other)
{
    *this = other;
}

PackedRow &PackedRow::operator=(const PackedRow &other)
{
    if (this == &other)
        return *this;
    if (!other.m_data) {
        m_data.reset();
        return *this;
    }
    const int n = other.fieldCount();
    const size_t size = sizeof(quint32) * size_t(n + 1) + (n ? other.word(n) & ~NullBit : 0);
    auto copy = std::make_unique_for_overwrite<char[]>(size);
    std::memcpy(copy.get(), other.m_data.get(), size);
    m_data = std::move(copy);
    return *this;
}

PackedRow PackedRow::pack(const std::vector<FieldKind> &kinds, const RowValues &values)
{
    PackedRowBuilder b;
    b.start();
    for (size_t i = 0; i < kinds.size(); ++i) {
        const QVariant v = i < values.size() ? values[i] : QVariant();
        if (!v.isValid() || v.isNull())
            b.addNull();
        else if (kinds[i] == FieldKind::DateTime || kinds[i] == FieldKind::Float)
            b.addDouble(v.toDouble());
        else
            b.addBytes(bytesOf(kinds[i], v));
    }
    return b.finish();
}

void PackedRowBuilder::addDouble(double d)
{
    char bytes[sizeof d];
    std::memcpy(bytes, &d, sizeof d);
    addBytes(QByteArrayView(bytes, sizeof d));
}

PackedRow PackedRowBuilder::finish() const
{
    const size_t head = sizeof(quint32) * (m_ends.size() + 1);
    PackedRow row;
    row.m_data = std::make_unique_for_overwrite<char[]>(head + size_t(m_data.size()));
    char *words = row.m_data.get();
    qToUnaligned(quint32(m_ends.size()), words);
    for (size_t i = 0; i < m_ends.size(); ++i)
        qToUnaligned(m_ends[i], words + sizeof(quint32) * (i + 1));
    if (!m_data.isEmpty())
        std::memcpy(words + head, m_data.constData(), size_t(m_data.size()));
    return row;
}

int PackedRow::fieldCount() const
{
    return m_data ? int(qFromUnaligned<quint32>(m_data.get())) : 0;
}

quint32 PackedRow::word(int index) const
{
    return qFromUnaligned<quint32>(m_data.get() + sizeof(quint32) * size_t(index));
}

const char *PackedRow::payload() const
{
    return m_data.get() + sizeof(quint32) * size_t(fieldCount() + 1);
}

bool PackedRow::isNull(int field) const
{
    if (!m_data || field < 0 || field >= fieldCount())
        return true;
    return word(field + 1) & NullBit;
}

QByteArrayView PackedRow::raw(int field) const
{
    if (isNull(field))
        return {};
    const quint32 start = field == 0 ? 0 : word(field) & ~NullBit;
    const quint32 end = word(field + 1) & ~NullBit;
    return QByteArrayView(payload() + start, qsizetype(end - start));
}

QVariant PackedRow::value(int field, FieldKind kind) const
{
    if (isNull(field))
        return {};
    const QByteArrayView bytes = raw(field);
    switch (kind) {
    case FieldKind::String: return QString::fromUtf8(bytes);
    case FieldKind::DateTime:
    case FieldKind::Float: {
        double d = 0;
        if (bytes.size() == sizeof d)
            std::memcpy(&d, bytes.data(), sizeof d);
        return d;
    }
    case FieldKind::Blob: return bytes.toByteArray();
    }
    return {};
}

RowValues PackedRow::unpack(const std::vector<FieldKind> &kinds) const
{
    RowValues out;
    out.reserve(kinds.size());
    for (size_t i = 0; i < kinds.size(); ++i)
        out.push_back(value(int(i), kinds[i]));
    return out;
}

} // namespace kmp
