// Hostile saves through the real server on SQLite and PostgreSQL: values no screen sends
// are refused and leave every row and the audit trail as they were; what the server
// writes to its log, to stations and to the audit report quotes no SQL, no stored value
// and no control character; database files, database links and TLS identities that
// would expose patient data or lose the service are refused or reported.

#include "controlchars.h"
#include "databasefiles.h"
#include "dbconnection.h"
#include "deltavalidation.h"
#include "democatalogue.h"
#include "packet.h"
#include "schema.h"
#include "serverharness.h"
#include "serviceerror.h"
#include "testdatabase.h"

#include <QCborArray>
#include <QScopeGuard>
#include <QSqlQuery>
#include <sys/stat.h>

using namespace kmp;
using namespace kmp::server;
using namespace kmp::test;

namespace {

const double kDate = 46363; // 2026-12-07, the demo consultation
const QString kFilial = QStringLiteral("0001");
const QString kPaciente = QStringLiteral("000000000777");
const QString kOther = QStringLiteral("000000000888");
const QByteArray kRtf("{\\rtf1\\ansi Queixa de cefal\\'e9ia\\par}");
// Stands for bytes that QString cannot hold; swapped into the encoded delta.
const QByteArray kPlaceholder("@@@@");
const QByteArray kInvalidUtf8("\xc3\x28\xa0\xff", 4);

bool firstControlCharacterFree(const QString &text)
{
    return firstControlCharacter(text) < 0;
}

RowValues diagRow(const QString &code = QStringLiteral("I10"), double seq = 1)
{
    return {kFilial, kPaciente, kDate, code, demoCatalogueName(code), seq, QStringLiteral("CID10")};
}
RowValues sectionRow()
{
    return {kPaciente, kDate, kRtf, kFilial};
}
RowValues reportRow(const QString &type = QStringLiteral("001"))
{
    return {kPaciente, kDate, kRtf, type, kFilial};
}

QByteArray encoded(const TableDef &table, std::vector<Change> changes)
{
    Delta d;
    d.fields = table.fieldDefs();
    d.changes = std::move(changes);
    QByteArray bytes = encodeDelta(d);
    const qsizetype at = bytes.indexOf(kPlaceholder);
    if (at >= 0)
        bytes.replace(at, kPlaceholder.size(), kInvalidUtf8);
    return bytes;
}

Change ins(RowValues v)
{
    return {ChangeKind::Insert, {}, std::move(v)};
}
Change mod(RowValues o, RowValues n)
{
    return {ChangeKind::Modify, std::move(o), std::move(n)};
}

RowValues with(RowValues row, size_t column, QVariant value)
{
    row[column] = std::move(value);
    return row;
}

QCborArray args(const QByteArray &delta)
{
    return {QCborValue(delta)};
}

// The consultation's rows as the screen loads them, and the audit trail's length.
struct Snapshot
{
    std::vector<RowValues> diagnoses, otherPatient, sections, reports;
    int auditRows = -1;
    bool operator==(const Snapshot &) const = default;
};

Snapshot snapshot(wire::Client &c, const DatabaseConfig &config)
{
    Snapshot s;
    const auto rows = [&](const QString &method, const QCborArray &a, int element = -1) {
        const wire::Response r = c.call(request(method, a));
        if (!r.ok)
            return std::vector<RowValues>{{QVariant(r.errorMessage)}};
        const QByteArray packet = element < 0 ? r.result.toByteArray() : r.result.toArray().at(element).toByteArray();
        return decodePacket(packet).rows;
    };
    s.diagnoses = rows(QStringLiteral("GetDiagPaci"), {kFilial, kPaciente, kDate});
    s.otherPatient = rows(QStringLiteral("GetDiagPaci"), {kFilial, kOther, kDate});
    s.sections = rows(QStringLiteral("GetHistGer"), {kPaciente, kFilial, kDate}, 0);
    s.reports = rows(QStringLiteral("GetMemLaudo"), {kFilial, kPaciente, QStringLiteral("001"), kDate});
    DbConnection conn(config);
    QSqlQuery q = conn.prepare(QStringLiteral("SELECT COUNT(*) FROM KMP_AUDIT"));
    conn.exec(q);
    s.auditRows = q.next() ? q.value(0).toInt() : -1;
    return s;
}

} // namespace

