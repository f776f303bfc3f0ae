#include "backup.h"

#include "databasefiles.h"
#include "databaselock.h"
#include "dbconnection.h"
#include "error.h"
#include "schema.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kmp::server {

namespace {

// Format 2 records, beside each table's row count, a digest of its contents; copies of
// format 1 are still read, checked by their counts alone.
constexpr int BackupFormat = 2;
const QString kInfoTable = QStringLiteral("KMP_BACKUP_INFO");
const QString kCountsTable = QStringLiteral("KMP_BACKUP_COUNTS");
const QString kVersionTable = QStringLiteral("KMP_SCHEMA_VERSION");

std::atomic<quint64> g_fileCounter{0};

[[noreturn]] void failQuery(const QSqlQuery &q, const QString &what)
{
    const bool postgres = q.driver() && q.driver()->dbmsType() == QSqlDriver::PostgreSQL;
    throw kmp::Error(QStringLiteral("%1: %2 (%3)")
                         .arg(what, q.lastError().text().trimmed(), DbConnection::describeError(q.lastError(), postgres)));
}

// Table names go into SQL text, and a backup file may come from anywhere: only the plain
// upper-case names this server creates pass.
QString checkedTableName(const QString &name)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Z_][A-Z0-9_]{0,62}$"));
    const QString upper = name.toUpper();
    if (!plain.match(upper).hasMatch())
        throw kmp::Error(QStringLiteral("Nome de tabela inesperado: \"%1\".").arg(name.left(80)));
    return upper;
}

// A plain connection to a SQLite file that is not a served database: a backup being
// written or read. Unlike DbConnection it changes nothing on opening, so a backup can be
// opened read-only.
class SqliteFile
{
public:
    SqliteFile(const QString &path, bool readOnly)
    {
        m_name = QStringLiteral("kmp-backup-%1").arg(++g_fileCounter);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.setConnectOptions(readOnly ? QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=15000")
                                      : QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
        if (!db.open()) {
            const QString why = db.lastError().text();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_name);
            throw kmp::Error(QStringLiteral("Não foi possível abrir %1: %2").arg(path, why));
        }
    }
    ~SqliteFile()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            if (db.isOpen())
                db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    SqliteFile(const SqliteFile &) = delete;
    SqliteFile &operator=(const SqliteFile &) = delete;

    QSqlDatabase database() const { return QSqlDatabase::database(m_name, false); }

    QSqlQuery exec(const QString &sql, const QVariantList &values = {})
    {
        QSqlQuery q(database());
        q.setForwardOnly(true);
        if (!q.prepare(sql))
            failQuery(q, QStringLiteral("Erro ao preparar \"%1\"").arg(sql.left(60)));
        for (const QVariant &v : values)
            q.addBindValue(v);
        if (!q.exec())
            failQuery(q, QStringLiteral("Erro ao executar \"%1\"").arg(sql.left(60)));
        return q;
    }

private:
    QString m_name;
};

QSqlQuery run(QSqlDatabase db, const QString &sql)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(sql))
        failQuery(q, QStringLiteral("Erro ao executar \"%1\"").arg(sql.left(60)));
    return q;
}

// The tables of the database (upper case), without SQLite's own and the backup's manifest.
QStringList userTables(QSqlDatabase db, bool postgres)
{
    QSqlQuery q = run(db, postgres ? QStringLiteral("SELECT table_name FROM information_schema.tables WHERE "
                                                    "table_schema = current_schema() AND table_type = 'BASE TABLE'")
                                   : QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND "
                                                    "name NOT LIKE 'sqlite_%'"));
    QStringList out;
    while (q.next()) {
        const QString name = checkedTableName(q.value(0).toString());
        if (name != kInfoTable && name != kCountsTable)
            out << name;
    }
    out.sort();
    return out;
}

qint64 countRows(QSqlDatabase db, const QString &table)
{
    QSqlQuery q = run(db, QStringLiteral("SELECT COUNT(*) FROM %1").arg(table));
    return q.next() ? q.value(0).toLongLong() : 0;
}

