#pragma once

#include "databaseconfig.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

namespace kmp::server {

class Store;

// A bounded set of database connections shared by every client thread. Each connection
// lives on a thread of its own (a QSqlDatabase may only be used by the thread that opened
// it), and client threads hand their request to one of those threads and wait for it, so
// the number of database connections no longer grows with the number of stations.
//
// On SQLite every save goes to one writer thread with the only write connection, in the
// order the saves arrived: writers never wait on each other in SQLite's busy handler and
// never see "database is locked". Reads run on the other connections at the same time
// (WAL lets them read while the writer writes). On PostgreSQL, which handles concurrent
// writers itself, every connection serves reads and saves alike.
class DbPool
{
public:
    enum class Access { Read, Write };

    // connections: how many database connections at most (at least 2 on SQLite: one
    // writer and one reader). They are opened when first needed and reopened after a
    // lost connection.
    DbPool(DatabaseConfig config, int connections);
    ~DbPool();
    DbPool(const DbPool &) = delete;
    DbPool &operator=(const DbPool &) = delete;

    // Runs job on a pool thread and returns when it has run; an exception thrown by the
    // job is thrown again here. Inside the job, currentStore() is that thread's store.
    void run(Access access, const std::function<void()> &job);

    // The store of the calling pool thread, opening (or reopening) its connection first.
    // Throws ServiceError(Unavailable) when the database cannot be opened, and
    // ServiceError(Internal) when called outside a pool thread.
    static Store &currentStore();

    int connections() const { return m_connections; }
    // The default of --db-connections.
    static constexpr int DefaultConnections = 8;

private:
    struct Job
    {
        const std::function<void()> *work = nullptr;
        std::exception_ptr error;
        std::binary_semaphore done{0};
    };
    struct Lane
    {
        std::mutex lock;
        std::condition_variable ready;
        std::deque<Job *> queue;
        bool stopping = false;
        std::vector<std::thread> threads;
    };

    void serve(Lane &lane);
    static void stopLane(Lane &lane);

    DatabaseConfig m_config;
    int m_connections = 0;
    Lane m_shared;   // reads, and on PostgreSQL saves too
    Lane m_writer;   // SQLite only: the one write connection
};

} // namespace kmp::server