class TestServerIntegrity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hostileRequestIsRefused_data();
    void hostileRequestIsRefused();
    void catalogueNameIsStored_data();
    void catalogueNameIsStored();
    void driverErrorIsACodeOnly_data();
    void driverErrorIsACodeOnly();
    void logLinesCannotBeForged();
    void auditReportShowsControlBytes_data();
    void auditReportShowsControlBytes();
    void databaseFilesArePrivate_data();
    void databaseFilesArePrivate();
    void exposedDatabaseIsReported();
    void postgresLinkOptions_data();
    void postgresLinkOptions();
    void postgresLinkOptionsReachTheServer_data();
    void postgresLinkOptionsReachTheServer();
    void postgresMisdirected_data();
    void postgresMisdirected();
    void fullServerWithKeysSaysSo_data();
    void fullServerWithKeysSaysSo();
};

void TestServerIntegrity::hostileRequestIsRefused_data()
{
    addBackendColumn();
    QTest::addColumn<QString>("method");
    QTest::addColumn<QCborArray>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");
    const int invalid = int(wire::ErrorCode::Invalid);
    const int bad = int(wire::ErrorCode::BadRequest);
    const int tooLarge = int(wire::ErrorCode::TooLarge);
    const TableDef &diag = tables::diagPaci();
    const TableDef &hist = tables::histDoen();
    const TableDef &report = tables::memLaudo();
    const QString nul = QStringLiteral("J18") + QChar(0) + QStringLiteral("9");
    struct Row
    {
        const char *name;
        QString method;
        QCborArray args;
        int code;
        QString says;
    };
    const std::vector<Row> rows{
        // A modify that would move a record: to another patient, day, branch, code or type.
        {"diagnosis moved to another patient", "SetDiagPaci", args(encoded(diag, {mod(diagRow(), with(diagRow(), 1, kOther))})),
         invalid, "CDPACIENTE faz parte da chave"},
        {"diagnosis moved to another day", "SetDiagPaci", args(encoded(diag, {mod(diagRow(), with(diagRow(), 2, kDate + 1))})),
         invalid, "DTCONSPACI faz parte da chave"},
        {"diagnosis moved to another branch", "SetDiagPaci",
         args(encoded(diag, {mod(diagRow(), with(diagRow(), 0, QStringLiteral("0002")))})), invalid,
         "CDFILIAL faz parte da chave"},
        {"diagnosis code swapped", "SetDiagPaci", args(encoded(diag, {mod(diagRow(), diagRow(QStringLiteral("E119")))})), invalid,
         "CDDIAGNOST faz parte da chave"},
        {"section moved to another patient", "SetHistDoen",
         args(encoded(hist, {mod(sectionRow(), with(sectionRow(), 0, kOther))})), invalid, "CDPACIENTE faz parte da chave"},
        {"report moved to another type", "SetMemLaudo",
         args(encoded(report, {mod(reportRow(), reportRow(QStringLiteral("002")))})), invalid, "CDTIPOLAUDO faz parte da chave"},
        // Text the envelope would refuse, hidden inside the delta.
        {"invalid UTF-8 in a diagnosis name", "SetDiagPaci",
         args(encoded(diag, {ins(with(diagRow(QStringLiteral("E119"), 2), 4, QString::fromLatin1(kPlaceholder)))})), bad,
         "UTF-8"},
        {"invalid UTF-8 in a patient code", "SetDiagPaci",
         args(encoded(diag, {ins(with(diagRow(QStringLiteral("E119"), 2), 1, QString::fromLatin1(kPlaceholder)))})), bad,
         "UTF-8"},
        // NUL and other control characters in codes, keys and names.
        {"NUL inside a diagnosis code", "SetDiagPaci", args(encoded(diag, {ins(with(diagRow(), 3, nul))})), invalid,
         "CDDIAGNOST contém um caractere de controle"},
        {"NUL inside a patient code", "SetDiagPaci",
         args(encoded(diag, {ins(with(diagRow(QStringLiteral("E119"), 2), 1, QStringLiteral("0007") + QChar(0)))})), invalid,
         "CDPACIENTE contém um caractere de controle"},
        {"NUL inside a name", "SetDiagPaci",
         args(encoded(diag, {ins(with(diagRow(QStringLiteral("E119"), 2), 4,
                                      QStringLiteral("Pneu") + QChar(0) + QStringLiteral("monia")))})),
         invalid, "NMDIAGNOST contém um caractere de controle"},
        {"terminal escape in a branch", "SetHistDoen",
         args(encoded(hist, {ins({kOther, kDate, kRtf, QStringLiteral("\x1b[2J")})})), invalid, "CDFILIAL contém"},
        {"NUL in the original key of a modify", "SetDiagPaci",
         args(encoded(diag, {mod(with(diagRow(), 1, QStringLiteral("0007") + QChar(0)),
                                 with(diagRow(), 1, QStringLiteral("0007") + QChar(0)))})),
         invalid, "CDPACIENTE contém um caractere de controle"},
        {"NUL in a load argument",
         "GetDiagPaci",
         {kFilial, QStringLiteral("0007") + QChar(0), kDate},
         bad,
         "argumento 2 contém um caractere de controle"},
        // Numbers no screen produces.
        {"sequence 1e308", "SetDiagPaci", args(encoded(diag, {ins(diagRow(QStringLiteral("E119"), 1e308))})), invalid,
         "NRSEQUENCIA"},
        {"sequence -5", "SetDiagPaci", args(encoded(diag, {ins(diagRow(QStringLiteral("E119"), -5))})), invalid, "NRSEQUENCIA"},
        {"sequence 2.5", "SetDiagPaci", args(encoded(diag, {ins(diagRow(QStringLiteral("E119"), 2.5))})), invalid, "NRSEQUENCIA"},
        {"sequence 0", "SetDiagPaci", args(encoded(diag, {ins(diagRow(QStringLiteral("E119"), 0))})), invalid, "NRSEQUENCIA"},
        {"sequence 1e308 by a modify", "SetDiagPaci",
         args(encoded(diag, {mod(diagRow(), diagRow(QStringLiteral("I10"), 1e308))})), invalid, "NRSEQUENCIA"},
        {"date -1e308", "SetDiagPaci", args(encoded(diag, {ins(with(diagRow(QStringLiteral("E119"), 2), 2, -1e308))})), invalid,
         "DTCONSPACI tem uma data fora do intervalo"},
        {"date in 1899", "SetHistDoen", args(encoded(hist, {ins({kOther, 1.0, kRtf, kFilial})})), invalid, "DTCONSPACI"},
        {"date in 2201", "SetMemLaudo",
         args(encoded(report, {ins({kOther, double(QDate(1899, 12, 30).daysTo(QDate(2201, 1, 1))), kRtf, "001", kFilial})})),
         invalid, "DTCONSPACI"},
        // Codes outside what is registered.
        {"code missing from the catalogue", "SetDiagPaci", args(encoded(diag, {ins(diagRow(QStringLiteral("ZZ99"), 2))})),
         invalid, "não está cadastrado no catálogo"},
        {"unregistered report type", "SetMemLaudo", args(encoded(report, {ins(reportRow(QStringLiteral("999")))})), invalid,
         "tipo de laudo"},
        // Saves larger than any screen sends, refused before they are decoded.
        {"more diagnoses in one save than a screen sends", "SetDiagPaci",
         args(encoded(diag, std::vector<Change>(size_t(MaxDiagnosisChanges) + 1, ins(diagRow(QStringLiteral("E119"), 2))))),
         tooLarge, "no máximo 2000"},
        {"two sections in one save", "SetHistDoen", args(encoded(hist, {ins(with(sectionRow(), 0, kOther)), ins(sectionRow())})),
         tooLarge, "no máximo 1"},
        // Marks that make a code read as another, and a NUL hidden in a report's parameters.
        {"bidirectional mark in a diagnosis code", "SetDiagPaci",
         args(encoded(diag, {ins(with(diagRow(QStringLiteral("E119"), 2), 3, QStringLiteral("E1") + QChar(0x202e) + "91"))})),
         invalid, "CDDIAGNOST contém um caractere de controle"},
        {"bidirectional mark in a load argument",
         "GetDiagPaci",
         {kFilial, QChar(0x202e) + kPaciente, kDate},
         bad,
         "argumento 2 contém um caractere de controle"},
        {"NUL inside a report parameter",
         "ExecRelatorio",
         {"KMP128", "KMP12801", QStringLiteral(R"({"P_CDFILIAL": "00\u00001", "P_CDPACIENTE": "000000000777"})")},
         bad,
         "P_CDFILIAL do relatório contém um caractere de controle"},
        {"good row, then a bad one", "SetDiagPaci",
         args(encoded(diag, {ins(diagRow(QStringLiteral("E119"), 2)), ins(diagRow(QStringLiteral("ZZ99"), 3))})), invalid,
         "catálogo"},
    };
    for (const Row &r : rows)
        addBackendRows(r.name, [&](QTestData &d) { d << r.method << r.args << r.code << r.says; });
}

