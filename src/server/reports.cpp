#include "reports.h"

#include "controlchars.h"

#include "dbconnection.h"
#include "packet.h"
#include "serviceerror.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlField>
#include <QSqlRecord>

namespace kmp::server {

namespace {

std::vector<ReportDefinition> loadDefinitions()
{
    std::vector<ReportDefinition> out;
    const QDir dir(QStringLiteral(":/kmp/server/reports"));
    for (const QString &name : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject root = QJsonDocument::fromJson(f.readAll()).object();
        const QString code = root.value(QLatin1String("code")).toString();
        for (const QJsonValue &v : root.value(QLatin1String("reports")).toArray()) {
            const QJsonObject r = v.toObject();
            ReportDefinition d;
            d.code = code;
            d.id = r.value(QLatin1String("id")).toString();
            d.title = r.value(QLatin1String("title")).toString();
            for (const QJsonValue &p : r.value(QLatin1String("params")).toArray())
                d.params << p.toString();
            d.query = r.value(QLatin1String("query")).toString();
            d.layout = QJsonDocument(r.value(QLatin1String("layout")).toObject()).toJson(QJsonDocument::Compact);
            out.push_back(std::move(d));
        }
    }
    return out;
}

const ReportDefinition &find(const QString &code, const QString &id)
{
    for (const ReportDefinition &d : reportDefinitions())
        if (d.code.compare(code, Qt::CaseInsensitive) == 0 && d.id.compare(id, Qt::CaseInsensitive) == 0)
            return d;
    throw ServiceError(wire::ErrorCode::Invalid,
                       QStringLiteral("Relatório %1 do código %2 não existe neste servidor.").arg(id.left(40), code.left(40)));
}

FieldKind kindOf(const QVariant &sample, QMetaType type)
{
    switch (type.id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float: return FieldKind::Float;
    case QMetaType::QByteArray: return FieldKind::Blob;
    default:
        // SQLite reports the declared affinity poorly; judge by the value itself.
        if (sample.typeId() == QMetaType::Double || sample.typeId() == QMetaType::LongLong || sample.typeId() == QMetaType::Int)
            return FieldKind::Float;
        return FieldKind::String;
    }
}

} // namespace

const std::vector<ReportDefinition> &reportDefinitions()
{
    static const std::vector<ReportDefinition> defs = loadDefinitions();
    return defs;
}

QByteArray listReports(const QString &code)
{
    Packet p;
    p.fields = {{QStringLiteral("ID"), FieldKind::String, 0},
                {QStringLiteral("TITULO"), FieldKind::String, 0},
                {QStringLiteral("PARAMETROS"), FieldKind::String, 0},
                {QStringLiteral("LAYOUT"), FieldKind::Blob, 0}};
    for (const ReportDefinition &d : reportDefinitions())
        if (d.code.compare(code, Qt::CaseInsensitive) == 0)
            p.rows.push_back({d.id, d.title, d.params.join(QLatin1Char(';')), d.layout});
    return encodePacket(p);
}

QByteArray runReport(DbConnection &db, const QString &code, const QString &id, const QString &paramsJson)
{
    const ReportDefinition &def = find(code, id);
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(paramsJson.toUtf8(), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        throw ServiceError(wire::ErrorCode::BadRequest, QStringLiteral("Parâmetros do relatório ilegíveis."));
    const QJsonObject values = doc.object();
    // A value's escapes can carry what the text of the arguments could not (\u0000); no
    // code or key holds a control character, and the database driver would refuse a NUL
    // with a text of its own.
    for (const QString &name : def.params)
        if (firstControlCharacter(values.value(name).toString()) >= 0)
            throw ServiceError(wire::ErrorCode::BadRequest,
                               QStringLiteral("O parâmetro %1 do relatório contém um caractere de controle.").arg(name));

    QSqlQuery q = db.prepare(def.query);
    for (const QString &name : def.params)
        q.bindValue(QLatin1Char(':') + name, values.value(name).toString());
    q.setForwardOnly(true);
    db.exec(q);

    Packet p;
    std::vector<RowValues> rows;
    while (q.next()) {
        RowValues row;
        const QSqlRecord rec = q.record();
        row.reserve(size_t(rec.count()));
        for (int i = 0; i < rec.count(); ++i)
            row.push_back(q.value(i));
        rows.push_back(std::move(row));
    }
    const QSqlRecord rec = q.record();
    for (int i = 0; i < rec.count(); ++i) {
        QVariant sample;
        for (const RowValues &r : rows)
            if (!r[size_t(i)].isNull()) {
                sample = r[size_t(i)];
                break;
            }
        p.fields.push_back({rec.fieldName(i).toUpper(), kindOf(sample, rec.field(i).metaType()), 0});
    }
    for (RowValues &r : rows) {
        for (size_t i = 0; i < r.size(); ++i) {
            QVariant &v = r[i];
            if (v.isNull())
                v = QVariant();
            else if (p.fields[i].kind == FieldKind::Float)
                v = v.toDouble();
            else if (p.fields[i].kind == FieldKind::String)
                v = v.toString();
        }
    }
    p.rows = std::move(rows);
    return encodePacket(p);
}

} // namespace kmp::server
