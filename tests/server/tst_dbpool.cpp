// The write path of the database pool on SQLite: saves that queue while another is being
// written are committed together, in the order they queued, and each is answered with its
// own outcome, whatever the others did.

#include "dbconnection.h"
#include "dbpool.h"
#include "demodata.h"
#include "packet.h"
#include "schema.h"
#include "serviceerror.h"
#include "store.h"
#include "threadpriority.h"

#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <stdexcept>
#include <thread>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace kmp;
using namespace kmp::server;

namespace {

// What a save does inside its transaction.
enum class Kind : char {
    Insert = 'I',    // inserts its own row
    Refused = 'R',   // inserts its row, then is refused: the row must not stay
    Duplicate = 'D', // inserts a value already stored: a refused duplicate
    Broken = 'B',    // a statement the database rejects outright
    Crashes = 'C',   // inserts its row, then fails with an unexpected exception
};

struct Outcome
{
    bool ok = false;
    int code = 0; // the ServiceError's code, -1 for any other exception
};

QString valueOf(int n)
{
    return QStringLiteral("s%1").arg(n);
}

void insert(DbConnection &db, const QString &value)
{
    const DbConnection::Outcome out = db.run(QStringLiteral("INSERT INTO T (V) VALUES (?)"), {value}, true);
    if (!out.ok)
        db.raise(out.error);
}

// One save as the dispatcher runs one: a transaction of its own (a savepoint inside a
// batch), rolled back on any exception.
void save(Kind kind, int n)
{
    DbConnection &db = DbPool::currentStore().db();
    Transaction tx(db);
    switch (kind) {
    case Kind::Insert: insert(db, valueOf(n)); break;
    case Kind::Refused: insert(db, valueOf(n)); throw ServiceError(wire::ErrorCode::Conflict, QStringLiteral("recusado"));
    case Kind::Duplicate: insert(db, valueOf(0)); break;
    case Kind::Broken: db.execDirect(QStringLiteral("INSERT INTO MISSING_TABLE VALUES (1)")); break;
    case Kind::Crashes: insert(db, valueOf(n)); throw std::runtime_error("unexpected");
    }
    tx.commit();
}

Outcome runSave(DbPool &pool, Kind kind, int n, std::atomic<int> *runs = nullptr)
{
    try {
        pool.run(DbPool::Access::Write, [&]() {
            if (runs)
                ++*runs;
            save(kind, n);
        });
        return {true, 0};
    } catch (const ServiceError &e) {
        return {false, int(e.code())};
    } catch (const std::exception &) {
        return {false, -1};
    }
}

// Spins until the pool holds want saves in its queue, or fails after a generous wait.
bool waitForQueue(const DbPool &pool, int want)
{
    const QDeadlineTimer deadline(20000);
    while (pool.queuedSaves() < want) {
        if (deadline.hasExpired())
            return false;
        std::this_thread::yield();
    }
    return true;
}

QStringList storedValues(const DatabaseConfig &config)
{
    DbConnection db(config);
    QSqlQuery q = db.prepare(QStringLiteral("SELECT V FROM T ORDER BY ID"));
    db.exec(q);
    QStringList out;
    while (q.next())
        out << q.value(0).toString();
    return out;
}

} // namespace

class TestDbPool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void queuedSavesCommitTogether_data();
    void queuedSavesCommitTogether();
    void loneSavesOneAfterAnother_data();
    void loneSavesOneAfterAnother();
    void loadAfterSaveSeesIt_data();
    void loadAfterSaveSeesIt();
    void raisedPriorityIsGivenBack_data();
    void raisedPriorityIsGivenBack();
};

void TestDbPool::queuedSavesCommitTogether_data()
{
    // The saves queued behind a first one that holds the writer, in queue order.
    QTest::addColumn<QString>("kinds");
    QTest::newRow("all stored") << "IIIIII";
    QTest::newRow("refused in the middle") << "IIRII";
    QTest::newRow("refused first") << "RIII";
    QTest::newRow("refused last") << "IIIR";
    QTest::newRow("duplicate in the middle") << "IDII";
    QTest::newRow("statement rejected in the middle") << "IIBII";
    QTest::newRow("statement rejected first") << "BII";
    QTest::newRow("statement rejected last") << "IIB";
    QTest::newRow("unexpected failure") << "ICI";
    QTest::newRow("every kind") << "IRDBICRI";
    QTest::newRow("only refusals") << "RDBC";
}