void TestServerIntegrity::hostileRequestIsRefused()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(QString, method);
    QFETCH(QCborArray, arguments);
    QFETCH(int, code);
    QFETCH(QString, says);
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", db->databaseUrl()});
    QVERIFY2(demo.exitCode == 0, demo.err.constData());
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl()));
    wire::Client c;
    configureClient(c, server.port());
    for (const auto &[m, delta] : {std::pair{"SetDiagPaci", encoded(tables::diagPaci(), {ins(diagRow())})},
                                   std::pair{"SetHistDoen", encoded(tables::histDoen(), {ins(sectionRow())})},
                                   std::pair{"SetMemLaudo", encoded(tables::memLaudo(), {ins(reportRow())})}}) {
        const wire::Response r = c.call(request(QLatin1String(m), args(delta)));
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
    }
    const Snapshot before = snapshot(c, db->config());
    QCOMPARE(before.auditRows, 3);

    const wire::Response r = c.call(request(method, arguments));
    QVERIFY(!r.ok);
    QCOMPARE(r.errorCode, code);
    QVERIFY2(r.errorMessage.contains(says), qPrintable(r.errorMessage));
    QVERIFY2(firstControlCharacterFree(r.errorMessage), qPrintable(r.errorMessage));
    QVERIFY(c.isConnected());
    QVERIFY(snapshot(c, db->config()) == before);

    // Neither the station nor the log is told a statement or a value.
    QVERIFY2(server.waitForLogLine({QStringLiteral("recusado"), QString::number(code)}), server.log().constData());
    const QByteArray log = server.log();
    for (const char *leak : {"SELECT", "INSERT", "UPDATE", "Pneu", "monia", "@@@@"}) {
        QVERIFY2(!log.contains(leak), log.constData());
        QVERIFY2(!r.errorMessage.contains(QLatin1String(leak)), qPrintable(r.errorMessage));
    }
    QVERIFY2(!log.contains('\0') && !log.contains('\x1b'), log.constData());
}

