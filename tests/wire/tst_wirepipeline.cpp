// Requests sent back to back on one connection against the real kmp-appserver: each
// answer reaches the request it belongs to, a request the server refuses gets its own
// failure in its place without disturbing its neighbours, the server applies them in the
// order sent (a read after a save in the same run sees the save), and the connection is
// in step for the next call.

#include "democatalogue.h"
#include "packet.h"
#include "schema.h"
#include "serverharness.h"
#include "testdatabase.h"

#include <QCborArray>
#include <QTest>

using namespace kmp;
using namespace kmp::server;
using namespace kmp::test;

namespace {

const double kDate = 46363; // the demo consultation
const QString kFilial = QStringLiteral("0001");
const QString kPaciente = QStringLiteral("000000000001");

QCborArray consultation(const QString &patient = kPaciente)
{
    return {kFilial, patient, kDate};
}

QCborArray insertDiagnosis(const QString &code, double seq)
{
    Delta d;
    d.fields = tables::diagPaci().fieldDefs();
    d.changes = {
        {ChangeKind::Insert, {}, {kFilial, kPaciente, kDate, code, demoCatalogueName(code), seq, QStringLiteral("CID10")}}};
    return {QCborValue(encodeDelta(d))};
}

// One request of a run, and what its answer must be: ok with the same result the request
// alone gets (checked when sameAsAlone), or refused with this code.
struct Step
{
    QString method;
    QCborArray args;
    int refusedWith = 0;
    bool sameAsAlone = true;
    QString module = ModuleName;
};

wire::Request toRequest(const Step &s)
{
    wire::Request r = request(s.method, s.args);
    r.module = s.module;
    return r;
}

int rowsIn(const wire::Response &r)
{
    return int(decodePacket(r.result.toByteArray()).rows.size());
}

// The demo database with two diagnoses in the demo consultation, served on loopback.
bool startServer(const TestDatabase &db, ServerProcess &server)
{
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", db.databaseUrl()});
    if (demo.exitCode != 0) {
        qWarning("demo: %s", demo.err.constData());
        return false;
    }
    if (!server.start(db.databaseUrl()))
        return false;
    wire::Client c;
    configureClient(c, server.port());
    return c.call(request(QStringLiteral("SetDiagPaci"), insertDiagnosis(QStringLiteral("J459"), 1))).ok
           && c.call(request(QStringLiteral("SetDiagPaci"), insertDiagnosis(QStringLiteral("E119"), 2))).ok;
}

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestWirePipeline : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answersInPlace_data();
    void answersInPlace();
    void readAfterSaveSeesIt_data();
    void readAfterSaveSeesIt();
    void sentAheadCollectedLater_data();
    void sentAheadCollectedLater();
};

void TestWirePipeline::answersInPlace_data()
{
    addBackendColumn();
    QTest::addColumn<QList<Step>>("steps");
    const Step catalogue{QStringLiteral("GetDiagnost"), {}};
    const Step rows{QStringLiteral("GetDiagPaci"), consultation()};
    const Step admissions{QStringLiteral("GetDiagAsso"), consultation()};
    // Another patient's (empty) list: an answer given to the wrong request shows.
    const Step otherRows{QStringLiteral("GetDiagPaci"), consultation(QStringLiteral("000000000777"))};
    const Step unknownMethod{QStringLiteral("GetNada"), {}, int(wire::ErrorCode::UnknownMethod)};
    const Step wrongArgs{QStringLiteral("GetDiagPaci"), {kFilial}, int(wire::ErrorCode::BadRequest)};
    const Step wrongModule{
        QStringLiteral("GetDiagnost"), {}, int(wire::ErrorCode::UnknownModule), true, QStringLiteral("KMP99999.rdmOutro")};
    const Step badSave{
        QStringLiteral("SetDiagPaci"), {QCborValue(QByteArray("não é um delta"))}, int(wire::ErrorCode::BadRequest)};
    addBackendRows("the opening", [&](QTestData &row) { row << QList<Step>{catalogue, rows, admissions}; });
    addBackendRows("two patients' lists", [&](QTestData &row) { row << QList<Step>{rows, otherRows, rows}; });
    addBackendRows("unknown method in the middle", [&](QTestData &row) { row << QList<Step>{rows, unknownMethod, admissions}; });
    addBackendRows("wrong arguments first", [&](QTestData &row) { row << QList<Step>{wrongArgs, rows, otherRows}; });
    addBackendRows("unknown module last", [&](QTestData &row) { row << QList<Step>{rows, admissions, wrongModule}; });
    addBackendRows("unreadable save between reads", [&](QTestData &row) { row << QList<Step>{otherRows, badSave, rows}; });
    addBackendRows("every request refused", [&](QTestData &row) { row << QList<Step>{unknownMethod, wrongArgs, badSave}; });
}