int versionIn(QSqlDatabase db, const QStringList &tables)
{
    if (!tables.contains(kVersionTable))
        return 0;
    QSqlQuery q = run(db, QStringLiteral("SELECT MAX(VERSION) FROM KMP_SCHEMA_VERSION"));
    return q.next() ? q.value(0).toInt() : 0;
}

// Copies every row of one table, column by column as the source names them; returns the
// number of rows written.
qint64 copyRows(QSqlDatabase from, QSqlDatabase to, const QString &table)
{
    QSqlQuery src = run(from, QStringLiteral("SELECT * FROM %1").arg(table));
    const QSqlRecord record = src.record();
    QStringList columns;
    QStringList marks;
    for (int i = 0; i < record.count(); ++i) {
        columns << checkedTableName(record.fieldName(i));
        marks << QStringLiteral("?");
    }
    QSqlQuery dst(to);
    const QString sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                            .arg(table, columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
    if (!dst.prepare(sql))
        failQuery(dst, QStringLiteral("Erro ao preparar a cópia da tabela %1").arg(table));
    qint64 rows = 0;
    while (src.next()) {
        for (int i = 0; i < record.count(); ++i)
            dst.bindValue(i, src.value(i));
        if (!dst.exec())
            failQuery(dst, QStringLiteral("Erro ao copiar uma linha da tabela %1").arg(table));
        ++rows;
    }
    if (src.lastError().isValid())
        failQuery(src, QStringLiteral("Erro ao ler a tabela %1").arg(table));
    return rows;
}

// A digest of a table's contents in a copy: every value of every row, with its kind, in
// the order of the table's key (of all its columns when it has none), so the same rows
// give the same digest however the file lays them out, and a changed byte anywhere,
// a clinical section or an audit row, gives another.
QByteArray tableDigest(SqliteFile &file, const QString &table)
{
    QStringList order;
    QSqlQuery key = file.exec(QStringLiteral("SELECT name, pk FROM pragma_table_info(?) ORDER BY pk, cid"), {table});
    QStringList all;
    while (key.next()) {
        all << QLatin1Char('"') + checkedTableName(key.value(0).toString()) + QLatin1Char('"');
        if (key.value(1).toInt() > 0)
            order << all.last();
    }
    if (order.isEmpty())
        order = all;
    QSqlQuery rows = file.exec(QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(table, order.join(QStringLiteral(", "))));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const auto add = [&hash](char kind, const QByteArray &bytes) {
        hash.addData(QByteArray(1, kind) + QByteArray::number(bytes.size()) + ':');
        hash.addData(bytes);
    };
    while (rows.next()) {
        hash.addData(QByteArrayView("r"));
        for (int i = 0; i < rows.record().count(); ++i) {
            const QVariant v = rows.value(i);
            if (v.isNull())
                add('n', {});
            else if (v.typeId() == QMetaType::QByteArray)
                add('b', v.toByteArray());
            else if (v.typeId() == QMetaType::Double)
                add('r', QByteArray::number(v.toDouble(), 'g', 17));
            else if (v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Int)
                add('i', QByteArray::number(v.toLongLong()));
            else
                add('t', v.toString().toUtf8());
        }
    }
    if (rows.lastError().isValid())
        failQuery(rows, QStringLiteral("Erro ao ler a tabela %1").arg(table));
    return hash.result().toHex();
}

void addDigests(SqliteFile &file, BackupManifest &m)
{
    for (const auto &[table, rows] : m.rowCounts)
        m.digests[table] = tableDigest(file, table);
}

void writeManifest(SqliteFile &file, const BackupManifest &m)
{
    file.exec(QStringLiteral("CREATE TABLE %1 (NAME VARCHAR(40) PRIMARY KEY, VALUE VARCHAR(200) NOT NULL)").arg(kInfoTable));
    file.exec(QStringLiteral("CREATE TABLE %1 (TABLE_NAME VARCHAR(64) PRIMARY KEY, ROW_COUNT INTEGER NOT NULL, DIGEST "
                             "VARCHAR(64) NOT NULL)")
                  .arg(kCountsTable));
    const std::pair<const char *, QString> info[] = {{"format", QString::number(m.format)},
                                                     {"schema_version", QString::number(m.schemaVersion)},
                                                     {"source_kind", m.sourceKind},
                                                     {"created_at", m.createdAt}};
    for (const auto &[name, value] : info)
        file.exec(QStringLiteral("INSERT INTO %1 (NAME, VALUE) VALUES (?, ?)").arg(kInfoTable),
                  {QString::fromLatin1(name), value});
    for (const auto &[table, rows] : m.rowCounts)
        file.exec(QStringLiteral("INSERT INTO %1 (TABLE_NAME, ROW_COUNT, DIGEST) VALUES (?, ?, ?)").arg(kCountsTable),
                  {table, rows, QString::fromLatin1(m.digests.at(table))});
}

BackupManifest readManifest(SqliteFile &file, const QStringList &tablesWithManifest)
{
    if (!tablesWithManifest.contains(kInfoTable) || !tablesWithManifest.contains(kCountsTable))
        throw kmp::Error(QStringLiteral("O arquivo não é uma cópia de segurança feita por kmp-appserver backup "
                                        "(falta a descrição da cópia)."));
    BackupManifest m;
    QSqlQuery info = file.exec(QStringLiteral("SELECT NAME, VALUE FROM %1").arg(kInfoTable));
    while (info.next()) {
        const QString name = info.value(0).toString();
        const QString value = info.value(1).toString();
        if (name == QLatin1String("format"))
            m.format = value.toInt();
        else if (name == QLatin1String("schema_version"))
            m.schemaVersion = value.toInt();
        else if (name == QLatin1String("source_kind"))
            m.sourceKind = value;
        else if (name == QLatin1String("created_at"))
            m.createdAt = value;
    }
    // A copy of this format always has its digests: one claiming the first format while
    // holding them was changed to escape their check.
    QSqlQuery digestColumn =
        file.exec(QStringLiteral("SELECT 1 FROM pragma_table_info(?) WHERE name = 'DIGEST'"), {kCountsTable});
    if (digestColumn.next() != (m.format >= 2))
        throw kmp::Error(QStringLiteral("A descrição da cópia não confere com o seu formato (%1).").arg(m.format));
    QSqlQuery counts = file.exec(QStringLiteral("SELECT TABLE_NAME, ROW_COUNT%1 FROM %2")
                                     .arg(m.format >= 2 ? QStringLiteral(", DIGEST") : QString(), kCountsTable));
    while (counts.next()) {
        const QString table = checkedTableName(counts.value(0).toString());
        m.rowCounts[table] = counts.value(1).toLongLong();
        if (m.format >= 2)
            m.digests[table] = counts.value(2).toString().toLatin1();
    }
    return m;
}

QStringList allTablesIn(QSqlDatabase db)
{
    QSqlQuery q = run(db, QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'"));
    QStringList out;
    while (q.next())
        out << q.value(0).toString().toUpper();
    return out;
}

// Makes the file's contents durable before it is renamed into place.
void syncFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Copies a file into a new one that only the server's user can read, whatever the mode of
// the original (a copy made by an older version, or moved around by hand).
void copyPrivately(const QString &from, const QString &to)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        throw kmp::Error(QStringLiteral("Não foi possível ler %1: %2.").arg(from, in.errorString()));
    const int fd = ::open(QFile::encodeName(to).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw kmp::Error(QStringLiteral("Não foi possível criar %1: %2.").arg(to, QString::fromLocal8Bit(std::strerror(errno))));
    ::fchmod(fd, 0600);
    QFile out;
    out.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(1 << 20);
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError)
            throw kmp::Error(QStringLiteral("Não foi possível ler %1: %2.").arg(from, in.errorString()));
        if (out.write(chunk) != chunk.size())
            throw kmp::Error(QStringLiteral("Não foi possível escrever %1: %2.").arg(to, out.errorString()));
    }
    if (!out.flush())
        throw kmp::Error(QStringLiteral("Não foi possível escrever %1: %2.").arg(to, out.errorString()));
}

