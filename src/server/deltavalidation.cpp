#include "deltavalidation.h"

#include "controlchars.h"
#include "daycount.h"
#include "dbconnection.h"
#include "serviceerror.h"

#include <QCborStreamReader>
#include <QDate>
#include <QHash>
#include <cmath>
#include <optional>

namespace kmp::server {

using wire::ErrorCode;

double earliestDate()
{
    return daysFromDate(QDate(1900, 1, 1));
}

double latestDate()
{
    return daysFromDate(QDate(2200, 12, 31));
}

namespace {

bool isNull(const QVariant &v)
{
    return !v.isValid() || v.isNull();
}

[[noreturn]] void refuse(const QString &text)
{
    throw ServiceError(ErrorCode::Invalid, text + QStringLiteral(" Nada foi gravado."));
}

void checkText(const ColumnDef &c, const QVariant &v)
{
    if (isNull(v) || c.kind != FieldKind::String)
        return;
    const QString s = v.toString();
    const qsizetype at = firstControlCharacter(s);
    if (at >= 0)
        refuse(QStringLiteral("O campo %1 contém um caractere de controle (código %2 na posição %3), que não "
                              "pode ser gravado.")
                   .arg(c.name)
                   .arg(s.at(at).unicode())
                   .arg(at + 1));
}

// Dates and the sequence number: what the screen can produce, nothing more. A date that
// lands far from today in the listing is a corrupted record, not a consultation.
void checkNumber(const ColumnDef &c, const QVariant &v)
{
    if (isNull(v))
        return;
    const double d = v.toDouble();
    if (c.kind == FieldKind::DateTime) {
        if (!std::isfinite(d) || d < earliestDate() || d >= latestDate() + 1)
            refuse(QStringLiteral("O campo %1 tem uma data fora do intervalo aceito (de 01/01/1900 a 31/12/2200).").arg(c.name));
        return;
    }
    if (c.kind == FieldKind::Float && c.name == QLatin1String("NRSEQUENCIA")) {
        if (!std::isfinite(d) || d != std::floor(d) || d < 1 || d > MaxSequence)
            refuse(QStringLiteral("O campo %1 precisa ser um número inteiro de 1 a %2.").arg(c.name).arg(qint64(MaxSequence)));
    }
}

struct CatalogueEntry
{
    QVariant name;
};

// One lookup per code, however many rows of the delta carry it.
class Catalogue
{
public:
    explicit Catalogue(DbConnection &db) : m_db(db) {}

    std::optional<CatalogueEntry> diagnosis(const QString &code)
    {
        const auto it = m_diagnoses.constFind(code);
        if (it != m_diagnoses.constEnd())
            return *it;
        // Kept prepared on the connection: every diagnosis save asks it. Finished right
        // after, so that no open statement holds a snapshot of the database between saves.
        QSqlQuery &q = m_db.cached(QStringLiteral("SELECT NMDIAGNOST FROM DIAGNOST WHERE CDDIAGNOST = ?"));
        q.bindValue(0, code);
        m_db.exec(q);
        std::optional<CatalogueEntry> found;
        if (q.next())
            found = CatalogueEntry{q.isNull(0) ? QVariant() : QVariant(q.value(0).toString())};
        q.finish();
        m_diagnoses.insert(code, found);
        return found;
    }

