#include "packet.h"

#include "error.h"
#include "packedpacket.h"

#include <QCborStreamWriter>
#include <QStringDecoder>
#include <QtEndian>
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace kmp {

namespace {

const QString kFields = QStringLiteral("fields");
const QString kRows = QStringLiteral("rows");
const QString kChanges = QStringLiteral("changes");

void writeFieldDefs(QCborStreamWriter &w, const FieldDefs &fields)
{
    w.append(kFields);
    w.startArray(quint64(fields.size()));
    for (const FieldDef &f : fields) {
        w.startArray(3);
        w.append(f.name);
        w.append(qint64(f.kind));
        w.append(qint64(f.size));
        w.endArray();
    }
    w.endArray();
}

void writeValue(QCborStreamWriter &w, FieldKind kind, const QVariant &v)
{
    if (!v.isValid() || v.isNull()) {
        w.appendNull();
        return;
    }
    switch (kind) {
    case FieldKind::String: w.append(v.toString()); break;
    case FieldKind::DateTime:
    case FieldKind::Float: w.append(v.toDouble()); break;
    case FieldKind::Blob: w.append(v.toByteArray()); break;
    }
}

void writeRow(QCborStreamWriter &w, const FieldDefs &fields, const RowValues &row)
{
    if (row.empty()) {
        w.appendNull();
        return;
    }
    w.startArray(quint64(fields.size()));
    for (size_t i = 0; i < fields.size(); ++i)
        writeValue(w, fields[i].kind, i < row.size() ? row[i] : QVariant());
    w.endArray();
}

// The length in UTF-16 units of sound UTF-8, or -1 for anything a decoder might read
// differently from its bytes: malformed or overlong sequences, surrogates, code points
// beyond U+10FFFF, noncharacters, a leading byte-order mark.
qsizetype utf16Length(const char *text, qsizetype n)
{
    const auto *s = reinterpret_cast<const uchar *>(text);
    if (n >= 3 && s[0] == 0xef && s[1] == 0xbb && s[2] == 0xbf)
        return -1;
    qsizetype units = 0;
    qsizetype i = 0;
    while (i < n) {
        const uchar c = s[i];
        if (c < 0x80) {
            ++i;
            ++units;
            continue;
        }
        int len;
        char32_t cp;
        if (c >= 0xc2 && c <= 0xdf) {
            len = 2;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            len = 3;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return -1;
        }
        if (i + len > n)
            return -1;
        for (int k = 1; k < len; ++k) {
            const uchar cc = s[i + k];
            if ((cc & 0xc0) != 0x80)
                return -1;
            cp = (cp << 6) | (cc & 0x3f);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) || (cp >= 0xd800 && cp <= 0xdfff)
            || (cp >= 0xfdd0 && cp <= 0xfdef) || (cp & 0xfffe) == 0xfffe)
            return -1;
        units += len == 4 ? 2 : 1;
        i += len;
    }
    return units;
}

// IEEE 754 half precision (RFC 8949, appendix D).
double halfToDouble(quint16 half)
{
    const int exp = (half >> 10) & 0x1f;
    const int mant = half & 0x3ff;
    double v;
    if (exp == 0)
        v = std::ldexp(mant, -24);
    else if (exp != 31)
        v = std::ldexp(mant + 1024, exp - 25);
    else
        v = mant == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    return (half & 0x8000) ? -v : v;
}

// Reads the CBOR our encoders write, straight from the bytes: every length is checked
// against what is left of the input before anything is allocated, only definite lengths
// are accepted (every producer of ours writes them), and anything else is refused with a
// PacketError. Reading the bytes directly, rather than through a stream reader, keeps the
// load of a whole catalogue cheap.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : m_data(reinterpret_cast<const uchar *>(bytes.constData())), m_size(bytes.size()) {}

    [[noreturn]] void fail(const QString &what) const
    {
        throw PacketError(QStringLiteral("Pacote de dados inválido: %1 (posição %2).").arg(what).arg(m_pos));
    }

    qint64 remaining() const { return m_size - m_pos; }

    qint64 enterArray(const char *what)
    {
        const Head h = head();
        if (h.major != 4)
            fail(QStringLiteral("esperava uma lista em %1").arg(QString::fromUtf8(what)));
        if (h.value > quint64(remaining()))
            fail(QStringLiteral("lista maior que os dados em %1").arg(QString::fromUtf8(what)));
        return qint64(h.value);
    }

    // Definite lengths: a container ends exactly where its count says, so there is
    // nothing to check on leaving it (bytes left over are caught by finish()).
    void leave() {}

    qint64 enterMap()
    {
        const Head h = head();
        if (h.major != 5)
            fail(QStringLiteral("esperava um mapa"));
        if (h.value > quint64(remaining()))
            fail(QStringLiteral("mapa maior que os dados"));
        return qint64(h.value);
    }

    QString readText(const char *what)
    {
        const Head h = head();
        if (h.major != 3)
            fail(QStringLiteral("esperava texto em %1").arg(QString::fromUtf8(what)));
        return text(h.value);
    }

    qint64 readInt(const char *what)
    {
        const Head h = head();
        if (h.major == 0 && h.value <= quint64(std::numeric_limits<qint64>::max()))
            return qint64(h.value);
        if (h.major == 1 && h.value < quint64(std::numeric_limits<qint64>::max()))
            return -1 - qint64(h.value);
        fail(QStringLiteral("esperava um número inteiro em %1").arg(QString::fromUtf8(what)));
    }

    bool isNull() const { return m_pos < m_size && (m_data[m_pos] == 0xf6 || m_data[m_pos] == 0xf7); }

    void skipNull() { ++m_pos; }

    QVariant readValue(const FieldDef &def)
    {
        if (isNull()) {
            skipNull();
            return {};
        }
        const Head h = head();
        switch (def.kind) {
        case FieldKind::String: {
            if (h.major != 3)
                fail(QStringLiteral("esperava texto no campo %1").arg(def.name));
            QString s = text(h.value);
            if (def.size > 0 && s.size() > def.size)
                fail(QStringLiteral("texto maior que o campo %1").arg(def.name));
            return s;
        }
        case FieldKind::DateTime:
        case FieldKind::Float: return number(h, "valor");
        case FieldKind::Blob:
            if (h.major != 2)
                fail(QStringLiteral("esperava bytes no campo %1").arg(def.name));
            return bytes(h.value);
        }
        fail(QStringLiteral("tipo de campo desconhecido"));
    }

    RowValues readRow(const FieldDefs &fields)
    {
        const qint64 n = enterArray("linha");
        if (n != qint64(fields.size()))
            fail(QStringLiteral("linha com %1 valores para %2 campos").arg(n).arg(fields.size()));
        RowValues row;
        row.reserve(fields.size());
        for (const FieldDef &f : fields)
            row.push_back(readValue(f));
        return row;
    }

    // One row into the builder. Text keeps its bytes when they are sound UTF-8 (the
    // usual case); anything else goes through the same decoding as decodePacket's, which
    // refuses what is not UTF-8.
    PackedRow readPackedRow(const FieldDefs &fields, PackedRowBuilder &b)
    {
        const qint64 n = enterArray("linha");
        if (n != qint64(fields.size()))
            fail(QStringLiteral("linha com %1 valores para %2 campos").arg(n).arg(fields.size()));
        b.start();
        for (const FieldDef &def : fields) {
            if (isNull()) {
                skipNull();
                b.addNull();
                continue;
            }
            const Head h = head();
            switch (def.kind) {
            case FieldKind::String: {
                if (h.major != 3)
                    fail(QStringLiteral("esperava texto no campo %1").arg(def.name));
                const char *p = take(h.value, "texto");
                const qsizetype len = qsizetype(h.value);
                qsizetype units = utf16Length(p, len);
                QByteArray normalised;
                if (units < 0) {
                    const QString text = decodeText(p, len); // refuses what is not UTF-8
                    units = text.size();
                    normalised = text.toUtf8();
                }
                if (def.size > 0 && units > def.size)
                    fail(QStringLiteral("texto maior que o campo %1").arg(def.name));
                b.addBytes(normalised.isNull() ? QByteArrayView(p, len) : QByteArrayView(normalised));
                break;
            }
            case FieldKind::DateTime:
            case FieldKind::Float: b.addDouble(number(h, "valor")); break;
            case FieldKind::Blob:
                if (h.major != 2)
                    fail(QStringLiteral("esperava bytes no campo %1").arg(def.name));
                b.addBytes(QByteArrayView(take(h.value, "bytes"), qsizetype(h.value)));
                break;
            }
        }
        return b.finish();
    }

    FieldDefs readFieldDefs()
    {
        const qint64 n = enterArray("campos");
        if (n > MaxPacketFields)
            fail(QStringLiteral("campos demais"));
        FieldDefs defs;
        defs.reserve(size_t(n));
        for (qint64 i = 0; i < n; ++i) {
            if (enterArray("campo") != 3)
                fail(QStringLiteral("definição de campo malformada"));
            FieldDef d;
            d.name = readText("nome do campo");
            if (d.name.isEmpty() || d.name.size() > 128)
                fail(QStringLiteral("nome de campo inválido"));
            const qint64 kind = readInt("tipo do campo");
            if (!isValidFieldKind(int(std::clamp<qint64>(kind, -1, 100))))
                fail(QStringLiteral("tipo de campo desconhecido"));
            d.kind = FieldKind(kind);
            const qint64 size = readInt("tamanho do campo");
            if (size < 0 || size > 1 << 20)
                fail(QStringLiteral("tamanho de campo inválido"));
            d.size = int(size);
            for (const FieldDef &other : defs)
                if (other.name.compare(d.name, Qt::CaseInsensitive) == 0)
                    fail(QStringLiteral("campo repetido: %1").arg(d.name));
            defs.push_back(d);
        }
        return defs;
    }

    void finish()
    {
        if (m_pos != m_size)
            fail(QStringLiteral("bytes a mais no fim"));
    }

private:
    struct Head
    {
        quint8 major;
        quint8 info;
        quint64 value;
    };

    Head head()
    {
        if (m_pos >= m_size)
            fail(QStringLiteral("fim inesperado dos dados"));
        const uchar b = m_data[m_pos++];
        Head h{quint8(b >> 5), quint8(b & 0x1f), 0};
        if (h.info < 24) {
            h.value = h.info;
            return h;
        }
        int len = 0;
        switch (h.info) {
        case 24: len = 1; break;
        case 25: len = 2; break;
        case 26: len = 4; break;
        case 27: len = 8; break;
        default: fail(QStringLiteral("tamanho indefinido ou reservado"));
        }
        if (remaining() < len)
            fail(QStringLiteral("fim inesperado dos dados"));
        for (int i = 0; i < len; ++i)
            h.value = (h.value << 8) | m_data[m_pos++];
        if (h.major == 6)
            fail(QStringLiteral("etiqueta não esperada"));
        return h;
    }

    const char *take(quint64 len, const char *what)
    {
        if (len > quint64(remaining()))
            fail(QStringLiteral("%1 maior que os dados").arg(QString::fromUtf8(what)));
        const char *p = reinterpret_cast<const char *>(m_data + m_pos);
        m_pos += qint64(len);
        return p;
    }

    QString text(quint64 len)
    {
        const char *p = take(len, "texto");
        return decodeText(p, qsizetype(len));
    }

    QString decodeText(const char *p, qsizetype len)
    {
        QString s = QString::fromUtf8(p, qsizetype(len));
        // Invalid UTF-8 comes out as U+FFFD: refuse it rather than store a text nobody
        // typed. Only a text holding U+FFFD needs the strict second look.
        if (s.contains(QChar::ReplacementCharacter)) {
            QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            s = strict.decode(QByteArrayView(p, qsizetype(len)));
            if (strict.hasError())
                fail(QStringLiteral("texto que não é UTF-8 válido"));
        }
        return s;
    }

    QByteArray bytes(quint64 len)
    {
        const char *p = take(len, "bytes");
        return QByteArray(p, qsizetype(len));
    }

    double number(const Head &h, const char *what)
    {
        double d = 0;
        if (h.major == 0) {
            d = double(h.value);
        } else if (h.major == 1) {
            d = -1.0 - double(h.value);
        } else if (h.major == 7 && h.info == 27) {
            d = std::bit_cast<double>(h.value);
        } else if (h.major == 7 && h.info == 26) {
            d = std::bit_cast<float>(quint32(h.value));
        } else if (h.major == 7 && h.info == 25) {
            d = halfToDouble(quint16(h.value));
        } else {
            fail(QStringLiteral("esperava um número em %1").arg(QString::fromUtf8(what)));
        }
        if (!std::isfinite(d))
            fail(QStringLiteral("número não finito em %1").arg(QString::fromUtf8(what)));
        return d;
    }

    const uchar *m_data;
    qint64 m_size;
    qint64 m_pos = 0;
};

} // namespace

