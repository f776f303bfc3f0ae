#pragma once

#include "databaseconfig.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kmp::server {

class DbConnection;
class Store;

// A bounded set of database connections shared by every client thread, so the number of
// database connections no longer grows with the number of stations.
//
// A request borrows an idle connection for the time it runs, on the client's own thread
// (the connection is handed over between threads, never used by two at once), and waits
// when all are busy. On SQLite saves do not borrow: they queue for the only write
// connection, in the order they arrived, so writers never wait on each other in SQLite's
// busy handler and never see "database is locked". A thread of the pool's own is the
// writer: it takes every save queued, commits them together,
// one durable commit for all of them, each save inside a savepoint of its own so that one
// refused save leaves the others alone, and goes on at once with the saves that queued
// meanwhile. A save is answered only after its commit. Being the one thread every save
// goes through under load, the writer runs at a raised priority where the system allows
// it, so that it is not kept waiting behind the readers. A lone save, finding nothing
// queued and nothing being written, is written on its own thread instead, which spares it
// the two thread switches to the writer and back. The write-ahead log is copied
// back into the database file by a thread of its own rather than by whichever save
// happened to fill it, so no save waits for that. On PostgreSQL, which handles concurrent
// writers itself, saves borrow a connection like reads.
class DbPool
{
public:
    enum class Access { Read, Write };

    // connections: how many database connections at most (at least 2 on SQLite: the
    // writer and one reader). They are opened when first needed and reopened after a
    // lost connection.
    DbPool(DatabaseConfig config, int connections);
    ~DbPool();
    DbPool(const DbPool &) = delete;
    DbPool &operator=(const DbPool &) = delete;

    // Runs job with a pooled connection and returns when it has run and, for a save, when
    // its commit is durable; an exception thrown by the job, or a failed commit, is thrown
    // here. Inside the job, currentStore() is the store of that connection.
    void run(Access access, const std::function<void()> &job);

    // The store of the connection the calling job holds, opening (or reopening) it first.
    // Throws ServiceError(Unavailable) when the database cannot be opened, and
    // ServiceError(Internal) when called outside a job.
    static Store &currentStore();

    int connections() const { return m_connections; }
    // Saves waiting for the writer (SQLite), not counting those being written.
    int queuedSaves() const;
    // The default of --db-connections.
    static constexpr int DefaultConnections = 8;
    // Most saves committed together.
    static constexpr int MaxBatch = 64;
    // Commits after which the checkpointer runs without waiting for its next second.
    static constexpr int CheckpointEvery = 200;

    struct Slot; // one connection and its store

private:
    // A save waiting for the writer, on the stack of the thread that asked for it.
    struct Job
    {
        const std::function<void()> *work = nullptr;
        std::exception_ptr error;
        // Set by the writer once the save's outcome is final. The waiting thread sleeps
        // on its own condition rather than a semaphore, which would spin first and take
        // processor time from the writer.
        std::mutex lock;
        std::condition_variable ready;
        bool done = false;
    };

    void borrowAndRun(const std::function<void()> &job);
    void write(const std::function<void()> &job);
    void writerLoop();
    void writeBatch(std::vector<Job *> &batch); // on whichever thread holds the write connection
    void runBatch(std::vector<Job *> &batch);
    void checkpointLoop();

    DatabaseConfig m_config;
    int m_connections = 0;

    std::mutex m_idleLock;
    std::condition_variable m_idleReady;
    std::vector<std::unique_ptr<Slot>> m_idle; // opened or not, ready to lend
    int m_available = 0;                       // slots not lent out

    std::unique_ptr<Slot> m_writerSlot; // SQLite only
    mutable std::mutex m_writerLock;
    std::condition_variable m_writerWake;
    std::deque<Job *> m_writerQueue;
    bool m_writerIdle = false;  // the writer thread sleeps until a save is queued
    bool m_writingHere = false; // a lone save is being written on its own thread
    bool m_stopping = false;
    int m_commitsSinceCheckpoint = 0;
    std::condition_variable m_checkpointWake;
    std::thread m_writer;
    std::thread m_checkpointer;
};

} // namespace kmp::server