    bool reportType(const QString &code)
    {
        const auto it = m_reportTypes.constFind(code);
        if (it != m_reportTypes.constEnd())
            return *it;
        QSqlQuery &q = m_db.cached(QStringLiteral("SELECT 1 FROM TIPOLAUDO WHERE CDTIPOLAUDO = ?"));
        q.bindValue(0, code);
        m_db.exec(q);
        const bool found = q.next();
        q.finish();
        m_reportTypes.insert(code, found);
        return found;
    }

private:
    DbConnection &m_db;
    QHash<QString, std::optional<CatalogueEntry>> m_diagnoses;
    QHash<QString, bool> m_reportTypes;
};

} // namespace

Delta checkedDelta(DbConnection &db, const TableDef &table, const Delta &delta)
{
    std::vector<const ColumnDef *> cols;
    cols.reserve(delta.fields.size());
    for (const FieldDef &f : delta.fields) {
        // A field the table does not have, or of another kind, is applyDelta's to refuse.
        const ColumnDef *c = table.column(f.name);
        const auto isNumber = [](FieldKind k) { return k == FieldKind::DateTime || k == FieldKind::Float; };
        if (c && c->kind != f.kind && !(isNumber(c->kind) && isNumber(f.kind)))
            c = nullptr;
        cols.push_back(c);
    }
    const auto indexOf = [&](const char *name) {
        for (size_t i = 0; i < cols.size(); ++i)
            if (cols[i] && cols[i]->name == QLatin1String(name))
                return int(i);
        return -1;
    };
    const bool diagnoses = table.name == tables::diagPaci().name;
    const bool reports = table.name == tables::memLaudo().name;
    const int codeAt = diagnoses ? indexOf("CDDIAGNOST") : -1;
    const int nameAt = diagnoses ? indexOf("NMDIAGNOST") : -1;
    const int typeAt = reports ? indexOf("CDTIPOLAUDO") : -1;

    Delta out = delta;
    Catalogue catalogue(db);
    for (Change &ch : out.changes) {
        const bool hasOld = ch.kind != ChangeKind::Insert && ch.oldValues.size() == cols.size();
        const bool hasNew = ch.kind != ChangeKind::Delete && ch.newValues.size() == cols.size();
        for (size_t i = 0; i < cols.size(); ++i) {
            if (!cols[i])
                continue;
            if (hasOld)
                checkText(*cols[i], ch.oldValues[i]);
            if (hasNew) {
                checkText(*cols[i], ch.newValues[i]);
                checkNumber(*cols[i], ch.newValues[i]);
            }
            if (ch.kind == ChangeKind::Modify && hasOld && hasNew && cols[i]->key && !sameValue(ch.oldValues[i], ch.newValues[i]))
                refuse(QStringLiteral("O campo %1 faz parte da chave do registro e não pode ser alterado; exclua o "
                                      "registro e inclua outro.")
                           .arg(cols[i]->name));
        }
        if (!hasNew)
            continue;
        if (codeAt >= 0 && !isNull(ch.newValues[size_t(codeAt)])) {
            const QString code = ch.newValues[size_t(codeAt)].toString();
            const auto entry = catalogue.diagnosis(code);
            if (entry) {
                if (nameAt >= 0)
                    ch.newValues[size_t(nameAt)] = entry->name;
            } else if (ch.kind == ChangeKind::Modify) {
                // Recorded while the code was in the catalogue: its name stays as recorded.
                if (nameAt >= 0)
                    ch.newValues[size_t(nameAt)] = ch.oldValues[size_t(nameAt)];
            } else if (!code.trimmed().isEmpty()) {
                refuse(QStringLiteral("O diagnóstico informado no campo CDDIAGNOST não está cadastrado no catálogo."));
            }
        }
        if (typeAt >= 0 && ch.kind == ChangeKind::Insert && !isNull(ch.newValues[size_t(typeAt)])) {
            const QString type = ch.newValues[size_t(typeAt)].toString();
            if (!type.trimmed().isEmpty() && !catalogue.reportType(type))
                refuse(QStringLiteral("O tipo de laudo informado no campo CDTIPOLAUDO não está cadastrado."));
        }
    }
    return out;
}

std::optional<DeltaShape> peekDeltaShape(const QByteArray &bytes)
{
    QCborStreamReader reader(bytes);
    const auto key = [&reader](QLatin1String expected) {
        if (!reader.isString())
            return false;
        QString text;
        auto chunk = reader.readString();
        while (chunk.status == QCborStreamReader::Ok) {
            text += chunk.data;
            chunk = reader.readString();
        }
        return chunk.status == QCborStreamReader::EndOfString && text == expected;
    };
    DeltaShape shape;
    if (!reader.isMap() || !reader.enterContainer() || !key(QLatin1String("fields")) || !reader.isArray()
        || !reader.isLengthKnown())
        return std::nullopt;
    shape.fields = qint64(reader.length());
    if (!reader.next() || !key(QLatin1String("changes")) || !reader.isArray() || !reader.isLengthKnown())
        return std::nullopt;
    shape.changes = qint64(reader.length());
    return shape;
}

qint64 decodedOverheadBytes(const DeltaShape &shape)
{
    // A value is a QVariant (32 bytes) with, for text, a block of its own; each change
    // holds up to two rows, and the checked copy of the delta repeats the rows' arrays.
    constexpr qint64 perValue = 4 * 80;
    constexpr qint64 perChange = 128;
    return shape.changes * (perChange + std::min(shape.fields, MaxDeltaFields) * perValue);
}

} // namespace kmp::server