QByteArray encodePacket(const Packet &packet)
{
    QByteArray out;
    QCborStreamWriter w(&out);
    w.startMap(2);
    writeFieldDefs(w, packet.fields);
    w.append(kRows);
    w.startArray(quint64(packet.rows.size()));
    for (const RowValues &row : packet.rows)
        writeRow(w, packet.fields, row);
    w.endArray();
    w.endMap();
    return out;
}

namespace {

// Both decoders read the same envelope; they differ only in how a row is held.
template <typename Result, typename ReadRows>
Result decodeEnvelope(const QByteArray &bytes, ReadRows readRows)
{
    if (bytes.isEmpty())
        throw PacketError(QStringLiteral("Pacote de dados vazio."));
    Reader r(bytes);
    if (r.enterMap() != 2)
        r.fail(QStringLiteral("pacote deve ter campos e linhas"));
    Result p;
    if (r.readText("chave") != kFields)
        r.fail(QStringLiteral("esperava \"fields\""));
    p.fields = r.readFieldDefs();
    if (r.readText("chave") != kRows)
        r.fail(QStringLiteral("esperava \"rows\""));
    const qint64 n = r.enterArray("linhas");
    p.rows.reserve(size_t(n));
    readRows(r, p, n);
    r.finish();
    return p;
}

} // namespace