void TestWirePipeline::answersInPlace()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(QList<Step>, steps);
    ServerProcess server;
    QVERIFY(startServer(*db, server));

    // Each request alone, on a connection of its own.
    QList<wire::Response> alone;
    for (const Step &s : std::as_const(steps)) {
        wire::Client c;
        configureClient(c, server.port());
        alone << c.call(toRequest(s));
    }

    wire::Client c;
    configureClient(c, server.port());
    QList<wire::Request> requests;
    for (const Step &s : std::as_const(steps))
        requests << toRequest(s);
    const QList<wire::Response> together = c.callPipelined(requests);
    QCOMPARE(together.size(), steps.size());
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const Step &s = steps.at(i);
        const wire::Response &r = together.at(i);
        const QString where = QStringLiteral("request %1 (%2)").arg(i).arg(s.method);
        if (s.refusedWith) {
            QVERIFY2(!r.ok, qPrintable(where));
            QCOMPARE(r.errorCode, s.refusedWith);
            QVERIFY2(!r.errorMessage.isEmpty(), qPrintable(where));
            QCOMPARE(r.errorMessage, alone.at(i).errorMessage);
        } else {
            QVERIFY2(r.ok, qPrintable(where + QLatin1String(": ") + r.errorMessage));
            if (s.sameAsAlone)
                QVERIFY2(r.result == alone.at(i).result, qPrintable(where));
        }
    }
    // The connection is in step: the next call gets its own answer.
    const wire::Response next = c.call(request(QStringLiteral("GetDiagPaci"), consultation()));
    QVERIFY(next.ok);
    QVERIFY(next.result == c.call(request(QStringLiteral("GetDiagPaci"), consultation())).result);
    QCOMPARE(rowsIn(next), 2);
}

void TestWirePipeline::readAfterSaveSeesIt_data()
{
    addBackendColumn();
    addBackendRows("insert between two reads", [](QTestData &) {});
}

// The server runs a connection's requests one after another in the order sent; running
// them side by side would let the second read overtake the save.
void TestWirePipeline::readAfterSaveSeesIt()
{
    KMP_OPEN_BACKEND(db);
    ServerProcess server;
    QVERIFY(startServer(*db, server));
    wire::Client c;
    configureClient(c, server.port());
    const QList<wire::Response> r =
        c.callPipelined({request(QStringLiteral("GetDiagPaci"), consultation()),
                         request(QStringLiteral("SetDiagPaci"), insertDiagnosis(QStringLiteral("I10"), 90)),
                         request(QStringLiteral("GetDiagPaci"), consultation()),
                         request(QStringLiteral("SetDiagPaci"), insertDiagnosis(QStringLiteral("I10"), 91)),
                         request(QStringLiteral("GetDiagPaci"), consultation())});
    QCOMPARE(r.size(), 5);
    QVERIFY2(r.at(0).ok && r.at(1).ok && r.at(2).ok, qPrintable(r.at(1).errorMessage));
    QCOMPARE(rowsIn(r.at(0)), 2);
    QCOMPARE(rowsIn(r.at(2)), 3);
    // The same code twice in a consultation is refused; the read after it is unaffected.
    QVERIFY(!r.at(3).ok);
    QVERIFY(r.at(4).ok);
    QCOMPARE(rowsIn(r.at(4)), rowsIn(r.at(2)));
}

