#include "dbconnection.h"

#include "databasefiles.h"
#include "serviceerror.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlDriver>
#include <QSqlError>
#include <QThread>
#include <atomic>
#include <libpq-fe.h>
#include <mutex>
#include <sqlite3.h>
#include <vector>

namespace kmp::server {

namespace {

std::atomic<quint64> g_connectionCounter{0};

QString quoteIdentifier(const QString &name)
{
    // Only names already checked against [a-z0-9_] reach here (DatabaseConfig::parse).
    return QLatin1Char('"') + name + QLatin1Char('"');
}

// SQLite counts the memory it allocates under one mutex shared by every connection of the
// process: each statement of every reader and of the writer takes it many times, and a
// reader preempted while holding it stalls the writer's commit. The server never reads
// those counts, so the library is told not to keep them, before its first connection
// opens (afterwards the setting can no longer change, and this is a no-op).
void configureSqlite()
{
    static std::once_flag once;
    std::call_once(once, []() { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

} // namespace

DbConnection::DbConnection(const DatabaseConfig &config, Mode mode) : m_config(config)
{
    const bool readOnly = mode == Mode::ReadOnly;
    if (!config.isPostgres())
        configureSqlite();
    m_name = QStringLiteral("kmp-server-%1").arg(++g_connectionCounter);
    const QString driver = config.isPostgres() ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, m_name);
    // The drivers are Qt plugins in packages of their own; the administrator needs the
    // package's name, not the plugin's.
    if (!db.isValid())
        throw ServiceError(
            wire::ErrorCode::Unavailable,
            QStringLiteral("O driver do banco de dados não está disponível (%1): instale o pacote %2.")
                .arg(driver, config.isPostgres() ? QStringLiteral("libqt6sql6-psql") : QStringLiteral("libqt6sql6-sqlite")));
    if (config.isPostgres()) {
        db.setHostName(config.host);
        db.setPort(config.port);
        db.setUserName(config.user);
        db.setPassword(config.password);
        db.setDatabaseName(config.database);
        // The process id in the name tells an operator (and pg_stat_activity) which server
        // holds which connections when several share one database.
        db.setConnectOptions(config.postgresOptions()
                             + QStringLiteral(";application_name=kmp-appserver-%1").arg(QCoreApplication::applicationPid()));
    } else if (readOnly) {
        if (!QFileInfo(config.path).isFile()) {
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_name);
            throw ServiceError(wire::ErrorCode::Unavailable,
                               QStringLiteral("O banco de dados %1 não existe.").arg(config.describe()));
        }
        db.setDatabaseName(config.path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=15000"));
    } else {
        createPrivateDatabaseFile(config.path);
        db.setDatabaseName(config.path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
    }
    m_db = db;
    if (!db.open()) {
        const QString why = db.lastError().text();
        m_db = QSqlDatabase();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
        throw ServiceError(wire::ErrorCode::Unavailable,
                           QStringLiteral("Não foi possível abrir o banco de dados %1: %2").arg(config.describe(), why));
    }
    try {
        if (config.isPostgres()) {
            execDirect(QStringLiteral("SET client_min_messages TO warning"));
            // Always a search path of its own: the role's default ("$user", public) would
            // send every statement to a schema named like the role the moment one exists.
            execDirect(QStringLiteral("SET search_path TO %1").arg(quoteIdentifier(config.schemaName())));
            if (readOnly)
                execDirect(QStringLiteral("SET default_transaction_read_only = on"));
        } else if (readOnly) {
            execDirect(QStringLiteral("PRAGMA busy_timeout = 15000"));
        } else {
            execDirect(QStringLiteral("PRAGMA busy_timeout = 15000"));
            execDirect(QStringLiteral("PRAGMA journal_mode = WAL"));
            execDirect(QStringLiteral("PRAGMA synchronous = FULL"));
            execDirect(QStringLiteral("PRAGMA foreign_keys = ON"));
        }
    } catch (...) {
        db.close();
        db = QSqlDatabase();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
        throw;
    }
}

DbConnection::~DbConnection()
{
    m_failed = QSqlQuery();
    m_cached.clear();
    if (m_db.isOpen())
        m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase DbConnection::database() const
{
    return m_db;
}

void DbConnection::releaseThread()
{
    if (QSqlDriver *driver = m_db.driver())
        driver->moveToThread(nullptr);
}

void DbConnection::adoptThread()
{
    if (QSqlDriver *driver = m_db.driver())
        driver->moveToThread(QThread::currentThread());
}

namespace {

// Qt's SQLite driver files every failed step as a connection error, a refused duplicate
// among them; a constraint (SQLITE_CONSTRAINT and its extended codes) refuses one
// statement and leaves the connection as good as it was. Taking it for a lost connection
// would reopen the writer's connection after every duplicate and replay, one by one, the
// other saves committed with it.
bool refusedByConstraint(const QSqlError &error)
{
    bool number = false;
    const int code = error.nativeErrorCode().toInt(&number);
    return number && (code & 0xff) == SQLITE_CONSTRAINT;
}

} // namespace

void DbConnection::fail(const QSqlError &error, const QString &what)
{
    const bool lost = error.type() == QSqlError::ConnectionError && !(!isPostgres() && refusedByConstraint(error));
    if (lost || !database().isOpen())
        m_broken = true;
    if (m_inBatch && !isUniqueViolation(error))
        m_batchBroken = true;
    if (isUniqueViolation(error))
        throw ServiceError(wire::ErrorCode::Conflict, QStringLiteral("O registro já existe (chave repetida)."));
    // The driver's text may quote the statement and the values bound to it (patient
    // data); only its error code leaves this function, for the log and the station alike.
    throw ServiceError(m_broken ? wire::ErrorCode::Unavailable : wire::ErrorCode::Internal,
                       QStringLiteral("Erro no banco de dados ao %1 (%2).").arg(what, describeError(error, isPostgres())));
}

QString DbConnection::describeError(const QSqlError &error, bool postgres)
{
    QString code = error.nativeErrorCode().left(16);
    code.removeIf([](QChar c) { return !c.isLetterOrNumber(); });
    if (code.isEmpty())
        return QStringLiteral("código ?");
    // SQLite's code says what went wrong with the files, which an administrator can act on;
    // it quotes nothing of the data.
    bool number = false;
    const int primary = code.toInt(&number) & 0xff;
    QString meaning;
    if (!postgres && number) {
        switch (primary) {
        case SQLITE_FULL: meaning = QStringLiteral("o disco está cheio"); break;
        case SQLITE_CANTOPEN: meaning = QStringLiteral("o arquivo não pôde ser aberto ou criado"); break;
        case SQLITE_IOERR: meaning = QStringLiteral("erro de leitura ou escrita no disco (disco cheio ou com defeito)"); break;
        case SQLITE_READONLY: meaning = QStringLiteral("o arquivo ou sua pasta não aceita escrita"); break;
        case SQLITE_PERM:
        case SQLITE_AUTH: meaning = QStringLiteral("sem permissão"); break;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: meaning = QStringLiteral("o arquivo está danificado ou não é um banco SQLite"); break;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: meaning = QStringLiteral("o banco está ocupado por outro processo"); break;
        default: break;
        }
    } else if (postgres && code == QLatin1String("53100")) {
        meaning = QStringLiteral("o disco do servidor PostgreSQL está cheio");
    }
    return meaning.isEmpty() ? QStringLiteral("código %1").arg(code) : QStringLiteral("código %1: %2").arg(code, meaning);
}

QSqlQuery DbConnection::prepare(const QString &sql)
{
    QSqlQuery q(database());
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        fail(q.lastError(), QStringLiteral("preparar a consulta"));
    return q;
}

QSqlQuery &DbConnection::cached(const QString &sql)
{
    auto it = m_cached.find(sql);
    if (it == m_cached.end()) {
        auto q = std::make_unique<QSqlQuery>(prepare(sql));
        it = m_cached.emplace(sql, std::move(q)).first;
    } else {
        it->second->finish();
    }
    return *it->second;
}

void DbConnection::exec(QSqlQuery &query)
{
    if (!query.exec())
        fail(query.lastError(), QStringLiteral("executar a consulta"));
}

void DbConnection::raise(const QSqlQuery &failed)
{
    fail(failed.lastError(), QStringLiteral("executar a consulta"));
}

void DbConnection::raise(const QSqlError &error)
{
    fail(error, QStringLiteral("executar a consulta"));
}

namespace {

bool isBlob(const QVariant &v)
{
    return v.metaType() == QMetaType::fromType<QByteArray>();
}

} // namespace

DbConnection::Outcome DbConnection::run(const QString &sql, const QVariantList &values, bool cache)
{
    bool blobs = false;
    for (const QVariant &v : values)
        blobs = blobs || (isBlob(v) && !v.isNull());
    if (blobs && isPostgres()) {
        Outcome out = runBinary(sql, values);
        if (out.ok || out.error.isValid())
            return out;
    }
    // The UPDATE and DELETE of a save name the row by every value it was loaded with, and
    // its NULLs shape their text: a table has a bounded number of such shapes, yet a limit
    // keeps what a connection holds bounded whatever comes.
    if (cache && m_cached.size() >= MostCached && m_cached.find(sql) == m_cached.end())
        cache = false;
    QSqlQuery local;
    QSqlQuery *q = &local;
    if (cache)
        q = &cached(sql);
    else
        local = prepare(sql);
    for (qsizetype i = 0; i < values.size(); ++i)
        q->bindValue(int(i), values.at(i));
    Outcome out;
    out.ok = q->exec();
    if (out.ok)
        out.rowsAffected = q->numRowsAffected();
    else
        out.error = q->lastError();
    // A kept statement holds its values until the next use: it must not hold a section.
    if (cache && blobs)
        for (qsizetype i = 0; i < values.size(); ++i)
            if (isBlob(values.at(i)))
                q->bindValue(int(i), QVariant(QMetaType::fromType<QByteArray>()));
    q->finish();
    if (!out.ok && !cache)
        m_failed = std::move(local);
    return out;
}

// Neither ok nor an error: libpq could not be used here, and the caller goes through Qt's
// driver instead.
DbConnection::Outcome DbConnection::runBinary(const QString &sql, const QVariantList &values)
{
    const QVariant handle = m_db.driver() ? m_db.driver()->handle() : QVariant();
    // Qt's driver names the type by libpq's struct, pg_conn, behind the PGconn typedef.
    const bool isConn =
        handle.isValid() && (qstrcmp(handle.typeName(), "PGconn*") == 0 || qstrcmp(handle.typeName(), "pg_conn*") == 0);
    PGconn *conn = isConn ? *static_cast<PGconn *const *>(handle.constData()) : nullptr;
    // A result Qt's driver is still reading would make libpq refuse the statement.
    if (!conn || PQtransactionStatus(conn) == PQTRANS_ACTIVE)
        return {};
    // libpq numbers its parameters; only the statements of this server reach here, and a
    // "?" inside a quoted literal is left alone all the same.
    QByteArray text;
    int count = 0;
    bool quoted = false;
    for (const char c : sql.toUtf8()) {
        if (c == '\'')
            quoted = !quoted;
        if (c == '?' && !quoted)
            text += '$' + QByteArray::number(++count);
        else
            text += c;
    }
    if (count != values.size())
        throw ServiceError(wire::ErrorCode::Internal,
                           QStringLiteral("Erro interno: %1 valores para %2 marcadores.").arg(values.size()).arg(count));
    // The blobs are passed as they are, without a copy; the other values as text, typed
    // where the statement alone would not tell PostgreSQL.
    constexpr Oid byteaOid = 17, float8Oid = 701;
    std::vector<QByteArray> held(size_t(values.size()));
    std::vector<const char *> data(size_t(values.size()), nullptr);
    std::vector<int> lengths(size_t(values.size()), 0), formats(size_t(values.size()), 0);
    std::vector<Oid> types(size_t(values.size()), 0);
    for (size_t i = 0; i < held.size(); ++i) {
        const QVariant &v = values.at(qsizetype(i));
        const int type = v.metaType().id();
        if (type == QMetaType::QByteArray) {
            types[i] = byteaOid;
            formats[i] = 1;
            held[i] = v.toByteArray();
        } else if (type == QMetaType::Double) {
            types[i] = float8Oid;
            held[i] = QByteArray::number(v.toDouble(), 'g', 17);
        } else {
            held[i] = v.toString().toUtf8();
        }
        if (!v.isNull()) {
            data[i] = held[i].constData();
            lengths[i] = int(held[i].size());
        }
    }
    qint64 bytes = 0;
    for (const int n : lengths)
        bytes += n;
    noteLargeTransfer(bytes);
    PGresult *res = PQexecParams(conn, text.constData(), count, types.data(), data.data(), lengths.data(), formats.data(), 0);
    Outcome out;
    const ExecStatusType status = PQresultStatus(res);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        out.ok = true;
        out.rowsAffected = QByteArray(PQcmdTuples(res)).toInt();
    } else {
        const char *state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
        out.error = QSqlError(QStringLiteral("libpq"), QString::fromUtf8(PQresultErrorMessage(res)),
                              PQstatus(conn) == CONNECTION_BAD ? QSqlError::ConnectionError : QSqlError::StatementError,
                              QString::fromLatin1(state ? state : "?"));
    }
    PQclear(res);
    return out;
}

void DbConnection::execDirect(const QString &sql)
{
    QSqlQuery q(database());
    if (!q.exec(sql))
        fail(q.lastError(), QStringLiteral("executar um comando de manutenção"));
}

void DbConnection::execKept(const QString &sql)
{
    QSqlQuery &q = cached(sql);
    const bool ok = q.exec();
    const QSqlError error = ok ? QSqlError() : q.lastError();
    q.finish();
    if (!ok)
        fail(error, QStringLiteral("executar um comando de manutenção"));
}

void DbConnection::beginBatch()
{
    execKept(QStringLiteral("BEGIN IMMEDIATE"));
    m_inBatch = true;
    m_batchBroken = false;
}

void DbConnection::commitBatch()
{
    m_inBatch = false;
    execKept(QStringLiteral("COMMIT"));
}

void DbConnection::abortBatch() noexcept
{
    m_inBatch = false;
    m_batchBroken = false;
    const auto releaseFailed = qScopeGuard([this]() { m_failed = QSqlQuery(); });
    if (!m_db.isOpen())
        return;
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("ROLLBACK"));
}

void DbConnection::begin()
{
    if (m_inBatch) {
        execKept(QStringLiteral("SAVEPOINT kmp_save"));
        return;
    }
    if (isPostgres()) {
        QSqlDatabase db = database();
        if (!db.transaction())
            fail(db.lastError(), QStringLiteral("iniciar a transação"));
    } else {
        execKept(QStringLiteral("BEGIN IMMEDIATE"));
    }
}

void DbConnection::commit()
{
    if (m_inBatch) {
        execKept(QStringLiteral("RELEASE kmp_save"));
        return;
    }
    if (isPostgres()) {
        QSqlDatabase db = database();
        if (!db.commit())
            fail(db.lastError(), QStringLiteral("gravar a transação"));
    } else {
        execKept(QStringLiteral("COMMIT"));
    }
}

void DbConnection::rollback() noexcept
{
    const auto releaseFailed = qScopeGuard([this]() { m_failed = QSqlQuery(); });
    QSqlDatabase db = database();
    if (!db.isOpen())
        return;
    if (m_inBatch) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("ROLLBACK TO kmp_save")) || !q.exec(QStringLiteral("RELEASE kmp_save")))
            m_batchBroken = true;
        return;
    }
    if (isPostgres()) {
        db.rollback();
    } else {
        QSqlQuery q(db);
        q.exec(QStringLiteral("ROLLBACK"));
    }
}

bool DbConnection::isUniqueViolation(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    // PostgreSQL: SQLSTATE 23505. SQLite: extended codes 2067 (UNIQUE) and 1555 (PRIMARY
    // KEY), or the plain constraint code with the driver's text.
    if (code == QLatin1String("23505") || code == QLatin1String("2067") || code == QLatin1String("1555"))
        return true;
    return error.databaseText().contains(QLatin1String("UNIQUE constraint failed"));
}

} // namespace kmp::server