void syncFolderOf(const QString &path)
{
    syncFile(QFileInfo(path).absolutePath());
}

void renameInto(const QString &from, const QString &to)
{
    syncFile(from);
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throw kmp::Error(QStringLiteral("Não foi possível dar o nome %1 ao arquivo %2.").arg(to, from));
    syncFolderOf(to);
}

// Compares a database's row counts with the manifest; throws naming the first difference.
void checkCounts(QSqlDatabase db, const BackupManifest &m, const QString &where)
{
    for (const auto &[table, rows] : m.rowCounts) {
        const qint64 found = countRows(db, table);
        if (found != rows)
            throw kmp::Error(
                QStringLiteral("%1: a tabela %2 tem %3 linha(s), a cópia registrou %4.").arg(where, table).arg(found).arg(rows));
    }
}

// Compares a copy's contents with the digests recorded when it was made.
void checkDigests(SqliteFile &file, const BackupManifest &m, const QString &where)
{
    for (const auto &[table, digest] : m.digests)
        if (tableDigest(file, table) != digest)
            throw kmp::Error(QStringLiteral("%1: o conteúdo da tabela %2 não é o que a cópia registrou quando foi feita "
                                            "(alterado ou danificado depois).")
                                 .arg(where, table));
}

// Tables that creating the schema fills by itself: a database with rows only there holds
// no data yet.
bool isSchemaBookkeeping(const QString &table)
{
    return table == kVersionTable || table == QLatin1String(CatalogueVersionTable);
}

