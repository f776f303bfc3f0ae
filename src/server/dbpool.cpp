#include "dbpool.h"

#include "controlchars.h"
#include "dbconnection.h"
#include "serverlog.h"
#include "serviceerror.h"
#include "store.h"
#include "threadpriority.h"

#include <QScopeGuard>
#include <chrono>

namespace kmp::server {

struct DbPool::Slot
{
    std::unique_ptr<DbConnection> db;
    std::unique_ptr<Store> store;
    bool tuned = false; // the writer's connection leaves checkpoints to the checkpointer
};

namespace {

// The connection the job running on this thread holds; null outside a job.
struct Current
{
    const DatabaseConfig *config = nullptr;
    DbPool::Slot *slot = nullptr;
};

thread_local Current t_current;

// Sets the thread's current connection for one job.
class Holding
{
public:
    Holding(const DatabaseConfig &config, DbPool::Slot &slot) : m_saved(t_current) { t_current = {&config, &slot}; }
    ~Holding() { t_current = m_saved; }
    Holding(const Holding &) = delete;
    Holding &operator=(const Holding &) = delete;

private:
    Current m_saved;
};

ServiceError stopping()
{
    return ServiceError(wire::ErrorCode::Unavailable, QStringLiteral("O servidor de aplicação está encerrando."));
}

} // namespace

DbPool::DbPool(DatabaseConfig config, int connections) : m_config(std::move(config))
{
    const bool sqlite = !m_config.isPostgres();
    m_connections = std::max(connections, sqlite ? 2 : 1);
    m_available = sqlite ? m_connections - 1 : m_connections;
    if (sqlite) {
        m_writerSlot = std::make_unique<Slot>();
        m_writer = std::thread([this]() { writerLoop(); });
        m_checkpointer = std::thread([this]() { checkpointLoop(); });
    }
}

DbPool::~DbPool()
{
    {
        std::lock_guard<std::mutex> guard(m_writerLock);
        m_stopping = true;
    }
    m_writerWake.notify_all();
    m_checkpointWake.notify_all();
    if (m_writer.joinable())
        m_writer.join();
    if (m_checkpointer.joinable())
        m_checkpointer.join();
    // Every client thread has ended by now: the connections are closed here, on the
    // thread that destroys the pool.
    if (m_writerSlot)
        m_idle.push_back(std::move(m_writerSlot));
    for (auto &slot : m_idle) {
        if (slot->db)
            slot->db->adoptThread();
        slot->store.reset();
        slot->db.reset();
    }
}

void DbPool::run(Access access, const std::function<void()> &job)
{
    if (access == Access::Read || !m_writerSlot)
        borrowAndRun(job);
    else
        write(job);
}

int DbPool::queuedSaves() const
{
    std::lock_guard<std::mutex> guard(m_writerLock);
    return int(m_writerQueue.size());
}

void DbPool::write(const std::function<void()> &work)
{
    Job own;
    own.work = &work;
    bool here = false;
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(m_writerLock);
        if (m_stopping)
            throw stopping();
        // A save that finds nothing being written and nothing queued is written on its
        // own thread at once: handing it to the writer and back would cost two thread
        // switches, more than the commit of a lone save. Saves arriving meanwhile queue
        // for the writer as usual.
        if (m_writerIdle && !m_writingHere && m_writerQueue.empty()) {
            m_writingHere = true;
            here = true;
        } else {
            m_writerQueue.push_back(&own);
            wake = m_writerIdle && !m_writingHere;
        }
    }
    if (here) {
        // Whatever happens here, the saves that queued meanwhile go on with the writer.
        const auto handBack = qScopeGuard([this]() {
            bool queued = false;
            {
                std::lock_guard<std::mutex> guard(m_writerLock);
                m_writingHere = false;
                queued = m_writerIdle && !m_writerQueue.empty();
            }
            if (queued)
                m_writerWake.notify_one();
        });
        std::vector<Job *> batch{&own};
        writeBatch(batch);
    } else {
        if (wake)
            m_writerWake.notify_one();
        std::unique_lock<std::mutex> guard(own.lock);
        own.ready.wait(guard, [&]() { return own.done; });
    }
    if (own.error)
        std::rethrow_exception(own.error);
}

void DbPool::writerLoop()
{
    // The one thread every save waits for under load: raised above the client threads,
    // it gets the processor first when a save is queued behind a crowd of reads.
    const RaisedPriority priority(RaisedPriority::SaveSteps);
    std::vector<Job *> batch;
    batch.reserve(MaxBatch);
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(m_writerLock);
            if (m_writerQueue.empty() || m_writingHere) {
                m_writerIdle = true;
                m_writerWake.wait(guard, [&]() { return m_stopping || (!m_writerQueue.empty() && !m_writingHere); });
                m_writerIdle = false;
            }
            if (m_writerQueue.empty())
                break; // stopping, and nothing left to write
            while (!m_writerQueue.empty() && int(batch.size()) < MaxBatch) {
                batch.push_back(m_writerQueue.front());
                m_writerQueue.pop_front();
            }
        }
        writeBatch(batch);
        // Notified under the job's own lock: the waiting thread owns the job and may end
        // it as soon as it sees it done.
        for (Job *j : batch) {
            std::lock_guard<std::mutex> guard(j->lock);
            j->done = true;
            j->ready.notify_one();
        }
        batch.clear();
    }
}

