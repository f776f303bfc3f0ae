#include "schema.h"

#include "contract.h"
#include "dbconnection.h"
#include "methods.h"
#include "serviceerror.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSqlRecord>

namespace kmp::server {

const ColumnDef *TableDef::column(const QString &name) const
{
    for (const ColumnDef &c : columns)
        if (c.name.compare(name, Qt::CaseInsensitive) == 0)
            return &c;
    return nullptr;
}

std::vector<const ColumnDef *> TableDef::keyColumns() const
{
    std::vector<const ColumnDef *> out;
    for (const ColumnDef &c : columns)
        if (c.key)
            out.push_back(&c);
    return out;
}

FieldDefs TableDef::fieldDefs(const QStringList &names) const
{
    FieldDefs out;
    if (names.isEmpty()) {
        for (const ColumnDef &c : columns)
            out.push_back({c.name, c.kind, c.size});
        return out;
    }
    for (const QString &n : names) {
        const ColumnDef *c = column(n);
        Q_ASSERT(c);
        out.push_back({c->name, c->kind, c->size});
    }
    return out;
}

namespace tables {

namespace {

// The server's table as the contract has it: names, kinds, widths and keys come from there.
TableDef fromContract(const protocol::Table &table)
{
    TableDef t{protocol::toQString(table.name), {}};
    for (const protocol::TableColumn &c : table.columns)
        t.columns.push_back({protocol::toQString(c.column.name), c.column.kind, c.column.size, c.key});
    return t;
}

} // namespace

const TableDef &diagnost()
{
    static const TableDef t = fromContract(protocol::tables::DIAGNOST);
    return t;
}

const TableDef &diagPaci()
{
    static const TableDef t = fromContract(protocol::tables::DIAGPACI);
    return t;
}

const TableDef &diagAsso()
{
    static const TableDef t = fromContract(protocol::tables::DIAGASSO);
    return t;
}

const TableDef &tipoLaudo()
{
    static const TableDef t = fromContract(protocol::tables::TIPOLAUDO);
    return t;
}

const TableDef &memLaudo()
{
    static const TableDef t = fromContract(protocol::tables::MEMLAUDO);
    return t;
}

const TableDef &histDoen()
{
    static const TableDef t = fromContract(protocol::tables::HISTDOEN);
    return t;
}

const TableDef &histClinProg()
{
    static const TableDef t = fromContract(protocol::tables::HISTCLINPROG);
    return t;
}

const TableDef &histFam()
{
    static const TableDef t = fromContract(protocol::tables::HISTFAM);
    return t;
}

const TableDef &examFisi()
{
    static const TableDef t = fromContract(protocol::tables::EXAMFISI);
    return t;
}

const TableDef &filial()
{
    static const TableDef t = fromContract(protocol::tables::FILIAL);
    return t;
}

const TableDef &paciente()
{
    static const TableDef t = fromContract(protocol::tables::PACIENTE);
    return t;
}

const TableDef &consulta()
{
    static const TableDef t = fromContract(protocol::tables::CONSULTA);
    return t;
}

const std::vector<const TableDef *> &all()
{
    static const std::vector<const TableDef *> list{&diagnost(), &diagPaci(), &diagAsso(),     &tipoLaudo(),
                                                    &memLaudo(), &histDoen(), &histClinProg(), &histFam(),
                                                    &examFisi(), &filial(),   &paciente(),     &consulta()};
    return list;
}

} // namespace tables

namespace {

QString columnSql(const ColumnDef &c, bool postgres)
{
    QString type;
    switch (c.kind) {
    case FieldKind::String:
        // SQLite ignores declared lengths, so the limit is a check of its own there; the
        // server checks sizes before writing anyway, this only guards other writers.
        type = postgres ? QStringLiteral("VARCHAR(%1)").arg(c.size)
                        : QStringLiteral("VARCHAR(%1) CHECK (length(%2) <= %1)").arg(c.size).arg(c.name);
        break;
    case FieldKind::DateTime:
    case FieldKind::Float: type = postgres ? QStringLiteral("DOUBLE PRECISION") : QStringLiteral("REAL"); break;
    case FieldKind::Blob: type = postgres ? QStringLiteral("BYTEA") : QStringLiteral("BLOB"); break;
    }
    QString sql = c.name + QLatin1Char(' ') + type;
    if (c.key)
        sql += QStringLiteral(" NOT NULL");
    return sql;
}

QString createTableSql(const TableDef &t, bool postgres)
{
    QStringList parts;
    QStringList keys;
    for (const ColumnDef &c : t.columns) {
        parts << columnSql(c, postgres);
        if (c.key)
            keys << c.name;
    }
    parts << QStringLiteral("PRIMARY KEY (%1)").arg(keys.join(QStringLiteral(", ")));
    return QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2)").arg(t.name, parts.join(QStringLiteral(", ")));
}

bool hasVersionTable(DbConnection &db)
{
    QSqlQuery q = db.prepare(db.isPostgres() ? QStringLiteral("SELECT 1 FROM information_schema.tables WHERE table_schema = "
                                                              "current_schema() AND table_name = 'kmp_schema_version'")
                                             : QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND "
                                                              "name = 'KMP_SCHEMA_VERSION'"));
    db.exec(q);
    return q.next();
}

