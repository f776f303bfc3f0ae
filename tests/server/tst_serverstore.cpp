// Storage and dispatch in one process: every remote method's packet shape, the delta
// rules (stale rows, sizes, keys, unknown fields, atomic saves), the catalogue import and
// the schema version, each against SQLite and, when available, PostgreSQL.

#include "cid10import.h"
#include "dbconnection.h"
#include "deltavalidation.h"
#include "democatalogue.h"
#include "demodata.h"
#include "dispatcher.h"
#include "packet.h"
#include "schema.h"
#include "serviceerror.h"
#include "shareddata.h"
#include "store.h"
#include "testdatabase.h"

#include <QCborArray>
#include <QCborMap>
#include <QTest>

using namespace kmp;
using namespace kmp::server;
using kmp::test::addBackendColumn;
using kmp::test::addBackendRows;

namespace {

const double kDate = 46363; // 7 December 2026
const QString kFilial = QStringLiteral("0001");
const QString kPaciente = QStringLiteral("000000000001");

struct Harness
{
    explicit Harness(const DatabaseConfig &config) : conn(config), store(conn), dispatcher([this]() -> Store & { return store; })
    {
        ensureSchema(conn);
    }

    // The demo catalogue and report types: a save names only codes and types they hold.
    void loadCatalogue() { loadDemo(conn); }

    wire::Response call(const QString &method, const QCborArray &args)
    {
        wire::Request r;
        r.id = 7;
        r.module = ModuleName;
        r.guid = ModuleGuid;
        r.method = method;
        r.args = args;
        return dispatcher.handle(r);
    }

    int count(const QString &table)
    {
        QSqlQuery q = conn.prepare(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table));
        conn.exec(q);
        return q.next() ? q.value(0).toInt() : -1;
    }

    DbConnection conn;
    Store store;
    Dispatcher dispatcher;
};

Packet packetOf(const wire::Response &r)
{
    if (!r.ok)
        throw kmp::Error(QStringLiteral("call failed: ") + r.errorMessage);
    return decodePacket(r.result.toByteArray());
}

RowValues diag(const QString &code, double seq, const QString &filial = kFilial)
{
    return {filial, kPaciente, kDate, code, kmp::test::demoCatalogueName(code), seq, QStringLiteral("CID10")};
}

Change ins(RowValues v)
{
    return {ChangeKind::Insert, {}, std::move(v)};
}
Change mod(RowValues o, RowValues n)
{
    return {ChangeKind::Modify, std::move(o), std::move(n)};
}
Change del(RowValues o)
{
    return {ChangeKind::Delete, std::move(o), {}};
}

QCborArray deltaArg(const TableDef &table, std::vector<Change> changes)
{
    Delta d;
    d.fields = table.fieldDefs();
    d.changes = std::move(changes);
    return {QCborValue(encodeDelta(d))};
}

QCborArray consultaArgs()
{
    return {kFilial, kPaciente, kDate};
}

QStringList names(const Packet &p)
{
    QStringList out;
    for (const FieldDef &f : p.fields)
        out << QStringLiteral("%1:%2:%3").arg(f.name, fieldKindName(f.kind)).arg(f.size);
    return out;
}

QStringList codes(const Packet &p, int column)
{
    QStringList out;
    for (const RowValues &r : p.rows)
        out << r[size_t(column)].toString();
    return out;
}

} // namespace

class TestServerStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void packetsHaveTheScreenFields_data();
    void packetsHaveTheScreenFields();
    void loadsSelectTheConsultation_data();
    void loadsSelectTheConsultation();
    void deltaInsertModifyDelete_data();
    void deltaInsertModifyDelete();
    void sectionsAndReportsRoundTrip_data();
    void sectionsAndReportsRoundTrip();
    void staleRowIsRefused_data();
    void staleRowIsRefused();
    void badDeltaIsRefused_data();
    void badDeltaIsRefused();
    void failedSaveLeavesNothing_data();
    void failedSaveLeavesNothing();
    void importIsIdempotentAndNeverCuts_data();
    void importIsIdempotentAndNeverCuts();
    void newerSchemaIsRefused_data();
    void newerSchemaIsRefused();
    void tiedNumbersAreRenumberedOnUpgrade_data();
    void tiedNumbersAreRenumberedOnUpgrade();
};

