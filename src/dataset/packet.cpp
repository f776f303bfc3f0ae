#include "packet.h"

#include "error.h"

#include <QCborStreamReader>
#include <QCborStreamWriter>
#include <algorithm>
#include <cmath>

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
    case FieldKind::String:
        w.append(v.toString());
        break;
    case FieldKind::DateTime:
    case FieldKind::Float:
        w.append(v.toDouble());
        break;
    case FieldKind::Blob:
        w.append(v.toByteArray());
        break;
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

// Reads CBOR with every length checked against what is left of the input.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : m_size(bytes.size()), m_r(bytes) {}

    [[noreturn]] void fail(const QString &what) const
    {
        throw PacketError(QStringLiteral("Pacote de dados inválido: %1 (posição %2).")
                              .arg(what).arg(m_r.currentOffset()));
    }

    void check()
    {
        if (m_r.lastError() != QCborError::NoError)
            fail(m_r.lastError().toString());
    }

    qint64 remaining() const { return m_size - m_r.currentOffset(); }

    // Enters an array and returns its element count; indefinite arrays are refused
    // because every producer of ours writes definite lengths.
    qint64 enterArray(const char *what)
    {
        check();
        if (!m_r.isArray())
            fail(QStringLiteral("esperava uma lista em %1").arg(QLatin1String(what)));
        if (!m_r.isLengthKnown())
            fail(QStringLiteral("lista sem tamanho em %1").arg(QLatin1String(what)));
        const quint64 n = m_r.length();
        if (n > quint64(remaining()))
            fail(QStringLiteral("lista maior que os dados em %1").arg(QLatin1String(what)));
        if (!m_r.enterContainer())
            fail(QStringLiteral("lista ilegível em %1").arg(QLatin1String(what)));
        return qint64(n);
    }

    void leave()
    {
        check();
        if (m_r.hasNext())
            fail(QStringLiteral("elementos a mais numa lista"));
        if (!m_r.leaveContainer())
            fail(QStringLiteral("fim de lista ilegível"));
    }

    qint64 enterMap()
    {
        check();
        if (!m_r.isMap() || !m_r.isLengthKnown())
            fail(QStringLiteral("esperava um mapa"));
        const quint64 n = m_r.length();
        if (n > quint64(remaining()))
            fail(QStringLiteral("mapa maior que os dados"));
        if (!m_r.enterContainer())
            fail(QStringLiteral("mapa ilegível"));
        return qint64(n);
    }

    QString readText(const char *what)
    {
        check();
        if (!m_r.isString())
            fail(QStringLiteral("esperava texto em %1").arg(QLatin1String(what)));
        return readTextUnchecked();
    }

    QString readTextUnchecked()
    {
        if (m_r.isLengthKnown() && m_r.length() > quint64(remaining()))
            fail(QStringLiteral("texto maior que os dados"));
        QString out;
        auto r = m_r.readString();
        while (r.status == QCborStreamReader::Ok) {
            if (out.isEmpty())
                out = std::move(r.data); // the usual single chunk: no copy
            else
                out += r.data;
            r = m_r.readString();
        }
        if (r.status == QCborStreamReader::Error)
            fail(QStringLiteral("texto ilegível"));
        return out;
    }

    QByteArray readBytesUnchecked()
    {
        if (m_r.isLengthKnown() && m_r.length() > quint64(remaining()))
            fail(QStringLiteral("bytes maiores que os dados"));
        QByteArray out;
        auto r = m_r.readByteArray();
        while (r.status == QCborStreamReader::Ok) {
            if (out.isEmpty())
                out = std::move(r.data);
            else
                out += r.data;
            r = m_r.readByteArray();
        }
        if (r.status == QCborStreamReader::Error)
            fail(QStringLiteral("bytes ilegíveis"));
        return out;
    }

    qint64 readInt(const char *what)
    {
        check();
        if (!m_r.isInteger())
            fail(QStringLiteral("esperava um número inteiro em %1").arg(QLatin1String(what)));
        const qint64 v = m_r.toInteger();
        m_r.next();
        return v;
    }

    bool isNull()
    {
        check();
        return m_r.isNull();
    }

    void skipNull()
    {
        m_r.next();
    }

    bool hasNext()
    {
        check();
        return m_r.hasNext();
    }

    bool atEnd() const { return m_r.currentOffset() >= m_size; }

    double readNumber(const char *what)
    {
        check();
        double d = 0;
        if (m_r.isDouble())
            d = m_r.toDouble();
        else if (m_r.isFloat())
            d = m_r.toFloat();
        else if (m_r.isFloat16())
            d = m_r.toFloat16();
        else if (m_r.isInteger())
            d = double(m_r.toInteger());
        else
            fail(QStringLiteral("esperava um número em %1").arg(QLatin1String(what)));
        if (!std::isfinite(d))
            fail(QStringLiteral("número não finito em %1").arg(QLatin1String(what)));
        m_r.next();
        return d;
    }

    QVariant readValue(const FieldDef &def)
    {
        check();
        if (m_r.isNull() || m_r.isUndefined()) {
            m_r.next();
            return {};
        }
        switch (def.kind) {
        case FieldKind::String: {
            if (!m_r.isString())
                fail(QStringLiteral("esperava texto no campo %1").arg(def.name));
            QString s = readTextUnchecked();
            if (def.size > 0 && s.size() > def.size)
                fail(QStringLiteral("texto maior que o campo %1").arg(def.name));
            return s;
        }
        case FieldKind::DateTime:
        case FieldKind::Float:
            return readNumber("valor");
        case FieldKind::Blob:
            if (!m_r.isByteArray())
                fail(QStringLiteral("esperava bytes no campo %1").arg(def.name));
            return readBytesUnchecked();
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
        leave();
        return row;
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
            leave();
            for (const FieldDef &other : defs)
                if (other.name.compare(d.name, Qt::CaseInsensitive) == 0)
                    fail(QStringLiteral("campo repetido: %1").arg(d.name));
            defs.push_back(d);
        }
        leave();
        return defs;
    }

    void finish()
    {
        leave();
        check();
        if (!atEnd())
            fail(QStringLiteral("bytes a mais no fim"));
    }

private:
    qint64 m_size;
    QCborStreamReader m_r;
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

Packet decodePacket(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        throw PacketError(QStringLiteral("Pacote de dados vazio."));
    Reader r(bytes);
    if (r.enterMap() != 2)
        r.fail(QStringLiteral("pacote deve ter campos e linhas"));
    Packet p;
    if (r.readText("chave") != kFields)
        r.fail(QStringLiteral("esperava \"fields\""));
    p.fields = r.readFieldDefs();
    if (r.readText("chave") != kRows)
        r.fail(QStringLiteral("esperava \"rows\""));
    const qint64 n = r.enterArray("linhas");
    p.rows.reserve(size_t(n));
    for (qint64 i = 0; i < n; ++i)
        p.rows.push_back(r.readRow(p.fields));
    r.leave();
    r.finish();
    return p;
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

PacketWriter::PacketWriter(FieldDefs fields)
    : m_fields(std::move(fields)), m_writer(std::make_unique<QCborStreamWriter>(&m_rows))
{
}

PacketWriter::~PacketWriter() = default;

void PacketWriter::beginRow()
{
    m_writer->startArray(quint64(m_fields.size()));
}

void PacketWriter::addValue(size_t field, const QVariant &value)
{
    writeValue(*m_writer, m_fields[field].kind, value);
}

void PacketWriter::endRow()
{
    m_writer->endArray();
    ++m_count;
}

QByteArray PacketWriter::finish()
{
    m_writer.reset();
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
