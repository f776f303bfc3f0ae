// Two stations working the same consultation at the same moment, through the module's own
// services (connection, remote module, diagnosis list) on two threads: adding and moving
// diagnoses for a while must leave every number distinct and every saved row stored, on
// SQLite, on PostgreSQL, and with each station on its own server over one PostgreSQL.
#include "diagnosislist.h"
#include "exceptions.h"
#include "rdmdiagpaci.h"
#include "recordset.h"
#include "serverfixture.h"
#include "tnetconnection.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <atomic>

namespace {

const double kDate = 46363;
const QString kBranch = QStringLiteral("0001");

struct StationResult
{
    QSet<QString> added; // codes this station saw stored by its own save
    int inserts = 0;
    int moves = 0;
    int clashes = 0;      // saves that lost a race and were handled
    int refusedMoves = 0; // moves refused because the other station changed a row
    QString failure;      // anything the station could not handle
};

// A station's loop: add a code from its own share of the pool, or move a random row.
void runStation(quint16 port, int station, int seconds, const QStringList &pool, StationResult *out)
{
    kmp::TNetConnection net;
    net.setServerName(kmp::RdmDiagPaci::ServerName);
    net.setServerGUID(kmp::RdmDiagPaci::ServerGUID);
    net.setHost(QStringLiteral("127.0.0.1"));
    net.setPort(port);
    kmp::RdmDiagPaci server(net);
    kmp::DiagnosisList list(server);
    kmp::RecordSet *rows = list.rows();
    rows->OnAfterOpen = [&](kmp::RecordSet &) { list.rowsLoaded(); };
    rows->OnBeforePost = [&](kmp::RecordSet &) { list.stampNewRow(); };
    rows->OnAfterPost = [&](kmp::RecordSet &) { list.saveChanges(); };
    std::atomic<int> notices = 0;
    list.OnNotice = [&](const QString &) { ++notices; };

    kmp::Consultation c;
    c.branch = kBranch;
    c.patient = QStringLiteral("SOAK");
    c.date = kDate;
    QRandomGenerator rng(quint32(1234 + station));
    QElapsedTimer t;
    t.start();
    try {
        list.apply(c, list.fetch(c));
        int next = 0;
        while (t.elapsed() < seconds * 1000) {
            const bool add = rows->recordCount() < 2 || rng.bounded(3) == 0;
            if (add && next < pool.size()) {
                const QString code = pool.at(next++);
                const int before = notices;
                try {
                    rows->append();
                    rows->fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(code);
                    rows->fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("Nome de ") + code);
                    rows->fieldByName(QStringLiteral("CDTABECDI"))->setAsString(QStringLiteral("CID10"));
                    rows->post();
                    ++out->inserts;
                    out->added.insert(code);
                } catch (const kmp::ServerError &) {
                    // Every retry lost: the row is back to being typed, as on screen.
                    if (rows->isEditing())
                        rows->cancel();
                }
                out->clashes += notices - before;
            } else {
                rows->moveTo(int(rng.bounded(rows->recordCount())));
                try {
                    if (list.move(rng.bounded(2) == 0))
                        ++out->moves;
                } catch (const kmp::ServerError &e) {
                    if (e.code() != 409)
                        throw;
                    ++out->refusedMoves; // the list was reloaded by the move itself
                }
            }
            if (rng.bounded(5) == 0)
                list.reloadRows();
        }
    } catch (const std::exception &e) {
        out->failure = QString::fromUtf8(e.what());
    }
}

} // namespace

class TestConcurrency : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void twoStationsKeepOneOrder_data();
    void twoStationsKeepOneOrder();
};

void TestConcurrency::twoStationsKeepOneOrder_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<int>("servers");
    QTest::newRow("sqlite, one server") << QStringLiteral("sqlite") << 1;
    QTest::newRow("postgresql, one server") << QStringLiteral("postgresql") << 1;
    QTest::newRow("postgresql, two servers") << QStringLiteral("postgresql") << 2;
}