void TestServerStore::packetsHaveTheScreenFields_data()
{
    addBackendColumn();
    QTest::addColumn<QString>("method");
    QTest::addColumn<QCborArray>("args");
    QTest::addColumn<int>("element");
    QTest::addColumn<QStringList>("fields");
    const QStringList diagPaci{"CDFILIAL:string:4",     "CDPACIENTE:string:12", "DTCONSPACI:datetime:0", "CDDIAGNOST:string:10",
                               "NMDIAGNOST:string:300", "NRSEQUENCIA:float:0",  "CDTABECDI:string:7"};
    const auto section = [](const char *text) {
        return QStringList{"CDPACIENTE:string:12", "DTCONSPACI:datetime:0", QLatin1String(text) + QStringLiteral(":blob:0"),
                           "CDFILIAL:string:4"};
    };
    const QCborArray hist{kPaciente, kFilial, kDate};
    struct Row
    {
        const char *name;
        QString method;
        QCborArray args;
        int element;
        QStringList fields;
    };
    const std::vector<Row> rows{
        {"GetDiagnost",
         "GetDiagnost",
         {},
         -1,
         {"CDDIAGNOST:string:10", "NMDIAGNOST:string:300", "CDTABECDI:string:7", "DSABREDIAG:string:250"}},
        {"GetDiagPaci", "GetDiagPaci", consultaArgs(), -1, diagPaci},
        {"GetDiagAsso", "GetDiagAsso", consultaArgs(), -1, {"CDDIAGNOST:string:10", "NMDIAGNOST:string:300"}},
        {"GetVD_Diag", "GetVD_Diag", {kFilial, kPaciente, "I10", kDate}, -1, {"CDPACIENTE:string:12"}},
        {"GetTipoLaudo", "GetTipoLaudo", {"", "T"}, -1, {"CDTIPOLAUDO:string:3", "NMTIPOLAUDO:string:30", "DSPADRLAUDO:blob:0"}},
        {"GetMemLaudo",
         "GetMemLaudo",
         {kFilial, kPaciente, "001", kDate},
         -1,
         {"CDPACIENTE:string:12", "DTCONSPACI:datetime:0", "DSLAUDPACI:blob:0", "CDTIPOLAUDO:string:3", "CDFILIAL:string:4"}},
        {"GetHistGer[0]", "GetHistGer", hist, 0, section("DSHISTDOEATU")},
        {"GetHistGer[1]", "GetHistGer", hist, 1, section("DSHISTCLIPRE")},
        {"GetHistGer[2]", "GetHistGer", hist, 2, section("DSHISTFAMIL")},
        {"GetHistGer[3]", "GetHistGer", hist, 3, section("DSHISTEXAFIS")},
    };
    for (const Row &r : rows)
        addBackendRows(r.name, [&](QTestData &d) { d << r.method << r.args << r.element << r.fields; });
}

void TestServerStore::packetsHaveTheScreenFields()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(QString, method);
    QFETCH(QCborArray, args);
    QFETCH(int, element);
    QFETCH(QStringList, fields);
    Harness h(db->config());
    const wire::Response r = h.call(method, args);
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    if (element >= 0) {
        QVERIFY(r.result.isArray());
        QCOMPARE(r.result.toArray().size(), 4);
        QCOMPARE(names(decodePacket(r.result.toArray().at(element).toByteArray())), fields);
    } else {
        QVERIFY(r.result.isByteArray());
        QCOMPARE(names(decodePacket(r.result.toByteArray())), fields);
    }
}

void TestServerStore::loadsSelectTheConsultation_data()
{
    addBackendColumn();
    addBackendRows("demo", [](QTestData &) {});
}

