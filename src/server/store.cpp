#include "store.h"

#include "dbconnection.h"
#include "deltavalidation.h"
#include "serviceerror.h"

#include <QCborStreamWriter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSqlError>
#include <cmath>

namespace kmp::server {

using wire::ErrorCode;

QString staleRowMessage()
{
    return QStringLiteral("O registro foi alterado por outro usuário desde que foi carregado. "
                          "Atualize a tela e tente de novo.");
}

QString removedRowMessage()
{
    return QStringLiteral("O registro foi excluído por outro usuário desde que foi carregado. "
                          "Atualize a tela e tente de novo.");
}

namespace {

const QStringList kConsultaKey{QStringLiteral("CDFILIAL = ?"), QStringLiteral("CDPACIENTE = ?"),
                               QStringLiteral("DTCONSPACI = ?")};

// A typed null, so that PostgreSQL receives a NULL of the column's type.
QVariant nullFor(FieldKind kind)
{
    switch (kind) {
    case FieldKind::String: return QVariant(QMetaType::fromType<QString>());
    case FieldKind::DateTime:
    case FieldKind::Float: return QVariant(QMetaType::fromType<double>());
    case FieldKind::Blob: return QVariant(QMetaType::fromType<QByteArray>());
    }
    return {};
}

bool isNull(const QVariant &v)
{
    return !v.isValid() || v.isNull();
}

QVariant bindable(const ColumnDef &c, const QVariant &v)
{
    return isNull(v) ? nullFor(c.kind) : v;
}

// Checks one value of a delta against the server's own column, whatever size the client
// declared: strings longer than the column are refused, never cut.
void checkValue(const ColumnDef &c, const QVariant &v)
{
    if (isNull(v))
        return;
    switch (c.kind) {
    case FieldKind::String: {
        const qsizetype n = v.toString().size();
        if (n > c.size)
            throw ServiceError(ErrorCode::Invalid, QStringLiteral("O valor do campo %1 tem %2 caracteres; o máximo é %3. "
                                                                  "Nada foi gravado.")
                                                       .arg(c.name)
                                                       .arg(n)
                                                       .arg(c.size));
        break;
    }
    case FieldKind::DateTime:
    case FieldKind::Float:
        if (!std::isfinite(v.toDouble()))
            throw ServiceError(ErrorCode::Invalid, QStringLiteral("Valor numérico inválido no campo %1.").arg(c.name));
        break;
    case FieldKind::Blob: break;
    }
}

bool kindsAgree(FieldKind declared, FieldKind column)
{
    if (declared == column)
        return true;
    // Both travel as the same double.
    const auto isNumber = [](FieldKind k) { return k == FieldKind::DateTime || k == FieldKind::Float; };
    return isNumber(declared) && isNumber(column);
}

void requireKey(const ColumnDef &c, const QVariant &v, const char *which)
{
    if (isNull(v) || (c.kind == FieldKind::String && v.toString().trimmed().isEmpty()))
        throw ServiceError(ErrorCode::Invalid,
                           QStringLiteral("O campo %1 faz parte da chave e não pode ficar vazio%2. Nada foi gravado.")
                               .arg(c.name, QLatin1String(which)));
}

// A row's values as JSON text for the audit trail, every value kept whole: text as text,
// numbers (dates are day counts) as numbers. A blob goes to the trail's own blob column
// (blob), with only its size in the text as {"bytes": n}: a section may be tens of
// megabytes, and as base64 inside the text it would cost several times that to write. A
// second blob in one row (no table has one) stays inline as {"base64": ...}.
QString valuesJson(const std::vector<const ColumnDef *> &cols, const RowValues &values, QVariant *blob)
{
    QJsonObject o;
    bool blobTaken = false;
    for (size_t i = 0; i < cols.size(); ++i) {
        if (!blob && !cols[i]->key)
            continue;
        const QVariant &v = values[i];
        if (isNull(v)) {
            o.insert(cols[i]->name, QJsonValue::Null);
            continue;
        }
        switch (cols[i]->kind) {
        case FieldKind::String: o.insert(cols[i]->name, v.toString()); break;
        case FieldKind::DateTime:
        case FieldKind::Float: o.insert(cols[i]->name, v.toDouble()); break;
        case FieldKind::Blob:
            if (!blobTaken) {
                blobTaken = true;
                *blob = v;
                o.insert(cols[i]->name, QJsonObject{{QStringLiteral("bytes"), double(v.toByteArray().size())}});
            } else {
                o.insert(cols[i]->name, QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(v.toByteArray().toBase64())}});
            }
            break;
        }
    }
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

// The key columns alone: how the trail names the row.
QString keysJson(const std::vector<const ColumnDef *> &cols, const RowValues &values)
{
    return valuesJson(cols, values, nullptr);
}

const char *changeKindName(ChangeKind k)
{
    switch (k) {
    case ChangeKind::Insert: return "insert";
    case ChangeKind::Modify: return "modify";
    case ChangeKind::Delete: return "delete";
    }
    return "?";
}

} // namespace

