#include "auditreport.h"

#include "controlchars.h"
#include "daycount.h"
#include "dbconnection.h"
#include "rtfreader.h"
#include "schema.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>

namespace kmp::server {

namespace {

// A row's values; a blob the row keeps in its blob column ({"bytes": n} in the text) is
// put back inline as {"base64": ...}, the form rows written before schema version 5 hold,
// so both read and show alike.
QJsonObject parseObject(const QVariant &v, const QVariant &blob = {})
{
    if (v.isNull())
        return {};
    QJsonObject o = QJsonDocument::fromJson(v.toString().toUtf8()).object();
    if (blob.isNull())
        return o;
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.value().isObject() && it.value().toObject().contains(QLatin1String("bytes"))) {
            it.value() = QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(blob.toByteArray().toBase64())}};
            break;
        }
    }
    return o;
}

const TableDef *tableNamed(const QString &name)
{
    for (const TableDef *t : tables::all())
        if (t->name == name)
            return t;
    return nullptr;
}

QString dateText(double days)
{
    const QDate d = dateFromDays(days);
    return d.isValid() ? d.toString(Qt::ISODate) : QString::number(days);
}

QString valueText(const ColumnDef *c, const QJsonValue &v)
{
    if (v.isNull() || v.isUndefined())
        return QStringLiteral("(vazio)");
    if (v.isObject()) {
        const QByteArray bytes = QByteArray::fromBase64(v.toObject().value(QLatin1String("base64")).toString().toLatin1());
        return QStringLiteral("(%1 bytes)").arg(bytes.size());
    }
    if (v.isDouble())
        return c && c->kind == FieldKind::DateTime ? dateText(v.toDouble()) : QString::number(v.toDouble(), 'g', 15);
    return QLatin1Char('"') + v.toString() + QLatin1Char('"');
}

QStringList plainLines(const QJsonValue &v)
{
    if (!v.isObject())
        return {};
    const QByteArray bytes = QByteArray::fromBase64(v.toObject().value(QLatin1String("base64")).toString().toLatin1());
    if (bytes.isEmpty())
        return {};
    return rtf::plainText(bytes).split(QLatin1Char('\n'));
}

} // namespace

std::vector<AuditEntry> readAudit(DbConnection &db, const QString &filial, const QString &paciente,
                                  std::optional<double> consulta)
{
    // A database no server has upgraded yet still has its trail read: its blobs are all
    // inline, and it has no blob columns.
    const QString blobs = schemaVersion(db) >= 5 ? QStringLiteral("OLD_BLOB, NEW_BLOB") : QStringLiteral("NULL, NULL");
    QString sql = QStringLiteral("SELECT ID, CHANGED_AT, CLIENT_KEY, CLIENT_ADDRESS, METHOD, TABLE_NAME, CHANGE_KIND, "
                                 "ROW_KEY, OLD_VALUES, NEW_VALUES, %1 FROM KMP_AUDIT WHERE CDFILIAL = ? AND CDPACIENTE = ?")
                      .arg(blobs);
    // The whole day: a consultation stored with a time of day is still that day's.
    if (consulta)
        sql += QStringLiteral(" AND DTCONSPACI >= ? AND DTCONSPACI < ?");
    sql += QStringLiteral(" ORDER BY ID");
    QSqlQuery q = db.prepare(sql);
    q.addBindValue(filial);
    q.addBindValue(paciente);
    if (consulta) {
        q.addBindValue(std::floor(*consulta));
        q.addBindValue(std::floor(*consulta) + 1);
    }
    db.exec(q);
    std::vector<AuditEntry> out;
    while (q.next()) {
        AuditEntry e;
        e.id = q.value(0).toLongLong();
        e.changedAt = q.value(1).toString();
        e.clientKey = q.value(2).toString();
        e.address = q.value(3).toString();
        e.method = q.value(4).toString();
        e.table = q.value(5).toString();
        e.kind = q.value(6).toString();
        e.key = parseObject(q.value(7));
        e.oldValues = parseObject(q.value(8), q.value(10));
        e.newValues = parseObject(q.value(9), q.value(11));
        out.push_back(std::move(e));
    }
    return out;
}