void TestServerStore::loadsSelectTheConsultation()
{
    KMP_OPEN_BACKEND(db);
    Harness h(db->config());
    loadDemo(h.conn);

    QCOMPARE(codes(packetOf(h.call("GetDiagAsso", consultaArgs())), 0), (QStringList{"E119", "I10", "J189"}));
    QVERIFY(packetOf(h.call("GetDiagAsso", {kFilial, kPaciente, kDate + 1})).rows.empty());
    const Packet catalogue = packetOf(h.call("GetDiagnost", {}));
    QVERIFY(catalogue.rows.size() >= 40);
    const auto i10 = std::find_if(catalogue.rows.begin(), catalogue.rows.end(),
                                  [](const RowValues &r) { return r[0].toString() == QLatin1String("I10"); });
    QVERIFY(i10 != catalogue.rows.end());
    QCOMPARE((*i10)[1].toString(), QStringLiteral("Hipertensão essencial (primária)"));
    QCOMPARE((*i10)[2].toString(), QStringLiteral("CID10"));

    // Report types: one by code, none for an unknown code, all with "T".
    const Packet one = packetOf(h.call("GetTipoLaudo", {"001", ""}));
    QCOMPARE(one.rows.size(), size_t(1));
    QVERIFY(one.rows[0][2].toByteArray().startsWith("{\\rtf1\\ansi\\ansicpg1252"));
    QVERIFY(packetOf(h.call("GetTipoLaudo", {"999", ""})).rows.empty());
    const Packet all = packetOf(h.call("GetTipoLaudo", {"", "T"}));
    QCOMPARE(codes(all, 0), (QStringList{"001", "002", "003"}));
    QVERIFY(all.rows[2][2].isNull()); // the type without a template

    // The duplicate check answers for exactly this branch, patient, date and code.
    QVERIFY(packetOf(h.call("GetVD_Diag", {kFilial, kPaciente, "I10", kDate})).rows.empty());
    const wire::Response saved = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(diag("I10", 1))}));
    QVERIFY2(saved.ok, qPrintable(saved.errorMessage));
    QVERIFY(saved.result.isNull());
    const Packet found = packetOf(h.call("GetVD_Diag", {kFilial, kPaciente, "I10", kDate}));
    QCOMPARE(found.rows.size(), size_t(1));
    QCOMPARE(found.rows[0][0].toString(), kPaciente);
    QVERIFY(packetOf(h.call("GetVD_Diag", {kFilial, kPaciente, "I10", kDate + 1})).rows.empty());
    QVERIFY(packetOf(h.call("GetVD_Diag", {QStringLiteral("0002"), kPaciente, "I10", kDate})).rows.empty());
    QVERIFY(packetOf(h.call("GetVD_Diag", {kFilial, kPaciente, "E119", kDate})).rows.empty());
}

void TestServerStore::deltaInsertModifyDelete_data()
{
    addBackendColumn();
    addBackendRows("diagnoses", [](QTestData &) {});
}