void TestServerIntegrity::catalogueNameIsStored_data()
{
    addBackendColumn();
    QTest::addColumn<QString>("sentName");
    QTest::addColumn<QString>("sentTable");
    addBackendRows("the screen's own name", [](QTestData &d) { d << demoCatalogueName(QStringLiteral("E119")) << "CID10"; });
    addBackendRows("a made-up name", [](QTestData &d) {
        d << "Nome inventado"
          << "XYZ";
    });
    addBackendRows("no name", [](QTestData &d) { d << QString() << QString(); });
}

void TestServerIntegrity::catalogueNameIsStored()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(QString, sentName);
    QFETCH(QString, sentTable);
    const ToolRun demo = runTool(binary("kmp-appserver"), {"demo", "--database", db->databaseUrl()});
    QVERIFY2(demo.exitCode == 0, demo.err.constData());
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl()));
    wire::Client c;
    configureClient(c, server.port());
    RowValues sent = diagRow(QStringLiteral("E119"), 1);
    sent[4] = sentName.isNull() ? QVariant() : QVariant(sentName);
    sent[6] = sentTable.isNull() ? QVariant() : QVariant(sentTable);
    wire::Response r = c.call(request(QStringLiteral("SetDiagPaci"), args(encoded(tables::diagPaci(), {ins(sent)}))));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    const RowValues stored = with(sent, 4, demoCatalogueName(QStringLiteral("E119")));
    r = c.call(request(QStringLiteral("GetDiagPaci"), {kFilial, kPaciente, kDate}));
    QCOMPARE(decodePacket(r.result.toByteArray()).rows, std::vector<RowValues>{stored});

    // A move renumbers the row; whatever name comes with it, the catalogue's stays.
    RowValues moved = with(with(stored, 5, 2.0), 4, QStringLiteral("Outro nome"));
    r = c.call(request(QStringLiteral("SetDiagPaci"), args(encoded(tables::diagPaci(), {mod(stored, moved)}))));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    r = c.call(request(QStringLiteral("GetDiagPaci"), {kFilial, kPaciente, kDate}));
    QCOMPARE(decodePacket(r.result.toByteArray()).rows, std::vector<RowValues>{with(stored, 5, 2.0)});
}