int readVersion(DbConnection &db)
{
    if (!hasVersionTable(db))
        return 0;
    QSqlQuery q = db.prepare(QStringLiteral("SELECT MAX(VERSION) FROM KMP_SCHEMA_VERSION"));
    db.exec(q);
    return q.next() ? q.value(0).toInt() : 0;
}

// Version 1: the whole model of the diagnosis screen.
void migrateTo1(DbConnection &db)
{
    for (const TableDef *t : tables::all())
        db.execDirect(createTableSql(*t, db.isPostgres()));
    db.execDirect(QStringLiteral("CREATE INDEX IF NOT EXISTS DIAGPACI_ORDER ON DIAGPACI "
                                 "(CDFILIAL, CDPACIENTE, DTCONSPACI, NRSEQUENCIA)"));
}

// Version 2: the audit trail. The ID comes from the database (a sequence in PostgreSQL),
// never from a server's memory, so several servers write one ordered history.
void migrateTo2(DbConnection &db)
{
    const bool pg = db.isPostgres();
    const QString id = pg ? QStringLiteral("ID BIGSERIAL PRIMARY KEY") : QStringLiteral("ID INTEGER PRIMARY KEY AUTOINCREMENT");
    const QString text = pg ? QStringLiteral("TEXT") : QStringLiteral("TEXT");
    const QString number = pg ? QStringLiteral("DOUBLE PRECISION") : QStringLiteral("REAL");
    db.execDirect(QStringLiteral("CREATE TABLE IF NOT EXISTS KMP_AUDIT (%1, CHANGED_AT VARCHAR(30) NOT NULL, "
                                 "CLIENT_KEY VARCHAR(64) NOT NULL, CLIENT_ADDRESS VARCHAR(64) NOT NULL, "
                                 "METHOD VARCHAR(40) NOT NULL, TABLE_NAME VARCHAR(30) NOT NULL, "
                                 "CDFILIAL VARCHAR(4), CDPACIENTE VARCHAR(12), DTCONSPACI %3, "
                                 "ROW_KEY %2 NOT NULL, CHANGE_KIND VARCHAR(6) NOT NULL, "
                                 "OLD_VALUES %2, NEW_VALUES %2)")
                      .arg(id, text, number));
    db.execDirect(QStringLiteral("CREATE INDEX IF NOT EXISTS KMP_AUDIT_CONSULTA ON KMP_AUDIT "
                                 "(CDFILIAL, CDPACIENTE, DTCONSPACI, ID)"));
}

// Version 3: a unique sequence number per consultation. Consultations stored before the
// index may hold ties (two stations saving at once); they are renumbered first, keeping
// the order the screen showed them in (number, then code), so nothing is lost and the
// index can be built. Rows without a number stay without one.
void migrateTo3(DbConnection &db)
{
    QSqlQuery ties = db.prepare(QStringLiteral("SELECT DISTINCT CDFILIAL, CDPACIENTE, DTCONSPACI FROM DIAGPACI "
                                               "WHERE NRSEQUENCIA IS NOT NULL GROUP BY CDFILIAL, CDPACIENTE, "
                                               "DTCONSPACI, NRSEQUENCIA HAVING COUNT(*) > 1"));
    db.exec(ties);
    std::vector<QVariantList> consultations;
    while (ties.next())
        consultations.push_back({ties.value(0), ties.value(1), ties.value(2)});
    ties.finish();
    for (const QVariantList &key : consultations) {
        QSqlQuery rows = db.prepare(QStringLiteral("SELECT CDDIAGNOST FROM DIAGPACI WHERE CDFILIAL = ? AND "
                                                   "CDPACIENTE = ? AND DTCONSPACI = ? AND NRSEQUENCIA IS NOT NULL "
                                                   "ORDER BY NRSEQUENCIA, CDDIAGNOST"));
        for (const QVariant &v : key)
            rows.addBindValue(v);
        db.exec(rows);
        QStringList codes;
        while (rows.next())
            codes << rows.value(0).toString();
        rows.finish();
        for (int i = 0; i < codes.size(); ++i) {
            QSqlQuery set = db.prepare(QStringLiteral("UPDATE DIAGPACI SET NRSEQUENCIA = ? WHERE CDFILIAL = ? AND "
                                                      "CDPACIENTE = ? AND DTCONSPACI = ? AND CDDIAGNOST = ?"));
            set.addBindValue(double(i + 1));
            for (const QVariant &v : key)
                set.addBindValue(v);
            set.addBindValue(codes.at(i));
            db.exec(set);
        }
    }
    db.execDirect(QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS %1 ON DIAGPACI "
                                 "(CDFILIAL, CDPACIENTE, DTCONSPACI, NRSEQUENCIA)")
                      .arg(QLatin1String(DiagnosisOrderIndex)));
}