void TestServerStore::deltaInsertModifyDelete()
{
    KMP_OPEN_BACKEND(db);
    Harness h(db->config());
    h.loadCatalogue();
    // Inserted out of order: the list must still come back by ascending sequence.
    wire::Response r =
        h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(diag("J189", 3)), ins(diag("I10", 1)), ins(diag("E119", 2))}));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    QCOMPARE(codes(packetOf(h.call("GetDiagPaci", consultaArgs())), 3), (QStringList{"I10", "E119", "J189"}));

    // A number already taken in the consultation is refused, with its own message, and
    // nothing of the save stays.
    r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {mod(diag("E119", 2), diag("E119", 1))}));
    QVERIFY(!r.ok);
    QCOMPARE(r.errorCode, int(wire::ErrorCode::Conflict));
    QVERIFY2(r.errorMessage.contains(QStringLiteral("número de ordem")), qPrintable(r.errorMessage));
    QCOMPARE(codes(packetOf(h.call("GetDiagPaci", consultaArgs())), 3), (QStringList{"I10", "E119", "J189"}));

    // Swap two places the way the screen moves a row: both modifications in one save.
    r = h.call("SetDiagPaci",
               deltaArg(tables::diagPaci(), {mod(diag("I10", 1), diag("I10", 2)), mod(diag("E119", 2), diag("E119", 1))}));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    QCOMPARE(codes(packetOf(h.call("GetDiagPaci", consultaArgs())), 3), (QStringList{"E119", "I10", "J189"}));
    const Packet swapped = packetOf(h.call("GetDiagPaci", consultaArgs()));
    QCOMPARE(swapped.rows[0], diag("E119", 1));
    QCOMPARE(swapped.rows[1], diag("I10", 2));

    // The code is part of the key: a modify may not change it (the screen keys new rows
    // only), and the row stays as it was.
    r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {mod(diag("J189", 3), diag("J159", 3))}));
    QVERIFY(!r.ok);
    QCOMPARE(r.errorCode, int(wire::ErrorCode::Invalid));
    r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {del(diag("I10", 2))}));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    const Packet p = packetOf(h.call("GetDiagPaci", consultaArgs()));
    QCOMPARE(codes(p, 3), (QStringList{"E119", "J189"}));
    QCOMPARE(p.rows[1], diag("J189", 3));

    // A duplicate code for the same consultation is refused by the key, with the screen's text.
    r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(diag("E119", 9))}));
    QVERIFY(!r.ok);
    QCOMPARE(r.errorCode, int(wire::ErrorCode::Conflict));
    QCOMPARE(r.errorMessage, QStringLiteral("Diagnóstico já cadastrado."));
    // ...but the same code in another branch is another consultation.
    r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(diag("E119", 1, QStringLiteral("0002")))}));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));

    // A consultation date with a time of day is found again exactly, and a stale check on
    // it still matches: the double must survive the database unrounded.
    const double withTime = kDate + 0.437512345678;
    RowValues timed = diag("R51", 1);
    timed[2] = withTime;
    r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(timed)}));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    const Packet t = packetOf(h.call("GetDiagPaci", {kFilial, kPaciente, withTime}));
    QCOMPARE(t.rows.size(), size_t(1));
    QCOMPARE(t.rows[0][2].toDouble(), withTime);
    RowValues moved = timed;
    moved[5] = 2.0;
    r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {mod(t.rows[0], moved)}));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));

    // A row without a sequence number counts as 0: first, never last, in both databases,
    // or the screen would take 0 as the highest number in use.
    const QString other = QStringLiteral("0003");
    RowValues unnumbered = diag("A09", 0, other);
    unnumbered[5] = QVariant();
    r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(diag("B349", 1, other)), ins(unnumbered)}));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    QCOMPARE(codes(packetOf(h.call("GetDiagPaci", {other, kPaciente, kDate})), 3), (QStringList{"A09", "B349"}));
}

void TestServerStore::sectionsAndReportsRoundTrip_data()
{
    addBackendColumn();
    addBackendRows("sections", [](QTestData &) {});
}

