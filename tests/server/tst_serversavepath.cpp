// Large sections through the real server on both databases: what a station saves comes
// back byte for byte (every byte value, quotes, marks and escapes included), and the audit
// trail keeps each version whole in its blob columns. A trail written before the blob
// columns existed is moved over by the upgrade and reads exactly as before.

#include "packet.h"
#include "schema.h"
#include "serverharness.h"
#include "testdatabase.h"

#include <QCborArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <algorithm>

using namespace kmp;
using namespace kmp::server;
using namespace kmp::test;

namespace {

const double kDate = 46363; // the demo consultation
const QString kFilial = QStringLiteral("0001");
const QString kPaciente = QStringLiteral("000000000001");

QCborArray sectionDelta(ChangeKind kind, const QByteArray &before, const QByteArray &after)
{
    Delta d;
    d.fields = tables::histDoen().fieldDefs();
    Change c;
    c.kind = kind;
    if (kind != ChangeKind::Insert)
        c.oldValues = {kPaciente, kDate, before, kFilial};
    if (kind != ChangeKind::Delete)
        c.newValues = {kPaciente, kDate, after, kFilial};
    d.changes.push_back(c);
    return {QCborValue(encodeDelta(d))};
}

// The present-illness section of the demo consultation, as the server sends it.
QByteArray storedSection(wire::Client &c)
{
    const wire::Response r = c.call(request(QStringLiteral("GetHistGer"), {kPaciente, kFilial, kDate}));
    if (!r.ok)
        return "GetHistGer failed: " + r.errorMessage.toUtf8();
    const Packet p = decodePacket(r.result.toArray().at(0).toByteArray());
    return p.rows.size() == 1 ? p.rows[0][2].toByteArray() : QByteArray("no single row");
}

QByteArray repeated(const QByteArray &unit, qsizetype size)
{
    QByteArray out;
    out.reserve(size);
    while (out.size() < size)
        out += unit;
    out.truncate(size);
    return out;
}

QByteArray everyByte(qsizetype size)
{
    QByteArray out(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        out[i] = char((i * 7 + i / 256) & 0xff);
    return out;
}

// The text "kmp-appserver audit" prints for the demo patient (its last line counts them).
QByteArray auditText(const QString &database)
{
    const ToolRun r =
        runTool(binary("kmp-appserver"), {"audit", "--database", database, "--branch", kFilial, "--patient", kPaciente});
    return r.exitCode == 0 ? r.out : "audit failed: " + r.err;
}

} // namespace

class TestServerSavePath : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void largeSectionsComeBackWhole_data();
    void largeSectionsComeBackWhole();
    void trailStoredInlineIsMovedOnUpgrade_data();
    void trailStoredInlineIsMovedOnUpgrade();
    void storedDatabaseTrailReadsTheSame();
};

void TestServerSavePath::largeSectionsComeBackWhole_data()
{
    addBackendColumn();
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    const QByteArray rtf = "{\\rtf1\\ansi\\ansicpg1252 " + repeated("Paciente refere dor tor\\'e1cica. \\par ", 12 << 20) + '}';
    QByteArray rtfEdited = rtf;
    rtfEdited.replace(rtf.size() / 2, 12, "ALTERADO AQUI");
    const QByteArray bytes = everyByte(3 << 20);
    const QByteArray marks = repeated("?$1'\"\\x00\\\\ ;--", 64 << 10);
    addBackendRows("rtf 12 MiB, edited in the middle", [&](QTestData &row) { row << rtf << rtfEdited; });
    addBackendRows("every byte value 3 MiB, then reversed", [&](QTestData &row) {
        QByteArray reversed = bytes;
        std::reverse(reversed.begin(), reversed.end());
        row << bytes << reversed;
    });
    addBackendRows("statement marks and escapes", [&](QTestData &row) { row << marks << (marks + "?"); });
    addBackendRows("one byte, then NUL", [&](QTestData &row) { row << QByteArray("x") << QByteArray(1, '\0'); });
}

void TestServerSavePath::largeSectionsComeBackWhole()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", db->databaseUrl()});
    QVERIFY2(demo.exitCode == 0, demo.err.constData());
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl()));
    wire::Client c;
    configureClient(c, server.port(), 120000);

    wire::Response r = c.call(request(QStringLiteral("SetHistDoen"), sectionDelta(ChangeKind::Insert, {}, first)));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    QVERIFY(storedSection(c) == first);
    // The modify finds the row by its whole original value, the section included.
    r = c.call(request(QStringLiteral("SetHistDoen"), sectionDelta(ChangeKind::Modify, first, second)));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    QVERIFY(storedSection(c) == second);
    // A modify from a version that is no longer the stored one is refused, not applied.
    r = c.call(request(QStringLiteral("SetHistDoen"), sectionDelta(ChangeKind::Modify, first, first)));
    QVERIFY(!r.ok);
    QCOMPARE(r.errorCode, int(wire::ErrorCode::Conflict));
    QVERIFY(storedSection(c) == second);

    // The trail holds each version whole, as bytes beside a short text that gives its size.
    DbConnection conn(db->config());
    QSqlQuery q = conn.prepare(QStringLiteral("SELECT CHANGE_KIND, OLD_VALUES, NEW_VALUES, OLD_BLOB, NEW_BLOB FROM "
                                              "KMP_AUDIT WHERE TABLE_NAME = 'HISTDOEN' ORDER BY ID"));
    conn.exec(q);
    const auto sizeIn = [](const QVariant &json) {
        const QString text = json.toString();
        return text.size() < 200 ? QJsonDocument::fromJson(text.toUtf8())
                                       .object()
                                       .value(QLatin1String("DSHISTDOEATU"))
                                       .toObject()
                                       .value(QLatin1String("bytes"))
                                       .toInteger(-1)
                                 : -2;
    };
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("insert"));
    QVERIFY(q.value(1).isNull());
    QCOMPARE(sizeIn(q.value(2)), qint64(first.size()));
    QVERIFY(q.value(4).toByteArray() == first);
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("modify"));
    QCOMPARE(sizeIn(q.value(1)), qint64(first.size()));
    QCOMPARE(sizeIn(q.value(2)), qint64(second.size()));
    QVERIFY(q.value(3).toByteArray() == first);
    QVERIFY(q.value(4).toByteArray() == second);
    QVERIFY(!q.next());
}