QString nowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

BackupManifest backupSqlite(const DatabaseConfig &from, const QString &partial)
{
    if (!QFileInfo::exists(from.path))
        throw kmp::Error(QStringLiteral("O banco de dados %1 não existe.").arg(from.path));
    // The copy holds patient data: readable by the server's user only from its first byte
    // (VACUUM INTO takes an empty file as it finds it).
    createPrivateDatabaseFile(partial);
    {
        // VACUUM INTO reads inside one read transaction: with WAL, writers go on
        // committing meanwhile and the copy holds exactly the commits before it began.
        DbConnection source(from, DbConnection::Mode::ReadOnly);
        QSqlQuery q = source.prepare(QStringLiteral("VACUUM INTO ?"));
        q.addBindValue(partial);
        source.exec(q);
    }
    BackupManifest m;
    m.format = BackupFormat;
    m.sourceKind = QStringLiteral("sqlite");
    m.createdAt = nowUtc();
    SqliteFile copy(partial, false);
    copy.exec(QStringLiteral("PRAGMA journal_mode = DELETE"));
    const QStringList tables = userTables(copy.database(), false);
    m.schemaVersion = versionIn(copy.database(), tables);
    for (const QString &t : tables)
        m.rowCounts[t] = countRows(copy.database(), t);
    addDigests(copy, m);
    writeManifest(copy, m);
    return m;
}