QByteArray Store::select(const TableDef &table, const QStringList &fields, const QStringList &where, const QVariantList &values,
                         const QString &orderBy)
{
    const FieldDefs defs = table.fieldDefs(fields);
    QStringList names;
    for (const FieldDef &f : defs)
        names << f.name;
    QString sql = QStringLiteral("SELECT %1 FROM %2").arg(names.join(QStringLiteral(", ")), table.name);
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
    if (!orderBy.isEmpty())
        sql += QStringLiteral(" ORDER BY ") + orderBy;
    // Every load runs one of a few statements, kept prepared on the connection rather than
    // parsed again for each request; finished as soon as its rows are read, so that no
    // statement left open holds a snapshot of the database between requests.
    QSqlQuery &q = m_db.cached(sql);
    const auto finished = qScopeGuard([&q]() { q.finish(); });
    for (qsizetype i = 0; i < values.size(); ++i)
        q.bindValue(int(i), values.at(i));
    m_db.exec(q);

    // The rows are written as they are read, straight into the packet.
    PacketWriter packet(defs);
    while (q.next())
        packet.addRow([&q](int i) { return q.value(i); });
    if (q.lastError().isValid())
        throw ServiceError(ErrorCode::Internal, QStringLiteral("Erro no banco de dados ao ler %1 (código %2).")
                                                    .arg(table.name, q.lastError().nativeErrorCode().left(16)));
    QByteArray out = packet.finish();
    m_db.noteLargeTransfer(out.size());
    return out;
}

QByteArray Store::diagnost()
{
    return select(tables::diagnost(), {}, {}, {}, QStringLiteral("CDDIAGNOST"));
}

QByteArray Store::diagPaci(const QString &filial, const QString &paciente, double consulta)
{
    // Ascending sequence: the screen takes its next number from the last row. An empty
    // number reads as 0 there, so it sorts first in both databases (PostgreSQL would put
    // NULL last).
    return select(tables::diagPaci(), {}, kConsultaKey, {filial, paciente, consulta},
                  QStringLiteral("COALESCE(NRSEQUENCIA, 0), CDDIAGNOST"));
}

QByteArray Store::diagAsso(const QString &filial, const QString &paciente, double consulta)
{
    return select(tables::diagAsso(), {QStringLiteral("CDDIAGNOST"), QStringLiteral("NMDIAGNOST")}, kConsultaKey,
                  {filial, paciente, consulta}, QStringLiteral("CDDIAGNOST"));
}

std::array<QByteArray, 4> Store::histGer(const QString &paciente, const QString &filial, double consulta)
{
    const QVariantList key{filial, paciente, consulta};
    return {select(tables::histDoen(), {}, kConsultaKey, key), select(tables::histClinProg(), {}, kConsultaKey, key),
            select(tables::histFam(), {}, kConsultaKey, key), select(tables::examFisi(), {}, kConsultaKey, key)};
}

QByteArray Store::vdDiag(const QString &filial, const QString &paciente, const QString &diagnost, double consulta)
{
    QStringList where = kConsultaKey;
    where << QStringLiteral("CDDIAGNOST = ?");
    return select(tables::diagPaci(), {QStringLiteral("CDPACIENTE")}, where, {filial, paciente, consulta, diagnost});
}

QByteArray Store::tipoLaudo(const QString &code, const QString &selector)
{
    if (selector == QLatin1String("T"))
        return select(tables::tipoLaudo(), {}, {}, {}, QStringLiteral("CDTIPOLAUDO"));
    return select(tables::tipoLaudo(), {}, {QStringLiteral("CDTIPOLAUDO = ?")}, {code});
}