void TestWirePipeline::sentAheadCollectedLater_data()
{
    QTest::addColumn<QString>("between"); // what runs between sending the batch and collecting it
    QTest::newRow("nothing") << QString();
    QTest::newRow("a read") << QStringLiteral("read");
    QTest::newRow("a save") << QStringLiteral("save");
    QTest::newRow("a batch of its own") << QStringLiteral("batch");
    QTest::newRow("a refused request") << QStringLiteral("refused");
    QTest::newRow("a read, the server restarts, a read") << QStringLiteral("restart");
}

// A batch sent now and collected later (the screen builds itself meanwhile) gets its own
// answers whatever else went over the connection in between, and answers the server's
// state as it was when the batch left: the requests run in the order they were sent.
void TestWirePipeline::sentAheadCollectedLater()
{
    QFETCH(QString, between);
    QString why;
    auto db = TestDatabase::create(QStringLiteral("sqlite"), &why);
    QVERIFY2(db, qPrintable(why));
    ServerProcess server;
    QVERIFY(startServer(*db, server));
    wire::Client c;
    configureClient(c, server.port());

    const QList<wire::Request> sent =
        c.send({request(QStringLiteral("GetDiagPaci"), consultation()), request(QStringLiteral("GetDiagnost"), {}),
                request(QStringLiteral("GetDiagAsso"), consultation())});
    QCOMPARE(sent.size(), 3);
    QVERIFY(c.holdsAnswers());
    int rowsAfter = 2;
    if (between == QLatin1String("read")) {
        const wire::Response r = c.call(request(QStringLiteral("GetDiagPaci"), consultation(QStringLiteral("000000000777"))));
        QVERIFY(r.ok);
        QCOMPARE(rowsIn(r), 0);
    } else if (between == QLatin1String("save")) {
        QVERIFY(c.call(request(QStringLiteral("SetDiagPaci"), insertDiagnosis(QStringLiteral("I10"), 90))).ok);
        rowsAfter = 3;
    } else if (between == QLatin1String("batch")) {
        const QList<wire::Response> r =
            c.callPipelined({request(QStringLiteral("GetDiagPaci"), consultation(QStringLiteral("000000000777"))),
                             request(QStringLiteral("GetDiagnost"), {})});
        QCOMPARE(r.size(), 2);
        QCOMPARE(rowsIn(r.at(0)), 0);
    } else if (between == QLatin1String("restart")) {
        // The batch's answers are read (and kept) before the first read goes out; the
        // reconnect after the restart must not lose them.
        QVERIFY(c.call(request(QStringLiteral("GetDiagPaci"), consultation(QStringLiteral("000000000777")))).ok);
        QVERIFY2(server.restart(&why), qPrintable(why));
        QVERIFY(c.call(request(QStringLiteral("GetDiagPaci"), consultation(QStringLiteral("000000000777")))).ok);
    } else if (between == QLatin1String("refused")) {
        const wire::Response r = c.call(request(QStringLiteral("GetNada"), {}));
        QCOMPARE(r.errorCode, int(wire::ErrorCode::UnknownMethod));
    }
    const QList<wire::Response> answers = c.receive(sent);
    QCOMPARE(answers.size(), 3);
    for (const wire::Response &r : answers)
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
    QCOMPARE(rowsIn(answers.at(0)), 2); // the list as it was when the batch left
    QVERIFY(decodePacket(answers.at(1).result.toByteArray()).rows.size() > 10);
    QVERIFY(!c.holdsAnswers());

    // Collected once only: a second collection cannot be given anyone's answers.
    QVERIFY_THROWS_EXCEPTION(wire::ConnectionError, c.receive(sent));
    // And the connection is in step for what follows.
    const wire::Response next = c.call(request(QStringLiteral("GetDiagPaci"), consultation()));
    QVERIFY(next.ok);
    QCOMPARE(rowsIn(next), rowsAfter);
}

QTEST_GUILESS_MAIN(TestWirePipeline)
#include "tst_wirepipeline.moc"