BackupManifest backupPostgres(const DatabaseConfig &from, const QString &partial)
{
    DbConnection source(from, DbConnection::Mode::ReadOnly);
    const int version = schemaVersion(source);
    if (version == 0)
        throw kmp::Error(missingTablesMessage(source));
    if (version != CurrentSchemaVersion)
        throw kmp::Error(QStringLiteral("O banco %1 está no esquema versão %2 e este kmp-appserver copia a versão %3. "
                                        "Faça a cópia com o kmp-appserver da mesma versão do banco, ou com pg_dump.")
                             .arg(from.describe())
                             .arg(version)
                             .arg(CurrentSchemaVersion));
    BackupManifest m;
    m.format = BackupFormat;
    m.sourceKind = QStringLiteral("postgresql");
    m.schemaVersion = version;
    // One snapshot for every table: the counts and the rows all come from the same moment,
    // whatever the servers commit meanwhile.
    source.execDirect(QStringLiteral("BEGIN TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY"));
    m.createdAt = nowUtc();
    try {
        const QStringList tables = userTables(source.database(), true);
        DatabaseConfig target;
        target.kind = DatabaseConfig::Kind::Sqlite;
        target.path = partial;
        {
            DbConnection copy(target);
            ensureSchema(copy);
            const QStringList known = userTables(copy.database(), false);
            copy.begin();
            for (const QString &t : tables) {
                if (!known.contains(t))
                    throw kmp::Error(
                        QStringLiteral("A tabela %1 do banco não faz parte do esquema versão %2.").arg(t).arg(version));
                // Creating the schema filled some tables of its own (versions): the
                // source's rows replace them.
                copy.execDirect(QStringLiteral("DELETE FROM %1").arg(t));
                m.rowCounts[t] = countRows(source.database(), t);
                const qint64 copied = copyRows(source.database(), copy.database(), t);
                if (copied != m.rowCounts[t])
                    throw kmp::Error(QStringLiteral("A tabela %1 mudou durante a cópia (%2 linhas contadas, %3 copiadas).")
                                         .arg(t)
                                         .arg(m.rowCounts[t])
                                         .arg(copied));
            }
            copy.commit();
            copy.execDirect(QStringLiteral("PRAGMA journal_mode = DELETE"));
        }
        source.execDirect(QStringLiteral("COMMIT"));
    } catch (...) {
        source.rollback();
        throw;
    }
    SqliteFile copy(partial, false);
    addDigests(copy, m);
    writeManifest(copy, m);
    return m;
}

} // namespace

qint64 BackupManifest::totalRows() const
{
    qint64 total = 0;
    for (const auto &[table, rows] : rowCounts)
        total += rows;
    return total;
}

BackupManifest backupDatabase(const DatabaseConfig &from, const QString &to)
{
    if (QFileInfo::exists(to))
        throw kmp::Error(QStringLiteral("O arquivo %1 já existe; escolha outro nome para a cópia.").arg(to));
    const QFileInfo folder(QFileInfo(to).absolutePath());
    if (!folder.isDir())
        throw kmp::Error(QStringLiteral("A pasta %1, onde a cópia seria gravada, não existe.").arg(folder.filePath()));
    // A name of its own, so that a copy cut short is never taken for a finished one.
    const QString partial = to + QStringLiteral(".parcial");
    const auto removePartial = [&partial]() {
        bool removed = false;
        for (const char *suffix : {"", "-journal", "-wal", "-shm"})
            removed = QFile::remove(partial + QLatin1String(suffix)) || removed;
        return removed;
    };
    removePartial();
    try {
        BackupManifest m = from.isPostgres() ? backupPostgres(from, partial) : backupSqlite(from, partial);
        verifyBackup(partial);
        if (QFileInfo::exists(to))
            throw kmp::Error(QStringLiteral("O arquivo %1 foi criado por outro programa durante a cópia; ele foi "
                                            "mantido e a cópia, descartada. Repita com outro nome.")
                                 .arg(to));
        renameInto(partial, to);
        return m;
    } catch (const kmp::Error &e) {
        const bool removed = removePartial();
        throw kmp::Error(QStringLiteral("A cópia %1 não foi feita: %2").arg(to, e.userMessage())
                         + (removed ? QStringLiteral(" A cópia parcial (%1) foi apagada.").arg(partial) : QString()));
    }
}

