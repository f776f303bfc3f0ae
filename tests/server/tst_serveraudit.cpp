// The audit trail through the real server: every change a save applies is recorded once,
// with the client key, the address, the method and the whole old and new values; a
// refused save records nothing; no remote method can write the trail; and
// 'kmp-appserver audit' prints the history in order with rich text as a line diff.

#include "democatalogue.h"
#include "packet.h"
#include "schema.h"
#include "serverharness.h"
#include "testdatabase.h"

#include <QCborArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>

using namespace kmp;
using namespace kmp::server;
using namespace kmp::test;

namespace {

const double kDate = 46363; // 2026-12-07, the demo consultation
const QString kFilial = QStringLiteral("0001");
const QString kPaciente = QStringLiteral("000000000001");

RowValues diag(const QString &code, double seq)
{
    return {kFilial, kPaciente, kDate, code, kmp::test::demoCatalogueName(code), seq, QStringLiteral("CID10")};
}

QCborArray deltaArg(const TableDef &table, std::vector<Change> changes, FieldDefs fields = {})
{
    Delta d;
    d.fields = fields.empty() ? table.fieldDefs() : fields;
    d.changes = std::move(changes);
    return {QCborValue(encodeDelta(d))};
}

// A blob of a trail row: in the row's blob column, its size in the values' text.
QByteArray blobOf(const QString &json, const char *field, const QVariant &column)
{
    const QJsonObject value = QJsonDocument::fromJson(json.toUtf8()).object().value(QLatin1String(field)).toObject();
    const QByteArray bytes = column.toByteArray();
    if (value.value(QLatin1String("bytes")).toInteger(-1) != bytes.size())
        return "size in the text does not match the blob column";
    return bytes;
}

} // namespace

class TestServerAudit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyAppliedChangeOnce_data();
    void everyAppliedChangeOnce();
};

void TestServerAudit::everyAppliedChangeOnce_data()
{
    addBackendColumn();
    addBackendRows("diagnoses and a section", [](QTestData &) {});
}

