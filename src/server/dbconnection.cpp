#include "dbconnection.h"

#include "databasefiles.h"
#include "serviceerror.h"

#include <QSqlError>
#include <QThread>
#include <atomic>

namespace kmp::server {

namespace {

std::atomic<quint64> g_connectionCounter{0};

QString quoteIdentifier(const QString &name)
{
    // Only names already checked against [a-z0-9_] reach here (DatabaseConfig::parse).
    return QLatin1Char('"') + name + QLatin1Char('"');
}

} // namespace

DbConnection::DbConnection(const DatabaseConfig &config) : m_config(config)
{
    m_name = QStringLiteral("kmp-server-%1").arg(++g_connectionCounter);
    QSqlDatabase db = QSqlDatabase::addDatabase(
        config.isPostgres() ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), m_name);
    if (!db.isValid())
        throw ServiceError(wire::ErrorCode::Unavailable,
                           QStringLiteral("O driver do banco de dados não está disponível (%1).")
                               .arg(config.isPostgres() ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE")));
    if (config.isPostgres()) {
        db.setHostName(config.host);
        db.setPort(config.port);
        db.setUserName(config.user);
        db.setPassword(config.password);
        db.setDatabaseName(config.database);
        db.setConnectOptions(config.postgresOptions());
    } else {
        createPrivateDatabaseFile(config.path);
        db.setDatabaseName(config.path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
    }
    if (!db.open()) {
        const QString why = db.lastError().text();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
        throw ServiceError(wire::ErrorCode::Unavailable,
                           QStringLiteral("Não foi possível abrir o banco de dados %1: %2")
                               .arg(config.describe(), why));
    }
    try {
        if (config.isPostgres()) {
            execDirect(QStringLiteral("SET client_min_messages TO warning"));
            if (!config.schema.isEmpty()) {
                // Two servers may create the schema at the same moment; the loser retries.
                for (int attempt = 0;; ++attempt) {
                    try {
                        execDirect(QStringLiteral("CREATE SCHEMA IF NOT EXISTS %1").arg(quoteIdentifier(config.schema)));
                        break;
                    } catch (const ServiceError &) {
                        if (attempt >= 2)
                            throw;
                        QThread::msleep(50);
                    }
                }
                execDirect(QStringLiteral("SET search_path TO %1").arg(quoteIdentifier(config.schema)));
            }
        } else {
            execDirect(QStringLiteral("PRAGMA busy_timeout = 15000"));
            execDirect(QStringLiteral("PRAGMA journal_mode = WAL"));
            execDirect(QStringLiteral("PRAGMA synchronous = FULL"));
            execDirect(QStringLiteral("PRAGMA foreign_keys = ON"));
        }
    } catch (...) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
        throw;
    }
}

DbConnection::~DbConnection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase DbConnection::database() const
{
    return QSqlDatabase::database(m_name, false);
}

void DbConnection::fail(const QSqlError &error, const QString &what)
{
    if (error.type() == QSqlError::ConnectionError || !database().isOpen())
        m_broken = true;
    if (isUniqueViolation(error))
        throw ServiceError(wire::ErrorCode::Conflict,
                           QStringLiteral("O registro já existe (chave repetida)."));
    // The driver's text may quote the statement and the values bound to it (patient
    // data); only its error code leaves this function, for the log and the station alike.
    QString code = error.nativeErrorCode().left(16);
    code.removeIf([](QChar c) { return !c.isLetterOrNumber(); });
    throw ServiceError(m_broken ? wire::ErrorCode::Unavailable : wire::ErrorCode::Internal,
                       QStringLiteral("Erro no banco de dados ao %1 (código %2).")
                           .arg(what, code.isEmpty() ? QStringLiteral("?") : code));
}

QSqlQuery DbConnection::prepare(const QString &sql)
{
    QSqlQuery q(database());
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        fail(q.lastError(), QStringLiteral("preparar a consulta"));
    return q;
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

void DbConnection::execDirect(const QString &sql)
{
    QSqlQuery q(database());
    if (!q.exec(sql))
        fail(q.lastError(), QStringLiteral("executar um comando de manutenção"));
}

void DbConnection::begin()
{
    if (isPostgres()) {
        QSqlDatabase db = database();
        if (!db.transaction())
            fail(db.lastError(), QStringLiteral("iniciar a transação"));
    } else {
        execDirect(QStringLiteral("BEGIN IMMEDIATE"));
    }
}

void DbConnection::commit()
{
    if (isPostgres()) {
        QSqlDatabase db = database();
        if (!db.commit())
            fail(db.lastError(), QStringLiteral("gravar a transação"));
    } else {
        execDirect(QStringLiteral("COMMIT"));
    }
}

void DbConnection::rollback() noexcept
{
    QSqlDatabase db = database();
    if (!db.isOpen())
        return;
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