BackupManifest verifyBackup(const QString &file)
{
    if (!QFileInfo(file).isFile())
        throw kmp::Error(QStringLiteral("A cópia %1 não existe.").arg(file));
    SqliteFile backup(file, true);
    QSqlQuery integrity = backup.exec(QStringLiteral("PRAGMA integrity_check"));
    const QString verdict = integrity.next() ? integrity.value(0).toString() : QString();
    if (verdict != QLatin1String("ok"))
        throw kmp::Error(
            QStringLiteral("A cópia %1 está danificada (verificação de integridade: %2).").arg(file, verdict.left(200)));
    const BackupManifest m = readManifest(backup, allTablesIn(backup.database()));
    if (m.format < 1 || m.format > BackupFormat)
        throw kmp::Error(QStringLiteral("A cópia %1 tem o formato %2, que este kmp-appserver não lê.").arg(file).arg(m.format));
    const QStringList tables = userTables(backup.database(), false);
    const int version = versionIn(backup.database(), tables);
    if (version != m.schemaVersion || version < 1)
        throw kmp::Error(QStringLiteral("A cópia %1 declara o esquema versão %2 mas contém a versão %3.")
                             .arg(file)
                             .arg(m.schemaVersion)
                             .arg(version));
    if (version > CurrentSchemaVersion)
        throw kmp::Error(QStringLiteral("A cópia %1 tem o esquema versão %2, mais novo que o deste kmp-appserver (%3).")
                             .arg(file)
                             .arg(version)
                             .arg(CurrentSchemaVersion));
    QStringList listed;
    for (const auto &[table, rows] : m.rowCounts)
        listed << table;
    if (listed != tables)
        throw kmp::Error(QStringLiteral("A cópia %1 não tem as tabelas que registrou (tem: %2; registrou: %3).")
                             .arg(file, tables.join(QStringLiteral(", ")), listed.join(QStringLiteral(", "))));
    checkCounts(backup.database(), m, QStringLiteral("Cópia %1").arg(file));
    checkDigests(backup, m, QStringLiteral("Cópia %1").arg(file));
    return m;
}