QByteArray Store::memLaudo(const QString &filial, const QString &paciente, const QString &tipo, double consulta)
{
    QStringList where = kConsultaKey;
    where << QStringLiteral("CDTIPOLAUDO = ?");
    return select(tables::memLaudo(), {}, where, {filial, paciente, consulta, tipo});
}

namespace {

// One save of a delta, in its steps: validate (every refusal that needs no statement, then
// the values against the catalogue), plan (what to lock and which rows to move out of the
// way), execute (one transaction) and audit (a trail row per change applied, inside it).
class DeltaApplication
{
public:
    DeltaApplication(DbConnection &db, const TableDef &table, const Delta &delta, const QString &duplicateMessage,
                     const AuditContext &who)
        : m_db(db), m_table(table), m_delta(delta), m_duplicateMessage(duplicateMessage), m_who(who)
    {
    }

    // False when there is nothing to write.
    bool validate();
    void plan();
    void execute();

private:
    int columnIndex(const char *name) const;
    QString keyCondition() const;
    // The row a modify or delete meant: its key, and every column it had when loaded.
    void whereOriginal(const RowValues &old, QStringList &where, QVariantList &values) const;
    [[noreturn]] void refuseStale(const RowValues &old);
    bool keyTaken(const RowValues &row);
    [[noreturn]] void refuseDuplicate(const QSqlError &e, const RowValues *inserted = nullptr);
    void lockConsultations();
    void parkMovedRows();
    void updateOne(const QString &sets, const QStringList &where, const QVariantList &values, const RowValues &original);
    void insertRow(const Change &ch);
    void modifyRow(const Change &ch, const RowValues &old);
    void deleteRow(const Change &ch);
    void audit(const Change &ch);

    DbConnection &m_db;
    const TableDef &m_table;
    const Delta &m_delta;
    const QString &m_duplicateMessage;
    const AuditContext &m_who;