void TestServerStore::sectionsAndReportsRoundTrip()
{
    KMP_OPEN_BACKEND(db);
    Harness h(db->config());
    h.loadCatalogue();
    const QByteArray rtf(
        "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}}\\b Hist\\'f3ria\\b0\\par\n}");
    const QByteArray binary("\x00\xff\x80 bytes\r\n", 11);
    const std::vector<std::pair<QString, const TableDef *>> sections{{"SetHistDoen", &tables::histDoen()},
                                                                     {"SetHistClinProg", &tables::histClinProg()},
                                                                     {"SetHistFam", &tables::histFam()},
                                                                     {"SetExamFisi", &tables::examFisi()}};
    for (size_t i = 0; i < sections.size(); ++i) {
        const QByteArray text = i == 3 ? binary : rtf + QByteArray::number(int(i));
        const wire::Response r =
            h.call(sections[i].first, deltaArg(*sections[i].second, {ins({kPaciente, kDate, text, kFilial})}));
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
    }
    const wire::Response hist = h.call("GetHistGer", {kPaciente, kFilial, kDate});
    QVERIFY2(hist.ok, qPrintable(hist.errorMessage));
    for (int i = 0; i < 4; ++i) {
        const Packet p = decodePacket(hist.result.toArray().at(i).toByteArray());
        QCOMPARE(p.rows.size(), size_t(1));
        QCOMPARE(p.rows[0][2].toByteArray(), i == 3 ? binary : rtf + QByteArray::number(i));
    }
    // Branch and patient in the wrong order find nothing: the order is part of the call.
    const wire::Response swapped = h.call("GetHistGer", {kFilial, kPaciente, kDate});
    QVERIFY(decodePacket(swapped.result.toArray().at(0).toByteArray()).rows.empty());

    // One section row per consultation.
    const wire::Response again = h.call("SetHistDoen", deltaArg(tables::histDoen(), {ins({kPaciente, kDate, rtf, kFilial})}));
    QCOMPARE(again.errorCode, int(wire::ErrorCode::Conflict));

    // Reports: one per type for the same consultation; GetMemLaudo picks by type.
    for (const char *type : {"001", "002"}) {
        const wire::Response r =
            h.call("SetMemLaudo",
                   deltaArg(tables::memLaudo(), {ins({kPaciente, kDate, rtf + type, QString::fromLatin1(type), kFilial})}));
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
    }
    const Packet report = packetOf(h.call("GetMemLaudo", {kFilial, kPaciente, "002", kDate}));
    QCOMPARE(report.rows.size(), size_t(1));
    QCOMPARE(report.rows[0][2].toByteArray(), rtf + "002");
    QVERIFY(packetOf(h.call("GetMemLaudo", {kFilial, kPaciente, "003", kDate})).rows.empty());

    // Edit and delete a report.
    const RowValues old{kPaciente, kDate, rtf + "002", QStringLiteral("002"), kFilial};
    RowValues edited = old;
    edited[2] = QByteArray("{\\rtf1 novo}");
    wire::Response r = h.call("SetMemLaudo", deltaArg(tables::memLaudo(), {mod(old, edited)}));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    QCOMPARE(packetOf(h.call("GetMemLaudo", {kFilial, kPaciente, "002", kDate})).rows[0], edited);
    r = h.call("SetMemLaudo", deltaArg(tables::memLaudo(), {del(edited)}));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    QVERIFY(packetOf(h.call("GetMemLaudo", {kFilial, kPaciente, "002", kDate})).rows.empty());
}

void TestServerStore::staleRowIsRefused_data()
{
    addBackendColumn();
    QTest::addColumn<bool>("removeFirst"); // the other clinician deleted instead of edited
    QTest::addColumn<bool>("deleting");    // this client deletes instead of editing
    QTest::addColumn<QString>("message");
    const QString changed = staleRowMessage();
    const QString removed = removedRowMessage();
    addBackendRows("modify a row changed since loaded", [&](QTestData &d) { d << false << false << changed; });
    addBackendRows("modify a row removed since loaded", [&](QTestData &d) { d << true << false << removed; });
    addBackendRows("delete a row changed since loaded", [&](QTestData &d) { d << false << true << changed; });
    addBackendRows("delete a row removed since loaded", [&](QTestData &d) { d << true << true << removed; });
}