// Version 4: the catalogue's version. An existing catalogue gets a first version here, so
// that stations can cache it without waiting for the next import; an empty one gets its
// version from the import that fills it (and a copy of another database, its version).
void migrateTo4(DbConnection &db)
{
    db.execDirect(QStringLiteral("CREATE TABLE IF NOT EXISTS KMP_CATALOGUE_VERSION (NAME VARCHAR(30) NOT NULL "
                                 "PRIMARY KEY, VERSION VARCHAR(40) NOT NULL)"));
    QSqlQuery any = db.prepare(QStringLiteral("SELECT 1 FROM DIAGNOST LIMIT 1"));
    db.exec(any);
    const bool filled = any.next();
    any.finish();
    if (!filled)
        return;
    QSqlQuery q = db.prepare(QStringLiteral("INSERT INTO KMP_CATALOGUE_VERSION (NAME, VERSION) VALUES ('DIAGNOST', ?) "
                                            "ON CONFLICT (NAME) DO NOTHING"));
    q.addBindValue(newCatalogueVersion(QString()));
    db.exec(q);
}

// The first blob a trail row's values hold inline ({"base64": ...}), taken out: the text
// keeps {"bytes": n} in its place, as saves write it now. Null when there is none.
QVariant takeInlineBlob(QString &json)
{
    QJsonObject values = QJsonDocument::fromJson(json.toUtf8()).object();
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (!it.value().isObject())
            continue;
        const QJsonValue base64 = it.value().toObject().value(QLatin1String("base64"));
        if (!base64.isString())
            continue;
        const QByteArray bytes = QByteArray::fromBase64(base64.toString().toLatin1());
        it.value() = QJsonObject{{QStringLiteral("bytes"), double(bytes.size())}};
        json = QString::fromUtf8(QJsonDocument(values).toJson(QJsonDocument::Compact));
        return bytes;
    }
    return QVariant(QMetaType::fromType<QByteArray>());
}

// Version 5: the trail's blobs in columns of their own, out of the JSON text where they sat
// as base64 (writing a large section's trail that way cost many times its size). Rows
// written before are moved over one at a time, so the upgrade holds one row at most; the
// audit report reads both forms the same.
void migrateTo5(DbConnection &db)
{
    // Like every step, safe to run again on a database that already has it.
    for (const char *column : {"OLD_BLOB", "NEW_BLOB"}) {
        if (db.isPostgres()) {
            db.execDirect(QStringLiteral("ALTER TABLE KMP_AUDIT ADD COLUMN IF NOT EXISTS %1 BYTEA").arg(QLatin1String(column)));
            continue;
        }
        QSqlQuery has = db.prepare(QStringLiteral("SELECT 1 FROM pragma_table_info('KMP_AUDIT') WHERE name = ?"));
        has.addBindValue(QString::fromLatin1(column));
        db.exec(has);
        const bool there = has.next();
        has.finish();
        if (!there)
            db.execDirect(QStringLiteral("ALTER TABLE KMP_AUDIT ADD COLUMN %1 BLOB").arg(QLatin1String(column)));
    }
    QSqlQuery candidates = db.prepare(QStringLiteral("SELECT ID FROM KMP_AUDIT WHERE OLD_VALUES LIKE '%\"base64\"%' "
                                                     "OR NEW_VALUES LIKE '%\"base64\"%' ORDER BY ID"));
    db.exec(candidates);
    std::vector<qint64> ids;
    while (candidates.next())
        ids.push_back(candidates.value(0).toLongLong());
    candidates.finish();
    for (const qint64 id : ids) {
        QSqlQuery row = db.prepare(QStringLiteral("SELECT OLD_VALUES, NEW_VALUES FROM KMP_AUDIT WHERE ID = ?"));
        row.addBindValue(id);
        db.exec(row);
        if (!row.next())
            continue;
        const QVariant storedOld = row.value(0);
        const QVariant storedNew = row.value(1);
        row.finish();
        QString oldValues = storedOld.toString();
        QString newValues = storedNew.toString();
        const QVariant oldBlob = storedOld.isNull() ? QVariant(QMetaType::fromType<QByteArray>()) : takeInlineBlob(oldValues);
        const QVariant newBlob = storedNew.isNull() ? QVariant(QMetaType::fromType<QByteArray>()) : takeInlineBlob(newValues);
        if (oldBlob.isNull() && newBlob.isNull())
            continue;
        const auto text = [](const QVariant &stored, const QString &value) {
            return stored.isNull() ? QVariant(QMetaType::fromType<QString>()) : QVariant(value);
        };
        const DbConnection::Outcome out = db.run(QStringLiteral("UPDATE KMP_AUDIT SET OLD_VALUES = ?, NEW_VALUES = ?, "
                                                                "OLD_BLOB = ?, NEW_BLOB = ? WHERE ID = ?"),
                                                 {text(storedOld, oldValues), text(storedNew, newValues), oldBlob, newBlob, id});
        if (!out.ok)
            db.raise(out.error);
    }
}

} // namespace