void TestServerIntegrity::driverErrorIsACodeOnly_data()
{
    addBackendColumn();
    addBackendRows("a NOT NULL column left empty", [](QTestData &) {});
}

void TestServerIntegrity::driverErrorIsACodeOnly()
{
    KMP_OPEN_BACKEND(db);
    DbConnection conn(db->config());
    ensureSchema(conn);
    // PostgreSQL's text for this names the table and quotes the whole row.
    QSqlQuery q = conn.prepare(QStringLiteral("INSERT INTO PACIENTE (CDPACIENTE, NMPACIENTE) VALUES (?, ?)"));
    q.addBindValue(QVariant(QMetaType::fromType<QString>()));
    q.addBindValue(QStringLiteral("Maria Segredo"));
    try {
        conn.exec(q);
        QFAIL("a NULL key was stored");
    } catch (const ServiceError &e) {
        for (const char *leak : {"Maria", "Segredo", "INSERT", "PACIENTE", "null value", "NOT NULL"})
            QVERIFY2(!e.userMessage().contains(QLatin1String(leak), Qt::CaseInsensitive), qPrintable(e.userMessage()));
        QVERIFY2(e.userMessage().contains(QStringLiteral("(código ")), qPrintable(e.userMessage()));
    }
}

void TestServerIntegrity::logLinesCannotBeForged()
{
    QTemporaryDir dir;
    ServerProcess server;
    QVERIFY(server.start(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("log.db"))));
    wire::Client c;
    configureClient(c, server.port());
    const QString forged = QStringLiteral("2026-12-07T00:00:00.000 conexão #99 aberta de 10.0.0.66 (chave admin)");
    wire::Request methodForged = request(QStringLiteral("GetDiagnost\r\n") + forged, {});
    wire::Request moduleForged = request(QStringLiteral("GetDiagnost"), {});
    moduleForged.module = QStringLiteral("KMP\r") + forged + QStringLiteral("\x1b[2K");
    for (const wire::Request &r : {methodForged, moduleForged}) {
        const wire::Response answer = c.call(r);
        QVERIFY(!answer.ok);
        QVERIFY2(firstControlCharacterFree(answer.errorMessage), qPrintable(answer.errorMessage));
    }
    QVERIFY(c.call(request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")})).ok);
    QVERIFY2(server.waitForLogLine({QStringLiteral("Módulo remoto desconhecido")}), server.log().constData());
    const QByteArray log = server.log();
    QVERIFY2(!log.contains('\r') && !log.contains('\x1b'), log.constData());
    for (const QByteArray &line : log.split('\n'))
        QVERIFY2(!line.startsWith("2026-12-07T00:00:00.000"), log.constData());
    QVERIFY2(log.contains("(GetDiagnost\\r\\n2026-12-07T00:00:00.000 con"), log.constData());
    QVERIFY2(log.contains("\"KMP\\r2026-12-07T00:00:00.000 conex"), log.constData());
}

void TestServerIntegrity::auditReportShowsControlBytes_data()
{
    addBackendColumn();
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("shown");
    addBackendRows("escape written as an RTF hex escape",
                   [](QTestData &d) { d << QByteArray("{\\rtf1\\ansi Linha \\'1b[2J limpa\\par}") << QByteArray("[2J limpa"); });
    addBackendRows("raw control bytes in a blob that is no RTF",
                   [](QTestData &d) { d << QByteArray("texto \x1b]0;titulo\x07 fim") << QByteArray("\\x1b]0;titulo\\x07"); });
}

void TestServerIntegrity::auditReportShowsControlBytes()
{
    KMP_OPEN_BACKEND(db);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, shown);
    ServerProcess server;
    QVERIFY(server.start(db->databaseUrl()));
    wire::Client c;
    configureClient(c, server.port());
    const wire::Response r =
        c.call(request(QStringLiteral("SetHistFam"), args(encoded(tables::histFam(), {ins({kPaciente, kDate, text, kFilial})}))));
    QVERIFY2(r.ok, qPrintable(r.errorMessage));
    const ToolRun report =
        runTool(binary("kmp-appserver"), {"audit", "--branch", kFilial, "--patient", kPaciente, "--database", db->databaseUrl()});
    QVERIFY2(report.exitCode == 0, report.err.constData());
    QVERIFY2(report.out.contains("1 alteração(ões)"), report.out.constData());
    for (char ch : report.out)
        QVERIFY2(uchar(ch) >= 0x20 || ch == '\n', report.out.toHex().constData());
    QVERIFY2(report.out.contains(shown), report.out.constData());
}

