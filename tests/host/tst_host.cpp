#include "appicons.h"
#include "connectionstatus.h"
#include "dialogs.h"
#include "fielddef.h"
#include "hostoptions.h"
#include "hostservicesimpl.h"
#include "hostwindow.h"
#include "moduleloader.h"
#include "scripteddialogs.h"
#include "translations.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStatusTipEvent>

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
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
        const bool ok = parseHostOptions(QStringList{QStringLiteral("kmp-host"), QStringLiteral("--settings"), ini,
                                                     QStringLiteral("--state"), m_dir.filePath(QStringLiteral("host.state"))}
                                             + extra,
                                         o, error, help);
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
        QTest::newRow("missing file") << "PKG_NADA"
                                      << "não foi encontrado"
                                      << "não encontrado";
        QTest::newRow("no IniProc entry") << "PKG_NOENTRY"
                                          << "IniProc"
                                          << "não tem a entrada IniProc";
        QTest::newRow("not a library") << QString(KMP_TEST_MODULE_DIR "/../CMakeFiles") << "não foi encontrado"
                                       << "não encontrado";
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
            QVERIFY(!window.openModule(QStringLiteral("PKG_TESTMOD"), QString(), QStringLiteral("UNREACHABLE"), QString(),
                                       QDate(2026, 12, 7)));
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
        QTest::newRow("command line wins") << QStringList{"--server", "srv:4000", "--host-branch", "02", "--active-module", "A"}
                                           << true << "srv:4000:02:A";
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
        const bool parsed = parseHostOptions(
            QStringList{QStringLiteral("kmp-host"), QStringLiteral("--settings"), m_dir.filePath(QStringLiteral("host.ini"))}
                + args,
            o, error, help);
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
            services.refreshLocalCache({QStringLiteral("HISTDOEN"), QStringLiteral("EXAMFISI")});
        }
        HostServicesImpl again(o);
        QVERIFY(again.cacheKeys().contains(QStringLiteral("HISTDOEN")));
        QVERIFY(again.lastRefresh(QStringLiteral("EXAMFISI")).isValid());
    }

    void badSettingsAreRefusedWithFileKeyAndReason_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("reason");
        QTest::newRow("port not a number") << QByteArray("[server]\nport=abc\n") << "server/port"
                                           << "'abc' não é um número de porta";
        QTest::newRow("port out of range") << QByteArray("[server]\nport=70000\n") << "server/port"
                                           << "'70000' não é um número de porta";
        QTest::newRow("port zero") << QByteArray("[server]\nport=0\n") << "server/port"
                                   << "'0' não é um número de porta";
        QTest::newRow("tls neither true nor false") << QByteArray("[security]\ntls=talvez\ncaFile=/x\n") << "security/tls"
                                                    << "'talvez' não é true nem false";
    }
    void badSettingsAreRefusedWithFileKeyAndReason()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, key);
        QFETCH(QString, reason);
        const QString file = m_dir.filePath(QStringLiteral("bad.ini"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(ini);
        f.close();
        HostOptions o;
        QString error, help;
        QVERIFY(!parseHostOptions({QStringLiteral("kmp-host"), QStringLiteral("--settings"), file}, o, error, help));
        QVERIFY2(error.contains(file), qPrintable(error));
        QVERIFY2(error.contains(key), qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
    }

    // The administrator's file keeps its order and comments whatever the host does; what the
    // host remembers goes to its state file.
    void unknownKeysAreWarnedNotRefused()
    {
        const QString ini = m_dir.filePath(QStringLiteral("typo.ini"));
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[server]\nhost=10.0.0.5\nport=21280\nprot=21281\n[host]\nbranch=01\n");
        f.close();
        HostOptions o;
        QString error, help;
        QVERIFY(parseHostOptions({QStringLiteral("kmp-host"), QStringLiteral("--settings"), ini}, o, error, help));
        QCOMPARE(o.serverPort, quint16(21280));
        QCOMPARE(o.warnings.size(), 1);
        QVERIFY2(o.warnings.first().contains(QStringLiteral("server/prot")), qPrintable(o.warnings.first()));
    }

    void settingsFileIsNeverRewritten()
    {
        const QString settings = m_dir.filePath(QStringLiteral("admin.ini"));
        const QString state = m_dir.filePath(QStringLiteral("admin.state"));
        QFile::remove(state);
        const QByteArray original(
            "; posto da recepção\n[server]\nport=1\nhost=127.0.0.1\n\n[host]\n; filial padrão\nbranch=07\n");
        {
            QFile f(settings);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(original);
        }
        HostOptions o;
        QString error, help;
        QVERIFY2(parseHostOptions(
                     {QStringLiteral("kmp-host"), QStringLiteral("--settings"), settings, QStringLiteral("--state"), state}, o,
                     error, help),
                 qPrintable(error));
        {
            HostServicesImpl services(o);
            HostWindow window(o, &services);
            window.show();
            services.refreshLocalCache({QStringLiteral("LAUDO")});
            services.saveState(QStringLiteral("lookupDialog/size"), QSize(700, 500));
            window.close();
        }
        QFile f(settings);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), original);
        HostServicesImpl again(o);
        QVERIFY(again.lastRefresh(QStringLiteral("LAUDO")).isValid());
        QCOMPARE(again.savedState(QStringLiteral("lookupDialog/size")).toSize(), QSize(700, 500));
    }

    // A remembered place is kept only where the whole window is on a screen now.
    void windowPlaceAndSizeAreRemembered_data()
    {
        QTest::addColumn<QRect>("placed");
        QTest::addColumn<bool>("kept");
        QTest::newRow("on the screen: kept") << QRect(40, 50, 700, 540) << true;
        QTest::newRow("wider than the screen is now: fitted") << QRect(40, 50, 3000, 640) << false;
        QTest::newRow("on a screen no longer there: fitted") << QRect(5000, 4000, 700, 540) << false;
    }
    void windowPlaceAndSizeAreRemembered()
    {
        QFETCH(QRect, placed);
        QFETCH(bool, kept);
        const HostOptions o = makeOptions();
        QFile::remove(o.stateFile);
        {
            HostServicesImpl services(o);
            HostWindow window(o, &services);
            window.show();
            window.setGeometry(placed);
            placed = window.geometry();
            QVERIFY(window.close());
        }
        HostServicesImpl services(o);
        HostWindow window(o, &services);
        if (kept)
            QCOMPARE(window.size(), placed.size());
        else
            QVERIFY(window.fitsOnAScreen(window.frameGeometry()));
        QVERIFY(QFile::exists(o.stateFile));
    }

    // The first window on screens of several sizes and scalings, framed by a window
    // manager: its title bar (with the buttons) and its status bar lie on the screen.
    void firstWindowFitsTheScreen_data()
    {
        QTest::addColumn<QString>("screen");
        QTest::addColumn<QString>("scale");
        QTest::newRow("100 %") << "1280x1024"
                               << "1";
        QTest::newRow("125 %") << "1280x1024"
                               << "1.25";
        QTest::newRow("200 %") << "1280x1024"
                               << "2";
        QTest::newRow("1024x768") << "1024x768"
                                  << "1";
    }
    void firstWindowFitsTheScreen()
    {
        QFETCH(QString, screen);
        QFETCH(QString, scale);
        const QString session = QStringLiteral(KMP_SOURCE_DIR "/tests/support/x-session");
        if (!QFileInfo::exists(session) || QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("openbox")).isEmpty())
            QSKIP("needs tests/support/x-session with Xvfb and openbox (scripts/bootstrap installs them)");
        makeOptions();
        const QString tag = QStringLiteral("%1-%2").arg(screen, scale);
        const QString shots = qEnvironmentVariable("KMP_SCREENSHOT_DIR", m_dir.path());
        const QString shot = QStringLiteral("%1/host-%2.png").arg(shots, tag);
        QProcess host;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("X_SESSION_SIZE"), screen);
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), scale);
        host.setProcessEnvironment(env);
        host.start(session,
                   {QStringLiteral(KMP_HOST_EXE), QStringLiteral("--settings"), m_dir.filePath(QStringLiteral("host.ini")),
                    QStringLiteral("--state"), m_dir.filePath(tag + QStringLiteral(".state")), QStringLiteral("--module"),
                    QStringLiteral("PKG_TESTMOD"), QStringLiteral("--module-path"), QStringLiteral(KMP_TEST_MODULE_DIR),
                    QStringLiteral("--patient"), QStringLiteral("9"), QStringLiteral("--screenshot"), shot});
        QVERIFY(host.waitForFinished(120000));
        const QString out = QString::fromUtf8(host.readAllStandardOutput());
        QVERIFY2(host.exitCode() == 0, qPrintable(out + QString::fromUtf8(host.readAllStandardError())));
        // "window frame: X,Y WxH; status bar: X,Y WxH; screen: X,Y WxH"
        static const QRegularExpression line(
            QStringLiteral("window frame: (-?\\d+),(-?\\d+) (\\d+)x(\\d+); status bar: (-?\\d+),(-?\\d+) (\\d+)x(\\d+); screen: "
                           "(-?\\d+),(-?\\d+) (\\d+)x(\\d+)"));
        const QRegularExpressionMatch m = line.match(out);
        QVERIFY2(m.hasMatch(), qPrintable(out));
        const auto rect = [&m](int first) {
            return QRect(m.captured(first).toInt(), m.captured(first + 1).toInt(), m.captured(first + 2).toInt(),
                         m.captured(first + 3).toInt());
        };
        const QRect frame = rect(1), bar = rect(5), available = rect(9);
        QVERIFY2(frame.height() > bar.height() && available.contains(frame), qPrintable(out));
        QVERIFY2(available.contains(bar), qPrintable(out));
        QVERIFY(!QImage(shot).isNull());
    }

    // Started from a desktop menu, a host whose settings are wrong is seen saying why: with
    // a display it waits in a box; without one it says so on standard error and ends.
    void badSettingsAreShownWhereSomeoneLooks_data()
    {
        QTest::addColumn<bool>("display");
        QTest::newRow("no display: ends at once") << false;
        QTest::newRow("a display: waits in a box") << true;
    }
    void badSettingsAreShownWhereSomeoneLooks()
    {
        QFETCH(bool, display);
        const QString session = QStringLiteral(KMP_SOURCE_DIR "/tests/support/x-session");
        if (display && (!QFileInfo::exists(session) || QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()))
            QSKIP("needs tests/support/x-session with Xvfb and openbox (scripts/bootstrap installs them)");
        const QString ini = m_dir.filePath(QStringLiteral("bad.ini"));
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[server]\nport=porta\n");
        f.close();
        // With a display the host is given three seconds: still there then, it is waiting
        // for someone to read its box (a screenshot of it is kept for a person to look at).
        const QString shot =
            QStringLiteral("%1/host-bad-settings.png").arg(qEnvironmentVariable("KMP_SCREENSHOT_DIR", m_dir.path()));
        const QString run = QStringLiteral("\"%1\" --settings \"%2\" & sleep 3; import -window root \"%3\" 2>/dev/null; "
                                           "if kill $! 2>/dev/null; then echo waiting; fi")
                                .arg(QStringLiteral(KMP_HOST_EXE), ini, shot);
        QProcess host;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        host.setProcessEnvironment(env); // x-session names its own display
        if (display)
            host.start(session, {QStringLiteral("sh"), QStringLiteral("-c"), run});
        else
            host.start(QStringLiteral(KMP_HOST_EXE), {QStringLiteral("--settings"), ini});
        QVERIFY(host.waitForFinished(60000));
        QCOMPARE(host.readAllStandardOutput().contains("waiting"), display);
        QVERIFY(host.readAllStandardError().contains("server/port"));
    }

    void statusBarSurvivesMenus_data()
    {
        QTest::addColumn<QString>("tip");
        QTest::newRow("a menu item's tip") << "Abre uma consulta";
        QTest::newRow("the tip cleared as the menu closes") << "";
    }
    void statusBarSurvivesMenus()
    {
        QFETCH(QString, tip);
        const HostOptions o = makeOptions();
        HostServicesImpl services(o);
        HostWindow window(o, &services);
        window.show();
        // What a menu does as the pointer crosses its items.
        QStatusTipEvent event(tip);
        QApplication::sendEvent(&window, &event);
        QVERIFY(window.serverLabel()->isVisible());
        QCOMPARE(window.serverLabel()->text(), QStringLiteral("Servidor 127.0.0.1:1"));
        QVERIFY(window.branchLabel()->isVisible());
        QCOMPARE(window.branchLabel()->text(), QStringLiteral("Filial 07"));
        QVERIFY(window.connectionLabel()->isVisible());
    }

    void connectionStateIsShown_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("text");
        QTest::newRow("connected") << int(ConnectionStatus::Connected) << "Conectado";
        QTest::newRow("failed") << int(ConnectionStatus::Failed) << "Falha na conexão";
        QTest::newRow("closed") << int(ConnectionStatus::Idle) << "Sem conexão aberta";
    }
    void connectionStateIsShown()
    {
        QFETCH(int, state);
        QFETCH(QString, text);
        const HostOptions o = makeOptions();
        HostServicesImpl services(o);
        HostWindow window(o, &services);
        ConnectionStatus::instance().report(ConnectionStatus::State(state), QStringLiteral("10.0.0.5:21280"));
        QCOMPARE(window.connectionLabel()->text(), text);
        QCOMPARE(window.serverLabel()->text(), QStringLiteral("Servidor 10.0.0.5:21280"));
        ConnectionStatus::instance().report(ConnectionStatus::Idle, QString());
    }

    void ownTitleAndIcons()
    {
        const HostOptions o = makeOptions();
        HostServicesImpl services(o);
        HostServices::setInstance(&services);
        {
            HostWindow window(o, &services);
            window.show();
            QCOMPARE(window.windowTitle(), QStringLiteral("KMP - Clínica"));
            QVERIFY(!window.windowIcon().isNull());
            QVERIFY(window.openModule(QStringLiteral("PKG_TESTMOD"), QStringLiteral("01"), QStringLiteral("5"),
                                      QStringLiteral("Ana"), QDate(2026, 12, 7)));
            const auto subs = window.mdiArea()->subWindowList();
            QCOMPARE(subs.size(), 1);
            // Not the toolkit's default logo: the screen's own drawing.
            const QImage shown = subs.first()->windowIcon().pixmap(16, 16).toImage();
            const QImage own = kmp::screenIcon().pixmap(16, 16).toImage();
            QVERIFY(!shown.isNull());
            QCOMPARE(shown, own);
        }
        HostServices::setInstance(nullptr);
    }

    // Quitting asks every open screen; one that stays open keeps the host open.
    void quitAsksTheScreens_data()
    {
        QTest::addColumn<bool>("screenRefuses");
        QTest::addColumn<bool>("hostCloses");
        QTest::newRow("the screen stays: the host stays") << true << false;
        QTest::newRow("the screen agrees: the host closes") << false << true;
    }
    void quitAsksTheScreens()
    {
        QFETCH(bool, screenRefuses);
        QFETCH(bool, hostCloses);
        const HostOptions o = makeOptions();
        HostServicesImpl services(o);
        HostServices::setInstance(&services);
        {
            HostWindow window(o, &services);
            window.show();
            QVERIFY(window.openModule(QStringLiteral("PKG_TESTMOD"), QStringLiteral("01"), QStringLiteral("6"),
                                      QStringLiteral("Ana"), QDate(2026, 12, 7)));
            QMdiSubWindow *sub = window.mdiArea()->subWindowList().value(0);
            QVERIFY(sub && sub->widget());
            // The screen's own rule, as a screen with typing in progress answers.
            class Refuser : public QObject
            {
            public:
                bool refuse = false;
                bool eventFilter(QObject *, QEvent *e) override
                {
                    if (e->type() == QEvent::Close && refuse) {
                        e->ignore();
                        return true;
                    }
                    return false;
                }
            } refuser;
            refuser.refuse = screenRefuses;
            sub->widget()->installEventFilter(&refuser);
            QAction *quit = window.findChild<QAction *>(QStringLiteral("actSair"));
            QVERIFY(quit);
            quit->trigger();
            QCOMPARE(window.isVisible(), !hostCloses);
            QCOMPARE(sub->isVisible(), !hostCloses);
            sub->widget()->removeEventFilter(&refuser);
            if (!hostCloses)
                QVERIFY(window.close());
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        HostServices::setInstance(nullptr);
    }

    void qtTextsArePortuguese_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("text");
        QTest::newRow("Close") << int(QDialogButtonBox::Close) << "Fechar";
        QTest::newRow("Cancel") << int(QDialogButtonBox::Cancel) << "Cancelar";
    }
    void qtTextsArePortuguese()
    {
        QFETCH(int, button);
        QFETCH(QString, text);
        static const bool loaded = kmp::installQtTranslations(*QCoreApplication::instance());
        QVERIFY2(loaded, "qt6-translations-l10n is not installed");
        QDialogButtonBox box{QDialogButtonBox::StandardButtons(button)};
        QCOMPARE(box.button(QDialogButtonBox::StandardButton(button))->text().remove(QLatin1Char('&')), text);
    }

    // Where no one can see a box, a host that cannot open its module says why and ends.
    void unloadableModuleWithoutADisplayEnds_data()
    {
        QTest::addColumn<QString>("module");
        QTest::addColumn<QString>("said");
        QTest::newRow("missing module") << "PKG_NADA"
                                        << "módulo PKG_NADA não encontrado";
        QTest::newRow("module without its entry") << "PKG_NOENTRY"
                                                  << "PKG_NOENTRY";
    }
    void unloadableModuleWithoutADisplayEnds()
    {
        QFETCH(QString, module);
        QFETCH(QString, said);
        makeOptions();
        QProcess host;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        host.setProcessEnvironment(env);
        host.start(QStringLiteral(KMP_HOST_EXE),
                   {QStringLiteral("--settings"), m_dir.filePath(QStringLiteral("host.ini")), QStringLiteral("--state"),
                    m_dir.filePath(QStringLiteral("run.state")), QStringLiteral("--module-path"),
                    QStringLiteral(KMP_TEST_MODULE_DIR), QStringLiteral("--module"), module, QStringLiteral("--patient"),
                    QStringLiteral("9")});
        const bool ended = host.waitForFinished(20000);
        if (!ended) {
            host.kill();
            host.waitForFinished(5000);
        }
        QVERIFY2(ended, "the host waited on a box nobody can see");
        QCOMPARE(host.exitStatus(), QProcess::NormalExit);
        QVERIFY(host.exitCode() != 0);
        const QByteArray err = host.readAllStandardError();
        QVERIFY2(err.contains(said.toUtf8()), err.constData());
    }

    void executableEndToEnd()
    {
        QProcess help;
        help.start(QStringLiteral(KMP_HOST_EXE), {QStringLiteral("--help")});
        QVERIFY(help.waitForFinished(30000));
        QCOMPARE(help.exitCode(), 0);
        const QByteArray helpText = help.readAllStandardOutput();
        QVERIFY(helpText.contains("--screenshot"));
        QVERIFY2(helpText.contains("Uso: kmp-host") && !helpText.contains("Usage:") && !helpText.contains("Options:"),
                 helpText.constData());

        const QString shot = m_dir.filePath(QStringLiteral("shot.png"));
        const QString state = m_dir.filePath(QStringLiteral("run.state"));
        QProcess host;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        host.setProcessEnvironment(env);
        host.start(QStringLiteral(KMP_HOST_EXE),
                   {QStringLiteral("--settings"), m_dir.filePath(QStringLiteral("host.ini")), QStringLiteral("--state"), state,
                    QStringLiteral("--module"), QStringLiteral("PKG_TESTMOD"), QStringLiteral("--module-path"),
                    QStringLiteral(KMP_TEST_MODULE_DIR), QStringLiteral("--patient"), QStringLiteral("9"),
                    QStringLiteral("--date"), QStringLiteral("2026-12-07"), QStringLiteral("--screenshot"), shot});
        QVERIFY(host.waitForFinished(60000));
        QVERIFY2(host.exitCode() == 0, host.readAllStandardError().constData());
        QImage image(shot);
        QVERIFY(!image.isNull());
        QVERIFY(image.width() > 600);

        QProcess missing;
        missing.setProcessEnvironment(env);
        missing.start(QStringLiteral(KMP_HOST_EXE),
                      {QStringLiteral("--settings"), m_dir.filePath(QStringLiteral("host.ini")), QStringLiteral("--state"), state,
                       QStringLiteral("--module"), QStringLiteral("PKG_NADA"), QStringLiteral("--patient"), QStringLiteral("9"),
                       QStringLiteral("--screenshot"), shot});
        QVERIFY(missing.waitForFinished(60000));
        QCOMPARE(missing.exitCode(), 2);
        QVERIFY(missing.readAllStandardError().contains("módulo PKG_NADA não encontrado"));
    }
};

QTEST_MAIN(TestHost)
#include "tst_host.moc"
