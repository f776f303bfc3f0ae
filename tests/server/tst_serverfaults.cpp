// Faults against real processes: a server killed (SIGKILL) in the middle of a stream of
// saves must keep every acknowledged save and no half of any other, and the client must
// get a clear error and its record set back; two servers over one PostgreSQL database
// with eight clients saving the same consultation at once must lose no update, store no
// duplicate and record every applied change in the audit trail exactly once.

#include "democatalogue.h"
#include "packet.h"
#include "recordset.h"
#include "schema.h"
#include "serverharness.h"
#include "testdatabase.h"

#include <QCborArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSqlQuery>
#include <atomic>
#include <csignal>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace kmp;
using namespace kmp::server;
using namespace kmp::test;

namespace {

const double kDate = 46363;
const QString kFilial = QStringLiteral("0001");
const QString kPaciente = QStringLiteral("000000000001");

QCborArray deltaArg(const TableDef &table, std::vector<Change> changes)
{
    Delta d;
    d.fields = table.fieldDefs();
    d.changes = std::move(changes);
    return {QCborValue(encodeDelta(d))};
}

// The codes the i-th save of the stream inserts, three at once.
QStringList codesOf(int save)
{
    return {QStringLiteral("K%1A").arg(save, 4, 10, QLatin1Char('0')), QStringLiteral("K%1B").arg(save, 4, 10, QLatin1Char('0')),
            QStringLiteral("K%1C").arg(save, 4, 10, QLatin1Char('0'))};
}

std::map<QString, int> countByCode(DbConnection &conn)
{
    std::map<QString, int> out;
    QSqlQuery q = conn.prepare(QStringLiteral("SELECT CDDIAGNOST FROM DIAGPACI WHERE CDFILIAL = ? AND CDPACIENTE = ? "
                                              "AND DTCONSPACI = ?"));
    q.addBindValue(kFilial);
    q.addBindValue(kPaciente);
    q.addBindValue(kDate);
    conn.exec(q);
    while (q.next())
        ++out[q.value(0).toString()];
    return out;
}

QStringList codesIn(const RecordSet &rs)
{
    QStringList out;
    const int at = rs.fieldByName(QStringLiteral("CDDIAGNOST"))->index();
    for (int i = 0; i < rs.recordCount(); ++i)
        out << rs.value(i, at).toString();
    out.sort();
    return out;
}

} // namespace

class TestServerFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void killedInTheMiddleOfSaves();
    void twoServersOnePostgres();
};