void TestServerIntegrity::databaseFilesArePrivate_data()
{
    QTest::addColumn<int>("mask");
    QTest::newRow("umask 022") << 022;
    QTest::newRow("umask 000") << 0;
}

void TestServerIntegrity::databaseFilesArePrivate()
{
    QFETCH(int, mask);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("private.db"));
    const mode_t previous = ::umask(mode_t(mask));
    {
        DbConnection conn(DatabaseConfig::parse(QStringLiteral("sqlite:") + path));
        ensureSchema(conn);
        conn.execDirect(QStringLiteral("INSERT INTO FILIAL (CDFILIAL, NMFILIAL) VALUES ('0009', 'Filial')"));
        // While a connection is open the write-ahead log and its index exist beside the file.
        for (const QString &file : {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")}) {
            struct stat st
            {
            };
            QVERIFY2(::stat(QFile::encodeName(file).constData(), &st) == 0, qPrintable(file));
            QCOMPARE(int(st.st_mode & 0777), 0600);
        }
        QVERIFY(exposedDatabaseFiles(path).isEmpty());
    }
    ::umask(previous);
}

void TestServerIntegrity::exposedDatabaseIsReported()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("shared.db"));
    QVERIFY(runTool(binary("kmp-appserver"), {"demo", "--database", QStringLiteral("sqlite:") + path}).exitCode == 0);
    QFile::setPermissions(path,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    QCOMPARE(exposedDatabaseFiles(path), QStringList{path});
    ServerProcess server;
    QVERIFY(server.start(QStringLiteral("sqlite:") + path));
    QVERIFY2(server.waitForLogLine({QStringLiteral("AVISO"), path, QStringLiteral("chmod 600")}), server.log().constData());
}

void TestServerIntegrity::postgresLinkOptions_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("options");                                  // empty: refused
    QTest::addColumn<QString>("says");                                     // part of the refusal
    const QString file = QStringLiteral(KMP_BINARY_DIR "/CMakeCache.txt"); // any file that exists
    const QString base = QStringLiteral("postgresql://kmp@db.clinica:5432/kmp");
    QTest::newRow("no options") << base << "connect_timeout=10"
                                << "";
    QTest::newRow("TLS required, with a timeout") << base + "?sslmode=verify-full&sslrootcert=" + file + "&connect_timeout=5"
                                                  << "connect_timeout=5;sslmode='verify-full';sslrootcert='" + file + "'"
                                                  << "";
    QTest::newRow("client certificate and password file")
        << base + "?sslcert=" + file + "&sslkey=" + file + "&passfile=" + file + "&schema=s1"
        << "connect_timeout=10;sslcert='" + file + "';sslkey='" + file + "';passfile='" + file + "'"
        << "";
    QTest::newRow("unknown sslmode") << base + "?sslmode=sometimes"
                                     << ""
                                     << "sslmode inválido";
    QTest::newRow("timeout that is no number") << base + "?connect_timeout=soon"
                                               << ""
                                               << "connect_timeout";
    QTest::newRow("password file that does not exist") << base + "?passfile=/nao/existe"
                                                       << ""
                                                       << "não existe";
    QTest::newRow("option smuggled in a path") << base + "?sslrootcert=" + file + "%3Bsslmode%3Ddisable"
                                               << ""
                                               << "Caminho inválido";
    QTest::newRow("option named twice") << base + "?sslmode=require&sslmode=disable"
                                        << ""
                                        << "repetida";
    QTest::newRow("option of another program") << base + "?options=-c%20x"
                                               << ""
                                               << "Opção desconhecida";
}

