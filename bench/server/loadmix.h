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
};

inline LoadResult runLoadMix(int clients, double seconds, const std::function<void(kmp::wire::Client &)> &configure)
{

    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<double> latencies;
    std::vector<double> saveLatencies;
    std::atomic<quint64> errors{0};
    const double date = server::demoConsulta();
    const auto client = [&](int n) {
        wire::Client c;
        configure(c);
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
        std::lock_guard<std::mutex> g(lock);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
        saveLatencies.insert(saveLatencies.end(), mineSaves.begin(), mineSaves.end());
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
    LoadResult res;
    res.opsPerSecond = double(latencies.size()) / elapsed;
    res.p50 = percentile(latencies, 0.50);
    res.p99 = percentile(latencies, 0.99);
    res.saveP50 = percentile(saveLatencies, 0.50);
    res.saveP99 = percentile(saveLatencies, 0.99);
    res.saveMax = saveLatencies.empty() ? 0 : *std::max_element(saveLatencies.begin(), saveLatencies.end());
    res.saves = saveLatencies.size();
    res.errors = errors.load();
    return res;
}

} // namespace kmp::bench