void TestServerStore::staleRowIsRefused()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(bool, removeFirst);
    QFETCH(bool, deleting);
    QFETCH(QString, message);
    Harness h(db->config());
    const RowValues loaded{kPaciente, kDate, QByteArray("{\\rtf1 primeira}"), kFilial};
    QVERIFY(h.call("SetHistFam", deltaArg(tables::histFam(), {ins(loaded)})).ok);

    // Another clinician saves first.
    RowValues theirs = loaded;
    theirs[2] = QByteArray("{\\rtf1 do colega}");
    const wire::Response other =
        h.call("SetHistFam", deltaArg(tables::histFam(), {removeFirst ? del(loaded) : mod(loaded, theirs)}));
    QVERIFY2(other.ok, qPrintable(other.errorMessage));

    RowValues mine = loaded;
    mine[2] = QByteArray("{\\rtf1 minha}");
    const wire::Response r = h.call("SetHistFam", deltaArg(tables::histFam(), {deleting ? del(loaded) : mod(loaded, mine)}));
    QVERIFY(!r.ok);
    QCOMPARE(r.errorCode, int(wire::ErrorCode::Conflict));
    QCOMPARE(r.errorMessage, message);

    // The colleague's save stands.
    const Packet now = decodePacket(h.call("GetHistGer", {kPaciente, kFilial, kDate}).result.toArray().at(2).toByteArray());
    if (removeFirst)
        QVERIFY(now.rows.empty());
    else
        QCOMPARE(now.rows.at(0), theirs);
}

void TestServerStore::badDeltaIsRefused_data()
{
    addBackendColumn();
    QTest::addColumn<QByteArray>("delta");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("messagePart");
    const auto encode = [](FieldDefs fields, std::vector<Change> changes) {
        Delta d;
        d.fields = std::move(fields);
        d.changes = std::move(changes);
        return encodeDelta(d);
    };
    const FieldDefs defs = tables::diagPaci().fieldDefs();
    // The client may declare any size; the server's own column decides.
    FieldDefs wide = defs;
    wide[3].size = 100;
    RowValues longCode = diag("I10", 1);
    longCode[3] = QStringLiteral("12345678901");
    RowValues noBranch = diag("I10", 1);
    noBranch[0] = QStringLiteral("   ");
    RowValues noDate = diag("I10", 1);
    noDate[2] = QVariant();
    FieldDefs unknown = defs;
    unknown.push_back({QStringLiteral("CDDIAGNOST\"; DROP TABLE DIAGPACI; --"), FieldKind::String, 10});
    RowValues unknownRow = diag("I10", 1);
    unknownRow.push_back(QStringLiteral("x"));
    FieldDefs noKey(defs.begin() + 1, defs.end());
    RowValues noKeyRow(unknownRow.begin() + 1, unknownRow.end() - 1);
    FieldDefs tooMany = defs;
    RowValues tooManyRow = diag("I10", 1);
    while (tooMany.size() <= size_t(MaxDeltaFields)) {
        tooMany.push_back({QStringLiteral("X%1").arg(tooMany.size()), FieldKind::String, 1});
        tooManyRow.push_back(QString());
    }
    FieldDefs wrongKind = defs;
    wrongKind[5].kind = FieldKind::String;
    RowValues wrongKindRow = diag("I10", 1);
    wrongKindRow[5] = QStringLiteral("1");

    QCborArray fieldList;
    for (const FieldDef &f : defs)
        fieldList.append(QCborArray{f.name, int(f.kind), f.size});
    QCborMap notAListMap;
    notAListMap.insert(QStringLiteral("fields"), fieldList);
    notAListMap.insert(QStringLiteral("changes"), 5);
    const QByteArray notAList = QCborValue(notAListMap).toCbor();

    const int invalid = int(wire::ErrorCode::Invalid);
    struct Row
    {
        const char *name;
        QByteArray delta;
        int code;
        QString part;
    };
    const std::vector<Row> rows{
        {"code longer than its column", encode(wide, {ins(longCode)}), invalid, "CDDIAGNOST tem 11 caracteres"},
        {"insert without branch", encode(defs, {ins(noBranch)}), invalid, "CDFILIAL"},
        {"insert without date", encode(defs, {ins(noDate)}), invalid, "DTCONSPACI"},
        {"unknown field", encode(unknown, {ins(unknownRow)}), invalid, "não existe em DIAGPACI"},
        {"key field missing", encode(noKey, {ins(noKeyRow)}), invalid, "CDFILIAL (chave de DIAGPACI) falta"},
        {"field of the wrong kind", encode(wrongKind, {ins(wrongKindRow)}), invalid, "NRSEQUENCIA deveria ser do tipo float"},
        {"more fields than any table has", encode(tooMany, {ins(tooManyRow)}), int(wire::ErrorCode::TooLarge),
         "campos; nenhuma tabela tem tantos"},
        {"bytes that are no delta", QByteArray("\xa1\x01\x02garbage", 10), int(wire::ErrorCode::BadRequest),
         "Alterações ilegíveis"},
        // The reason names the part in plain Portuguese, not read back as Latin-1.
        {"changes that are no list", notAList, int(wire::ErrorCode::BadRequest), "esperava uma lista em alterações"},
    };
    for (const Row &r : rows)
        addBackendRows(r.name, [&](QTestData &d) { d << r.delta << r.code << r.part; });
}

