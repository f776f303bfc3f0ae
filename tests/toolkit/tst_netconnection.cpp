#include "clientshelf.h"
#include "consiste.h"
#include "exceptions.h"
#include "frame.h"
#include "hostservices.h"
#include "indicatorwatch.h"
#include "message.h"
#include "showavi.h"
#include "tnetconnection.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <thread>

#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>
#include <atomic>

using namespace kmp;

namespace {

// A server on its own thread (the client blocks the test's thread). Mode per connection:
// answer each request, read one request and hang up, read and never answer, or answer
// every three requests in reverse order (a server that mixes answers up).
class TestServer : public QThread
{
public:
    enum Mode { Answer, CloseMidCall, Silent, Reversed };
    explicit TestServer(Mode mode) : m_mode(mode) {}
    ~TestServer() override
    {
        m_stop = true;
        wait(5000);
    }

    quint16 start()
    {
        QThread::start();
        while (m_port == 0 && !m_failed)
            QThread::msleep(5);
        return m_port;
    }
    std::atomic<Mode> m_mode;
    std::atomic<int> requests{0};
    std::atomic<int> connections{0};

protected:
    void run() override
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0)) {
            m_failed = true;
            return;
        }
        m_port = server.serverPort();
        for (int rounds = 0; !m_stop && rounds < 2000; ++rounds) {
            if (!server.waitForNewConnection(10))
                continue;
            std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
            ++connections;
            wire::FrameReader reader;
            QList<wire::Response> held;
            while (!m_stop && socket->state() == QAbstractSocket::ConnectedState) {
                if (!socket->waitForReadyRead(20)) {
                    if (socket->state() != QAbstractSocket::ConnectedState)
                        break;
                    continue;
                }
                reader.append(socket->readAll());
                while (auto body = reader.next()) {
                    ++requests;
                    const wire::Request req = wire::decodeRequest(*body);
                    if (m_mode == CloseMidCall) {
                        socket->abort();
                        break;
                    }
                    if (m_mode == Silent)
                        continue;
                    wire::Response resp =
                        req.method == QLatin1String("Fail")
                            ? wire::Response::failure(req.id, wire::ErrorCode::Conflict,
                                                      QStringLiteral("Registro alterado por outro usuário."))
                            : wire::Response::success(req.id, QCborValue(req.module + QLatin1Char('/') + req.method));
                    if (m_mode == Reversed) {
                        held.prepend(resp);
                        if (held.size() < 3)
                            continue;
                        for (const wire::Response &r : std::as_const(held))
                            socket->write(wire::frame(wire::encodeResponse(r)));
                        held.clear();
                        socket->waitForBytesWritten(1000);
                        continue;
                    }
                    socket->write(wire::frame(wire::encodeResponse(resp)));
                    socket->waitForBytesWritten(1000);
                }
            }
        }
    }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_failed{false};
    std::atomic<quint16> m_port{0};
};

quint16 closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort(); // closed again when s goes
}

} // namespace

class TestNetConnection : public QObject
{
    Q_OBJECT

    void prepare(TNetConnection &net, quint16 port)
    {
        net.ServerName = QStringLiteral("KMP12800.rdmDiagPaci");
        net.ServerGUID = QStringLiteral("{guid}");
        net.OnBeforeConnect = [port](TNetConnection &c) {
            c.Host = QStringLiteral("127.0.0.1");
            c.Port = port;
        };
        net.setTimeouts(2000, 400);
    }

private Q_SLOTS:
    void callReturnsTheServersAnswer()
    {
        TestServer server(TestServer::Answer);
        const quint16 port = server.start();
        TNetConnection net;
        prepare(net, port);
        net.setConnected(true);
        QVERIFY(net.connected());
        const wire::Response r = net.call(QStringLiteral("GetDiagnost"), {});
        QCOMPARE(Consiste::CheckResultServ(r, true, 0).toString(), QStringLiteral("KMP12800.rdmDiagPaci/GetDiagnost"));
    }