void TestServerSavePath::trailStoredInlineIsMovedOnUpgrade_data()
{
    addBackendColumn();
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    addBackendRows("modify of a section", [](QTestData &row) {
        row << QByteArray("{\\rtf1 Primeira\\par Segunda\\par}") << QByteArray("{\\rtf1 Primeira\\par Outra\\par}");
    });
    addBackendRows("every byte value", [](QTestData &row) { row << everyByte(4096) << everyByte(513); });
}

// A trail row as servers before the blob columns wrote it: the section as base64 inside
// the values' text. The database is put back to that version and upgraded again.
void TestServerSavePath::trailStoredInlineIsMovedOnUpgrade()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", db->databaseUrl()});
    QVERIFY2(demo.exitCode == 0, demo.err.constData());
    {
        DbConnection conn(db->config());
        const auto values = [](const QByteArray &blob) {
            QJsonObject o{
                {QStringLiteral("CDFILIAL"), kFilial},
                {QStringLiteral("CDPACIENTE"), kPaciente},
                {QStringLiteral("DTCONSPACI"), kDate},
                {QStringLiteral("DSHISTDOEATU"), QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(blob.toBase64())}}}};
            return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
        };
        QSqlQuery q = conn.prepare(QStringLiteral(
            "INSERT INTO KMP_AUDIT (CHANGED_AT, CLIENT_KEY, CLIENT_ADDRESS, METHOD, TABLE_NAME, CDFILIAL, CDPACIENTE, "
            "DTCONSPACI, ROW_KEY, CHANGE_KIND, OLD_VALUES, NEW_VALUES) VALUES ('2026-12-07T10:00:00.000Z', 'local', "
            "'10.0.0.7', 'SetHistDoen', 'HISTDOEN', ?, ?, ?, ?, 'modify', ?, ?)"));
        for (const QVariant &v : QVariantList{kFilial, kPaciente, kDate,
                                              QStringLiteral("{\"CDFILIAL\":\"0001\",\"CDPACIENTE\":\"000000000001\","
                                                             "\"DTCONSPACI\":46363}"),
                                              values(before), values(after)})
            q.addBindValue(v);
        conn.exec(q);
        q.finish();
        conn.execDirect(QStringLiteral("DELETE FROM KMP_SCHEMA_VERSION WHERE VERSION >= 5"));
        QCOMPARE(schemaVersion(conn), 4);
    }
    const QByteArray shownBefore = auditText(db->databaseUrl());
    QVERIFY2(shownBefore.contains("DSHISTDOEATU (texto):"), shownBefore.constData());

    DbConnection conn(db->config());
    ensureSchema(conn);
    QCOMPARE(schemaVersion(conn), CurrentSchemaVersion);
    QSqlQuery q = conn.prepare(QStringLiteral("SELECT OLD_VALUES, NEW_VALUES, OLD_BLOB, NEW_BLOB FROM KMP_AUDIT "
                                              "WHERE TABLE_NAME = 'HISTDOEN'"));
    conn.exec(q);
    QVERIFY(q.next());
    QVERIFY(!q.value(0).toString().contains(QLatin1String("base64")));
    QVERIFY(!q.value(1).toString().contains(QLatin1String("base64")));
    QVERIFY(q.value(2).toByteArray() == before);
    QVERIFY(q.value(3).toByteArray() == after);
    QVERIFY(!q.next());
    q.finish();
    QCOMPARE(auditText(db->databaseUrl()), shownBefore);
}

// A database written by an earlier server (the four sections and a report among its
// trail): the report reads the same before and after the upgrade moves the blobs.
void TestServerSavePath::storedDatabaseTrailReadsTheSame()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("schema-v4.db"));
    const QString stored = QStringLiteral(KMP_SOURCE_DIR "/tests/data/schema-v4.db");
    if (!QFile::exists(stored))
        QSKIP("tests/data/schema-v4.db is not in this tree");
    QVERIFY(QFile::copy(stored, path));
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QString database = QStringLiteral("sqlite:") + path;
    const QByteArray before = auditText(database);
    QVERIFY2(before.contains("PA 150x95 mmHg"), before.constData());

    DatabaseConfig config;
    config.path = path;
    {
        DbConnection conn(config);
        QCOMPARE(schemaVersion(conn), 4);
        ensureSchema(conn);
        QSqlQuery q = conn.prepare(QStringLiteral("SELECT COUNT(*) FROM KMP_AUDIT WHERE NEW_BLOB IS NOT NULL AND "
                                                  "NEW_VALUES NOT LIKE '%base64%'"));
        conn.exec(q);
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 5); // four history sections and one report
    }
    QCOMPARE(auditText(database), before);
}

QTEST_GUILESS_MAIN(TestServerSavePath)
#include "tst_serversavepath.moc"
