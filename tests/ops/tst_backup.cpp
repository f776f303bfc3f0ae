// Backup and restore. A backup taken with the real executable while a client goes on
// saving holds one consistent moment (a prefix of the saves, each with its audit row),
// every save acknowledged before it began, and restores into a new database that takes
// new saves. Damaged or doctored copies are refused before anything is written, and a
// restore never writes over a database that exists (or is in use) unless told to.

#include "backup.h"
#include "databaselock.h"
#include "demodata.h"
#include "packet.h"
#include "schema.h"
#include "serverharness.h"
#include "store.h"
#include "testdatabase.h"

#include <QCborArray>
#include <QCryptographicHash>
#include <QScopeGuard>
#include <QSqlQuery>
#include <atomic>
#include <csignal>
#include <set>
#include <sys/resource.h>
#include <thread>

using namespace kmp;
using namespace kmp::server;
using namespace kmp::test;

namespace {

const double kFirstDate = 46363;
const QString kFilial = QStringLiteral("0001");
const QString kPaciente = QStringLiteral("000000000001");

QByteArray noteOf(int save)
{
    return QStringLiteral("{\\rtf1\\ansi nota da consulta %1 \\u233?\\par}").arg(save).toUtf8();
}

Delta noteDelta(int save)
{
    Delta d;
    d.fields = tables::histDoen().fieldDefs();
    Change c;
    c.kind = ChangeKind::Insert;
    c.newValues = {kPaciente, kFirstDate + save, noteOf(save), kFilial};
    d.changes.push_back(c);
    return d;
}

qint64 count(DbConnection &db, const QString &sql)
{
    QSqlQuery q = db.prepare(sql);
    db.exec(q);
    return q.next() ? q.value(0).toLongLong() : -1;
}

QByteArray fileHash(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

// A small database with the demo data and a few notes, backed up into dir/good.bak.
QString makeGoodBackup(const QTemporaryDir &dir)
{
    DatabaseConfig config;
    config.path = dir.filePath(QStringLiteral("source.db"));
    {
        DbConnection db(config);
        loadDemo(db);
        Store store(db);
        for (int i = 1; i <= 3; ++i)
            store.applyDelta(tables::histDoen(), noteDelta(i), QStringLiteral("duplicado"));
    }
    const QString file = dir.filePath(QStringLiteral("good.bak"));
    backupDatabase(config, file);
    return file;
}

bool isPrivate(const QString &path)
{
    const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    return QFileInfo::exists(path) && !(QFile::permissions(path) & others);
}

void runSql(const QString &path, const QStringList &statements)
{
    const QString name = QStringLiteral("damage-%1").arg(qHash(path));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        QVERIFY(db.open());
        for (const QString &s : statements) {
            QSqlQuery q(db);
            QVERIFY2(q.exec(s), qPrintable(s));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace

class TestBackup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The whole cycle with the real executables, while a client keeps saving.
    void backupWhileSaving_data()
    {
        addBackendColumn();
        addBackendRows("backup while saving", [](auto &) {});
    }
    void backupWhileSaving()
    {
        KMP_OPEN_BACKEND(source);
        const ToolRun demo =
            runTool(binary("kmp-appserver"), {QStringLiteral("demo"), QStringLiteral("--database"), source->databaseUrl()});
        QVERIFY2(demo.exitCode == 0, demo.err.constData());
        ServerProcess server;
        QVERIFY(server.start(source->databaseUrl(), {QStringLiteral("--quiet")}));

        std::atomic<int> acknowledged{0};
        std::atomic<bool> stop{false};
        std::atomic<bool> failed{false};
        QByteArray failure;
        std::thread writer([&]() {
            wire::Client client;
            configureClient(client, server.port());
            for (int i = 1; !stop.load() && i < 100000; ++i) {
                try {
                    const wire::Response r =
                        client.call(request(QStringLiteral("SetHistDoen"), {QCborValue(encodeDelta(noteDelta(i)))}));
                    if (!r.ok) {
                        failure = r.errorMessage.toUtf8();
                        failed = true;
                        return;
                    }
                } catch (const kmp::Error &e) {
                    failure = e.userMessage().toUtf8();
                    failed = true;
                    return;
                }
                acknowledged = i;
            }
        });
        const auto waitFor = [&](int saves) {
            QElapsedTimer t;
            t.start();
            while (acknowledged.load() < saves && !failed.load() && t.elapsed() < 30000)
                QThread::msleep(5);
        };
        waitFor(20);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("copia.bak"));
        const int before = acknowledged.load();
        const ToolRun backup = runTool(binary("kmp-appserver"), {QStringLiteral("backup"), QStringLiteral("--database"),
                                                                 source->databaseUrl(), QStringLiteral("--to"), file});
        const int after = acknowledged.load();
        waitFor(after + 10);
        stop = true;
        writer.join();
        QVERIFY2(!failed.load(), failure.constData());
        QVERIFY2(backup.exitCode == 0, backup.err.constData());
        QVERIFY(backup.out.contains("esquema versão"));
        QVERIFY(isPrivate(file));
        qInfo("%d saves acknowledged before the backup, %d while it ran", before, after - before);

        QString why;
        auto target = TestDatabase::create(backend, &why);
        QVERIFY2(target, qPrintable(why));
        const ToolRun restore = runTool(binary("kmp-appserver"), {QStringLiteral("restore"), QStringLiteral("--from"), file,
                                                                  QStringLiteral("--database"), target->databaseUrl()});
        QVERIFY2(restore.exitCode == 0, restore.err.constData());
        QVERIFY(restore.out.contains("restauração concluída"));
        QVERIFY(target->isPostgres() || isPrivate(target->config().path));

        DbConnection restored(target->config());
        QCOMPARE(schemaVersion(restored), CurrentSchemaVersion);
        std::set<int> saves;
        QSqlQuery q = restored.prepare(QStringLiteral("SELECT DTCONSPACI, DSHISTDOEATU FROM HISTDOEN WHERE CDPACIENTE = ? "
                                                      "AND CDFILIAL = ?"));
        q.addBindValue(kPaciente);
        q.addBindValue(kFilial);
        restored.exec(q);
        while (q.next()) {
            const int save = int(q.value(0).toDouble() - kFirstDate);
            QCOMPARE(q.value(1).toByteArray(), noteOf(save));
            saves.insert(save);
        }
        const int k = int(saves.size());
        // One client saving in order: a consistent copy holds saves 1..k, nothing torn.
        QVERIFY(k > 0);
        QCOMPARE(*saves.begin(), 1);
        QCOMPARE(*saves.rbegin(), k);
        // Everything acknowledged before the backup began is in it; nothing acknowledged
        // after it ended (one save may have been committed but not yet answered).
        QVERIFY2(k >= before, qPrintable(QStringLiteral("%1 saves in the copy, %2 acknowledged before").arg(k).arg(before)));
        QVERIFY2(k <= after + 1,
                 qPrintable(QStringLiteral("%1 saves in the copy, %2 acknowledged by its end").arg(k).arg(after)));
        // The audit trail is from the same moment as the rows it describes.
        QCOMPARE(count(restored, QStringLiteral("SELECT COUNT(*) FROM KMP_AUDIT WHERE TABLE_NAME = 'HISTDOEN'")), qint64(k));
        QCOMPARE(count(restored, QStringLiteral("SELECT COUNT(*) FROM DIAGASSO")), qint64(3));
        QCOMPARE(count(restored, QStringLiteral("SELECT COUNT(*) FROM TIPOLAUDO")), qint64(3));

        // The restored database takes new saves, and its audit numbers go on after the
        // restored ones.
        const qint64 lastAudit = count(restored, QStringLiteral("SELECT MAX(ID) FROM KMP_AUDIT"));
        Store store(restored);
        store.applyDelta(tables::histDoen(), noteDelta(k + 1000), QStringLiteral("duplicado"));
        QCOMPARE(count(restored, QStringLiteral("SELECT MAX(ID) FROM KMP_AUDIT")), lastAudit + 1);
    }

    void verifyRefusesDamage_data()
    {
        QTest::addColumn<QStringList>("damage");
        QTest::addColumn<bool>("truncate");
        QTest::addColumn<QString>("message");
        QTest::newRow("count doctored") << QStringList{QStringLiteral(
            "UPDATE KMP_BACKUP_COUNTS SET ROW_COUNT = ROW_COUNT + 1 WHERE TABLE_NAME = 'DIAGASSO'")}
                                        << false << QStringLiteral("DIAGASSO");
        QTest::newRow("row added") << QStringList{QStringLiteral(
            "INSERT INTO FILIAL (CDFILIAL, NMFILIAL) VALUES ('0002', 'Outra')")}
                                   << false << QStringLiteral("FILIAL");
        QTest::newRow("row lost") << QStringList{QStringLiteral("DELETE FROM HISTDOEN WHERE DTCONSPACI = 46365")} << false
                                  << QStringLiteral("HISTDOEN");
        QTest::newRow("table lost") << QStringList{QStringLiteral("DROP TABLE HISTFAM")} << false << QStringLiteral("HISTFAM");
        QTest::newRow("not a backup") << QStringList{QStringLiteral("DROP TABLE KMP_BACKUP_INFO")} << false
                                      << QStringLiteral("não é uma cópia");
        QTest::newRow("newer schema")
            << QStringList{QStringLiteral("INSERT INTO KMP_SCHEMA_VERSION (VERSION) VALUES (999)"),
                           QStringLiteral("UPDATE KMP_BACKUP_INFO SET VALUE = '999' WHERE NAME = 'schema_version'")}
            << false << QStringLiteral("mais novo");
        QTest::newRow("version doctored") << QStringList{QStringLiteral(
            "UPDATE KMP_BACKUP_INFO SET VALUE = '1' WHERE NAME = 'schema_version'")}
                                          << false << QStringLiteral("declara");
        QTest::newRow("hostile table name") << QStringList{QStringLiteral("CREATE TABLE \"X; DROP TABLE DIAGPACI\" (A)")} << false
                                            << QStringLiteral("inesperado");
        // Counts kept, contents changed: 8 bytes of a clinical note, a word of the trail,
        // or the copy's format lowered so that its digests would go unchecked.
        QTest::newRow("a note's bytes changed") << QStringList{QStringLiteral(
            "UPDATE HISTDOEN SET DSHISTDOEATU = X'4E4F5441204E4F56' || substr(DSHISTDOEATU, 9) WHERE DTCONSPACI = 46365")}
                                                << false << QStringLiteral("HISTDOEN");
        QTest::newRow("an audit row changed")
            << QStringList{QStringLiteral("UPDATE KMP_AUDIT SET CLIENT_KEY = 'outra' WHERE ID = 2")} << false
            << QStringLiteral("KMP_AUDIT");
        QTest::newRow("format lowered") << QStringList{QStringLiteral(
            "UPDATE KMP_BACKUP_INFO SET VALUE = '1' WHERE NAME = 'format'")}
                                        << false << QStringLiteral("formato");
        QTest::newRow("truncated") << QStringList{} << true << QString();
    }
    void verifyRefusesDamage()
    {
        QFETCH(QStringList, damage);
        QFETCH(bool, truncate);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString file = makeGoodBackup(dir);
        verifyBackup(file); // sound before the damage
        runSql(file, damage);
        if (truncate) {
            QFile f(file);
            QVERIFY(f.resize(f.size() / 2));
        }
        try {
            verifyBackup(file);
            QFAIL("a damaged copy passed the check");
        } catch (const kmp::Error &e) {
            QVERIFY2(e.userMessage().contains(message), qPrintable(e.userMessage()));
        }
        // Restoring it writes nothing.
        DatabaseConfig target;
        target.path = dir.filePath(QStringLiteral("restored.db"));
        QVERIFY_THROWS_EXCEPTION(kmp::Error, restoreDatabase(file, target, {}));
        QVERIFY(!QFileInfo::exists(target.path));
        QVERIFY(!QFileInfo::exists(target.path + QStringLiteral(".restaurando")));
    }

    void restoreIntoExisting_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::addColumn<bool>("inUse");
        QTest::addColumn<QString>("message"); // empty: restored
        QTest::newRow("refused without --replace") << false << false << QStringLiteral("já existe");
        QTest::newRow("refused while a server holds it") << true << true << QStringLiteral("em uso");
        QTest::newRow("replaced, old file kept aside") << true << false << QString();
    }
    void restoreIntoExisting()
    {
        QFETCH(bool, replace);
        QFETCH(bool, inUse);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString file = makeGoodBackup(dir);
        DatabaseConfig target;
        target.path = dir.filePath(QStringLiteral("current.db"));
        {
            DbConnection db(target);
            ensureSchema(db);
            Store(db).applyDelta(tables::histDoen(), noteDelta(77), QStringLiteral("duplicado"));
        }
        const QByteArray before = fileHash(target.path);
        QString holder;
        std::unique_ptr<DatabaseLock> serving = inUse ? DatabaseLock::tryExclusive(target.path, &holder) : nullptr;
        RestoreOptions options;
        options.replace = replace;
        if (!message.isEmpty()) {
            try {
                restoreDatabase(file, target, options);
                QFAIL("restore wrote over an existing database");
            } catch (const kmp::Error &e) {
                QVERIFY2(e.userMessage().contains(message), qPrintable(e.userMessage()));
            }
            QCOMPARE(fileHash(target.path), before);
            return;
        }
        // A copy made readable by others (by hand, or by an older version) still restores
        // into a database only the server's user can read.
        QVERIFY(QFile::setPermissions(file, QFile::permissions(file) | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        const BackupManifest m = restoreDatabase(file, target, options);
        QVERIFY(isPrivate(target.path));
        DbConnection db(target);
        QCOMPARE(count(db, QStringLiteral("SELECT COUNT(*) FROM HISTDOEN")), qint64(3));
        QCOMPARE(count(db, QStringLiteral("SELECT COUNT(*) FROM DIAGNOST")), m.rowCounts.at(QStringLiteral("DIAGNOST")));
        const QStringList aside = QDir(dir.path()).entryList({QStringLiteral("current.db.substituido-*")});
        QCOMPARE(aside.size(), 1);
        DatabaseConfig old;
        old.path = dir.filePath(aside.first());
        DbConnection oldDb(old);
        QCOMPARE(count(oldDb, QStringLiteral("SELECT COUNT(*) FROM HISTDOEN WHERE DTCONSPACI = 46440")), qint64(1));
    }

    // A PostgreSQL target must hold no data; a schema created by a server (or by a restore
    // cut short) that holds only its own version rows is not data.
    void restoreIntoPostgres_data()
    {
        QTest::addColumn<bool>("withRows");
        QTest::newRow("a consultation's note: refused") << true;
        QTest::newRow("an empty schema: restored") << false;
    }
    void restoreIntoPostgres()
    {
        QFETCH(bool, withRows);
        QString why;
        auto target = TestDatabase::create(QStringLiteral("postgresql"), &why);
        if (!target)
            QSKIP(qPrintable(why));
        QTemporaryDir dir;
        const QString file = makeGoodBackup(dir);
        {
            DbConnection db(target->config());
            ensureSchema(db);
            if (withRows)
                Store(db).applyDelta(tables::histDoen(), noteDelta(77), QStringLiteral("duplicado"));
        }
        if (withRows) {
            try {
                restoreDatabase(file, target->config(), {});
                QFAIL("restore wrote into a PostgreSQL database with rows");
            } catch (const kmp::Error &e) {
                QVERIFY2(e.userMessage().contains(QStringLiteral("já tem dados")), qPrintable(e.userMessage()));
            }
            DbConnection db(target->config());
            QCOMPARE(count(db, QStringLiteral("SELECT COUNT(*) FROM HISTDOEN")), qint64(1));
            return;
        }
        const BackupManifest m = restoreDatabase(file, target->config(), {});
        DbConnection db(target->config());
        QCOMPARE(count(db, QStringLiteral("SELECT COUNT(*) FROM HISTDOEN")), qint64(3));
        QCOMPARE(count(db, QStringLiteral("SELECT COUNT(*) FROM KMP_SCHEMA_VERSION")),
                 m.rowCounts.at(QStringLiteral("KMP_SCHEMA_VERSION")));
    }

    // A server started on an older schema upgrades a SQLite file only after a checked copy
    // of it; on PostgreSQL it waits for the administrator's upgrade.
    void upgradeWithACopyFirst_data()
    {
        addBackendColumn();
        addBackendRows("older schema", [](auto &) {});
    }
    void upgradeWithACopyFirst()
    {
        KMP_OPEN_BACKEND(db);
        {
            DbConnection conn(db->config());
            loadDemo(conn);
            conn.execDirect(QStringLiteral("DELETE FROM KMP_SCHEMA_VERSION WHERE VERSION = %1").arg(CurrentSchemaVersion));
        }
        ServerProcess server;
        QString why;
        if (db->isPostgres()) {
            QVERIFY(!server.start(db->databaseUrl(), {}, &why));
            QVERIFY2(why.contains(QStringLiteral("kmp-appserver upgrade")), qPrintable(why));
            const ToolRun upgrade =
                runTool(binary("kmp-appserver"), {QStringLiteral("upgrade"), QStringLiteral("--database"), db->databaseUrl()});
            QVERIFY2(upgrade.exitCode == 0, upgrade.err.constData());
        }
        QVERIFY2(server.start(db->databaseUrl(), {}, &why), qPrintable(why));
        DbConnection conn(db->config());
        QCOMPARE(schemaVersion(conn), CurrentSchemaVersion);
        if (db->isPostgres())
            return;
        const QFileInfo database(db->config().path);
        const QStringList copies =
            database.dir().entryList({database.fileName() + QStringLiteral(".esquema-%1-*.bak").arg(CurrentSchemaVersion - 1)});
        QCOMPARE(copies.size(), 1);
        QVERIFY(server.waitForLogLine({QStringLiteral("cópia do banco feita antes de atualizar"), copies.first()}));
        const BackupManifest copy = verifyBackup(database.dir().filePath(copies.first()));
        QCOMPARE(copy.schemaVersion, CurrentSchemaVersion - 1);
        QCOMPARE(copy.rowCounts.at(QStringLiteral("DIAGASSO")), qint64(3));
    }

    void backupRefuses_data()
    {
        QTest::addColumn<bool>("targetExists");
        QTest::addColumn<bool>("sourceExists");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<qint64>("fileLimit"); // the most bytes a file of this process may grow to
        QTest::newRow("copy file exists") << true << true << QStringLiteral("já existe") << QString() << qint64(0);
        QTest::newRow("no such database") << false << false << QStringLiteral("não existe") << QString() << qint64(0);
        QTest::newRow("no such folder") << false << true << QStringLiteral("nao-ha, onde a cópia seria gravada, não existe")
                                        << QStringLiteral("nao-ha/") << qint64(0);
        // As on a full disk: the file and the reason named, the partial copy gone.
        QTest::newRow("no room for the copy")
            << false << true << QStringLiteral("copy.bak não foi feita: Erro no banco") << QString() << qint64(16384);
    }
    void backupRefuses()
    {
        QFETCH(bool, targetExists);
        QFETCH(bool, sourceExists);
        QFETCH(QString, message);
        QFETCH(QString, folder);
        QFETCH(qint64, fileLimit);
        QTemporaryDir dir;
        DatabaseConfig source;
        source.path = dir.filePath(QStringLiteral("source.db"));
        if (sourceExists) {
            DbConnection db(source);
            ensureSchema(db);
        }
        const QString file = dir.filePath(folder + QStringLiteral("copy.bak"));
        rlimit unlimited{};
        ::getrlimit(RLIMIT_FSIZE, &unlimited);
        const auto restoreLimit = qScopeGuard([&]() { ::setrlimit(RLIMIT_FSIZE, &unlimited); });
        if (fileLimit > 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{rlim_t(fileLimit), unlimited.rlim_max};
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        }
        if (targetExists) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("an older copy");
        }
        try {
            backupDatabase(source, file);
            QFAIL("backup went ahead");
        } catch (const kmp::Error &e) {
            QVERIFY2(e.userMessage().contains(message), qPrintable(e.userMessage()));
            if (fileLimit > 0)
                QVERIFY2(e.userMessage().contains(QStringLiteral("disco")) && e.userMessage().contains(QStringLiteral("apagada")),
                         qPrintable(e.userMessage()));
        }
        QCOMPARE(QFileInfo::exists(source.path), sourceExists); // never created by a backup
        if (targetExists)
            QCOMPARE(fileHash(file), QCryptographicHash::hash("an older copy", QCryptographicHash::Sha256));
        else
            QVERIFY(!QFileInfo::exists(file));
        QVERIFY(!QFileInfo::exists(file + QStringLiteral(".parcial")));
    }
};

QTEST_GUILESS_MAIN(TestBackup)
#include "tst_backup.moc"
