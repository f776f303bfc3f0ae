#include "benchserver.h"

#include "dialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMdiArea>
#include <algorithm>

BenchServer::BenchServer() : m_main(std::make_unique<QMainWindow>())
{
    auto *area = new QMdiArea(m_main.get());
    m_main->setCentralWidget(area);
    m_main->resize(1000, 760);
    m_host.setMainForm(m_main.get());
    m_host.setApplication(qApp);
    m_host.setMdiArea(area);
    m_host.setFiliProc(QStringLiteral("0001"));
    HostServices::setInstance(&m_host);
    kmp::Dialogs::setResponder(kmp::answers::ok());
    m_main->show();
}

BenchServer::~BenchServer()
{
    HostServices::setInstance(nullptr);
    if (m_server.state() != QProcess::NotRunning) {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
}

bool BenchServer::run(const QStringList &args, QString *why)
{
    QProcess p;
    p.start(QStringLiteral(KMP_BINARY_DIR "/bin/kmp-appserver"),
            args + QStringList{QStringLiteral("--database"), QStringLiteral("sqlite:") + databaseFile()});
    if (!p.waitForFinished(300000) || p.exitCode() != 0) {
        *why = args.join(QLatin1Char(' ')) + QStringLiteral(": ") + QString::fromUtf8(p.readAllStandardError());
        return false;
    }
    return true;
}

bool BenchServer::start(QString *why)
{
    if (!run({QStringLiteral("import-cid10"), QStringLiteral(KMP_SHARED_DATA_DIR "/cid10")}, why)
        || !run({QStringLiteral("demo")}, why))
        return false;
    m_server.start(QStringLiteral(KMP_BINARY_DIR "/bin/kmp-appserver"),
                   {QStringLiteral("serve"), QStringLiteral("--database"), QStringLiteral("sqlite:") + databaseFile(),
                    QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--quiet")});
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 20000 && m_server.state() != QProcess::NotRunning) {
        m_server.waitForReadyRead(200);
        out += m_server.readAllStandardOutput();
        const int at = out.indexOf("listening on ");
        const int end = out.indexOf('\n', at);
        if (at >= 0 && end > at) {
            const QByteArray addr = out.mid(at + 13, end - at - 13).trimmed();
            m_host.setWebURL(QStringLiteral("127.0.0.1"));
            m_host.setWebPort(quint16(addr.mid(addr.lastIndexOf(':') + 1).toUInt()));
            return true;
        }
    }
    *why = QStringLiteral("server did not start: ") + QString::fromUtf8(m_server.readAllStandardError());
    return false;
}

double medianOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