    std::vector<const ColumnDef *> m_cols; // the delta's fields as the table's columns
    std::vector<int> m_keyIndex;           // where the key columns sit among them
    Delta m_checked;                       // the delta as it is stored
    int m_filialAt = -1;
    int m_pacienteAt = -1;
    int m_consultaAt = -1;
    int m_seqAt = -1;
    QStringList m_consultations;       // locked first, in this order
    std::vector<size_t> m_parked;      // changes whose row is moved out of the way first
    std::vector<RowValues> m_matchOld; // what each change's WHERE matches
    QSqlQuery m_q;                     // the statement running; released only after a rollback
};

bool DeltaApplication::validate()
{
    // Map the delta's fields onto the table's columns; anything unknown is refused before
    // a single statement runs, and only the table's own names ever reach SQL text.
    m_cols.reserve(m_delta.fields.size());
    for (const FieldDef &f : m_delta.fields) {
        const ColumnDef *c = m_table.column(f.name);
        if (!c)
            throw ServiceError(ErrorCode::Invalid,
                               QStringLiteral("O campo %1 não existe em %2.").arg(f.name.left(64), m_table.name));
        if (!kindsAgree(f.kind, c->kind))
            throw ServiceError(ErrorCode::Invalid, QStringLiteral("O campo %1 deveria ser do tipo %2, não %3.")
                                                       .arg(c->name, fieldKindName(c->kind), fieldKindName(f.kind)));
        m_cols.push_back(c);
    }
    for (const ColumnDef *k : m_table.keyColumns()) {
        int found = -1;
        for (size_t i = 0; i < m_cols.size(); ++i)
            if (m_cols[i] == k)
                found = int(i);
        if (found < 0)
            throw ServiceError(ErrorCode::Invalid,
                               QStringLiteral("O campo %1 (chave de %2) falta nas alterações.").arg(k->name, m_table.name));
        m_keyIndex.push_back(found);
    }
    // Validate every change before writing anything, so the common refusals cost nothing.
    for (const Change &ch : m_delta.changes) {
        if (ch.kind != ChangeKind::Insert)
            for (int i : m_keyIndex)
                requireKey(*m_cols[size_t(i)], ch.oldValues[size_t(i)], " no registro original");
        if (ch.kind != ChangeKind::Delete) {
            for (size_t i = 0; i < m_cols.size(); ++i)
                checkValue(*m_cols[i], ch.newValues[i]);
            for (int i : m_keyIndex)
                requireKey(*m_cols[size_t(i)], ch.newValues[size_t(i)], "");
        }
    }
    if (m_delta.changes.empty())
        return false;
    // The delta is well formed; now its values must be ones a screen could have sent.
    m_checked = checkedDelta(m_db, m_table, m_delta);
    return true;
}

int DeltaApplication::columnIndex(const char *name) const
{
    for (size_t i = 0; i < m_cols.size(); ++i)
        if (m_cols[i]->name == QLatin1String(name))
            return int(i);
    return -1;
}

void DeltaApplication::plan()
{
    // The consultation a change belongs to, so the audit command finds it by index.
    m_filialAt = columnIndex("CDFILIAL");
    m_pacienteAt = columnIndex("CDPACIENTE");
    m_consultaAt = columnIndex("DTCONSPACI");
    // The consultation's order is unique (schema version 3). A refusal by that index is a
    // station that lost a race for a number, told apart from a repeated diagnosis.
    m_seqAt = m_table.name == QLatin1String("DIAGPACI") ? columnIndex("NRSEQUENCIA") : -1;

    // Two saves on one consultation's order at once (two stations moving rows) would
    // lock its rows in opposite orders and deadlock on PostgreSQL: each save first takes
    // a lock per consultation it touches, in one order, for the rest of its transaction.
    // SQLite writes one transaction at a time already.
    if (m_seqAt >= 0 && m_db.isPostgres() && m_filialAt >= 0 && m_pacienteAt >= 0 && m_consultaAt >= 0) {
        const auto note = [&](const RowValues &row) {
            if (row.empty())
                return;
            m_consultations << row[size_t(m_filialAt)].toString() + QLatin1Char('|') + row[size_t(m_pacienteAt)].toString()
                                   + QLatin1Char('|') + QString::number(row[size_t(m_consultaAt)].toDouble(), 'g', 17);
        };
        for (const Change &ch : m_delta.changes) {
            note(ch.oldValues);
            note(ch.newValues);
        }
        m_consultations.sort();
        m_consultations.removeDuplicates();
    }
    // Rows trading sequence numbers (a move) would meet the unique index half-way, and
    // SQLite checks it per statement: when more than one row's number changes, each is
    // first parked on a number no screen hands out, then the changes give the final ones.
    m_matchOld.reserve(m_delta.changes.size());
    for (const Change &ch : m_delta.changes)
        m_matchOld.push_back(ch.oldValues);
    if (m_seqAt < 0)
        return;
    for (size_t i = 0; i < m_delta.changes.size(); ++i) {
        const Change &ch = m_delta.changes[i];
        if (ch.kind == ChangeKind::Modify && !sameValue(ch.oldValues[size_t(m_seqAt)], ch.newValues[size_t(m_seqAt)]))
            m_parked.push_back(i);
    }
    if (m_parked.size() < 2)
        m_parked.clear();
}

void DeltaApplication::execute()
{
    Transaction tx(m_db);
    try {
        lockConsultations();
        parkMovedRows();
        for (size_t changeAt = 0; changeAt < m_delta.changes.size(); ++changeAt) {
            const Change &ch = m_checked.changes[changeAt];
            switch (ch.kind) {
            case ChangeKind::Insert: insertRow(ch); break;
            case ChangeKind::Modify: modifyRow(ch, m_matchOld[changeAt]); break;
            case ChangeKind::Delete: deleteRow(ch); break;
            }
            m_q.finish();
        }
        m_q = QSqlQuery();
        tx.commit();
    } catch (...) {
        // Roll back before the failed statement is released: PostgreSQL refuses even the
        // release inside an aborted transaction, which would leak it on the connection.
        tx.rollback();
        m_q = QSqlQuery();
        throw;
    }
}

QString DeltaApplication::keyCondition() const
{
    QStringList where;
    for (int i : m_keyIndex)
        where << m_cols[size_t(i)]->name + QStringLiteral(" = ?");
    return where.join(QStringLiteral(" AND "));
}

void DeltaApplication::whereOriginal(const RowValues &old, QStringList &where, QVariantList &values) const
{
    for (size_t i = 0; i < m_cols.size(); ++i) {
        if (isNull(old[i])) {
            where << m_cols[i]->name + QStringLiteral(" IS NULL");
        } else {
            where << m_cols[i]->name + QStringLiteral(" = ?");
            values << old[i];
        }
    }
}

void DeltaApplication::refuseStale(const RowValues &old)
{
    m_q = m_db.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE %2").arg(m_table.name, keyCondition()));
    for (int i : m_keyIndex)
        m_q.addBindValue(old[size_t(i)]);
    m_db.exec(m_q);
    const bool exists = m_q.next();
    m_q.finish();
    throw ServiceError(ErrorCode::Conflict, exists ? staleRowMessage() : removedRowMessage());
}

// A row inserted again clashes with its own key and, holding the same number, with the
// order too; SQLite may name the order first, yet the clinician must hear that the
// diagnosis is already there. SQLite keeps the transaction usable after the refusal, so
// the key can be looked up; PostgreSQL checks the key first and never gets here for it.
bool DeltaApplication::keyTaken(const RowValues &row)
{
    if (m_db.isPostgres())
        return false;
    QSqlQuery k = m_db.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE %2").arg(m_table.name, keyCondition()));
    for (int i : m_keyIndex)
        k.addBindValue(bindable(*m_cols[size_t(i)], row[size_t(i)]));
    return k.exec() && k.next();
}

void DeltaApplication::refuseDuplicate(const QSqlError &e, const RowValues *inserted)
{
    const QString text = e.databaseText() + QLatin1Char(' ') + e.driverText();
    if (m_seqAt >= 0
        && (text.contains(QLatin1String(DiagnosisOrderIndex), Qt::CaseInsensitive)
            || text.contains(QLatin1String("NRSEQUENCIA"), Qt::CaseInsensitive))
        && !(inserted && keyTaken(*inserted)))
        throw ServiceError(ErrorCode::Conflict,
                           QStringLiteral("Outra estação gravou ao mesmo tempo um diagnóstico com o mesmo número "
                                          "de ordem nesta consulta. Atualize a lista e confirme novamente."));
    throw ServiceError(ErrorCode::Conflict, m_duplicateMessage);
}

void DeltaApplication::lockConsultations()
{
    for (const QString &key : m_consultations) {
        m_q = m_db.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(12800, hashtext(?))"));
        m_q.addBindValue(key);
        m_db.exec(m_q);
        m_q.finish();
    }
}

void DeltaApplication::parkMovedRows()
{
    for (size_t i : m_parked) {
        const Change &ch = m_delta.changes[i];
        const double parked = -1000000.0 - double(i);
        QStringList where;
        QVariantList values{parked};
        whereOriginal(ch.oldValues, where, values);
        updateOne(QStringLiteral("NRSEQUENCIA = ?"), where, values, ch.oldValues);
        m_matchOld[i][size_t(m_seqAt)] = parked;
    }
}

// One row changed in place, found by its original values: a clash is a duplicate, no row
// found is someone else's change first.
void DeltaApplication::updateOne(const QString &sets, const QStringList &where, const QVariantList &values,
                                 const RowValues &original)
{
    const DbConnection::Outcome out = m_db.run(
        QStringLiteral("UPDATE %1 SET %2 WHERE %3").arg(m_table.name, sets, where.join(QStringLiteral(" AND "))), values, true);
    if (!out.ok) {
        if (DbConnection::isUniqueViolation(out.error))
            refuseDuplicate(out.error);
        m_db.raise(out.error);
    }
    if (out.rowsAffected != 1)
        refuseStale(original);
}

void DeltaApplication::insertRow(const Change &ch)
{
    QStringList names, marks;
    QVariantList values;
    values.reserve(qsizetype(m_cols.size()));
    for (size_t i = 0; i < m_cols.size(); ++i) {
        names << m_cols[i]->name;
        marks << QStringLiteral("?");
        values << bindable(*m_cols[i], ch.newValues[i]);
    }
    const DbConnection::Outcome out =
        m_db.run(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                     .arg(m_table.name, names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", "))),
                 values, true);
    if (!out.ok) {
        if (DbConnection::isUniqueViolation(out.error))
            refuseDuplicate(out.error, &ch.newValues);
        m_db.raise(out.error);
    }
    audit(ch);
}

