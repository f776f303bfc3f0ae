#include "dialogs.h"
#include "fielddef.h"
#include "hostoptions.h"
#include "hostservicesimpl.h"
#include "hostwindow.h"
#include "moduleloader.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace kmp;

class TestHost : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    HostOptions makeOptions(const QStringList &extra = {})
    {
        HostOptions o;
        QString error, help;
        const QString ini = m_dir.filePath(QStringLiteral("host.ini"));
        if (!QFile::exists(ini)) {
            QFile f(ini);
            f.open(QIODevice::WriteOnly);
            f.write("[server]\nhost=127.0.0.1\nport=1\n[host]\nbranch=07\nactiveModule=P\n");
        }
        const bool ok = parseHostOptions(QStringList{QStringLiteral("kmp-host"), QStringLiteral("--settings"), ini} + extra, o, error, help);
        if (!ok)
            qWarning() << error;
        o.modulePaths << QStringLiteral(KMP_TEST_MODULE_DIR);
        return o;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void entersTheModuleWithTheFourElements_data()
    {
        QTest::addColumn<bool>("dateAsDays");
        QTest::newRow("date as a date") << false;
        QTest::newRow("date as a day count") << true;
    }
    void entersTheModuleWithTheFourElements()
    {
        QFETCH(bool, dateAsDays);
        const HostOptions o = makeOptions();
        HostServicesImpl services(o);
        HostServices::setInstance(&services);
        {
            HostWindow window(o, &services);
            window.show();
            const QDate date(2026, 12, 7);
            if (dateAsDays) {
                IniProcFn fn = window.loader().load(QStringLiteral("PKG_TESTMOD"));
                fn(QVariant(QVariantList{QStringLiteral("01"), QStringLiteral("123"), QStringLiteral("Maria"),
                                         daysFromDateTime(QDateTime(date, QTime(0, 0)))}));
            } else {
                QVERIFY(window.openModule(QStringLiteral("PKG_TESTMOD"), QStringLiteral("01"), QStringLiteral("123"),
                                          QStringLiteral("Maria"), date));
            }
            const auto subs = window.mdiArea()->subWindowList();
            QCOMPARE(subs.size(), 1);
            QCOMPARE(subs.first()->windowTitle(), QStringLiteral("Teste|01|123|Maria|2026-12-07"));
            QCOMPARE(HostServices::instance()->mainForm(), &window);
        }
        HostServices::setInstance(nullptr);
    }

    void refusesBadModules_data()
    {
        QTest::addColumn<QString>("module");
        QTest::addColumn<QString>("userText");
        QTest::addColumn<QString>("detail");
        QTest::newRow("missing file") << "PKG_NADA" << "não foi encontrado" << "not found";
        QTest::newRow("no IniProc entry") << "PKG_NOENTRY" << "IniProc" << "no IniProc";
        QTest::newRow("not a library") << QString(KMP_TEST_MODULE_DIR "/../CMakeFiles") << "não foi encontrado" << "not found";
    }
    void refusesBadModules()
    {
        QFETCH(QString, module);
        QFETCH(QString, userText);
        QFETCH(QString, detail);
        ModuleLoader loader;
        loader.addSearchPath(QStringLiteral(KMP_TEST_MODULE_DIR));
        try {
            loader.load(module);
            QFAIL("a bad module must be refused");
        } catch (const ModuleError &e) {
            QVERIFY2(e.userMessage().contains(userText), qPrintable(e.userMessage()));
            QVERIFY2(e.detail().contains(detail), qPrintable(e.detail()));
        }
    }

    void unreachableServerIsToldInPlainWords()
    {
        const HostOptions o = makeOptions();
        HostServicesImpl services(o);
        HostServices::setInstance(&services);
        {
            HostWindow window(o, &services);
            ScopedResponder r(answers::ok());
            Dialogs::clearLog();
            QVERIFY(!window.openModule(QStringLiteral("PKG_TESTMOD"), QString(), QStringLiteral("UNREACHABLE"),
                                       QString(), QDate(2026, 12, 7)));
            QCOMPARE(Dialogs::log().size(), 1);
            QVERIFY2(Dialogs::log().at(0).text.contains(QStringLiteral("servidor de aplicação (127.0.0.1:1)")),
                     qPrintable(Dialogs::log().at(0).text));
            QVERIFY(window.mdiArea()->subWindowList().isEmpty());
        }
        HostServices::setInstance(nullptr);
    }

    void options_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("check");
        QTest::newRow("settings only") << QStringList{} << true << "127.0.0.1:1:07:P";
        QTest::newRow("command line wins") << QStringList{"--server", "srv:4000", "--host-branch", "02", "--active-module", "A"} << true << "srv:4000:02:A";
        QTest::newRow("bad port") << QStringList{"--server", "srv:99999"} << false << "";
        QTest::newRow("no port") << QStringList{"--server", "srv"} << false << "";
        QTest::newRow("bad date") << QStringList{"--module", "M", "--patient", "1", "--date", "07/12/2026"} << false << "";
        QTest::newRow("module without patient") << QStringList{"--module", "M"} << false << "";
        QTest::newRow("stray argument") << QStringList{"extra"} << false << "";
    }
    void options()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, ok);
        QFETCH(QString, check);
        makeOptions(); // writes the settings file
        HostOptions o;
        QString error, help;
        const bool parsed = parseHostOptions(QStringList{QStringLiteral("kmp-host"), QStringLiteral("--settings"),
                                                         m_dir.filePath(QStringLiteral("host.ini"))} + args, o, error, help);
        QCOMPARE(parsed, ok);
        if (!ok) {
            QVERIFY(!error.isEmpty());
            return;
        }
        QCOMPARE(QStringLiteral("%1:%2:%3:%4").arg(o.serverHost).arg(o.serverPort).arg(o.branch, o.activeModule), check);
    }

    void cacheRefreshesAreKept()
    {
        const HostOptions o = makeOptions();
        {
            HostServicesImpl services(o);
            services.atualizaLocalCache({QStringLiteral("HISTDOEN"), QStringLiteral("EXAMFISI")});
        }
        HostServicesImpl again(o);
        QVERIFY(again.cacheKeys().contains(QStringLiteral("HISTDOEN")));
        QVERIFY(again.lastRefresh(QStringLiteral("EXAMFISI")).isValid());
    }

    void executableEndToEnd()
    {
        QProcess help;
        help.start(QStringLiteral(KMP_HOST_EXE), {QStringLiteral("--help")});
        QVERIFY(help.waitForFinished(30000));
        QCOMPARE(help.exitCode(), 0);
        QVERIFY(help.readAllStandardOutput().contains("--screenshot"));

        const QString shot = m_dir.filePath(QStringLiteral("shot.png"));
        QProcess host;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        host.setProcessEnvironment(env);
        host.start(QStringLiteral(KMP_HOST_EXE),
                   {QStringLiteral("--settings"), m_dir.filePath(QStringLiteral("host.ini")), QStringLiteral("--module"),
                    QStringLiteral("PKG_TESTMOD"), QStringLiteral("--module-path"), QStringLiteral(KMP_TEST_MODULE_DIR),
                    QStringLiteral("--patient"), QStringLiteral("9"), QStringLiteral("--date"), QStringLiteral("2026-12-07"),
                    QStringLiteral("--screenshot"), shot});
        QVERIFY(host.waitForFinished(60000));
        QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());
        QImage image(shot);
        QVERIFY(!image.isNull());
        QVERIFY(image.width() > 600);

        QProcess missing;
        missing.setProcessEnvironment(env);
        missing.start(QStringLiteral(KMP_HOST_EXE), {QStringLiteral("--settings"), m_dir.filePath(QStringLiteral("host.ini")),
                                                     QStringLiteral("--module"), QStringLiteral("PKG_NADA"),
                                                     QStringLiteral("--patient"), QStringLiteral("9"),
                                                     QStringLiteral("--screenshot"), shot});
        QVERIFY(missing.waitForFinished(60000));
        QCOMPARE(missing.exitCode(), 2);
        QVERIFY(missing.readAllStandardError().contains("module PKG_NADA not found"));
    }
};

QTEST_MAIN(TestHost)
#include "tst_host.moc"