QString formatAuditEntry(const AuditEntry &e)
{
    const TableDef *table = tableNamed(e.table);
    const QString kind = e.kind == QLatin1String("insert")   ? QStringLiteral("inclusão")
                         : e.kind == QLatin1String("modify") ? QStringLiteral("alteração")
                         : e.kind == QLatin1String("delete") ? QStringLiteral("exclusão")
                                                             : e.kind;
    // The columns in the table's order; a name the table does not know (an older or newer
    // server) still shows, after them.
    QStringList names;
    if (table)
        for (const ColumnDef &c : table->columns)
            names << c.name;
    for (const QJsonObject *o : {&e.key, &e.oldValues, &e.newValues})
        for (auto it = o->begin(); it != o->end(); ++it)
            if (!names.contains(it.key()))
                names << it.key();

    QStringList key;
    for (const QString &n : names)
        if (e.key.contains(n))
            key << n + QLatin1Char('=') + valueText(table ? table->column(n) : nullptr, e.key.value(n));
    QStringList lines;
    lines << QStringLiteral("#%1 %2  chave %3  de %4  %5  %6  %7  %8")
                 .arg(e.id)
                 .arg(e.changedAt, e.clientKey, e.address.isEmpty() ? QStringLiteral("?") : e.address, e.method, e.table, kind,
                      key.join(QLatin1Char(' ')));
    for (const QString &n : names) {
        const ColumnDef *c = table ? table->column(n) : nullptr;
        if (c && c->key)
            continue;
        const bool hadOld = e.oldValues.contains(n);
        const bool hasNew = e.newValues.contains(n);
        if (!hadOld && !hasNew)
            continue;
        const QJsonValue before = e.oldValues.value(n);
        const QJsonValue after = e.newValues.value(n);
        if (hadOld && hasNew && before == after)
            continue;
        const bool rich = (c && c->kind == FieldKind::Blob) || before.isObject() || after.isObject();
        if (rich) {
            lines << QStringLiteral("    %1 (texto):").arg(n);
            for (const QString &d : lineDiff(plainLines(before), plainLines(after)))
                lines << QStringLiteral("      ") + d;
        } else if (hadOld && hasNew) {
            lines << QStringLiteral("    %1: %2 -> %3").arg(n, valueText(c, before), valueText(c, after));
        } else {
            lines << QStringLiteral("    %1: %2").arg(n, valueText(c, hasNew ? after : before));
        }
    }
    // Stored values and texts are shown, never obeyed: a control byte in a blob or a value
    // could otherwise move the cursor, recolour or clear the reader's terminal.
    for (QString &line : lines)
        line = escapeControlCharacters(line);
    return lines.join(QLatin1Char('\n'));
}

QStringList lineDiff(const QStringList &before, const QStringList &after)
{
    const qsizetype n = before.size();
    const qsizetype m = after.size();
    QStringList out;
    if (n * m > 4'000'000) {
        for (const QString &l : before)
            out << QStringLiteral("- ") + l;
        for (const QString &l : after)
            out << QStringLiteral("+ ") + l;
        return out;
    }
    // lcs[i][j]: length of the longest common subsequence of before[i..] and after[j..].
    std::vector<int> lcs(size_t((n + 1) * (m + 1)), 0);
    const auto at = [&](qsizetype i, qsizetype j) -> int & { return lcs[size_t(i * (m + 1) + j)]; };
    for (qsizetype i = n - 1; i >= 0; --i)
        for (qsizetype j = m - 1; j >= 0; --j)
            at(i, j) = before[i] == after[j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
    qsizetype i = 0, j = 0;
    while (i < n && j < m) {
        if (before[i] == after[j]) {
            out << QStringLiteral("  ") + before[i];
            ++i;
            ++j;
        } else if (at(i + 1, j) >= at(i, j + 1)) {
            out << QStringLiteral("- ") + before[i++];
        } else {
            out << QStringLiteral("+ ") + after[j++];
        }
    }
    while (i < n)
        out << QStringLiteral("- ") + before[i++];
    while (j < m)
        out << QStringLiteral("+ ") + after[j++];
    return out;
}

} // namespace kmp::server