void TestServerIntegrity::postgresLinkOptions()
{
    QFETCH(QString, url);
    QFETCH(QString, options);
    QFETCH(QString, says);
    try {
        const DatabaseConfig c = DatabaseConfig::parse(url);
        QVERIFY2(!options.isEmpty(), "accepted a URL that must be refused");
        QCOMPARE(c.postgresOptions(), options);
        QVERIFY(!c.describe().contains(QLatin1String("passfile")));
    } catch (const kmp::Error &e) {
        QVERIFY2(options.isEmpty(), qPrintable(e.userMessage()));
        QVERIFY2(e.userMessage().contains(says), qPrintable(e.userMessage()));
    }
}

void TestServerIntegrity::postgresLinkOptionsReachTheServer_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<bool>("serves");
    QTest::addColumn<QString>("says");
    // The test server has no TLS: a link that requires it must not silently go plain.
    QTest::newRow("TLS required of a server without it") << "sslmode=require" << false << "SSL";
    QTest::newRow("TLS turned off, password file, short timeout")
        << "sslmode=disable&connect_timeout=5&passfile=PASSFILE" << true << "";
}

void TestServerIntegrity::postgresLinkOptionsReachTheServer()
{
    QFETCH(QString, options);
    QFETCH(bool, serves);
    QFETCH(QString, says);
    const QString url = qEnvironmentVariable("KMP_TEST_PGURL");
    if (url.isEmpty())
        QSKIP("PostgreSQL not tested: KMP_TEST_PGURL is not set (make test sets it)");
    QTemporaryDir dir;
    QFile pass(dir.filePath(QStringLiteral("pgpass")));
    QVERIFY(pass.open(QIODevice::WriteOnly));
    pass.write("*:*:*:*:senha-que-nao-vai-para-a-linha-de-comando\n");
    pass.close();
    pass.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QString withOptions = url + (url.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?'))
                          + QString(options).replace(QStringLiteral("PASSFILE"), pass.fileName());
    const std::unique_ptr<TestDatabase> schemaOwner = TestDatabase::create(QStringLiteral("postgresql"), nullptr);
    if (schemaOwner)
        withOptions += QStringLiteral("&schema=") + schemaOwner->config().schema;
    ServerProcess server;
    if (!serves) {
        const ToolRun r =
            runTool(binary("kmp-appserver"), {"serve", "--listen", "127.0.0.1:0", "--database", withOptions}, {}, 30000);
        QVERIFY2(r.exitCode == 1, r.err.constData());
        QVERIFY2(QString::fromUtf8(r.err).contains(says), r.err.constData());
        return;
    }
    QVERIFY(server.start(withOptions));
    wire::Client c;
    configureClient(c, server.port());
    QVERIFY(c.call(request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")})).ok);
    QVERIFY(!server.log().contains("senha-que-nao"));
}

void TestServerIntegrity::postgresMisdirected_data()
{
    QTest::addColumn<QString>("trap");
    QTest::addColumn<QString>("says"); // in the refusal to start, or in the station's message
    QTest::newRow("no schema given, one named like the role holds tables") << "role"
                                                                           << "\"public\"";
    QTest::newRow("a schema without the tables") << "typo"
                                                 << "_x\"";
    QTest::newRow("the database turns the server away after its start") << "down"
                                                                        << "não está respondendo";
}

// Where the data is not where the server looks, it says so and serves nothing; a database
// that stops answering is the administrator's to hear about, with the driver's words.
void TestServerIntegrity::postgresMisdirected()
{
    QFETCH(QString, trap);
    QFETCH(QString, says);
    QString why;
    const auto db = TestDatabase::create(QStringLiteral("postgresql"), &why);
    if (!db)
        QSKIP(qPrintable(why));
    const DatabaseConfig &c = db->config();
    const QString base = QStringLiteral("postgresql://%1@%2:%3/%4").arg(c.user, c.host).arg(c.port).arg(c.database);
    const QString role = QStringLiteral("kmp_down_%1").arg(QCoreApplication::applicationPid());
    DbConnection admin(c);
    const auto cleanUp = qScopeGuard([&]() {
        try {
            admin.execDirect(QStringLiteral("DROP SCHEMA IF EXISTS \"%1\" CASCADE").arg(c.user));
            if (trap == QLatin1String("down"))
                for (const char *sql : {"DROP SCHEMA IF EXISTS %1 CASCADE", "DROP OWNED BY %1", "DROP ROLE %1"})
                    admin.execDirect(QString::fromLatin1(sql).arg(role));
        } catch (const kmp::Error &) {
        }
    });
    QString url = base + QStringLiteral("?schema=") + c.schema + QStringLiteral("_x");
    if (trap == QLatin1String("role")) {
        DbConnection named(DatabaseConfig::parse(base + QStringLiteral("?schema=") + c.user));
        ensureSchema(named);
        url = base;
    } else if (trap == QLatin1String("down")) {
        admin.execDirect(QStringLiteral("CREATE ROLE %1 LOGIN").arg(role));
        admin.execDirect(QStringLiteral("GRANT CREATE ON DATABASE \"%1\" TO %2").arg(c.database, role));
        url = QStringLiteral("postgresql://%1@%2:%3/%4?schema=%1").arg(role, c.host).arg(c.port).arg(c.database);
        DbConnection own(DatabaseConfig::parse(url));
        ensureSchema(own);
    }
    ServerProcess server;
    QString refusal;
    if (trap != QLatin1String("down")) {
        QVERIFY(!server.start(url, {}, &refusal));
        QVERIFY2(refusal.contains(says) && refusal.contains(trap == QLatin1String("role") ? c.user : c.schema),
                 qPrintable(refusal));
        return;
    }
    QVERIFY2(server.start(url, {}, &refusal), qPrintable(refusal));
    admin.execDirect(QStringLiteral("ALTER ROLE %1 CONNECTION LIMIT 0").arg(role));
    wire::Client station;
    configureClient(station, server.port());
    const wire::Response r = station.call(request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")}));
    QVERIFY(!r.ok);
    QVERIFY2(r.errorMessage.contains(says) && !r.errorMessage.contains(c.host) && !r.errorMessage.contains(role),
             qPrintable(r.errorMessage));
    QVERIFY2(server.waitForLogLine({QStringLiteral("Não foi possível abrir o banco de dados"), role}), server.log().constData());
}

void TestServerIntegrity::fullServerWithKeysSaysSo_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("client keys") << false;
    QTest::newRow("client keys and TLS") << true;
}

void TestServerIntegrity::fullServerWithKeysSaysSo()
{
    QFETCH(bool, tls);
    QTemporaryDir dir;
    TestCertificates certs;
    QString noCerts;
    if (tls && !certs.create(&noCerts))
        QSKIP(qPrintable(noCerts));
    ServerProcess server;
    QVERIFY(server.start(
        QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("full.db")),
        QStringList{QStringLiteral("--keys"), writeKeyFile(dir), QStringLiteral("--max-connections"), QStringLiteral("1")}
            + (tls ? certs.serverOptions() : QStringList())));
    wire::Client first, second;
    for (wire::Client *c : {&first, &second}) {
        configureClient(*c, server.port());
        c->setCredentials(kKeyName, kSecret);
        c->setTls(tls, certs.ca());
    }
    QVERIFY(first.call(request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")})).ok);
    try {
        second.call(request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")}));
        QFAIL("a second connection was served");
    } catch (const wire::ConnectionError &e) {
        QVERIFY2(e.userMessage().contains(QStringLiteral("número máximo de conexões (1)")), qPrintable(e.userMessage()));
    }
}

QTEST_GUILESS_MAIN(TestServerIntegrity)
#include "tst_serverintegrity.moc"