    void everyCallShowsTheIndicator_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QStringList>("texts"); // the indicator's texts, in the order shown
        QTest::newRow("first call connects, then loads")
            << "GetDiagnost" << QStringList{QStringLiteral("Conectando..."), QStringLiteral("Carregando...")};
        QTest::newRow("a save") << "SetDiagPaci" << QStringList{QStringLiteral("Conectando..."), QStringLiteral("Gravando...")};
        QTest::newRow("the code check") << "GetVD_Diag"
                                        << QStringList{QStringLiteral("Conectando..."), QStringLiteral("Carregando...")};
    }
    void everyCallShowsTheIndicator()
    {
        QFETCH(QString, method);
        QFETCH(QStringList, texts);
        TestServer server(TestServer::Answer);
        const quint16 port = server.start();
        QWidget main;
        main.resize(400, 300);
        main.show();
        MemoryHostServices host;
        host.setMainForm(&main);
        HostServices::setInstance(&host);
        IndicatorWatch watch;
        {
            TNetConnection net;
            prepare(net, port);
            net.call(method, {});
        }
        HostServices::setInstance(nullptr);
        QCOMPARE(watch.texts, texts);
        QCOMPARE(Showavi::depth(), 0);
        QVERIFY(!Showavi::overlay()->isVisible());
        QCOMPARE(Showavi::overlay()->parentWidget(), &main);
    }

    // A connection used on a worker thread (a second station in the load tests) has no
    // screen: it must leave the user-interface thread's indicator alone.
    void callsOffTheUiThreadLeaveTheIndicatorAlone()
    {
        TestServer server(TestServer::Answer);
        const quint16 port = server.start();
        QWidget main;
        main.show();
        MemoryHostServices host;
        host.setMainForm(&main);
        HostServices::setInstance(&host);
        Showavi::ActiveShowAvi(&main, 1);
        const QString before = Showavi::currentText();
        QString answer;
        std::thread worker([&] {
            TNetConnection net;
            prepare(net, port);
            for (int i = 0; i < 20; ++i)
                answer = Consiste::CheckResultServ(net.call(QStringLiteral("GetDiagnost"), {}), true, 0).toString();
        });
        worker.join();
        QCOMPARE(answer, QStringLiteral("KMP12800.rdmDiagPaci/GetDiagnost"));
        QCOMPARE(Showavi::depth(), 1);
        QCOMPARE(Showavi::currentText(), before);
        Showavi::DeactiveShowAvi();
        QCOMPARE(Showavi::depth(), 0);
        HostServices::setInstance(nullptr);
    }

    // While a call waits on the server, what the user clicks or types is dropped, not run
    // once the call is over.
    void inputDuringACallIsDiscarded_data()
    {
        QTest::addColumn<QString>("input");
        QTest::newRow("a click on a button") << "click";
        QTest::newRow("keys typed into an entry") << "keys";
        QTest::newRow("a shortcut key") << "shortcut";
    }
    void inputDuringACallIsDiscarded()
    {
        QFETCH(QString, input);
        TestServer server(TestServer::Silent);
        const quint16 port = server.start();
        QWidget main;
        auto *layout = new QVBoxLayout(&main);
        auto *button = new QPushButton(QStringLiteral("Excluir"), &main);
        auto *entry = new QLineEdit(&main);
        layout->addWidget(button);
        layout->addWidget(entry);
        int clicks = 0, shortcuts = 0;
        connect(button, &QPushButton::clicked, this, [&] { ++clicks; });
        auto *action = new QAction(&main);
        action->setShortcut(QKeySequence(Qt::Key_F4));
        main.addAction(action);
        connect(action, &QAction::triggered, this, [&] { ++shortcuts; });
        main.show();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        entry->setFocus();
        MemoryHostServices host;
        host.setMainForm(&main);
        HostServices::setInstance(&host);

        auto post = [&] {
            // The user acts while the event loop is blocked in the call: the events queue up.
            const QPointF at(button->rect().center());
            if (input == QLatin1String("click")) {
                QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonPress, at, button->mapToGlobal(at),
                                                                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
                QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonRelease, at, button->mapToGlobal(at),
                                                                    Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
            } else if (input == QLatin1String("keys")) {
                for (char c : {'a', 'b'}) {
                    QCoreApplication::postEvent(entry,
                                                new QKeyEvent(QEvent::KeyPress, c, Qt::NoModifier, QString(QLatin1Char(c))));
                    QCoreApplication::postEvent(entry,
                                                new QKeyEvent(QEvent::KeyRelease, c, Qt::NoModifier, QString(QLatin1Char(c))));
                }
            } else {
                QCoreApplication::postEvent(entry, new QKeyEvent(QEvent::ShortcutOverride, Qt::Key_F4, Qt::NoModifier));
                QCoreApplication::postEvent(entry, new QKeyEvent(QEvent::KeyPress, Qt::Key_F4, Qt::NoModifier));
            }
        };
        std::atomic<bool> posted{false};
        const int droppedBefore = Showavi::discardedInputs();
        std::thread user([&] {
            QThread::msleep(150);
            post();
            posted = true;
        });
        {
            TNetConnection net;
            prepare(net, port);
            net.setTimeouts(2000, 700);
            QVERIFY_THROWS_EXCEPTION(wire::ConnectionError, net.call(QStringLiteral("GetDiagPaci"), {}));
        }
        user.join();
        QVERIFY(posted);
        QCoreApplication::processEvents();
        HostServices::setInstance(nullptr);
        QCOMPARE(clicks, 0);
        QCOMPARE(entry->text(), QString());
        QCOMPARE(shortcuts, 0);
        QVERIFY(Showavi::discardedInputs() > droppedBefore);

        // Once the call is over the same input works again.
        QTest::mouseClick(button, Qt::LeftButton);
        QTest::keyClicks(entry, QStringLiteral("ok"));
        QCOMPARE(clicks, 1);
        QCOMPARE(entry->text(), QStringLiteral("ok"));
    }

    void failures_data()
    {
        QTest::addColumn<int>("mode");       // -1 no server
        QTest::addColumn<bool>("pipelined"); // three calls sent together
        for (const bool pipelined : {false, true}) {
            const char *how = pipelined ? "three calls together" : "one call";
            QTest::addRow("connection refused, %s", how) << -1 << pipelined;
            QTest::addRow("server never answers: read timeout, %s", how) << int(TestServer::Silent) << pipelined;
            QTest::addRow("server hangs up mid-call, %s", how) << int(TestServer::CloseMidCall) << pipelined;
        }
        QTest::newRow("server mixes the answers up, three calls together") << int(TestServer::Reversed) << true;
    }

    void failures()
    {
        QFETCH(int, mode);
        QFETCH(bool, pipelined);
        std::unique_ptr<TestServer> server;
        quint16 port;
        if (mode < 0) {
            port = closedPort();
        } else {
            server = std::make_unique<TestServer>(TestServer::Mode(mode));
            port = server->start();
        }
        TNetConnection net;
        prepare(net, port);
        QElapsedTimer t;
        t.start();
        bool raised = false;
        QString message;
        const QList<TNetConnection::Call> three{{QStringLiteral("GetDiagnost"), {}},
                                                {QStringLiteral("GetDiagPaci"), {QCborValue(QStringLiteral("01"))}},
                                                {QStringLiteral("GetDiagAsso"), {}}};
        QList<wire::Response> answers;
        try {
            if (pipelined)
                answers = net.callAll(three);
            else
                net.call(QStringLiteral("GetDiagPaci"), {QCborValue(QStringLiteral("01"))});
        } catch (const wire::ConnectionError &e) {
            raised = true;
            message = e.userMessage();
        }
        QVERIFY(raised);
        QVERIFY2(!message.isEmpty(), "the error must say what happened");
        QVERIFY2(t.elapsed() < 5000, "bounded by the timeouts");
        QVERIFY(!net.connected());

        // The same connection object works again once a server answers.
        if (server)
            server->m_mode = TestServer::Answer;
        else {
            server = std::make_unique<TestServer>(TestServer::Answer);
            const quint16 newPort = server->start();
            prepare(net, newPort);
        }
        const wire::Response r = net.call(QStringLiteral("GetDiagPaci"), {});
        QVERIFY(r.ok);
        QVERIFY(net.connected());
        // Each answer of a run sent together belongs to its own call.
        answers = net.callAll(three);
        QCOMPARE(answers.size(), three.size());
        for (qsizetype i = 0; i < three.size(); ++i)
            QCOMPARE(Consiste::CheckResultServ(answers.at(i), true, 0).toString(),
                     QStringLiteral("KMP12800.rdmDiagPaci/") + three.at(i).method);
    }

    void onBeforeConnectRunsOnEveryConnect()
    {
        TestServer server(TestServer::Answer);
        const quint16 port = server.start();
        TNetConnection net;
        int calls = 0;
        net.OnBeforeConnect = [&](TNetConnection &c) {
            ++calls;
            c.Host = QStringLiteral("127.0.0.1");
            c.Port = port;
        };
        net.setConnected(true);
        net.setConnected(true); // already connected: no new connect
        QCOMPARE(calls, 1);
        net.setConnected(false);
        QVERIFY(!net.connected());
        QTest::qWait(200); // the test server serves one connection at a time: let it see the hang-up
        try {
            net.call(QStringLiteral("GetDiagnost"));
        } catch (const kmp::Error &e) {
            QFAIL(qPrintable(e.userMessage()));
        }
        QCOMPARE(calls, 2);
    }

    void theNextConnectionTakesOverTheIdleOne_data()
    {
        QTest::addColumn<bool>("destroyed"); // or disconnected with setConnected(false)
        QTest::newRow("screen closed: connection object destroyed") << true;
        QTest::newRow("connection switched off") << false;
    }
    // A screen closed and the next one opened talk to the server over the same
    // connection: no new connect (over a slow link, a round trip and the handshakes).
    void theNextConnectionTakesOverTheIdleOne()
    {
        QFETCH(bool, destroyed);
        TestServer server(TestServer::Answer);
        const quint16 port = server.start();
        auto first = std::make_unique<TNetConnection>();
        prepare(*first, port);
        QVERIFY(first->call(QStringLiteral("GetDiagnost")).ok);
        if (destroyed)
            first.reset();
        else
            first->setConnected(false);
        if (first)
            QVERIFY(!first->connected());
        TNetConnection second;
        prepare(second, port);
        const wire::Response r = second.call(QStringLiteral("GetDiagPaci"));
        QCOMPARE(Consiste::CheckResultServ(r, true, 0).toString(), QStringLiteral("KMP12800.rdmDiagPaci/GetDiagPaci"));
        QCOMPARE(server.connections.load(), 1);
        QVERIFY(second.connectIfIdle());
        // The first object, still there, gets a connection of its own.
        if (first) {
            QVERIFY(!first->connectIfIdle()); // none idle now, and it does not open one
            QVERIFY(!first->connected());
        }
        wire::ClientShelf::instance().clear();
    }

    // A parked connection the server closed meanwhile is not taken as "at hand": the
    // caller then connects on its normal path, with its indicator and messages.
    void idleConnectionClosedByTheServerIsNotAtHand()
    {
        wire::ClientShelf::instance().clear(); // what the tests before left there
        quint16 port = 0;
        {
            TestServer server(TestServer::Answer);
            port = server.start();
            TNetConnection first;
            prepare(first, port);
            QVERIFY(first.call(QStringLiteral("GetDiagnost")).ok);
        } // the connection is parked, then the server goes away
        QCOMPARE(wire::ClientShelf::instance().parked(), 1);
        // The close reaches this machine's socket, but no event loop runs to notice it, as
        // while a screen is being built.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        TNetConnection second;
        prepare(second, port);
        QVERIFY(!second.connectIfIdle());
        QVERIFY(!second.connected());
        wire::ClientShelf::instance().clear();
    }

    void checkResultServ_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("success gives the payload") << true << 0 << "";
        QTest::newRow("server error raises with its text") << false << 409 << "Registro alterado por outro usuário.";
        QTest::newRow("error without text still raises") << false << 500 << "";
    }
    void checkResultServ()
    {
        QFETCH(bool, ok);
        QFETCH(int, code);
        QFETCH(QString, message);
        const wire::Response r = ok ? wire::Response::success(1, QCborValue(QByteArray("packet")))
                                    : wire::Response::failure(1, wire::ErrorCode(code), message);
        if (ok) {
            QCOMPARE(Consiste::CheckResultServ(r, true, 0).toByteArray(), QByteArray("packet"));
            return;
        }
        try {
            Consiste::CheckResultServ(r, true, 0);
            QFAIL("an error result must raise");
        } catch (const ServerError &e) {
            QCOMPARE(e.code(), code);
            if (!message.isEmpty())
                QCOMPARE(e.userMessage(), message);
            else
                QVERIFY(e.userMessage().contains(QString::number(code)));
        }
    }

    void serverErrorThroughTheConnection()
    {
        TestServer server(TestServer::Answer);
        TNetConnection net;
        prepare(net, server.start());
        const wire::Response r = net.call(QStringLiteral("Fail"));
        QVERIFY(!r.ok);
        QVERIFY_THROWS_EXCEPTION(ServerError, Consiste::CheckResultServ(r, true, 0));
        // A server error is not a transport failure: the connection stays up.
        QVERIFY(net.connected());
    }

    void timeoutsFromTheEnvironment()
    {
        qputenv("KMP_CONNECT_TIMEOUT_MS", "1234");
        qputenv("KMP_READ_TIMEOUT_MS", "not-a-number");
        TNetConnection net;
        QCOMPARE(net.connectTimeout(), 1234);
        QCOMPARE(net.readTimeout(), 30000);
        qunsetenv("KMP_CONNECT_TIMEOUT_MS");
        qunsetenv("KMP_READ_TIMEOUT_MS");
    }
};

QTEST_MAIN(TestNetConnection)
#include "tst_netconnection.moc"
