// What TLS and client keys cost under load: the server-load mix (16 clients, 80% loads
// GetDiagPaci/GetHistGer, 20% SetDiagPaci saves) against one server on plain loopback and
// against one with TLS and a key file, in the same run on identical SQLite databases.
// Prints both throughputs, their ratio (tls/plain; the goal is 0.8 or more) and the
// median time to connect (TCP vs TLS handshake plus the key challenge).

#include "benchserver.h"
#include "dbconnection.h"
#include "demodata.h"
#include "packet.h"
#include "schema.h"
#include "testcertificates.h"

#include <QCborArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

using namespace kmp;

namespace {

const QString kKeyName = QStringLiteral("bancada");
const QByteArray kSecret = QByteArrayLiteral("segredo-da-bancada-de-testes");

struct Security
{
    bool on = false;
    QString ca;
};

struct Result
{
    double opsPerSecond = 0;
    double p50 = 0;
    double p99 = 0;
    double connectMs = 0;
    quint64 errors = 0;
};

void configure(wire::Client &c, quint16 port, const Security &sec)
{
    c.setEndpoint(QStringLiteral("127.0.0.1"), port);
    c.setTimeouts(5000, 30000);
    if (sec.on) {
        c.setTls(true, sec.ca);
        c.setCredentials(kKeyName, kSecret);
    }
}

Result runLoad(const QString &spec, const QStringList &serverOptions, const Security &sec, int clients, double seconds)
{
    {
        server::DbConnection db(server::DatabaseConfig::parse(spec));
        server::loadDemo(db);
    }
    bench::ServerProcess server(spec, serverOptions);
    Result res;

    std::vector<double> connects;
    for (int i = 0; i < 20; ++i) {
        wire::Client c;
        configure(c, server.port(), sec);
        QElapsedTimer t;
        t.start();
        c.connectToServer();
        connects.push_back(t.nsecsElapsed() / 1e6);
    }
    res.connectMs = bench::median(connects);

    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<double> latencies;
    std::atomic<quint64> errors{0};
    const double date = server::demoConsulta();
    const auto client = [&](int n) {
        wire::Client c;
        configure(c, server.port(), sec);
        std::mt19937 random(unsigned(n) * 7919u + 1u);
        const QString paciente = QStringLiteral("%1").arg(n + 100, 12, 10, QLatin1Char('0'));
        const RowValues row{QStringLiteral("0001"), paciente, date, QStringLiteral("I10"),
                            QStringLiteral("Hipertensão essencial (primária)"), 1.0, QStringLiteral("CID10")};
        bool present = false;
        std::vector<double> mine;
        while (!stop.load()) {
            const int dice = int(random() % 10);
            wire::Request r;
            if (dice < 2) {
                Delta d;
                d.fields = server::tables::diagPaci().fieldDefs();
                d.changes.push_back(present ? Change{ChangeKind::Delete, row, {}} : Change{ChangeKind::Insert, {}, row});
                r = bench::request(QStringLiteral("SetDiagPaci"), {QCborValue(encodeDelta(d))});
            } else if (dice < 6) {
                r = bench::request(QStringLiteral("GetDiagPaci"), {QStringLiteral("0001"), paciente, date});
            } else {
                r = bench::request(QStringLiteral("GetHistGer"), {paciente, QStringLiteral("0001"), date});
            }
            QElapsedTimer t;
            t.start();
            try {
                const wire::Response resp = c.call(r);
                if (!resp.ok)
                    ++errors;
                else if (dice < 2)
                    present = !present;
            } catch (const std::exception &) {
                ++errors;
            }
            mine.push_back(t.nsecsElapsed() / 1e6);
        }
        std::lock_guard<std::mutex> g(lock);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
    };
    std::vector<std::thread> threads;
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(client, i);
    std::this_thread::sleep_for(std::chrono::milliseconds(qint64(seconds * 1000)));
    stop = true;
    for (auto &t : threads)
        t.join();
    const double elapsed = wall.nsecsElapsed() / 1e9;
    res.opsPerSecond = double(latencies.size()) / elapsed;
    res.p50 = bench::percentile(latencies, 0.50);
    res.p99 = bench::percentile(latencies, 0.99);
    res.errors = errors.load();
    return res;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Throughput of kmp-appserver over TLS with client keys against plain loopback, same mix, same run. "
        "Needs openssl to make the test certificates."));
    parser.addHelpOption();
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"), QStringLiteral("Duration of each run (default 10)."),
                                        QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption clientsOpt(QStringLiteral("clients"), QStringLiteral("Concurrent clients (default 16)."),
                                        QStringLiteral("N"), QStringLiteral("16"));
    parser.addOptions({secondsOpt, clientsOpt});
    parser.process(app);
    const double seconds = std::max(0.5, parser.value(secondsOpt).toDouble());
    const int clients = std::max(1, parser.value(clientsOpt).toInt());

    test::TestCertificates certs;
    QString why;
    if (!certs.create(&why)) {
        std::fprintf(stderr, "bench_tls-overhead: %s\n", qPrintable(why));
        return 1;
    }
    QTemporaryDir dir;
    QFile keys(dir.filePath(QStringLiteral("keys")));
    if (!keys.open(QIODevice::WriteOnly))
        return 1;
    keys.write(kKeyName.toUtf8() + ':' + kSecret + '\n');
    keys.close();
    keys.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    const Result plain = runLoad(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("plain.db")), {}, {}, clients, seconds);
    const Result tls = runLoad(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("tls.db")),
                               certs.serverOptions() + QStringList{QStringLiteral("--keys"), keys.fileName()},
                               Security{true, certs.ca()}, clients, seconds);
    std::printf("BENCH tls-overhead clients=%d seconds=%g plain_ops=%.0f tls_ops=%.0f ratio=%.2f plain_p50_ms=%.2f "
                "tls_p50_ms=%.2f plain_p99_ms=%.2f tls_p99_ms=%.2f plain_connect_ms=%.2f tls_connect_ms=%.2f "
                "plain_errors=%llu tls_errors=%llu\n",
                clients, seconds, plain.opsPerSecond, tls.opsPerSecond, tls.opsPerSecond / plain.opsPerSecond, plain.p50,
                tls.p50, plain.p99, tls.p99, plain.connectMs, tls.connectMs, (unsigned long long)plain.errors,
                (unsigned long long)tls.errors);
    return 0;
}