void TestDbPool::queuedSavesCommitTogether()
{
    QFETCH(QString, kinds);
    QTemporaryDir dir;
    const DatabaseConfig config = DatabaseConfig::parse(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("pool.db")));
    {
        DbConnection db(config);
        db.execDirect(QStringLiteral("CREATE TABLE T (ID INTEGER PRIMARY KEY, V TEXT NOT NULL UNIQUE)"));
    }
    const int n = int(kinds.size());
    std::vector<Outcome> outcomes(size_t(n) + 1);
    std::vector<std::atomic<int>> runs(size_t(n) + 1);
    {
        DbPool pool(config, 3);
        // The first save holds the write connection until every other one has queued
        // behind it, one after another, so that they are written as one batch in a
        // known order.
        std::atomic<bool> started{false};
        std::atomic<bool> queuedInTime{true};
        std::thread first([&]() {
            try {
                pool.run(DbPool::Access::Write, [&]() {
                    started = true;
                    queuedInTime = waitForQueue(pool, n);
                    save(Kind::Insert, 0);
                });
                outcomes[0] = {true, 0};
            } catch (...) {
                outcomes[0] = {false, -1};
            }
        });
        const QDeadlineTimer deadline(20000);
        while (!started && !deadline.hasExpired())
            std::this_thread::yield();
        std::vector<std::thread> others;
        for (int i = 1; i <= n && queuedInTime; ++i) {
            others.emplace_back(
                [&, i]() { outcomes[size_t(i)] = runSave(pool, Kind(kinds.at(i - 1).toLatin1()), i, &runs[size_t(i)]); });
            waitForQueue(pool, i);
        }
        first.join();
        for (auto &t : others)
            t.join();
        QVERIFY2(queuedInTime, "the saves did not queue behind the first one");
    }

    QStringList expected{valueOf(0)};
    QVERIFY(outcomes[0].ok);
    for (int i = 1; i <= n; ++i) {
        const Kind kind = Kind(kinds.at(i - 1).toLatin1());
        const Outcome &o = outcomes[size_t(i)];
        const QByteArray where = QByteArray::number(i) + ' ' + char(kind);
        switch (kind) {
        case Kind::Insert:
            QVERIFY2(o.ok, where.constData());
            expected << valueOf(i);
            break;
        case Kind::Refused:
        case Kind::Duplicate: QVERIFY2(!o.ok && o.code == int(wire::ErrorCode::Conflict), where.constData()); break;
        case Kind::Broken: QVERIFY2(!o.ok && o.code == int(wire::ErrorCode::Internal), where.constData()); break;
        case Kind::Crashes: QVERIFY2(!o.ok && o.code == -1, where.constData()); break;
        }
    }
    // Every save answered as stored is there exactly once, in the order the saves queued;
    // nothing of a refused one stayed.
    QCOMPARE(storedValues(config), expected);
    // Only a statement the database rejects outright makes the batch start over, each save
    // on its own; a refusal, a duplicate among them, leaves the others in their batch.
    if (!kinds.contains(QLatin1Char(char(Kind::Broken))))
        for (int i = 1; i <= n; ++i)
            QVERIFY2(runs[size_t(i)] == 1, qPrintable(QStringLiteral("save %1 ran %2 times").arg(i).arg(runs[size_t(i)].load())));
}

void TestDbPool::loneSavesOneAfterAnother_data()
{
    QTest::addColumn<QString>("kinds");
    QTest::newRow("stored") << "III";
    QTest::newRow("refusals between") << "IRIDIBICI";
}

void TestDbPool::loneSavesOneAfterAnother()
{
    QFETCH(QString, kinds);
    QTemporaryDir dir;
    const DatabaseConfig config = DatabaseConfig::parse(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("pool.db")));
    {
        DbConnection db(config);
        db.execDirect(QStringLiteral("CREATE TABLE T (ID INTEGER PRIMARY KEY, V TEXT NOT NULL UNIQUE)"));
    }
    QStringList expected;
    {
        DbPool pool(config, 2);
        QVERIFY(runSave(pool, Kind::Insert, 0).ok);
        expected << valueOf(0);
        // From threads that come and go, as connections do: the write connection follows
        // whichever thread writes.
        for (int i = 1; i <= kinds.size(); ++i) {
            const Kind kind = Kind(kinds.at(i - 1).toLatin1());
            Outcome o;
            std::thread([&]() { o = runSave(pool, kind, i); }).join();
            QCOMPARE(o.ok, kind == Kind::Insert);
            if (o.ok)
                expected << valueOf(i);
            // A read sees every save answered before it.
            int rows = -1;
            pool.run(DbPool::Access::Read, [&]() {
                DbConnection &db = DbPool::currentStore().db();
                QSqlQuery q = db.prepare(QStringLiteral("SELECT COUNT(*) FROM T"));
                db.exec(q);
                rows = q.next() ? q.value(0).toInt() : -1;
            });
            QCOMPARE(rows, int(expected.size()));
        }
    }
    QCOMPARE(storedValues(config), expected);
}