Packet decodePacket(const QByteArray &bytes)
{
    return decodeEnvelope<Packet>(bytes, [](Reader &r, Packet &p, qint64 n) {
        for (qint64 i = 0; i < n; ++i)
            p.rows.push_back(r.readRow(p.fields));
        r.leave();
    });
}

PackedPacket decodePackedPacket(const QByteArray &bytes)
{
    return decodeEnvelope<PackedPacket>(bytes, [](Reader &r, PackedPacket &p, qint64 n) {
        PackedRowBuilder builder;
        for (qint64 i = 0; i < n; ++i)
            p.rows.push_back(r.readPackedRow(p.fields, builder));
    });
}

namespace {

// The head of a CBOR item of a major type with its count (RFC 8949, 3.1).
void appendHead(QByteArray &out, quint8 major, quint64 n)
{
    const char type = char(major << 5);
    if (n < 24) {
        out += char(type | char(n));
        return;
    }
    int bytes = 8;
    char size = 27;
    if (n <= 0xff) {
        bytes = 1;
        size = 24;
    } else if (n <= 0xffff) {
        bytes = 2;
        size = 25;
    } else if (n <= 0xffffffffu) {
        bytes = 4;
        size = 26;
    }
    out += char(type | size);
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out += char((n >> shift) & 0xff);
}

} // namespace