void TestServerAudit::everyAppliedChangeOnce()
{
    KMP_OPEN_BACKEND(db);
    QTemporaryDir dir;
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", db->databaseUrl()});
    QVERIFY2(demo.exitCode == 0, demo.err.constData());
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl(), {QStringLiteral("--keys"), writeKeyFile(dir)}));
    wire::Client c;
    configureClient(c, server.port());
    c.setCredentials(kKeyName, kSecret);

    const QByteArray before("{\\rtf1\\ansi Primeira linha\\par Segunda linha\\par}");
    const QByteArray after("{\\rtf1\\ansi Primeira linha\\par Segunda alterada\\par Terceira\\par}");
    const RowValues sectionOld{kPaciente, kDate, before, kFilial};
    const RowValues sectionNew{kPaciente, kDate, after, kFilial};
    const auto call = [&](const char *method, const QCborArray &args) { return c.call(request(QLatin1String(method), args)); };
    QVERIFY(call("SetDiagPaci", deltaArg(tables::diagPaci(),
                                         {{ChangeKind::Insert, {}, diag("I10", 1)}, {ChangeKind::Insert, {}, diag("J459", 2)}}))
                .ok);
    QVERIFY(call("SetHistDoen", deltaArg(tables::histDoen(), {{ChangeKind::Insert, {}, sectionOld}})).ok);
    QVERIFY(call("SetHistDoen", deltaArg(tables::histDoen(), {{ChangeKind::Modify, sectionOld, sectionNew}})).ok);
    // Refused saves leave no trace: a duplicate after a valid change in the same delta,
    // and a delta that names a column of the trail itself.
    QVERIFY(!call("SetDiagPaci", deltaArg(tables::diagPaci(),
                                          {{ChangeKind::Insert, {}, diag("E119", 3)}, {ChangeKind::Insert, {}, diag("I10", 4)}}))
                 .ok);
    FieldDefs sneaky = tables::diagPaci().fieldDefs();
    sneaky.push_back({QStringLiteral("CLIENT_KEY"), FieldKind::String, 64});
    RowValues sneakyRow = diag("K219", 5);
    sneakyRow.push_back(QStringLiteral("outra-pessoa"));
    const wire::Response refused =
        call("SetDiagPaci", deltaArg(tables::diagPaci(), {{ChangeKind::Insert, {}, sneakyRow}}, sneaky));
    QVERIFY(!refused.ok);
    QCOMPARE(refused.errorCode, int(wire::ErrorCode::Invalid));
    QVERIFY(call("SetDiagPaci", deltaArg(tables::diagPaci(), {{ChangeKind::Delete, diag("J459", 2), {}}})).ok);

    struct Expected
    {
        const char *method;
        const char *table;
        const char *kind;
    };
    const std::vector<Expected> expected{{"SetDiagPaci", "DIAGPACI", "insert"},
                                         {"SetDiagPaci", "DIAGPACI", "insert"},
                                         {"SetHistDoen", "HISTDOEN", "insert"},
                                         {"SetHistDoen", "HISTDOEN", "modify"},
                                         {"SetDiagPaci", "DIAGPACI", "delete"}};
    {
        DbConnection conn(db->config());
        QSqlQuery q = conn.prepare(QStringLiteral("SELECT CLIENT_KEY, CLIENT_ADDRESS, METHOD, TABLE_NAME, CHANGE_KIND, "
                                                  "ROW_KEY, OLD_VALUES, NEW_VALUES, CHANGED_AT, DTCONSPACI, OLD_BLOB, "
                                                  "NEW_BLOB FROM KMP_AUDIT ORDER BY ID"));
        conn.exec(q);
        size_t n = 0;
        while (q.next()) {
            QVERIFY2(n < expected.size(), "more audit rows than applied changes");
            QCOMPARE(q.value(0).toString(), kKeyName);
            QCOMPARE(q.value(1).toString(), QStringLiteral("127.0.0.1"));
            QCOMPARE(q.value(2).toString(), QLatin1String(expected[n].method));
            QCOMPARE(q.value(3).toString(), QLatin1String(expected[n].table));
            QCOMPARE(q.value(4).toString(), QLatin1String(expected[n].kind));
            QVERIFY(QDateTime::fromString(q.value(8).toString(), Qt::ISODateWithMs).isValid());
            QCOMPARE(q.value(9).toDouble(), kDate);
            if (n == 1)
                QVERIFY(q.value(5).toString().contains(QLatin1String("\"CDDIAGNOST\":\"J459\"")));
            if (n == 3) {
                // The values are kept whole, so the history can be replayed.
                QCOMPARE(blobOf(q.value(6).toString(), "DSHISTDOEATU", q.value(10)), before);
                QCOMPARE(blobOf(q.value(7).toString(), "DSHISTDOEATU", q.value(11)), after);
            }
            if (n == 4) {
                QVERIFY(q.value(7).isNull());
                QVERIFY(q.value(6).toString().contains(QStringLiteral("\"NMDIAGNOST\":\"Asma não especificada\"")));
            }
            ++n;
        }
        QCOMPARE(n, expected.size());
    }

    const ToolRun report = runTool(binary("kmp-appserver"), {"audit", "--branch", kFilial, "--patient", kPaciente, "--date",
                                                             "2026-12-07", "--database", db->databaseUrl()});
    QVERIFY2(report.exitCode == 0, report.err.constData());
    const QStringList lines = QString::fromUtf8(report.out).split(QLatin1Char('\n'));
    // In order, each a line of its own.
    const QStringList inOrder{"SetDiagPaci  DIAGPACI  inclusão  CDFILIAL=\"0001\"",
                              "CDDIAGNOST=\"J459\"",
                              "SetHistDoen  HISTDOEN  inclusão",
                              "+ Primeira linha",
                              "SetHistDoen  HISTDOEN  alteração",
                              "    Primeira linha",
                              "- Segunda linha",
                              "+ Segunda alterada",
                              "+ Terceira",
                              "SetDiagPaci  DIAGPACI  exclusão",
                              "5 alteração(ões)"};
    qsizetype at = 0;
    for (const QString &want : inOrder) {
        while (at < lines.size() && !lines[at].contains(want))
            ++at;
        QVERIFY2(at < lines.size(), qPrintable(QStringLiteral("missing or out of order: %1\n%2").arg(want, report.out)));
    }
    QVERIFY(report.out.contains("chave consultorio-3  de 127.0.0.1"));

    const ToolRun otherDay = runTool(binary("kmp-appserver"), {"audit", "--branch", kFilial, "--patient", kPaciente, "--date",
                                                               "2026-12-08", "--database", db->databaseUrl()});
    QCOMPARE(otherDay.exitCode, 0);
    QVERIFY2(otherDay.out.contains("0 alteração(ões)"), otherDay.out.constData());
    // Patient data stays out of the server's log.
    QVERIFY(!server.log().contains("Segunda") && !server.log().contains("Asma"));

    // A mistyped database is refused, and left as it was: not created, never reported empty.
    const QString mistyped =
        db->isPostgres() ? db->databaseUrl() + QStringLiteral("_x") : db->databaseUrl() + QStringLiteral("-digitado-errado");
    const ToolRun wrong =
        runTool(binary("kmp-appserver"), {"audit", "--branch", kFilial, "--patient", kPaciente, "--database", mistyped});
    QCOMPARE(wrong.exitCode, 1);
    QVERIFY2(wrong.err.contains(db->isPostgres() ? "não tem as tabelas" : "não existe"), wrong.err.constData());
    QVERIFY(db->isPostgres() || !QFileInfo::exists(mistyped.mid(7)));
}

QTEST_GUILESS_MAIN(TestServerAudit)
#include "tst_serveraudit.moc"
