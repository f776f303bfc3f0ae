#include "locateindex.h"

#include <QHash>
#include <algorithm>
#include <cstring>

namespace kmp {

namespace {

constexpr size_t kSeed = 12800;

// Folds as QString::compare(Qt::CaseInsensitive) does, one code point at a time, so that
// two texts that compare equal without case also hash alike.
std::u32string folded(QStringView text)
{
    std::u32string out;
    out.reserve(size_t(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        out.push_back(QChar::toCaseFolded(c));
    }
    return out;
}

size_t hashOfDouble(double d)
{
    if (d == 0)
        d = 0; // -0.0 equals 0.0
    return qHash(QByteArrayView(reinterpret_cast<const char *>(&d), sizeof d), kSeed);
}

} // namespace

size_t LocateIndex::hashOfUtf8(QByteArrayView utf8) const
{
    if (!m_caseInsensitive)
        return qHash(utf8, kSeed);
    const std::u32string f = folded(QString::fromUtf8(utf8));
    return qHash(QByteArrayView(reinterpret_cast<const char *>(f.data()), qsizetype(f.size() * sizeof(char32_t))), kSeed);
}

size_t LocateIndex::hashOf(const PackedRow &row) const
{
    if (row.isNull(m_field))
        return nullHash();
    const QByteArrayView bytes = row.raw(m_field);
    switch (m_kind) {
    case FieldKind::String: return hashOfUtf8(bytes);
    case FieldKind::DateTime:
    case FieldKind::Float: {
        double d = 0;
        if (bytes.size() == sizeof d)
            std::memcpy(&d, bytes.data(), sizeof d);
        return hashOfDouble(d);
    }
    case FieldKind::Blob: return qHash(bytes, kSeed);
    }
    return nullHash();
}

size_t LocateIndex::hashOfText(const QString &text) const
{
    return hashOfUtf8(text.toUtf8());
}

size_t LocateIndex::hashOfValue(const QVariant &v) const
{
    if (!v.isValid() || v.isNull())
        return nullHash();
    switch (m_kind) {
    case FieldKind::String: return hashOfText(v.toString());
    case FieldKind::DateTime:
    case FieldKind::Float: return hashOfDouble(v.toDouble());
    case FieldKind::Blob: return qHash(v.toByteArray(), kSeed);
    }
    return nullHash();
}

void LocateIndex::build(const std::vector<size_t> &hashes)
{
    m_entries.clear();
    m_entries.reserve(hashes.size());
    for (size_t i = 0; i < hashes.size(); ++i)
        m_entries.emplace_back(hashes[i], int(i));
    std::sort(m_entries.begin(), m_entries.end());
}

std::vector<int> LocateIndex::rowsFor(size_t hash) const
{
    std::vector<int> out;
    auto it = std::lower_bound(m_entries.begin(), m_entries.end(), std::pair<size_t, int>(hash, -1));
    for (; it != m_entries.end() && it->first == hash; ++it)
        out.push_back(it->second);
    return out;
}

void LocateIndex::rowInserted(int row, size_t hash)
{
    for (auto &e : m_entries)
        if (e.second >= row)
            ++e.second;
    const std::pair<size_t, int> entry(hash, row);
    m_entries.insert(std::lower_bound(m_entries.begin(), m_entries.end(), entry), entry);
}

void LocateIndex::rowRemoved(int row, size_t hash)
{
    const std::pair<size_t, int> entry(hash, row);
    const auto it = std::lower_bound(m_entries.begin(), m_entries.end(), entry);
    if (it != m_entries.end() && *it == entry)
        m_entries.erase(it);
    for (auto &e : m_entries)
        if (e.second > row)
            --e.second;
}

void LocateIndex::rowChanged(int row, size_t oldHash, size_t newHash)
{
    if (oldHash == newHash)
        return;
    const std::pair<size_t, int> old(oldHash, row);
    const auto it = std::lower_bound(m_entries.begin(), m_entries.end(), old);
    if (it != m_entries.end() && *it == old)
        m_entries.erase(it);
    const std::pair<size_t, int> entry(newHash, row);
    m_entries.insert(std::lower_bound(m_entries.begin(), m_entries.end(), entry), entry);
}

} // namespace kmp