void DeltaApplication::modifyRow(const Change &ch, const RowValues &old)
{
    QStringList sets;
    QVariantList values;
    for (size_t i = 0; i < m_cols.size(); ++i) {
        if (!sameValue(old[i], ch.newValues[i])) {
            sets << m_cols[i]->name + QStringLiteral(" = ?");
            values << bindable(*m_cols[i], ch.newValues[i]);
        }
    }
    QStringList where;
    whereOriginal(old, where, values);
    if (sets.isEmpty()) {
        // Nothing to write, but the row must still be there as it was.
        m_q = m_db.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE %2").arg(m_table.name, where.join(QStringLiteral(" AND "))));
        for (const QVariant &v : values)
            m_q.addBindValue(v);
        m_db.exec(m_q);
        const bool there = m_q.next();
        m_q.finish();
        if (!there)
            refuseStale(ch.oldValues);
        return;
    }
    updateOne(sets.join(QStringLiteral(", ")), where, values, ch.oldValues);
    audit(ch);
}

void DeltaApplication::deleteRow(const Change &ch)
{
    QStringList where;
    QVariantList values;
    whereOriginal(ch.oldValues, where, values);
    const DbConnection::Outcome out =
        m_db.run(QStringLiteral("DELETE FROM %1 WHERE %2").arg(m_table.name, where.join(QStringLiteral(" AND "))), values, true);
    if (!out.ok)
        m_db.raise(out.error);
    if (out.rowsAffected != 1)
        refuseStale(ch.oldValues);
    audit(ch);
}