void TestConcurrency::twoStationsKeepOneOrder()
{
    QFETCH(QString, backend);
    QFETCH(int, servers);
    QTemporaryDir dir;
    QString database;
    if (backend == QLatin1String("sqlite")) {
        database = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("soak.sqlite"));
    } else {
        const QString url = qEnvironmentVariable("KMP_TEST_PGURL");
        if (url.isEmpty())
            QSKIP("KMP_TEST_PGURL is not set");
        database = url + (url.contains(QLatin1Char('?')) ? QStringLiteral("&") : QStringLiteral("?"))
                   + QStringLiteral("schema=soak_%1_%2").arg(QCoreApplication::applicationPid()).arg(servers);
    }
    QList<QPair<QString, QString>> catalogue;
    for (const char *letter : {"A", "B", "C"})
        for (int i = 0; i < 60; ++i) {
            const QString code = QLatin1String(letter) + QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
            catalogue.append({code, QStringLiteral("Nome de ") + code});
        }
    QString catalogueWhy;
    QVERIFY2(importCatalogue(database, catalogue, &catalogueWhy), qPrintable(catalogueWhy));
    std::vector<std::unique_ptr<kmp::test::ServerProcess>> procs;
    for (int i = 0; i < servers; ++i) {
        auto p = std::make_unique<kmp::test::ServerProcess>();
        p->setQuiet(true);
        QString why;
        QVERIFY2(p->start(database, {}, &why), qPrintable(why));
        procs.push_back(std::move(p));
    }

    // Each station adds its own codes and some both add, so that clashes on the same code
    // happen too.
    QStringList pools[2];
    for (int i = 0; i < 60; ++i) {
        pools[0] << QStringLiteral("A%1").arg(i, 2, 10, QLatin1Char('0'));
        pools[1] << QStringLiteral("B%1").arg(i, 2, 10, QLatin1Char('0'));
        if (i % 10 == 0) {
            pools[0] << QStringLiteral("C%1").arg(i, 2, 10, QLatin1Char('0'));
            pools[1] << QStringLiteral("C%1").arg(i, 2, 10, QLatin1Char('0'));
        }
    }
    const int seconds =
        qEnvironmentVariableIntValue("KMP_SOAK_SECONDS") > 0 ? qEnvironmentVariableIntValue("KMP_SOAK_SECONDS") : 6;
    StationResult results[2];
    QThread *threads[2];
    for (int s = 0; s < 2; ++s) {
        const quint16 port = procs[size_t(s % servers)]->port();
        threads[s] = QThread::create(runStation, port, s, seconds, pools[s], &results[s]);
        threads[s]->start();
    }
    for (QThread *t : threads) {
        QVERIFY(t->wait(120000));
        delete t;
    }
    for (const StationResult &r : results)
        QVERIFY2(r.failure.isEmpty(), qPrintable(r.failure));

    // What the server holds: distinct numbers, every row a station saw saved.
    kmp::TNetConnection net;
    net.setServerName(kmp::RdmDiagPaci::ServerName);
    net.setServerGUID(kmp::RdmDiagPaci::ServerGUID);
    net.setHost(QStringLiteral("127.0.0.1"));
    net.setPort(procs.front()->port());
    kmp::RdmDiagPaci server(net);
    const kmp::Packet p = kmp::decodePacket(server.GetDiagPaci(kBranch, QStringLiteral("SOAK"), kDate));
    QSet<QString> codes;
    QSet<int> numbers;
    for (const kmp::RowValues &row : p.rows) {
        codes.insert(row[3].toString());
        const int n = int(row[5].toDouble());
        QVERIFY2(!numbers.contains(n), qPrintable(QStringLiteral("number %1 twice").arg(n)));
        numbers.insert(n);
    }
    for (const StationResult &r : results)
        for (const QString &code : r.added)
            QVERIFY2(codes.contains(code), qPrintable(QStringLiteral("%1 was saved and is gone").arg(code)));
    QVERIFY(results[0].inserts + results[1].inserts > 10);
    QVERIFY(results[0].moves + results[1].moves > 10);
    qInfo("%s: %d rows, inserts %d+%d, moves %d+%d, clashes handled %d+%d, moves refused as stale %d+%d",
          qPrintable(QString::fromLatin1(QTest::currentDataTag())), int(p.rows.size()), results[0].inserts, results[1].inserts,
          results[0].moves, results[1].moves, results[0].clashes, results[1].clashes, results[0].refusedMoves,
          results[1].refusedMoves);
}

QTEST_GUILESS_MAIN(TestConcurrency)
#include "tst_concurrency.moc"