void TestServerStore::badDeltaIsRefused()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(QByteArray, delta);
    QFETCH(int, code);
    QFETCH(QString, messagePart);
    Harness h(db->config());
    h.loadCatalogue();
    const wire::Response r = h.call("SetDiagPaci", {QCborValue(delta)});
    QVERIFY(!r.ok);
    QCOMPARE(r.errorCode, code);
    QVERIFY2(r.errorMessage.contains(messagePart), qPrintable(r.errorMessage));
    QCOMPARE(h.count("DIAGPACI"), 0);
}

void TestServerStore::failedSaveLeavesNothing_data()
{
    addBackendColumn();
    QTest::addColumn<int>("failure");
    addBackendRows("second change is a duplicate", [](QTestData &d) { d << 0; });
    addBackendRows("second change modifies a stale row", [](QTestData &d) { d << 1; });
    addBackendRows("second change deletes a missing row", [](QTestData &d) { d << 2; });
}

void TestServerStore::failedSaveLeavesNothing()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(int, failure);
    Harness h(db->config());
    h.loadCatalogue();
    QVERIFY(h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(diag("I10", 1))})).ok);
    const Packet before = packetOf(h.call("GetDiagPaci", consultaArgs()));

    const std::vector<Change> second{ins(diag("I10", 5)), mod(diag("I10", 7), diag("I10", 8)), del(diag("K297", 4))};
    const wire::Response r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(diag("E119", 2)), second[size_t(failure)]}));
    QVERIFY(!r.ok);
    QCOMPARE(r.errorCode, int(wire::ErrorCode::Conflict));
    // The first change, valid on its own, must not have stayed.
    QCOMPARE(packetOf(h.call("GetDiagPaci", consultaArgs())).rows, before.rows);
    // And the connection is fine for the next save.
    QVERIFY(h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(diag("E119", 2))})).ok);
}

void TestServerStore::importIsIdempotentAndNeverCuts_data()
{
    addBackendColumn();
    addBackendRows("official files", [](QTestData &) {});
}

void TestServerStore::importIsIdempotentAndNeverCuts()
{
    KMP_SHARED_DATA_OR_SKIP(cid10, "cid10");
    KMP_OPEN_BACKEND(db);
    Harness h(db->config());
    const auto entries = readCid10Folder(cid10);
    // 2,045 categories and 12,451 subcategories, 263 codes in both.
    QCOMPARE(entries.size(), size_t(14233));
    int lastProgress = 0;
    const Cid10ImportResult first = importCid10(h.conn, entries, [&](int done, int) { lastProgress = done; });
    QCOMPARE(lastProgress, 14233);
    // Y112's description has 264 characters: stored whole, never cut.
    QVERIFY(first.refused.isEmpty());
    QCOMPARE(first.imported, 14233);
    QCOMPARE(h.count("DIAGNOST"), 14233);

    const Cid10ImportResult second = importCid10(h.conn, entries);
    QCOMPARE(second.imported, 14233);
    QCOMPARE(h.count("DIAGNOST"), 14233);

    const Packet p = packetOf(h.call("GetDiagnost", {}));
    QCOMPARE(p.rows.size(), size_t(14233));
    std::map<QString, RowValues> byCode;
    for (const RowValues &r : p.rows)
        byCode[r[0].toString()] = r;
    QCOMPARE(byCode["A000"][1].toString(), QStringLiteral("Cólera devida a Vibrio cholerae 01, biótipo cholerae"));
    QCOMPARE(byCode["A000"][3].toString(), QStringLiteral("A00.0 Colera dev Vibrio cholerae 01 biot cholerae"));
    QCOMPARE(byCode["I10"][1].toString(), QStringLiteral("Hipertensão essencial (primária)"));
    QCOMPARE(byCode["J45"][2].toString(), QStringLiteral("CID10"));
    QCOMPARE(byCode["Y112"][1].toString().size(), 264);
    // Quotes are ordinary characters in these files.
    const bool quoteKept = std::any_of(p.rows.begin(), p.rows.end(),
                                       [](const RowValues &r) { return r[1].toString().contains(QLatin1String("\"stress\"")); });
    QVERIFY(quoteKept);

    // The demo leaves an existing catalogue alone.
    QCOMPARE(loadDemo(h.conn).catalogueLoaded, 0);
    QCOMPARE(h.count("DIAGNOST"), 14233);
}