BackupManifest restoreDatabase(const QString &file, const DatabaseConfig &to, const RestoreOptions &options,
                               const std::function<void(const QString &)> &progress)
{
    const auto say = [&](const QString &line) {
        if (progress)
            progress(line);
    };
    const BackupManifest m = verifyBackup(file);
    say(QStringLiteral("cópia verificada: esquema versão %1, %2 linha(s) em %3 tabela(s), feita em %4 (%5)")
            .arg(m.schemaVersion)
            .arg(m.totalRows())
            .arg(m.rowCounts.size())
            .arg(m.createdAt, m.sourceKind));

    if (!to.isPostgres()) {
        std::unique_ptr<DatabaseLock> lock;
        const bool exists = QFileInfo::exists(to.path);
        if (exists) {
            if (!options.replace)
                throw kmp::Error(QStringLiteral("O banco %1 já existe. Para substituí-lo (o atual é guardado ao lado), "
                                                "pare o servidor e use --replace.")
                                     .arg(to.path));
            QString why;
            lock = DatabaseLock::tryExclusive(to.path, &why);
            if (!lock)
                throw kmp::Error(QStringLiteral("O banco %1 não pode ser substituído: %2. Pare o servidor antes de "
                                                "restaurar.")
                                     .arg(to.path, why));
        }
        const QString building = to.path + QStringLiteral(".restaurando");
        QFile::remove(building);
        try {
            copyPrivately(file, building);
            SqliteFile copy(building, false);
            copy.exec(QStringLiteral("DROP TABLE %1").arg(kInfoTable));
            copy.exec(QStringLiteral("DROP TABLE %1").arg(kCountsTable));
            checkCounts(copy.database(), m, QStringLiteral("Banco restaurado"));
            checkDigests(copy, m, QStringLiteral("Banco restaurado"));
        } catch (const kmp::Error &) {
            QFile::remove(building);
            throw;
        }
        if (exists) {
            // Opening and closing the old database folds its write-ahead log back into it,
            // so the file kept aside is whole on its own.
            {
                DbConnection old(to);
            }
            const QString aside = to.path + QStringLiteral(".substituido-")
                                  + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
            if (QFileInfo::exists(to.path + QStringLiteral("-wal")))
                throw kmp::Error(QStringLiteral("O banco %1 ainda tem um registro de escrita (-wal) em uso; pare o "
                                                "servidor antes de restaurar.")
                                     .arg(to.path));
            QFile::remove(to.path + QStringLiteral("-shm"));
            renameInto(to.path, aside);
            say(QStringLiteral("banco anterior guardado em %1").arg(aside));
        }
        renameInto(building, to.path);
        lock.reset();
    } else {
        if (m.schemaVersion != CurrentSchemaVersion)
            throw kmp::Error(QStringLiteral("A cópia tem o esquema versão %1 e este kmp-appserver grava a versão %2 no "
                                            "PostgreSQL. Restaure-a num arquivo SQLite com este comando, inicie o "
                                            "servidor nele para atualizá-lo, faça uma nova cópia e restaure essa.")
                                 .arg(m.schemaVersion)
                                 .arg(CurrentSchemaVersion));
        DbConnection target(to);
        for (const QString &t : userTables(target.database(), true)) {
            if (!isSchemaBookkeeping(t) && countRows(target.database(), t) > 0)
                throw kmp::Error(QStringLiteral("O banco %1 já tem dados (tabela %2). Restaure num banco ou schema novo.")
                                     .arg(to.describe(), t));
        }
        ensureSchema(target);
        const QStringList known = userTables(target.database(), true);
        SqliteFile backup(file, true);
        Transaction tx(target);
        for (const auto &[table, rows] : m.rowCounts) {
            if (!known.contains(table))
                throw kmp::Error(QStringLiteral("A tabela %1 da cópia não existe no esquema do banco.").arg(table));
            // Only the schema's own bookkeeping can have rows here (checked above); the
            // copy's rows replace them.
            target.execDirect(QStringLiteral("DELETE FROM %1").arg(table));
            copyRows(backup.database(), target.database(), table);
        }
        if (m.rowCounts.count(QString::fromLatin1(AuditTable)))
            target.execDirect(QStringLiteral("SELECT setval(pg_get_serial_sequence('kmp_audit', 'id'), "
                                             "COALESCE((SELECT MAX(id) FROM kmp_audit), 0) + 1, false)"));
        tx.commit();
    }
    DbConnection restored(to);
    checkCounts(restored.database(), m, QStringLiteral("Banco restaurado %1").arg(to.describe()));
    say(QStringLiteral("restaurado em %1: %2 linha(s) conferidas").arg(to.describe()).arg(m.totalRows()));
    return m;
}

QString upgradeSchema(DbConnection &db)
{
    const int version = schemaVersion(db);
    QString copy;
    if (!db.isPostgres() && version > 0 && version < CurrentSchemaVersion) {
        copy = db.config().path
               + QStringLiteral(".esquema-%1-%2.bak")
                     .arg(version)
                     .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
        try {
            backupDatabase(db.config(), copy);
        } catch (const kmp::Error &e) {
            throw kmp::Error(QStringLiteral("O esquema do banco %1 não foi atualizado da versão %2 para a %3 porque a "
                                            "cópia de antes não pôde ser feita: %4")
                                 .arg(db.config().describe())
                                 .arg(version)
                                 .arg(CurrentSchemaVersion)
                                 .arg(e.userMessage()));
        }
    }
    ensureSchema(db);
    return copy;
}

QString prepareSchema(DbConnection &db)
{
    const int version = schemaVersion(db);
    if (db.isPostgres() && version == 0)
        throw kmp::Error(missingTablesMessage(db));
    if (db.isPostgres() && version < CurrentSchemaVersion)
        throw kmp::Error(QStringLiteral("O banco %1 está no esquema versão %2 e este servidor usa a %3. Faça uma cópia "
                                        "(pg_dump) e atualize-o uma vez com 'kmp-appserver upgrade --database URL'; "
                                        "depois inicie os servidores.")
                             .arg(db.config().describe())
                             .arg(version)
                             .arg(CurrentSchemaVersion));
    return upgradeSchema(db);
}

} // namespace kmp::server
