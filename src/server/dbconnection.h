#pragma once

#include "databaseconfig.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <memory>
#include <unordered_map>

namespace kmp::server {

// One database connection, used by one thread at a time. A QSqlDatabase answers only on
// the thread its driver belongs to, so a connection lent to another thread is released
// by the thread that used it last (releaseThread) and adopted by the next (adoptThread).
// The connection is removed again on destruction.
class DbConnection
{
public:
    enum class Mode { ReadWrite, ReadOnly };

    // Opens the connection and applies the per-connection settings (SQLite: WAL, a busy
    // timeout and synchronous=FULL so an acknowledged commit survives a crash;
    // PostgreSQL: the search path, the configured schema or else "public", never the
    // role's default). Read-only, a SQLite file that does not exist is refused rather than
    // created, and nothing can be written through the connection. Throws
    // ServiceError(Unavailable) on failure.
    explicit DbConnection(const DatabaseConfig &config, Mode mode = Mode::ReadWrite);
    ~DbConnection();
    DbConnection(const DbConnection &) = delete;
    DbConnection &operator=(const DbConnection &) = delete;

    const DatabaseConfig &config() const { return m_config; }
    bool isPostgres() const { return m_config.isPostgres(); }
    QSqlDatabase database() const;

    // A prepared query; throws ServiceError(Internal) when the SQL does not prepare.
    QSqlQuery prepare(const QString &sql);
    // The connection's own prepared query for this SQL, prepared on first use and kept
    // with the connection, so that the statements every save runs are not parsed (and,
    // on PostgreSQL, sent) again each time. Its values must be bound again before each
    // use; the reference stays valid as long as the connection.
    QSqlQuery &cached(const QString &sql);
    // Executes a prepared query; throws ServiceError carrying the database's message.
    void exec(QSqlQuery &query);
    // Throws the ServiceError for a query that already failed, without running it again.
    [[noreturn]] void raise(const QSqlQuery &failed);
    [[noreturn]] void raise(const QSqlError &error);

    // What a statement run by run() did: the rows it changed, or why it failed.
    struct Outcome
    {
        bool ok = false;
        int rowsAffected = 0;
        QSqlError error;
    };
    // Runs one statement with its values bound in order ("?" marks them), leaving the
    // failure to the caller (a refused duplicate has its own message). A statement that
    // carries a blob never keeps the blob after it ran: a section may be tens of
    // megabytes. With cache, a statement without blobs is kept prepared on the connection
    // (see cached()). On PostgreSQL, a statement carrying blobs goes through libpq with the
    // blobs in binary form: Qt's driver writes every value into the statement text, a
    // blob as hex escapes in a UTF-16 string, several times the blob's size.
    Outcome run(const QString &sql, const QVariantList &values, bool cache = false);
    // Executes a statement without bound values (schema, pragmas, transaction control).
    void execDirect(const QString &sql);
    // Most statements a connection keeps prepared (see cached()); beyond them a statement
    // is prepared for its one use.
    static constexpr size_t MostCached = 128;

    // True when the last failure lost the connection; the owner reopens before the next use.
    bool isBroken() const { return m_broken; }

    // PostgreSQL's library keeps its buffers as large as the largest statement or result
    // it carried: after one of many megabytes the owner closes the connection once the
    // request is done (and opens another when needed), so that the memory goes back.
    void noteLargeTransfer(qint64 bytes) { m_spent = m_spent || (isPostgres() && bytes >= LargeTransfer); }
    bool isSpent() const { return m_spent; }
    static constexpr qint64 LargeTransfer = qint64(8) * 1024 * 1024;

    // Hands the connection from the thread that used it to the next one.
    void releaseThread();
    void adoptThread();

    // Transactions. SQLite takes the write lock at the start (BEGIN IMMEDIATE) so that two
    // writers queue on the busy timeout instead of failing on a lock upgrade. Inside a
    // batch, a transaction is a savepoint of the batch's one transaction.
    void begin();
    void commit();
    void rollback() noexcept;

    // Several saves in one transaction with one durable commit (SQLite's writer). A
    // failure other than a refused duplicate while the batch is open marks it broken:
    // the database may have dropped the whole transaction, so the caller abandons the
    // batch and runs its saves again one by one.
    void beginBatch();
    void commitBatch();
    void abortBatch() noexcept;
    bool isBatchBroken() const { return m_batchBroken; }

    // True when the error is a unique-key violation in either database.
    static bool isUniqueViolation(const QSqlError &error);
    // The error's code, with what it means where the code says it (a full disk, a file that
    // cannot be created); never the driver's text, which may quote the data.
    static QString describeError(const QSqlError &error, bool postgres);

private:
    [[noreturn]] void fail(const QSqlError &error, const QString &what);
    // A statement without values that every save runs (transaction control on SQLite),
    // kept prepared instead of parsed each time.
    void execKept(const QString &sql);
    Outcome runBinary(const QString &sql, const QVariantList &values);

    DatabaseConfig m_config;
    QString m_name;
    QSqlDatabase m_db;
    std::unordered_map<QString, std::unique_ptr<QSqlQuery>> m_cached;
    // The statement run() saw fail, released only after the rollback: PostgreSQL refuses
    // even its release inside an aborted transaction, which would leak it on the connection.
    QSqlQuery m_failed;
    bool m_broken = false;
    bool m_spent = false;
    bool m_inBatch = false;
    bool m_batchBroken = false;
};

// Rolls back in its destructor unless committed, so every early exit leaves the database
// as it was.
class Transaction
{
public:
    explicit Transaction(DbConnection &db) : m_db(db) { m_db.begin(); }
    ~Transaction()
    {
        if (!m_done)
            m_db.rollback();
    }
    void commit()
    {
        m_db.commit();
        m_done = true;
    }
    // Rolls back now, so that statements still open afterwards can be released (in
    // PostgreSQL nothing more runs inside a failed transaction).
    void rollback() noexcept
    {
        if (!m_done)
            m_db.rollback();
        m_done = true;
    }

private:
    DbConnection &m_db;
    bool m_done = false;
};

} // namespace kmp::server