QString newCatalogueVersion(const QString &previous)
{
    // A counter for people reading it, and random bits so that a database restored or
    // replaced never repeats a version a station already holds for different contents.
    const qint64 n = previous.section(QLatin1Char('-'), 0, 0).toLongLong() + 1;
    return QStringLiteral("%1-%2").arg(n).arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

int schemaVersion(DbConnection &db)
{
    return readVersion(db);
}

QStringList otherSchemasWithTables(DbConnection &db)
{
    if (!db.isPostgres())
        return {};
    QSqlQuery q = db.prepare(QStringLiteral("SELECT table_schema FROM information_schema.tables WHERE table_name = "
                                            "'kmp_schema_version' AND table_schema <> ? ORDER BY table_schema"));
    q.addBindValue(db.config().schemaName());
    db.exec(q);
    QStringList out;
    while (q.next())
        out << q.value(0).toString();
    return out;
}

QString missingTablesMessage(DbConnection &db)
{
    const DatabaseConfig &c = db.config();
    QString text = c.isPostgres() ? QStringLiteral("O schema \"%1\" do banco %2").arg(c.schemaName(), c.describe())
                                  : QStringLiteral("O banco %1").arg(c.describe());
    text += QStringLiteral(" não tem as tabelas do kmp-appserver.");
    const QStringList others = otherSchemasWithTables(db);
    if (!others.isEmpty())
        return text
               + QStringLiteral(" Elas estão no schema %1: indique-o no endereço (?schema=%2).")
                     .arg(others.join(QStringLiteral(", ")), others.first());
    return text + QStringLiteral(" Crie-as com kmp-appserver import-cid10 (ou demo, ou restore) neste endereço.");
}

void ensureSchema(DbConnection &db)
{
    // Most starts find the schema current; check before taking any lock.
    if (readVersion(db) == CurrentSchemaVersion)
        return;
    Transaction tx(db);
    if (db.isPostgres()) {
        db.execDirect(QStringLiteral("SELECT pg_advisory_xact_lock(1280012800)"));
        // Under the lock: two servers creating it at once cannot trip over each other.
        db.execDirect(QStringLiteral("CREATE SCHEMA IF NOT EXISTS \"%1\"").arg(db.config().schemaName()));
    }
    db.execDirect(QStringLiteral("CREATE TABLE IF NOT EXISTS KMP_SCHEMA_VERSION (VERSION INTEGER NOT NULL)"));
    const int version = readVersion(db);
    if (version > CurrentSchemaVersion)
        throw ServiceError(wire::ErrorCode::Unavailable,
                           QStringLiteral("O banco de dados tem o esquema versão %1, mais novo que o deste "
                                          "servidor (%2). Atualize o servidor.")
                               .arg(version)
                               .arg(CurrentSchemaVersion));
    using Step = void (*)(DbConnection &);
    static const Step steps[] = {migrateTo1, migrateTo2, migrateTo3, migrateTo4, migrateTo5};
    for (int v = version; v < CurrentSchemaVersion; ++v) {
        steps[v](db);
        QSqlQuery q = db.prepare(QStringLiteral("INSERT INTO KMP_SCHEMA_VERSION (VERSION) VALUES (?)"));
        q.addBindValue(v + 1);
        db.exec(q);
    }
    tx.commit();
}

} // namespace kmp::server
