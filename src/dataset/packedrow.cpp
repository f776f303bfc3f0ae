#include "packedrow.h"

#include <QtEndian>
#include <cstring>

namespace kmp {

namespace {

constexpr quint32 NullBit = 0x80000000u;

QByteArray bytesOf(FieldKind kind, const QVariant &v)
{
    switch (kind) {
    case FieldKind::String:
        return v.toString().toUtf8();
    case FieldKind::DateTime:
    case FieldKind::Float: {
        const double d = v.toDouble();
        QByteArray out(sizeof d, Qt::Uninitialized);
        std::memcpy(out.data(), &d, sizeof d);
        return out;
    }
    case FieldKind::Blob:
        return v.typeId() == QMetaType::QByteArray ? v.toByteArray() : v.toString().toUtf8();
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
    const int n = int(kinds.size());
    std::vector<QByteArray> parts(kinds.size());
    std::vector<bool> nulls(kinds.size(), true);
    size_t total = 0;
    for (int i = 0; i < n; ++i) {
        if (size_t(i) >= values.size())
            continue;
        const QVariant &v = values[size_t(i)];
        if (!v.isValid() || v.isNull())
            continue;
        nulls[size_t(i)] = false;
        parts[size_t(i)] = bytesOf(kinds[size_t(i)], v);
        total += size_t(parts[size_t(i)].size());
    }
    const size_t head = sizeof(quint32) * size_t(n + 1);
    PackedRow row;
    row.m_data = std::make_unique_for_overwrite<char[]>(head + total);
    char *words = row.m_data.get();
    char *data = words + head;
    quint32 end = 0;
    qToUnaligned(quint32(n), words);
    for (int i = 0; i < n; ++i) {
        const QByteArray &part = parts[size_t(i)];
        if (!part.isEmpty())
            std::memcpy(data + end, part.constData(), size_t(part.size()));
        end += quint32(part.size());
        qToUnaligned(end | (nulls[size_t(i)] ? NullBit : 0u), words + sizeof(quint32) * size_t(i + 1));
    }
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
    case FieldKind::String:
        return QString::fromUtf8(bytes);
    case FieldKind::DateTime:
    case FieldKind::Float: {
        double d = 0;
        if (bytes.size() == sizeof d)
            std::memcpy(&d, bytes.data(), sizeof d);
        return d;
    }
    case FieldKind::Blob:
        return bytes.toByteArray();
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
