// The server's memory under the worst requests its limits allow, all at once, against the
// server at rest: large sections from several stations (more than the memory budget
// holds), saves of the most diagnosis rows one save may carry with the longest names,
// saves of far more rows than that (refused unread), and clients that ask for the whole
// catalogue and never read the answer. Prints, for SQLite and (with KMP_TEST_PGURL)
// PostgreSQL, the resident size at rest, at the peak and two seconds after the attack, and
// the peak's growth as a share of --memory-budget. Goal: the peak grows by at most 1.25
// budgets, and no more than 48 MiB stays taken afterwards (the stacks of the threads that
// served the crowd, which the C library keeps for reuse, and the databases' page caches).

#include "benchserver.h"
#include "deltavalidation.h"
#include "democatalogue.h"
#include "packet.h"
#include "schema.h"

#include <QCborArray>
#include <QCoreApplication>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <memory>
#include <thread>

using namespace kmp;

namespace {

constexpr int BudgetMib = 256;

wire::Request save(const char *method, const server::TableDef &table, int rows, const RowValues &row)
{
    Delta d;
    d.fields = table.fieldDefs();
    d.changes.assign(size_t(rows), {ChangeKind::Insert, {}, row});
    return bench::request(QLatin1String(method), {QCborValue(encodeDelta(d))});
}

struct Figures
{
    double restMib = 0;
    double peakMib = 0;
    double afterMib = 0;
};

Figures attack(const QString &database)
{
    QStringList codes;
    for (int i = 0; i < 20000; ++i)
        codes << QStringLiteral("M%1").arg(i, 5, 10, QLatin1Char('0'));
    test::addToCatalogue(server::DatabaseConfig::parse(database), codes);
    bench::ServerProcess server(database, {QStringLiteral("--memory-budget"), QString::number(BudgetMib),
                                           QStringLiteral("--max-connections"), QStringLiteral("400"),
                                           QStringLiteral("--max-per-address"), QStringLiteral("400")});
    wire::Client station;
    station.setEndpoint(QStringLiteral("127.0.0.1"), server.port());
    station.setTimeouts(5000, 300000);
    bench::callOrDie(station, bench::request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")}));
    Figures f;
    f.restMib = server.statusKb("VmRSS:") / 1024.0;
    server.resetPeak();

    const QString name(300, QLatin1Char('n'));
    const auto patient = [](int n) { return QStringLiteral("%1").arg(n, 12, 10, QLatin1Char('0')); };
    std::vector<wire::Request> requests;
    for (int n = 0; n < 4; ++n) {
        QByteArray text("{\\rtf1\\ansi ");
        text += QByteArray(60 * 1024 * 1024, 'a') + '}';
        requests.push_back(
            save("SetHistDoen", server::tables::histDoen(), 1, {patient(n), 46363.0, text, QStringLiteral("0001")}));
    }
    const RowValues diagnosis{QStringLiteral("0001"), patient(9), 46363.0, QStringLiteral("M00001"), name, 1.0,
                              QStringLiteral("CID10")};
    for (int n = 0; n < 3; ++n)
        requests.push_back(save("SetDiagPaci", server::tables::diagPaci(), int(server::MaxDiagnosisChanges), diagnosis));
    RowValues small = diagnosis;
    small[4] = QString();
    for (int n = 0; n < 3; ++n)
        requests.push_back(save("SetDiagPaci", server::tables::diagPaci(), 100000, small));
    std::vector<std::thread> senders;
    for (const wire::Request &r : requests)
        senders.emplace_back([&server, &r]() {
            wire::Client c;
            c.setEndpoint(QStringLiteral("127.0.0.1"), server.port());
            c.setTimeouts(5000, 300000);
            try {
                c.call(r); // refusals are what the limits are for
            } catch (const kmp::Error &) {
            }
        });
    std::vector<std::unique_ptr<QTcpSocket>> unread;
    const QByteArray ask = wire::frame(wire::encodeRequest(bench::request(QStringLiteral("GetDiagnost"), {})));
    for (int n = 0; n < 150; ++n) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QStringLiteral("127.0.0.1"), server.port());
        if (s->waitForConnected(5000)) {
            s->write(ask);
            s->waitForBytesWritten(5000);
            unread.push_back(std::move(s));
        }
    }
    for (auto &t : senders)
        t.join();
    requests.clear();
    QThread::sleep(2); // every answer built and waiting for its reader
    f.peakMib = server.statusKb("VmHWM:") / 1024.0;
    unread.clear();
    bench::callOrDie(station, bench::request(QStringLiteral("GetTipoLaudo"), {QString(), QStringLiteral("T")}));
    QThread::sleep(2);
    f.afterMib = server.statusKb("VmRSS:") / 1024.0;
    return f;
}

QString line(const char *prefix, const Figures &f)
{
    return QStringLiteral(" %1_rest_mib=%2 %1_peak_mib=%3 %1_after_mib=%4 %1_peak_growth_budgets=%5")
        .arg(QLatin1String(prefix))
        .arg(f.restMib, 0, 'f', 1)
        .arg(f.peakMib, 0, 'f', 1)
        .arg(f.afterMib, 0, 'f', 1)
        .arg((f.peakMib - f.restMib) / BudgetMib, 0, 'f', 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QString out = QStringLiteral("BENCH server-memory budget_mib=%1").arg(BudgetMib)
                  + line("sqlite", attack(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("memory.db"))));
    const QString url = qEnvironmentVariable("KMP_TEST_PGURL");
    if (url.isEmpty()) {
        out += QStringLiteral(" postgresql=skipped(KMP_TEST_PGURL not set)");
    } else {
        const QString schema = QStringLiteral("kmp_bench_attack_%1").arg(QCoreApplication::applicationPid());
        const QString database =
            url + (url.contains(QLatin1Char('?')) ? QStringLiteral("&schema=") : QStringLiteral("?schema=")) + schema;
        out += line("pg", attack(database));
        server::DbConnection db(server::DatabaseConfig::parse(database));
        db.execDirect(QStringLiteral("DROP SCHEMA IF EXISTS \"%1\" CASCADE").arg(schema));
    }
    out += QStringLiteral(" goal_peak_growth_budgets=1.25 goal_after_over_rest_mib=48");
    std::printf("%s\n", qPrintable(out));
    return 0;
}