PacketWriter::PacketWriter(FieldDefs fields) : m_fields(std::move(fields)) {}

PacketWriter::~PacketWriter() = default;

void PacketWriter::beginRow()
{
    appendHead(m_rows, 4, m_fields.size());
}

// Values are put down byte by byte: a stream writer goes through a device for every item,
// which on a catalogue of tens of thousands of values costs more than the query itself.
// The bytes are those the stream writer would write (checked by the tests).
void PacketWriter::addValue(size_t field, const QVariant &v)
{
    if (!v.isValid() || v.isNull()) {
        m_rows += char(0xf6);
        return;
    }
    switch (m_fields[field].kind) {
    case FieldKind::String: {
        const QByteArray utf8 = v.toString().toUtf8();
        appendHead(m_rows, 3, quint64(utf8.size()));
        m_rows += utf8;
        break;
    }
    case FieldKind::DateTime:
    case FieldKind::Float: {
        char bytes[9];
        bytes[0] = char(0xfb);
        qToBigEndian(v.toDouble(), bytes + 1);
        m_rows.append(bytes, 9);
        break;
    }
    case FieldKind::Blob: {
        const QByteArray data = v.toByteArray();
        appendHead(m_rows, 2, quint64(data.size()));
        m_rows += data;
        break;
    }
    }
}

