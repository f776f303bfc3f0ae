// What TLS and client keys cost under load: the server-load mix (16 clients, 80% loads
// GetDiagPaci/GetHistGer, 20% SetDiagPaci saves) against one server on plain loopback and
// against one with TLS and a key file, in the same run on identical SQLite databases, the
// two taking the load in alternating slices.
// Prints both throughputs, their ratio (tls/plain; the goal is 0.8 or more), the median
// time to connect (TCP vs TLS handshake plus the key challenge), and each server's processor
// time per request (the slices' connections included) with their ratio: the clients share
// this machine's processors, stations in a clinic do not.

#include "dbconnection.h"
#include "demodata.h"
#include "loadmix.h"
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
#include <unistd.h>

using namespace kmp;

namespace {

const QString kKeyName = QStringLiteral("bancada");
const QByteArray kSecret = QByteArrayLiteral("segredo-da-bancada-de-testes");

struct Security
{
    bool on = false;
    QString ca;
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

// One server with its database, the security its clients use, and its connect time.
struct Side
{
    Side(const QString &database, const QStringList &serverOptions, Security security)
        : sec(std::move(security)), demoLoaded(loadDemoInto(database)), server(database, serverOptions)
    {
        std::vector<double> connects;
        for (int i = 0; i < 20; ++i) {
            wire::Client c;
            configure(c, server.port(), sec);
            QElapsedTimer t;
            t.start();
            c.connectToServer();
            connects.push_back(t.nsecsElapsed() / 1e6);
        }
        connectMs = bench::median(connects);
    }
    static bool loadDemoInto(const QString &database)
    {
        server::DbConnection db(server::DatabaseConfig::parse(database));
        server::loadDemo(db);
        return true;
    }
    bench::LoadResult slice(int clients, double seconds)
    {
        const double before = cpuSeconds();
        bench::LoadResult r = bench::runLoadMix(clients, seconds, [this](wire::Client &c) { configure(c, server.port(), sec); });
        serverCpu += cpuSeconds() - before;
        return r;
    }
    // The server process's processor time so far (user and system), from /proc; 0 where
    // there is none.
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(server.pid()));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        // The fields after the command name, which is in parentheses and may hold spaces.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (f.size() < 13)
            return 0;
        return double(f[11].toLongLong() + f[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }

    Security sec;
    bool demoLoaded; // before the server starts on the database
    bench::ServerProcess server;
    double connectMs = 0;
    double serverCpu = 0; // seconds of processor time the server spent on the slices
    std::vector<bench::LoadResult> slices;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Throughput of kmp-appserver over TLS with client keys against plain loopback, same mix, same run. "
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

    // Both servers run side by side and take the load in turns, a slice at a time, the order
    // swapped every round, so that whatever else the machine does falls on both alike.
    Side plainSide(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("plain.db")), {}, {});
    Side tlsSide(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("tls.db")),
                 certs.serverOptions() + QStringList{QStringLiteral("--keys"), keys.fileName()}, Security{true, certs.ca()});
    const int rounds = std::max(1, int(seconds / 2.5 + 0.5));
    for (int r = 0; r < rounds; ++r) {
        Side &first = r % 2 ? tlsSide : plainSide;
        Side &second = r % 2 ? plainSide : tlsSide;
        first.slices.push_back(first.slice(clients, seconds / rounds));
        second.slices.push_back(second.slice(clients, seconds / rounds));
    }
    const bench::LoadResult plain = bench::combined(plainSide.slices);
    const bench::LoadResult tls = bench::combined(tlsSide.slices);
    // The server's processor time per request: what bounds a server whose stations are other
    // machines (here the clients share the same two processors with it).
    const auto perRequest = [](const Side &side, const bench::LoadResult &r) {
        return r.latencies.empty() ? 0.0 : side.serverCpu * 1e6 / double(r.latencies.size());
    };
    const double plainCpu = perRequest(plainSide, plain), tlsCpu = perRequest(tlsSide, tls);
    std::printf("BENCH tls-overhead clients=%d seconds=%g plain_ops=%.0f tls_ops=%.0f ratio=%.2f plain_p50_ms=%.2f "
                "tls_p50_ms=%.2f plain_p99_ms=%.2f tls_p99_ms=%.2f plain_connect_ms=%.2f tls_connect_ms=%.2f "
                "plain_errors=%llu tls_errors=%llu plain_server_cpu_us=%.0f tls_server_cpu_us=%.0f server_cpu_ratio=%.2f\n",
                clients, seconds, plain.opsPerSecond, tls.opsPerSecond, tls.opsPerSecond / plain.opsPerSecond, plain.p50, tls.p50,
                plain.p99, tls.p99, plainSide.connectMs, tlsSide.connectMs, (unsigned long long)plain.errors,
                (unsigned long long)tls.errors, plainCpu, tlsCpu, tlsCpu > 0 ? plainCpu / tlsCpu : 0.0);
    return 0;
}