void TestServerFaults::killedInTheMiddleOfSaves()
{
    QTemporaryDir dir;
    const QString databaseUrl = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("crash.db"));
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", databaseUrl});
    QVERIFY2(demo.exitCode == 0, demo.err.constData());
    // Far more codes than the saves made before the kill.
    QStringList catalogue;
    for (int save = 0; save < 1000; ++save)
        catalogue << codesOf(save);
    addToCatalogue(DatabaseConfig::parse(databaseUrl), catalogue);
    ServerProcess server;
    QVERIFY(server.start(databaseUrl));
    wire::Client client;
    configureClient(client, server.port());

    RecordSet rs;
    const wire::Response loaded = client.call(request(QStringLiteral("GetDiagPaci"), {kFilial, kPaciente, kDate}));
    QVERIFY(loaded.ok);
    rs.loadFromPacket(loaded.result.toByteArray());
    const QStringList initial = codesIn(rs);

    // The kill comes from another thread at a moment the stream does not choose.
    std::atomic<int> acked{0};
    std::atomic<bool> done{false};
    const qint64 pid = server.pid();
    std::thread killer([&]() {
        while (acked.load() < 25 && !done.load())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(std::chrono::microseconds(1500));
        ::kill(pid_t(pid), SIGKILL);
    });
    // A failed check below returns early: the killer must still be joined.
    auto joinKiller = qScopeGuard([&]() {
        done = true;
        if (killer.joinable())
            killer.join();
    });

    QStringList ackedCodes;
    int failedSave = -1;
    QString failure;
    for (int save = 0; save < 5000 && failedSave < 0; ++save) {
        int slot = 0;
        for (const QString &code : codesOf(save)) {
            rs.append();
            rs.fieldByName(QStringLiteral("CDFILIAL"))->setAsString(kFilial);
            rs.fieldByName(QStringLiteral("CDPACIENTE"))->setAsString(kPaciente);
            rs.fieldByName(QStringLiteral("DTCONSPACI"))->setAsDateTime(kDate);
            rs.fieldByName(QStringLiteral("CDDIAGNOST"))->setAsString(code);
            rs.fieldByName(QStringLiteral("NMDIAGNOST"))->setAsString(QStringLiteral("Diagnóstico ") + code);
            // Every row its own place in the order: the database refuses ties.
            rs.fieldByName(QStringLiteral("NRSEQUENCIA"))->setAsFloat(1000 + save * 3 + slot++);
            rs.fieldByName(QStringLiteral("CDTABECDI"))->setAsString(QStringLiteral("CID10"));
            rs.post();
        }
        try {
            const wire::Response r = client.call(request(QStringLiteral("SetDiagPaci"), {QCborValue(rs.delta())}));
            QVERIFY2(r.ok, qPrintable(r.errorMessage));
            rs.mergeChangeLog();
            ackedCodes << codesOf(save);
            ++acked;
        } catch (const wire::ConnectionError &e) {
            failedSave = save;
            failure = e.userMessage();
            rs.cancelUpdates();
        }
    }
    joinKiller.dismiss();
    done = true;
    killer.join();
    QVERIFY2(failedSave >= 25, "the server was not killed during the stream");
    QVERIFY2(failure.contains(QLatin1String("servidor")), qPrintable(failure));
    QVERIFY(!client.isConnected());

    // The record set is back to what the last acknowledged save left.
    QCOMPARE(rs.changeCount(), 0);
    QStringList expectedSet = initial + ackedCodes;
    expectedSet.sort();
    QCOMPARE(codesIn(rs), expectedSet);

    // On disk: every acknowledged save whole; the one in flight whole or absent; nothing
    // after it. Opening the file recovers its write-ahead log as a restarted server would.
    {
        DbConnection conn(DatabaseConfig::parse(databaseUrl));
        const auto counts = countByCode(conn);
        for (const QString &code : ackedCodes)
            QVERIFY2(counts.count(code) == 1, qPrintable(QStringLiteral("acknowledged %1 is missing").arg(code)));
        int inFlight = 0;
        for (const QString &code : codesOf(failedSave))
            inFlight += int(counts.count(code));
        QVERIFY2(inFlight == 0 || inFlight == 3, qPrintable(QStringLiteral("half-applied save: %1 of 3 rows").arg(inFlight)));
        QCOMPARE(counts.size(), size_t(initial.size() + ackedCodes.size() + inFlight));
        // And the trail has each of them once, in the same transactions.
        QSqlQuery q = conn.prepare(QStringLiteral("SELECT COUNT(*), COUNT(DISTINCT ROW_KEY) FROM KMP_AUDIT WHERE "
                                                  "TABLE_NAME = 'DIAGPACI' AND CHANGE_KIND = 'insert'"));
        conn.exec(q);
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), int(ackedCodes.size()) + inFlight);
        QCOMPARE(q.value(1).toInt(), int(ackedCodes.size()) + inFlight);
    }

    // A restarted server answers the same client's next call.
    ServerProcess restarted;
    QVERIFY(restarted.start(databaseUrl));
    client.setEndpoint(QStringLiteral("127.0.0.1"), restarted.port());
    const wire::Response again = client.call(request(QStringLiteral("GetDiagPaci"), {kFilial, kPaciente, kDate}));
    QVERIFY2(again.ok, qPrintable(again.errorMessage));
    QVERIFY(decodePacket(again.result.toByteArray()).rows.size() >= size_t(initial.size() + ackedCodes.size()));
}