void PacketWriter::endRow()
{
    ++m_count;
}

QByteArray PacketWriter::finish()
{
    // A writer always starts at the beginning of its buffer, so the map and the field
    // definitions are written apart and put in front of the rows.
    QByteArray head;
    {
        QCborStreamWriter w(&head);
        writeFieldDefs(w, m_fields);
        w.append(kRows);
    }
    QByteArray out;
    out.reserve(1 + head.size() + 9 + m_rows.size());
    appendHead(out, 5, 2);
    out += head;
    appendHead(out, 4, m_count);
    out += m_rows;
    return out;
}

QByteArray encodeDelta(const Delta &delta)
{
    QByteArray out;
    QCborStreamWriter w(&out);
    w.startMap(2);
    writeFieldDefs(w, delta.fields);
    w.append(kChanges);
    w.startArray(quint64(delta.changes.size()));
    for (const Change &c : delta.changes) {
        w.startArray(3);
        w.append(qint64(c.kind));
        writeRow(w, delta.fields, c.kind == ChangeKind::Insert ? RowValues() : c.oldValues);
        writeRow(w, delta.fields, c.kind == ChangeKind::Delete ? RowValues() : c.newValues);
        w.endArray();
    }
    w.endArray();
    w.endMap();
    return out;
}

Delta decodeDelta(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        throw PacketError(QStringLiteral("Delta vazio."));
    Reader r(bytes);
    if (r.enterMap() != 2)
        r.fail(QStringLiteral("delta deve ter campos e alterações"));
    Delta d;
    if (r.readText("chave") != kFields)
        r.fail(QStringLiteral("esperava \"fields\""));
    d.fields = r.readFieldDefs();
    if (r.readText("chave") != kChanges)
        r.fail(QStringLiteral("esperava \"changes\""));
    const qint64 n = r.enterArray("alterações");
    d.changes.reserve(size_t(n));
    for (qint64 i = 0; i < n; ++i) {
        if (r.enterArray("alteração") != 3)
            r.fail(QStringLiteral("alteração malformada"));
        Change c;
        const qint64 kind = r.readInt("tipo da alteração");
        if (kind < 1 || kind > 3)
            r.fail(QStringLiteral("tipo de alteração desconhecido"));
        c.kind = ChangeKind(kind);
        const bool wantOld = c.kind != ChangeKind::Insert;
        const bool wantNew = c.kind != ChangeKind::Delete;
        if (wantOld) {
            c.oldValues = r.readRow(d.fields);
        } else {
            if (!r.isNull())
                r.fail(QStringLiteral("inclusão com valores originais"));
            r.skipNull();
        }
        if (wantNew) {
            c.newValues = r.readRow(d.fields);
        } else {
            if (!r.isNull())
                r.fail(QStringLiteral("exclusão com valores novos"));
            r.skipNull();
        }
        r.leave();
        d.changes.push_back(std::move(c));
    }
    r.leave();
    r.finish();
    return d;
}

} // namespace kmp