void DeltaApplication::audit(const Change &ch)
{
    // Filed under the row's original key: the history of the consultation it came from
    // must show every change made to it.
    const RowValues &row = ch.kind == ChangeKind::Insert ? ch.newValues : ch.oldValues;
    const auto at = [&](int i, FieldKind kind) { return i < 0 || isNull(row[size_t(i)]) ? nullFor(kind) : row[size_t(i)]; };
    // Never NULL: an in-process caller has no address, which is still an answer.
    const auto text = [](const QString &v, int size) { return v.isEmpty() ? QStringLiteral("") : v.left(size); };
    const QVariant noText = nullFor(FieldKind::String);
    QVariant oldBlob = nullFor(FieldKind::Blob);
    QVariant newBlob = nullFor(FieldKind::Blob);
    const QVariant oldValues = ch.kind == ChangeKind::Insert ? noText : QVariant(valuesJson(m_cols, ch.oldValues, &oldBlob));
    const QVariant newValues = ch.kind == ChangeKind::Delete ? noText : QVariant(valuesJson(m_cols, ch.newValues, &newBlob));
    static const QString insert = QStringLiteral("INSERT INTO KMP_AUDIT (CHANGED_AT, CLIENT_KEY, CLIENT_ADDRESS, METHOD, "
                                                 "TABLE_NAME, CDFILIAL, CDPACIENTE, DTCONSPACI, ROW_KEY, CHANGE_KIND, "
                                                 "OLD_VALUES, NEW_VALUES, OLD_BLOB, NEW_BLOB) VALUES (%1, ?, ?, ?, ?, ?, "
                                                 "?, ?, ?, ?, ?, ?, ?, ?)");
    static const QString postgres = insert.arg(QStringLiteral("to_char(clock_timestamp() AT TIME ZONE 'UTC', "
                                                              "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"));
    static const QString sqlite = insert.arg(QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ', 'now')"));
    const DbConnection::Outcome out =
        m_db.run(m_db.isPostgres() ? postgres : sqlite,
                 {text(m_who.clientKey, 64), text(m_who.address, 64), text(m_who.method, 40), m_table.name,
                  at(m_filialAt, FieldKind::String), at(m_pacienteAt, FieldKind::String), at(m_consultaAt, FieldKind::DateTime),
                  keysJson(m_cols, row), QString::fromLatin1(changeKindName(ch.kind)), oldValues, newValues, oldBlob, newBlob},
                 true);
    if (!out.ok)
        m_db.raise(out.error);
}

} // namespace

void Store::applyDelta(const TableDef &table, const Delta &delta, const QString &duplicateMessage, const AuditContext &who)
{
    DeltaApplication save(m_db, table, delta, duplicateMessage, who);
    if (!save.validate())
        return;
    save.plan();
    save.execute();
}

} // namespace kmp::server
