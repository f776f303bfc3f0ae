#include "store.h"

#include "dbconnection.h"
#include "deltavalidation.h"
#include "serviceerror.h"

#include <QCborStreamWriter>
#include <QJsonDocument>
#include <QJsonObject>
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
            throw ServiceError(ErrorCode::Invalid,
                               QStringLiteral("O valor do campo %1 tem %2 caracteres; o máximo é %3. "
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
    case FieldKind::Blob:
        break;
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
// numbers (dates are day counts) as numbers, blobs as {"base64": ...}.
QString valuesJson(const std::vector<const ColumnDef *> &cols, const RowValues &values, bool keysOnly = false)
{
    QJsonObject o;
    for (size_t i = 0; i < cols.size(); ++i) {
        if (keysOnly && !cols[i]->key)
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
            o.insert(cols[i]->name, QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(v.toByteArray().toBase64())}});
            break;
        }
    }
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
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

QByteArray Store::select(const TableDef &table, const QStringList &fields, const QStringList &where,
                         const QVariantList &values, const QString &orderBy)
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
    QSqlQuery q = m_db.prepare(sql);
    for (const QVariant &v : values)
        q.addBindValue(v);
    m_db.exec(q);

    // The rows are written as they are read, straight into the packet.
    PacketWriter packet(defs);
    while (q.next())
        packet.addRow([&q](int i) { return q.value(i); });
    if (q.lastError().isValid())
        throw ServiceError(ErrorCode::Internal,
                           QStringLiteral("Erro no banco de dados ao ler %1 (código %2).")
                               .arg(table.name, q.lastError().nativeErrorCode().left(16)));
    return packet.finish();
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

