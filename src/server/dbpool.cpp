#include "dbpool.h"

#include "dbconnection.h"
#include "serviceerror.h"
#include "store.h"

#include <memory>

namespace kmp::server {

namespace {

// The connection of the pool thread running the current job; null on other threads.
struct ThreadConnection
{
    const DatabaseConfig *config = nullptr;
    std::unique_ptr<DbConnection> db;
    std::unique_ptr<Store> store;
};

thread_local ThreadConnection *t_connection = nullptr;

} // namespace

DbPool::DbPool(DatabaseConfig config, int connections) : m_config(std::move(config))
{
    const bool sqlite = !m_config.isPostgres();
    m_connections = std::max(connections, sqlite ? 2 : 1);
    const int shared = sqlite ? m_connections - 1 : m_connections;
    for (int i = 0; i < shared; ++i)
        m_shared.threads.emplace_back([this]() { serve(m_shared); });
    if (sqlite)
        m_writer.threads.emplace_back([this]() { serve(m_writer); });
}

DbPool::~DbPool()
{
    stopLane(m_shared);
    stopLane(m_writer);
}

void DbPool::stopLane(Lane &lane)
{
    {
        std::lock_guard<std::mutex> guard(lane.lock);
        lane.stopping = true;
    }
    lane.ready.notify_all();
    for (std::thread &t : lane.threads)
        t.join();
    lane.threads.clear();
}

void DbPool::run(Access access, const std::function<void()> &job)
{
    Lane &lane = access == Access::Write && !m_writer.threads.empty() ? m_writer : m_shared;
    Job j;
    j.work = &job;
    {
        std::lock_guard<std::mutex> guard(lane.lock);
        if (lane.stopping)
            throw ServiceError(wire::ErrorCode::Unavailable, QStringLiteral("O servidor está encerrando."));
        lane.queue.push_back(&j);
    }
    lane.ready.notify_one();
    j.done.acquire();
    if (j.error)
        std::rethrow_exception(j.error);
}

void DbPool::serve(Lane &lane)
{
    ThreadConnection mine;
    mine.config = &m_config;
    t_connection = &mine;
    for (;;) {
        Job *job = nullptr;
        {
            std::unique_lock<std::mutex> guard(lane.lock);
            lane.ready.wait(guard, [&]() { return lane.stopping || !lane.queue.empty(); });
            // Jobs already queued still run: their clients are waiting for an answer.
            if (lane.queue.empty())
                break;
            job = lane.queue.front();
            lane.queue.pop_front();
        }
        try {
            (*job->work)();
        } catch (...) {
            job->error = std::current_exception();
        }
        job->done.release();
    }
    mine.store.reset();
    mine.db.reset();
    t_connection = nullptr;
}

Store &DbPool::currentStore()
{
    ThreadConnection *c = t_connection;
    if (!c)
        throw ServiceError(wire::ErrorCode::Internal,
                           QStringLiteral("Acesso ao banco de dados fora de uma conexão do servidor."));
    if (c->db && c->db->isBroken()) {
        c->store.reset();
        c->db.reset();
    }
    if (!c->db) {
        c->db = std::make_unique<DbConnection>(*c->config);
        c->store = std::make_unique<Store>(*c->db);
    }
    return *c->store;
}

} // namespace kmp::server