void TestServerStore::newerSchemaIsRefused_data()
{
    addBackendColumn();
    addBackendRows("version 99", [](QTestData &) {});
}

void TestServerStore::newerSchemaIsRefused()
{
    KMP_OPEN_BACKEND(db);
    Harness h(db->config());
    QCOMPARE(schemaVersion(h.conn), CurrentSchemaVersion);
    ensureSchema(h.conn); // a second start changes nothing
    QSqlQuery q = h.conn.prepare(QStringLiteral("UPDATE KMP_SCHEMA_VERSION SET VERSION = 99"));
    h.conn.exec(q);
    q.finish();
    QVERIFY_THROWS_EXCEPTION(ServiceError, ensureSchema(h.conn));
}

void TestServerStore::tiedNumbersAreRenumberedOnUpgrade_data()
{
    addBackendColumn();
    addBackendRows("ties", [](QTestData &) {});
}

void TestServerStore::tiedNumbersAreRenumberedOnUpgrade()
{
    KMP_OPEN_BACKEND(db);
    Harness h(db->config());
    h.loadCatalogue();
    // A database of version 2, written before the order was unique: two stations both
    // stored number 2.
    h.conn.execDirect(QStringLiteral("DROP INDEX %1").arg(QLatin1String(DiagnosisOrderIndex)));
    h.conn.execDirect(QStringLiteral("DELETE FROM KMP_SCHEMA_VERSION WHERE VERSION >= 3"));
    const wire::Response stored =
        h.call("SetDiagPaci", deltaArg(tables::diagPaci(),
                                       {ins(diag("A09", 1)), ins(diag("J189", 2)), ins(diag("B349", 2)), ins(diag("D649", 5))}));
    QVERIFY2(stored.ok, qPrintable(stored.errorMessage));
    QCOMPARE(schemaVersion(h.conn), 2);
    try {
        ensureSchema(h.conn);
    } catch (const ServiceError &e) {
        QFAIL(e.what());
    }
    QCOMPARE(schemaVersion(h.conn), CurrentSchemaVersion);

    // Same order as the screen showed (number, then code), distinct numbers, no row lost.
    const Packet p = packetOf(h.call("GetDiagPaci", consultaArgs()));
    QCOMPARE(codes(p, 3), (QStringList{"A09", "B349", "J189", "D649"}));
    QList<double> numbers;
    for (const RowValues &r : p.rows)
        numbers << r[5].toDouble();
    QCOMPARE(numbers, (QList<double>{1, 2, 3, 4}));
    // From now on the database itself refuses a tie.
    const wire::Response r = h.call("SetDiagPaci", deltaArg(tables::diagPaci(), {ins(diag("I10", 4))}));
    QVERIFY(!r.ok);
    QCOMPARE(r.errorCode, int(wire::ErrorCode::Conflict));
}

QTEST_GUILESS_MAIN(TestServerStore)
#include "tst_serverstore.moc"