void DbPool::writeBatch(std::vector<Job *> &batch)
{
    Slot &slot = *m_writerSlot;
    if (slot.db)
        slot.db->adoptThread();
    {
        Holding holding(m_config, slot);
        try {
            DbConnection &db = currentStore().db();
            if (!slot.tuned) {
                db.execDirect(QStringLiteral("PRAGMA wal_autocheckpoint = 0"));
                slot.tuned = true;
            }
        } catch (const ServiceError &) {
            // The saves themselves will meet the same failure and report it.
        }
    }
    runBatch(batch);
    if (slot.db)
        slot.db->releaseThread();
    std::lock_guard<std::mutex> guard(m_writerLock);
    if (++m_commitsSinceCheckpoint >= CheckpointEvery)
        m_checkpointWake.notify_one();
}

void DbPool::borrowAndRun(const std::function<void()> &job)
{
    std::unique_ptr<Slot> slot;
    {
        std::unique_lock<std::mutex> guard(m_idleLock);
        m_idleReady.wait(guard, [&]() { return m_available > 0; });
        --m_available;
        if (!m_idle.empty()) {
            slot = std::move(m_idle.back());
            m_idle.pop_back();
        }
    }
    if (!slot)
        slot = std::make_unique<Slot>();
    if (slot->db)
        slot->db->adoptThread();
    const auto giveBack = [&]() {
        if (slot->db && slot->db->isSpent()) {
            slot->store.reset();
            slot->db.reset();
        }
        if (slot->db)
            slot->db->releaseThread();
        {
            std::lock_guard<std::mutex> guard(m_idleLock);
            m_idle.push_back(std::move(slot));
            ++m_available;
        }
        m_idleReady.notify_one();
    };
    try {
        Holding holding(m_config, *slot);
        job();
    } catch (...) {
        giveBack();
        throw;
    }
    giveBack();
}

void DbPool::runBatch(std::vector<Job *> &batch)
{
    Holding holding(m_config, *m_writerSlot);
    const auto runAlone = [](Job *j) {
        j->error = nullptr;
        try {
            (*j->work)();
        } catch (...) {
            j->error = std::current_exception();
        }
    };
    if (batch.size() == 1) {
        runAlone(batch.front());
        return;
    }
    DbConnection *db = nullptr;
    try {
        db = &currentStore().db();
        db->beginBatch();
    } catch (...) {
        // No connection or no transaction: each save finds out for itself.
        for (Job *j : batch)
            runAlone(j);
        return;
    }
    bool broken = false;
    for (Job *j : batch) {
        runAlone(j);
        if (db->isBatchBroken() || db->isBroken()) {
            broken = true;
            break;
        }
    }
    if (!broken) {
        try {
            db->commitBatch();
            return;
        } catch (...) {
            broken = true;
        }
    }
    // Nothing of the batch is known to be stored: undo it and give every save its own
    // transaction, so each is answered with its own outcome.
    db->abortBatch();
    for (Job *j : batch)
        runAlone(j);
}

Store &DbPool::currentStore()
{
    Current &c = t_current;
    if (!c.slot)
        throw ServiceError(wire::ErrorCode::Internal,
                           QStringLiteral("Acesso ao banco de dados fora de uma conexão do servidor."));
    Slot &slot = *c.slot;
    if (slot.db && slot.db->isBroken()) {
        slot.store.reset();
        slot.db.reset();
    }
    if (!slot.db) {
        try {
            slot.db = std::make_unique<DbConnection>(*c.config);
        } catch (const ServiceError &e) {
            // The driver's words name the database's address and account: they are for the
            // administrator's log; the station is told what it can act on.
            qCInfo(serverLog).noquote() << escapeControlCharacters(e.userMessage());
            throw ServiceError(e.code(), QStringLiteral("O banco de dados do servidor de aplicação não está respondendo. "
                                                        "Nada foi gravado; tente de novo em instantes e, se continuar, "
                                                        "avise o administrador do servidor."));
        }
        slot.store = std::make_unique<Store>(*slot.db);
        slot.tuned = false;
    }
    return *slot.store;
}

void DbPool::checkpointLoop()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(m_writerLock);
            m_checkpointWake.wait_for(guard, std::chrono::seconds(1),
                                      [&]() { return m_stopping || m_commitsSinceCheckpoint >= CheckpointEvery; });
            if (m_stopping)
                break;
            if (m_commitsSinceCheckpoint == 0)
                continue;
            m_commitsSinceCheckpoint = 0;
        }
        // On a reader's connection, borrowed like any read. PASSIVE: copies what no
        // reader still needs and never makes a save wait; what is left is copied next
        // time. SQLite itself checkpoints when the last connection closes.
        try {
            borrowAndRun([]() { currentStore().db().execDirect(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)")); });
        } catch (const ServiceError &) {
            // The next round tries again; saves do not depend on it.
        }
    }
}

} // namespace kmp::server