void Store::applyDelta(const TableDef &table, const Delta &delta, const QString &duplicateMessage,
                       const AuditContext &who)
{
    // Map the delta's fields onto the table's columns; anything unknown is refused before
    // a single statement runs, and only the table's own names ever reach SQL text.
    std::vector<const ColumnDef *> cols;
    cols.reserve(delta.fields.size());
    for (const FieldDef &f : delta.fields) {
        const ColumnDef *c = table.column(f.name);
        if (!c)
            throw ServiceError(ErrorCode::Invalid,
                               QStringLiteral("O campo %1 não existe em %2.").arg(f.name.left(64), table.name));
        if (!kindsAgree(f.kind, c->kind))
            throw ServiceError(ErrorCode::Invalid,
                               QStringLiteral("O campo %1 deveria ser do tipo %2, não %3.")
                                   .arg(c->name, fieldKindName(c->kind), fieldKindName(f.kind)));
        cols.push_back(c);
    }
    std::vector<int> keyIndex;
    for (const ColumnDef *k : table.keyColumns()) {
        int found = -1;
        for (size_t i = 0; i < cols.size(); ++i)
            if (cols[i] == k)
                found = int(i);
        if (found < 0)
            throw ServiceError(ErrorCode::Invalid,
                               QStringLiteral("O campo %1 (chave de %2) falta nas alterações.").arg(k->name, table.name));
        keyIndex.push_back(found);
    }
    // Validate every change before writing anything, so the common refusals cost nothing.
    for (const Change &ch : delta.changes) {
        if (ch.kind != ChangeKind::Insert)
            for (int i : keyIndex)
                requireKey(*cols[size_t(i)], ch.oldValues[size_t(i)], " no registro original");
        if (ch.kind != ChangeKind::Delete) {
            for (size_t i = 0; i < cols.size(); ++i)
                checkValue(*cols[i], ch.newValues[i]);
            for (int i : keyIndex)
                requireKey(*cols[size_t(i)], ch.newValues[size_t(i)], "");
        }
    }
    if (delta.changes.empty())
        return;
    // The delta is well formed; now its values must be ones a screen could have sent.
    const Delta checked = checkedDelta(m_db, table, delta);

    // The row a modify or delete meant: its key, and every column it had when loaded.
    const auto whereOriginal = [&](const RowValues &old, QStringList &where, QVariantList &values) {
        for (size_t i = 0; i < cols.size(); ++i) {
            if (isNull(old[i])) {
                where << cols[i]->name + QStringLiteral(" IS NULL");
            } else {
                where << cols[i]->name + QStringLiteral(" = ?");
                values << old[i];
            }
        }
    };
    const auto refuseStale = [&](const RowValues &old) {
        QStringList where;
        QVariantList values;
        for (int i : keyIndex) {
            where << cols[size_t(i)]->name + QStringLiteral(" = ?");
            values << old[size_t(i)];
        }
        QSqlQuery q = m_db.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE %2")
                                       .arg(table.name, where.join(QStringLiteral(" AND "))));
        for (const QVariant &v : values)
            q.addBindValue(v);
        m_db.exec(q);
        const bool exists = q.next();
        q.finish();
        throw ServiceError(ErrorCode::Conflict, exists ? staleRowMessage() : removedRowMessage());
    };

    // The consultation a change belongs to, so the audit command finds it by index.
    const auto columnIndex = [&](const char *name) {
        for (size_t i = 0; i < cols.size(); ++i)
            if (cols[i]->name == QLatin1String(name))
                return int(i);
        return -1;
    };
    const int filialAt = columnIndex("CDFILIAL");
    const int pacienteAt = columnIndex("CDPACIENTE");
    const int consultaAt = columnIndex("DTCONSPACI");
    const QString now = m_db.isPostgres()
                            ? QStringLiteral("to_char(clock_timestamp() AT TIME ZONE 'UTC', "
                                             "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')")
                            : QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ', 'now')");
    const QString auditSql = QStringLiteral("INSERT INTO KMP_AUDIT (CHANGED_AT, CLIENT_KEY, CLIENT_ADDRESS, METHOD, "
                                            "TABLE_NAME, CDFILIAL, CDPACIENTE, DTCONSPACI, ROW_KEY, CHANGE_KIND, "
                                            "OLD_VALUES, NEW_VALUES) VALUES (")
                             + now + QStringLiteral(", ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    const auto audit = [&](const Change &ch) {
        // Filed under the row's original key: the history of the consultation it came from
        // must show every change made to it.
        const RowValues &row = ch.kind == ChangeKind::Insert ? ch.newValues : ch.oldValues;
        const auto at = [&](int i, FieldKind kind) { return i < 0 || isNull(row[size_t(i)]) ? nullFor(kind) : row[size_t(i)]; };
        const QVariant noText = nullFor(FieldKind::String);
        QSqlQuery &a = m_db.cached(auditSql);
        // Never NULL: an in-process caller has no address, which is still an answer.
        const auto text = [](const QString &v, int size) { return v.isEmpty() ? QStringLiteral("") : v.left(size); };
        a.addBindValue(text(who.clientKey, 64));
        a.addBindValue(text(who.address, 64));
        a.addBindValue(text(who.method, 40));
        a.addBindValue(table.name);
        a.addBindValue(at(filialAt, FieldKind::String));
        a.addBindValue(at(pacienteAt, FieldKind::String));
        a.addBindValue(at(consultaAt, FieldKind::DateTime));
        a.addBindValue(valuesJson(cols, row, true));
        a.addBindValue(QString::fromLatin1(changeKindName(ch.kind)));
        a.addBindValue(ch.kind == ChangeKind::Insert ? noText : QVariant(valuesJson(cols, ch.oldValues)));
        a.addBindValue(ch.kind == ChangeKind::Delete ? noText : QVariant(valuesJson(cols, ch.newValues)));
        m_db.exec(a);
    };

    // The consultation's order is unique (schema version 3). A refusal by that index is a
    // station that lost a race for a number, told apart from a repeated diagnosis.
    const int seqAt = table.name == QLatin1String("DIAGPACI") ? columnIndex("NRSEQUENCIA") : -1;
    // A row inserted again clashes with its own key and, holding the same number, with the
    // order too; SQLite may name the order first, yet the clinician must hear that the
    // diagnosis is already there. SQLite keeps the transaction usable after the refusal, so
    // the key can be looked up; PostgreSQL checks the key first and never gets here for it.
    const auto keyTaken = [&](const RowValues &row) {
        if (m_db.isPostgres())
            return false;
        QStringList where;
        for (int i : keyIndex)
            where << cols[size_t(i)]->name + QStringLiteral(" = ?");
        QSqlQuery k = m_db.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE %2")
                                       .arg(table.name, where.join(QStringLiteral(" AND "))));
        for (int i : keyIndex)
            k.addBindValue(bindable(*cols[size_t(i)], row[size_t(i)]));
        return k.exec() && k.next();
    };
    const auto refuseDuplicate = [&](const QSqlError &e, const RowValues *inserted = nullptr) {
        const QString text = e.databaseText() + QLatin1Char(' ') + e.driverText();
        if (seqAt >= 0 && (text.contains(QLatin1String(DiagnosisOrderIndex), Qt::CaseInsensitive)
                           || text.contains(QLatin1String("NRSEQUENCIA"), Qt::CaseInsensitive))
            && !(inserted && keyTaken(*inserted)))
            throw ServiceError(ErrorCode::Conflict,
                               QStringLiteral("Outra estação gravou ao mesmo tempo um diagnóstico com o mesmo número "
                                              "de ordem nesta consulta. Atualize a lista e confirme novamente."));
        throw ServiceError(ErrorCode::Conflict, duplicateMessage);
    };

    Transaction tx(m_db);
    QSqlQuery q;
    // One row changed in place, found by its original values: a clash is a duplicate, no
    // row found is someone else's change first.
    const auto updateOne = [&](const QString &sets, const QStringList &where, const QVariantList &values,
                               const RowValues &original) {
        q = m_db.prepare(QStringLiteral("UPDATE %1 SET %2 WHERE %3")
                             .arg(table.name, sets, where.join(QStringLiteral(" AND "))));
        for (const QVariant &v : values)
            q.addBindValue(v);
        if (!q.exec()) {
            if (DbConnection::isUniqueViolation(q.lastError()))
                refuseDuplicate(q.lastError());
            m_db.raise(q);
        }
        if (q.numRowsAffected() != 1)
            refuseStale(original);
    };
    // What each change's WHERE matches: its original values, but with the parked number
    // for a row moved out of the way below.
    std::vector<RowValues> matchOld;
    matchOld.reserve(delta.changes.size());
    for (const Change &ch : delta.changes)
        matchOld.push_back(ch.oldValues);
    try {
        // Two saves on one consultation's order at once (two stations moving rows) would
        // lock its rows in opposite orders and deadlock on PostgreSQL: each save first takes
        // a lock per consultation it touches, in one order, for the rest of its transaction.
        // SQLite writes one transaction at a time already.
        if (seqAt >= 0 && m_db.isPostgres() && filialAt >= 0 && pacienteAt >= 0 && consultaAt >= 0) {
            QStringList consultations;
            const auto note = [&](const RowValues &row) {
                if (row.empty())
                    return;
                consultations << row[size_t(filialAt)].toString() + QLatin1Char('|') + row[size_t(pacienteAt)].toString()
                                     + QLatin1Char('|') + QString::number(row[size_t(consultaAt)].toDouble(), 'g', 17);
            };
            for (const Change &ch : delta.changes) {
                note(ch.oldValues);
                note(ch.newValues);
            }
            consultations.sort();
            consultations.removeDuplicates();
            for (const QString &key : consultations) {
                q = m_db.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(12800, hashtext(?))"));
                q.addBindValue(key);
                m_db.exec(q);
                q.finish();
            }
        }
        // Rows trading sequence numbers (a move) would meet the unique index half-way, and
        // SQLite checks it per statement: each row whose number changes is first parked on
        // a number no screen hands out, then the changes below give the final ones.
        int seqModifies = 0;
        for (const Change &ch : delta.changes)
            if (seqAt >= 0 && ch.kind == ChangeKind::Modify
                && !sameValue(ch.oldValues[size_t(seqAt)], ch.newValues[size_t(seqAt)]))
                ++seqModifies;
        if (seqModifies > 1) {
            for (size_t i = 0; i < delta.changes.size(); ++i) {
                const Change &ch = delta.changes[i];
                if (ch.kind != ChangeKind::Modify || sameValue(ch.oldValues[size_t(seqAt)], ch.newValues[size_t(seqAt)]))
                    continue;
                const double parked = -1000000.0 - double(i);
                QStringList where;
                QVariantList values{parked};
                whereOriginal(ch.oldValues, where, values);
                updateOne(QStringLiteral("NRSEQUENCIA = ?"), where, values, ch.oldValues);
                q.finish();
                matchOld[i][size_t(seqAt)] = parked;
            }
        }
        for (size_t changeAt = 0; changeAt < delta.changes.size(); ++changeAt) {
            const Change &ch = checked.changes[changeAt];
            const RowValues &old = matchOld[changeAt];
            switch (ch.kind) {
            case ChangeKind::Insert: {
                QStringList names, marks;
                for (const ColumnDef *c : cols) {
                    names << c->name;
                    marks << QStringLiteral("?");
                }
                QSqlQuery &insert = m_db.cached(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                                    .arg(table.name, names.join(QStringLiteral(", ")),
                                                         marks.join(QStringLiteral(", "))));
                for (size_t i = 0; i < cols.size(); ++i)
                    insert.bindValue(int(i), bindable(*cols[i], ch.newValues[i]));
                if (!insert.exec()) {
                    if (DbConnection::isUniqueViolation(insert.lastError()))
                        refuseDuplicate(insert.lastError(), &ch.newValues);
                    m_db.raise(insert);
                }
                audit(ch);
                break;
            }
            case ChangeKind::Modify: {
                QStringList sets;
                QVariantList values;
                for (size_t i = 0; i < cols.size(); ++i) {
                    if (!sameValue(old[i], ch.newValues[i])) {
                        sets << cols[i]->name + QStringLiteral(" = ?");
                        values << bindable(*cols[i], ch.newValues[i]);
                    }
                }
                QStringList where;
                whereOriginal(old, where, values);
                if (sets.isEmpty()) {
                    // Nothing to write, but the row must still be there as it was.
                    q = m_db.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE %2")
                                         .arg(table.name, where.join(QStringLiteral(" AND "))));
                    for (const QVariant &v : values)
                        q.addBindValue(v);
                    m_db.exec(q);
                    const bool there = q.next();
                    q.finish();
                    if (!there)
                        refuseStale(ch.oldValues);
                    break;
                }
                updateOne(sets.join(QStringLiteral(", ")), where, values, ch.oldValues);
                audit(ch);
                break;
            }
            case ChangeKind::Delete: {
                QStringList where;
                QVariantList values;
                whereOriginal(ch.oldValues, where, values);
                q = m_db.prepare(QStringLiteral("DELETE FROM %1 WHERE %2").arg(table.name, where.join(QStringLiteral(" AND "))));
                for (const QVariant &v : values)
                    q.addBindValue(v);
                m_db.exec(q);
                if (q.numRowsAffected() != 1)
                    refuseStale(ch.oldValues);
                audit(ch);
                break;
            }
            }
            q.finish();
        }
        q = QSqlQuery();
        tx.commit();
    } catch (...) {
        // Roll back before the failed statement is released: PostgreSQL refuses even the
        // release inside an aborted transaction, which would leak it on the connection.
        tx.rollback();
        q = QSqlQuery();
        throw;
    }
}

} // namespace kmp::server
