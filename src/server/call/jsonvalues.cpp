#include "jsonvalues.h"

#include "error.h"

#include <QCborArray>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>

namespace kmp::call {

namespace {

FieldKind kindFromJson(const QJsonValue &v)
{
    if (v.isDouble() && isValidFieldKind(v.toInt()))
        return FieldKind(v.toInt());
    const QString name = v.toString().toLower();
    for (FieldKind k : {FieldKind::String, FieldKind::DateTime, FieldKind::Float, FieldKind::Blob})
        if (fieldKindName(k) == name)
            return k;
    throw kmp::Error(QStringLiteral("Tipo de campo desconhecido: %1 (use string, datetime, float ou blob).")
                         .arg(QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact))));
}

QVariant valueFromJson(const FieldDef &f, const QJsonValue &v)
{
    if (v.isNull() || v.isUndefined())
        return {};
    if (f.kind == FieldKind::Blob && v.isObject()) {
        const QJsonValue b64 = v.toObject().value(QLatin1String("base64"));
        if (!b64.isString())
            throw kmp::Error(QStringLiteral("Valor do campo %1: esperava texto ou {\"base64\": ...}.").arg(f.name));
        const auto decoded = QByteArray::fromBase64Encoding(b64.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            throw kmp::Error(QStringLiteral("Valor do campo %1: base64 inválido.").arg(f.name));
        return *decoded;
    }
    if ((f.kind == FieldKind::DateTime || f.kind == FieldKind::Float) && !v.isDouble())
        throw kmp::Error(QStringLiteral("Valor do campo %1: esperava um número.").arg(f.name));
    if ((f.kind == FieldKind::String || f.kind == FieldKind::Blob) && !v.isString())
        throw kmp::Error(QStringLiteral("Valor do campo %1: esperava texto.").arg(f.name));
    return coerceValue(f, v.toVariant());
}

RowValues rowFromJson(const FieldDefs &fields, const QJsonValue &v, const char *which)
{
    if (!v.isArray() || v.toArray().size() != qsizetype(fields.size()))
        throw kmp::Error(
            QStringLiteral("Cada alteração precisa de \"%1\" com %2 valores.").arg(QLatin1String(which)).arg(fields.size()));
    const QJsonArray a = v.toArray();
    RowValues row;
    for (size_t i = 0; i < fields.size(); ++i)
        row.push_back(valueFromJson(fields[i], a.at(qsizetype(i))));
    return row;
}

QJsonValue valueToJson(const FieldDef &f, const QVariant &v)
{
    if (!v.isValid() || v.isNull())
        return QJsonValue::Null;
    switch (f.kind) {
    case FieldKind::String: return v.toString();
    case FieldKind::DateTime:
    case FieldKind::Float: return v.toDouble();
    case FieldKind::Blob: {
        const QByteArray bytes = v.toByteArray();
        auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder(bytes);
        if (!decoder.hasError())
            return text;
        return QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(bytes.toBase64())}};
    }
    }
    return QJsonValue::Null;
}

} // namespace

Delta deltaFromJson(const QJsonObject &json)
{
    Delta d;
    const QJsonValue fields = json.value(QLatin1String("fields"));
    if (!fields.isArray() || fields.toArray().isEmpty())
        throw kmp::Error(QStringLiteral("O delta precisa de \"fields\": [[nome, tipo, tamanho], ...]."));
    for (const QJsonValue &f : fields.toArray()) {
        const QJsonArray def = f.toArray();
        if (def.size() != 3 || !def.at(0).isString() || !def.at(2).isDouble())
            throw kmp::Error(QStringLiteral("Cada campo do delta é [nome, tipo, tamanho]."));
        d.fields.push_back({def.at(0).toString(), kindFromJson(def.at(1)), def.at(2).toInt()});
    }
    const QJsonValue changes = json.value(QLatin1String("changes"));
    if (!changes.isArray())
        throw kmp::Error(QStringLiteral("O delta precisa de \"changes\": [...]."));
    for (const QJsonValue &cv : changes.toArray()) {
        const QJsonObject c = cv.toObject();
        const QString kind = c.value(QLatin1String("kind")).toString();
        Change ch;
        if (kind == QLatin1String("insert")) {
            ch.kind = ChangeKind::Insert;
            ch.newValues = rowFromJson(d.fields, c.value(QLatin1String("new")), "new");
        } else if (kind == QLatin1String("modify")) {
            ch.kind = ChangeKind::Modify;
            ch.oldValues = rowFromJson(d.fields, c.value(QLatin1String("old")), "old");
            ch.newValues = rowFromJson(d.fields, c.value(QLatin1String("new")), "new");
        } else if (kind == QLatin1String("delete")) {
            ch.kind = ChangeKind::Delete;
            ch.oldValues = rowFromJson(d.fields, c.value(QLatin1String("old")), "old");
        } else {
            throw kmp::Error(QStringLiteral("Tipo de alteração desconhecido: \"%1\" (use insert, modify ou delete).").arg(kind));
        }
        d.changes.push_back(std::move(ch));
    }
    return d;
}

QCborValue argumentFromText(const QString &text)
{
    if (text.startsWith(QLatin1Char('@'))) {
        QFile f(text.mid(1));
        if (!f.open(QIODevice::ReadOnly))
            throw kmp::Error(QStringLiteral("Não foi possível ler %1: %2").arg(text.mid(1), f.errorString()));
        QJsonParseError pe;
        const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &pe);
        if (pe.error != QJsonParseError::NoError || !doc.isObject())
            throw kmp::Error(QStringLiteral("%1 não é um delta em JSON: %2").arg(text.mid(1), pe.errorString()));
        return QCborValue(encodeDelta(deltaFromJson(doc.object())));
    }
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + QByteArray("]"), &pe);
    if (pe.error == QJsonParseError::NoError && doc.isArray() && doc.array().size() == 1)
        return QCborValue::fromJsonValue(doc.array().at(0));
    return QCborValue(text);
}

QJsonObject packetToJson(const Packet &packet)
{
    QJsonArray fields;
    for (const FieldDef &f : packet.fields)
        fields.append(QJsonArray{f.name, fieldKindName(f.kind), f.size});
    QJsonArray rows;
    for (const RowValues &row : packet.rows) {
        QJsonArray r;
        for (size_t i = 0; i < packet.fields.size(); ++i)
            r.append(valueToJson(packet.fields[i], i < row.size() ? row[i] : QVariant()));
        rows.append(r);
    }
    return QJsonObject{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}};
}

QJsonValue resultToJson(const QCborValue &result)
{
    if (result.isByteArray()) {
        try {
            return packetToJson(decodePacket(result.toByteArray()));
        } catch (const kmp::Error &) {
            return QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(result.toByteArray().toBase64())}};
        }
    }
    if (result.isArray()) {
        QJsonArray out;
        for (const QCborValue &v : result.toArray())
            out.append(resultToJson(v));
        return out;
    }
    if (result.isNull() || result.isUndefined())
        return QJsonValue::Null;
    return result.toJsonValue();
}

} // namespace kmp::call
