#pragma once

// The load mix both load benchmarks run: each client reads its consultation's diagnoses
// (40%) and history (40%) and saves (20%, inserting and deleting its own row so the lists
// keep their size), as fast as the server answers, for a fixed time.

#include "benchserver.h"
#include "demodata.h"
#include "packet.h"
#include "schema.h"

#include <QCborArray>
#include <QElapsedTimer>
#include <atomic>
#include <functional>
#include <latch>
#include <mutex>
#include <random>
#include <thread>

namespace kmp::bench {

struct LoadResult
{
    double opsPerSecond = 0;
    double p50 = 0;
    double p99 = 0;
    double saveP50 = 0; // the saves alone
    double saveP99 = 0;
    double saveMax = 0;
    quint64 saves = 0;
    quint64 errors = 0;
    double seconds = 0;                // how long the clients ran
    std::vector<double> latencies;     // every call's, in milliseconds
    std::vector<double> saveLatencies; // the saves'
};

// Figures of several runs of the same mix taken as one.
inline LoadResult combined(const std::vector<LoadResult> &runs)
{
    LoadResult all;
    for (const LoadResult &r : runs) {
        all.latencies.insert(all.latencies.end(), r.latencies.begin(), r.latencies.end());
        all.saveLatencies.insert(all.saveLatencies.end(), r.saveLatencies.begin(), r.saveLatencies.end());
        all.seconds += r.seconds;
        all.errors += r.errors;
    }
    all.opsPerSecond = all.seconds > 0 ? double(all.latencies.size()) / all.seconds : 0;
    all.p50 = percentile(all.latencies, 0.50);
    all.p99 = percentile(all.latencies, 0.99);
    all.saveP50 = percentile(all.saveLatencies, 0.50);
    all.saveP99 = percentile(all.saveLatencies, 0.99);
    all.saveMax = all.saveLatencies.empty() ? 0 : *std::max_element(all.saveLatencies.begin(), all.saveLatencies.end());
    all.saves = all.saveLatencies.size();
    return all;
}

inline LoadResult runLoadMix(int clients, double seconds, const std::function<void(kmp::wire::Client &)> &configure)
{

    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<double> latencies;
    std::vector<double> saveLatencies;
    std::atomic<quint64> errors{0};
    const double date = server::demoConsulta();
    // Every client connects (TLS and key handshakes included) before the clock starts: the
    // figures are the steady load; what a connection costs is measured on its own.
    std::latch connected(clients + 1);
    const auto client = [&](int n) {
        wire::Client c;
        configure(c);
        try {
            c.connectToServer();
        } catch (const std::exception &) {
            ++errors;
        }
        connected.arrive_and_wait();
        std::mt19937 random(unsigned(n) * 7919u + 1u);
        const QString paciente = QStringLiteral("%1").arg(n + 100, 12, 10, QLatin1Char('0'));
        const RowValues row{QStringLiteral("0001"),
                            paciente,
                            date,
                            QStringLiteral("I10"),
                            QStringLiteral("Hipertensão essencial (primária)"),
                            1.0,
                            QStringLiteral("CID10")};
        bool present = false;
        std::vector<double> mine;
        std::vector<double> mineSaves;
        while (!stop.load()) {
            const int dice = int(random() % 10);
            wire::Request r;
            if (dice < 2) {
                Delta d;
                d.fields = server::tables::diagPaci().fieldDefs();
                d.changes.push_back(present ? Change{ChangeKind::Delete, row, {}} : Change{ChangeKind::Insert, {}, row});
                r = request(QStringLiteral("SetDiagPaci"), {QCborValue(encodeDelta(d))});
            } else if (dice < 6) {
                r = request(QStringLiteral("GetDiagPaci"), {QStringLiteral("0001"), paciente, date});
            } else {
                r = request(QStringLiteral("GetHistGer"), {paciente, QStringLiteral("0001"), date});
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
            if (dice < 2)
                mineSaves.push_back(mine.back());
        }
        // The row goes, untimed, so that the next run of the mix starts from the same list.
        if (present) {
            Delta d;
            d.fields = server::tables::diagPaci().fieldDefs();
            d.changes.push_back(Change{ChangeKind::Delete, row, {}});
            try {
                c.call(request(QStringLiteral("SetDiagPaci"), {QCborValue(encodeDelta(d))}));
            } catch (const std::exception &) {
                ++errors;
            }
        }
        std::lock_guard<std::mutex> g(lock);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
        saveLatencies.insert(saveLatencies.end(), mineSaves.begin(), mineSaves.end());
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(client, i);
    connected.arrive_and_wait();
    QElapsedTimer wall;
    wall.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(qint64(seconds * 1000)));
    stop = true;
    for (auto &t : threads)
        t.join();
    LoadResult run;
    run.seconds = wall.nsecsElapsed() / 1e9;
    run.latencies = std::move(latencies);
    run.saveLatencies = std::move(saveLatencies);
    run.errors = errors.load();
    return combined({run});
}

} // namespace kmp::bench