void TestServerFaults::twoServersOnePostgres()
{
    QString why;
    auto db = TestDatabase::create(QStringLiteral("postgresql"), &why);
    if (!db)
        QSKIP(qPrintable(why));
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", db->databaseUrl()});
    QVERIFY2(demo.exitCode == 0, demo.err.constData());

    constexpr int kClients = 8;
    constexpr int kRounds = 12;
    QStringList roundCodes;
    for (int round = 0; round < kRounds; ++round)
        roundCodes << QStringLiteral("R%1").arg(round, 2, 10, QLatin1Char('0'));
    addToCatalogue(db->config(), roundCodes);
    QTemporaryDir dir;
    QByteArray keys;
    for (int i = 0; i < kClients; ++i)
        keys += QStringLiteral("estacao-%1:segredo-da-estacao-%1-abcdef\n").arg(i).toUtf8();
    const QString keyFile = writeKeyFile(dir, keys);
    // As deployed across machines: TLS and keys (plain when openssl is missing here).
    TestCertificates certs;
    QString noTls;
    const bool tls = certs.create(&noTls);
    if (!tls)
        qWarning("two servers without TLS: %s", qPrintable(noTls));
    ServerProcess servers[2];
    for (ServerProcess &s : servers)
        QVERIFY(s.start(db->databaseUrl(),
                        (tls ? certs.serverOptions() : QStringList()) + QStringList{QStringLiteral("--keys"), keyFile}));
    const auto secure = [&](wire::Client &c) {
        if (tls)
            c.setTls(true, certs.ca());
    };

    const RowValues sectionStart{kPaciente, kDate, QByteArray("inicio"), kFilial};
    {
        wire::Client c;
        configureClient(c, servers[0].port());
        secure(c);
        c.setCredentials(QStringLiteral("estacao-0"), "segredo-da-estacao-0-abcdef");
        QVERIFY(
            c.call(request(QStringLiteral("SetHistDoen"), deltaArg(tables::histDoen(), {{ChangeKind::Insert, {}, sectionStart}})))
                .ok);
    }

    struct Outcome
    {
        std::vector<QString> insertedCodes; // acknowledged inserts
        std::vector<QString> sectionTags;   // acknowledged section saves
        int duplicates = 0;
        int stale = 0;
        QString error; // anything unexpected
    };
    std::vector<Outcome> outcomes(kClients);
    std::latch start(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i]() {
            Outcome &out = outcomes[size_t(i)];
            wire::Client c;
            configureClient(c, servers[i % 2].port(), 30000);
            secure(c);
            c.setCredentials(QStringLiteral("estacao-%1").arg(i), QStringLiteral("segredo-da-estacao-%1-abcdef").arg(i).toUtf8());
            start.arrive_and_wait();
            try {
                for (int round = 0; round < kRounds && out.error.isEmpty(); ++round) {
                    // Everyone adds the same diagnosis in the same round: one may win.
                    const QString code = QStringLiteral("R%1").arg(round, 2, 10, QLatin1Char('0'));
                    const RowValues row{kFilial,
                                        kPaciente,
                                        kDate,
                                        code,
                                        QStringLiteral("Diagnóstico ") + code,
                                        double(round + 10),
                                        QStringLiteral("CID10")};
                    const wire::Response ins = c.call(
                        request(QStringLiteral("SetDiagPaci"), deltaArg(tables::diagPaci(), {{ChangeKind::Insert, {}, row}})));
                    if (ins.ok)
                        out.insertedCodes.push_back(code);
                    else if (ins.errorCode == int(wire::ErrorCode::Conflict))
                        ++out.duplicates;
                    else
                        out.error = ins.errorMessage;

                    // Everyone appends a line to the same section, from what they loaded:
                    // a stale save is refused and retried from a fresh load.
                    const QString tag = QStringLiteral("c%1r%2").arg(i).arg(round);
                    for (int attempt = 0; attempt < 200; ++attempt) {
                        const wire::Response hist = c.call(request(QStringLiteral("GetHistGer"), {kPaciente, kFilial, kDate}));
                        if (!hist.ok) {
                            out.error = hist.errorMessage;
                            break;
                        }
                        const Packet p = decodePacket(hist.result.toArray().at(0).toByteArray());
                        const RowValues old = p.rows.at(0);
                        RowValues now = old;
                        now[2] = old[2].toByteArray() + ";" + tag.toUtf8();
                        const wire::Response save = c.call(request(
                            QStringLiteral("SetHistDoen"), deltaArg(tables::histDoen(), {{ChangeKind::Modify, old, now}})));
                        if (save.ok) {
                            out.sectionTags.push_back(tag);
                            break;
                        }
                        if (save.errorCode != int(wire::ErrorCode::Conflict)) {
                            out.error = save.errorMessage;
                            break;
                        }
                        ++out.stale;
                    }
                }
            } catch (const std::exception &e) {
                out.error = QString::fromUtf8(e.what());
            }
        });
    }
    for (auto &t : threads)
        t.join();

    std::map<QString, QString> winnerOf; // code -> the client key whose insert was acknowledged
    std::set<QString> tags;
    int duplicates = 0, stale = 0;
    for (int i = 0; i < kClients; ++i) {
        const Outcome &o = outcomes[size_t(i)];
        QVERIFY2(o.error.isEmpty(), qPrintable(QStringLiteral("client %1: %2").arg(i).arg(o.error)));
        for (const QString &code : o.insertedCodes) {
            QVERIFY2(!winnerOf.count(code), qPrintable(QStringLiteral("%1 acknowledged twice").arg(code)));
            winnerOf[code] = QStringLiteral("estacao-%1").arg(i);
        }
        tags.insert(o.sectionTags.begin(), o.sectionTags.end());
        QCOMPARE(int(o.sectionTags.size()), kRounds);
        duplicates += o.duplicates;
        stale += o.stale;
    }
    QCOMPARE(int(winnerOf.size()), kRounds);
    QCOMPARE(duplicates, kRounds * (kClients - 1));
    qInfo("%d stale section saves refused and retried", stale);

    DbConnection conn(db->config());
    const auto counts = countByCode(conn);
    for (const auto &[code, winner] : winnerOf)
        QCOMPARE(counts.at(code), 1);

    // No lost update: the section holds every acknowledged line, once each.
    QSqlQuery q = conn.prepare(QStringLiteral("SELECT DSHISTDOEATU FROM HISTDOEN WHERE CDFILIAL = ? AND CDPACIENTE = ? "
                                              "AND DTCONSPACI = ?"));
    q.addBindValue(kFilial);
    q.addBindValue(kPaciente);
    q.addBindValue(kDate);
    conn.exec(q);
    QVERIFY(q.next());
    const QList<QByteArray> lines = q.value(0).toByteArray().split(';');
    q.finish();
    QCOMPARE(lines.size(), qsizetype(kClients * kRounds + 1));
    QCOMPARE(std::set<QByteArray>(lines.begin() + 1, lines.end()).size(), tags.size());

    // The trail: each acknowledged insert once, by its winner; each section save once,
    // and in the order they were applied (each one's old text is the previous one's new).
    QSqlQuery a = conn.prepare(QStringLiteral("SELECT TABLE_NAME, CHANGE_KIND, CLIENT_KEY, ROW_KEY, OLD_VALUES, NEW_VALUES, "
                                              "OLD_BLOB, NEW_BLOB FROM KMP_AUDIT ORDER BY ID"));
    conn.exec(a);
    std::map<QString, QString> auditedInsert;
    int sectionModifies = 0;
    QByteArray previousNew = "inicio";
    while (a.next()) {
        const QString table = a.value(0).toString();
        const QString kind = a.value(1).toString();
        if (table == QLatin1String("DIAGPACI")) {
            QCOMPARE(kind, QStringLiteral("insert"));
            const QString code =
                QJsonDocument::fromJson(a.value(3).toString().toUtf8()).object().value(QLatin1String("CDDIAGNOST")).toString();
            QVERIFY2(!auditedInsert.count(code), qPrintable(code));
            auditedInsert[code] = a.value(2).toString();
        } else if (table == QLatin1String("HISTDOEN") && kind == QLatin1String("modify")) {
            // The text sits in the blob column, its size in the values.
            const auto blob = [](const QVariant &json, const QVariant &column) {
                const qint64 size = QJsonDocument::fromJson(json.toString().toUtf8())
                                        .object()
                                        .value(QLatin1String("DSHISTDOEATU"))
                                        .toObject()
                                        .value(QLatin1String("bytes"))
                                        .toInteger(-1);
                return size == column.toByteArray().size() ? column.toByteArray() : QByteArray("size mismatch");
            };
            QCOMPARE(blob(a.value(4), a.value(6)), previousNew);
            previousNew = blob(a.value(5), a.value(7));
            ++sectionModifies;
        }
    }
    QCOMPARE(auditedInsert, winnerOf);
    QCOMPARE(sectionModifies, kClients * kRounds);
    QCOMPARE(previousNew, QByteArray(lines.join(';')));
}

QTEST_GUILESS_MAIN(TestServerFaults)
#include "tst_serverfaults.moc"
