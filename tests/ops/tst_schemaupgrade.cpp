// Databases written by earlier servers (tests/data/schema-vN.db, made by
// tests/data/make-database.sh with demo data, diagnoses, the four history sections, a
// report and an audit trail) are upgraded in place by this one with nothing lost, and go
// on serving.

#include "dbconnection.h"
#include "packet.h"
#include "schema.h"
#include "store.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kmp;
using namespace kmp::server;

namespace {

const double kDate = 46363;
const QString kFilial = QStringLiteral("0001");
const QString kPaciente = QStringLiteral("000000000001");

qint64 count(DbConnection &db, const QString &table)
{
    QSqlQuery q = db.prepare(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table));
    db.exec(q);
    return q.next() ? q.value(0).toLongLong() : -1;
}

} // namespace

class TestSchemaUpgrade : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DbConnection> m_db;

private Q_SLOTS:
    // Every test runs against each stored database, copied and upgraded afresh.
    void initTestCase_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("storedVersion");
        QTest::newRow("schema 2") << QStringLiteral("schema-v2.db") << 2;
        QTest::newRow("schema 4") << QStringLiteral("schema-v4.db") << 4;
    }

    void init()
    {
        QFETCH_GLOBAL(QString, file);
        QFETCH_GLOBAL(int, storedVersion);
        QVERIFY(m_dir.isValid());
        const QString path = m_dir.filePath(QStringLiteral("%1-%2").arg(QLatin1String(QTest::currentTestFunction()), file));
        QFile::remove(path);
        QVERIFY(QFile::copy(QStringLiteral(KMP_SOURCE_DIR "/tests/data/") + file, path));
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        DatabaseConfig config;
        config.path = path;
        m_db = std::make_unique<DbConnection>(config);
        QCOMPARE(schemaVersion(*m_db), storedVersion);
        ensureSchema(*m_db);
    }

    void cleanup() { m_db.reset(); }

    void reachesThisVersion()
    {
        QCOMPARE(schemaVersion(*m_db), CurrentSchemaVersion);
        // Upgrading again is a no-op.
        ensureSchema(*m_db);
        QCOMPARE(schemaVersion(*m_db), CurrentSchemaVersion);
        QCOMPARE(count(*m_db, QStringLiteral("KMP_SCHEMA_VERSION")), qint64(CurrentSchemaVersion));
    }

    void everyRowKept_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<qint64>("rows");
        const std::pair<const char *, qint64> expected[] = {{"CONSULTA", 1},     {"DIAGASSO", 3},
                                                            {"DIAGNOST", 47},    {"DIAGPACI", 2},
                                                            {"EXAMFISI", 1},     {"FILIAL", 1},
                                                            {"HISTCLINPROG", 1}, {"HISTDOEN", 1},
                                                            {"HISTFAM", 1},      {"KMP_AUDIT", 9},
                                                            {"MEMLAUDO", 1},     {"PACIENTE", 1},
                                                            {"TIPOLAUDO", 3},    {"KMP_CATALOGUE_VERSION", 1}};
        for (const auto &[table, rows] : expected)
            QTest::newRow(table) << QString::fromLatin1(table) << rows;
    }
    void everyRowKept()
    {
        QFETCH(QString, table);
        QFETCH(qint64, rows);
        QCOMPARE(count(*m_db, table), rows);
    }

    void diagnosesKeepTheirOrder()
    {
        Store store(*m_db);
        const Packet p = decodePacket(store.diagPaci(kFilial, kPaciente, kDate));
        QCOMPARE(p.rows.size(), size_t(2));
        QCOMPARE(p.rows[0][3].toString(), QStringLiteral("I10"));
        QCOMPARE(p.rows[1][3].toString(), QStringLiteral("E119"));
        QCOMPARE(p.rows[1][4].toString(), QStringLiteral("Diabetes mellitus não-insulino-dependente - sem complicações"));
    }

    void sectionsKeepTheirText_data()
    {
        QTest::addColumn<int>("section");
        QTest::addColumn<QByteArray>("fragment");
        QTest::newRow("present illness") << 0 << QByteArray("cefal\\u233?ia");
        QTest::newRow("clinical history") << 1 << QByteArray("Hipertens\\u227?o");
        QTest::newRow("family history") << 2 << QByteArray("diab\\u233?tica");
        QTest::newRow("physical examination") << 3 << QByteArray("PA 150x95 mmHg");
    }
    void sectionsKeepTheirText()
    {
        QFETCH(int, section);
        QFETCH(QByteArray, fragment);
        Store store(*m_db);
        const auto packets = store.histGer(kPaciente, kFilial, kDate);
        const Packet p = decodePacket(packets[size_t(section)]);
        QCOMPARE(p.rows.size(), size_t(1));
        const QByteArray rtf = p.rows[0][2].toByteArray();
        QVERIFY(rtf.startsWith("{\\rtf1"));
        QVERIFY2(rtf.contains(fragment), rtf.constData());
    }

    void reportKept()
    {
        Store store(*m_db);
        const Packet p = decodePacket(store.memLaudo(kFilial, kPaciente, QStringLiteral("001"), kDate));
        QCOMPARE(p.rows.size(), size_t(1));
        QVERIFY(p.rows[0][2].toByteArray().contains("Febre e tosse"));
    }

    // The upgraded database takes new saves, and its audit trail goes on from where it was.
    void savesAfterUpgrade()
    {
        Store store(*m_db);
        Delta delta;
        delta.fields = tables::diagPaci().fieldDefs();
        Change c;
        c.kind = ChangeKind::Insert;
        c.newValues = {kFilial,
                       kPaciente,
                       kDate,
                       QStringLiteral("J00"),
                       QStringLiteral("Nasofaringite aguda [resfriado comum]"),
                       3.0,
                       QStringLiteral("CID10")};
        delta.changes.push_back(c);
        store.applyDelta(tables::diagPaci(), delta, QStringLiteral("duplicado"));
        QCOMPARE(count(*m_db, QStringLiteral("DIAGPACI")), qint64(3));
        QSqlQuery q = m_db->prepare(QStringLiteral("SELECT MAX(ID), COUNT(*) FROM KMP_AUDIT"));
        m_db->exec(q);
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toLongLong(), 10);
        QCOMPARE(q.value(1).toLongLong(), 10);
    }
};

QTEST_GUILESS_MAIN(TestSchemaUpgrade)
#include "tst_schemaupgrade.moc"