void TestDbPool::loadAfterSaveSeesIt_data()
{
    // A reader's connection keeps its statements prepared between requests: none of them
    // may keep the snapshot it read, or the next load would miss the saves made since.
    QTest::addColumn<QString>("load");
    QTest::newRow("consultation's diagnoses") << "GetDiagPaci";
    QTest::newRow("one diagnosis") << "GetVD_Diag";
}

void TestDbPool::loadAfterSaveSeesIt()
{
    QFETCH(QString, load);
    QTemporaryDir dir;
    const DatabaseConfig config = DatabaseConfig::parse(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("pool.db")));
    DbConnection writer(config);
    ensureSchema(writer);
    loadDemo(writer);
    QStringList codes;
    {
        QSqlQuery q = writer.prepare(QStringLiteral("SELECT CDDIAGNOST FROM DIAGNOST ORDER BY CDDIAGNOST LIMIT 4"));
        writer.exec(q);
        while (q.next())
            codes << q.value(0).toString();
    }
    QCOMPARE(codes.size(), 4);
    const QString filial = QStringLiteral("0001");
    const QString paciente = QStringLiteral("000000000777");
    const double date = demoConsulta();
    DbConnection reader(config);
    Store loads(reader);
    Store saves(writer);
    const auto rowsSeen = [&](const QString &code) {
        const QByteArray packet = load == QLatin1String("GetDiagPaci") ? loads.diagPaci(filial, paciente, date)
                                                                       : loads.vdDiag(filial, paciente, code, date);
        return int(decodePacket(packet).rows.size());
    };
    for (int i = 0; i < codes.size(); ++i) {
        QCOMPARE(rowsSeen(codes.at(i)), load == QLatin1String("GetDiagPaci") ? i : 0);
        Delta d;
        d.fields = tables::diagPaci().fieldDefs();
        d.changes.push_back(
            {ChangeKind::Insert, {}, {filial, paciente, date, codes.at(i), QString(), double(i + 1), QStringLiteral("CID10")}});
        saves.applyDelta(tables::diagPaci(), d, QStringLiteral("duplicado"));
        QCOMPARE(rowsSeen(codes.at(i)), load == QLatin1String("GetDiagPaci") ? i + 1 : 1);
    }
}

void TestDbPool::raisedPriorityIsGivenBack_data()
{
    // The thread's nice value to start from, and the steps asked for, twice nested.
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("outer");
    QTest::addColumn<int>("inner");
    QTest::addColumn<int>("expectOuter");
    QTest::addColumn<int>("expectInner");
    QTest::newRow("the writer's steps") << 0 << int(RaisedPriority::SaveSteps) << 0 << -RaisedPriority::SaveSteps
                                        << -RaisedPriority::SaveSteps;
    QTest::newRow("from a lowered server") << 10 << 5 << 3 << 5 << 2;
    QTest::newRow("no steps") << 3 << 0 << 0 << 3 << 3;
    QTest::newRow("stops at the highest") << -18 << 5 << 5 << -20 << -20;
}

void TestDbPool::raisedPriorityIsGivenBack()
{
#ifdef __linux__
    QFETCH(int, start);
    QFETCH(int, outer);
    QFETCH(int, inner);
    QFETCH(int, expectOuter);
    QFETCH(int, expectInner);
    // On a thread of its own: its nice value is its own, and lowering it back from a
    // raised one needs the same privilege as raising it.
    const auto nice = []() { return getpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid))); };
    bool allowed = true;
    std::vector<int> seen;
    std::thread([&]() {
        if (setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), start) != 0 || nice() != start) {
            allowed = false;
            return;
        }
        {
            const RaisedPriority a(outer);
            // Raising is refused to an unprivileged user: the priority then stays as it was.
            if (expectOuter < start && !a.raised()) {
                allowed = false;
                return;
            }
            seen.push_back(nice());
            {
                const RaisedPriority b(inner);
                seen.push_back(nice());
            }
            seen.push_back(nice());
        }
        seen.push_back(nice());
    }).join();
    if (!allowed)
        QSKIP("this user may not raise a thread's priority");
    QCOMPARE(seen, (std::vector<int>{expectOuter, expectInner, expectOuter, start}));
#else
    QSKIP("thread priorities are only raised on Linux");
#endif
}

QTEST_GUILESS_MAIN(TestDbPool)
#include "tst_dbpool.moc"
