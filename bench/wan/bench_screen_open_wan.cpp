// The screen opened over a slow link (10 Mbit/s each way, 40 ms round trip, through a
// proxy in this process) against the same open over loopback, alternating in one run.
// Both use the station's catalogue copy once it exists, and the connection the previous
// screen left idle, as a station does from its second open on; the cold open (no copy
// yet) and the catalogue call alone, plain and compressed, are measured over the same
// link for comparison.
#include "context.h"
#include "entry.h"
#include "recordset.h"
#include "serverfixture.h"
#include "slowlink.h"
#include "tfrmdiagpaci.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

namespace {

constexpr double kBitsPerSecond = 10e6;
constexpr int kRoundTripMs = 40;

double openScreen(int *catalogueRows)
{
    QElapsedTimer t;
    t.start();
    IniProc(QVariant(
        QVariantList{QStringLiteral("0001"), QStringLiteral("000000000001"), QStringLiteral("Maria da Silva"), 46363.0}));
    QApplication::processEvents();
    const double ms = t.nsecsElapsed() / 1e6;
    *catalogueRows = frmDiagPaci ? frmDiagPaci->cdsDiagnost->recordCount() : -1;
    if (frmDiagPaci)
        frmDiagPaci->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
    return ms;
}

double catalogueCall(quint16 port, bool compressed, qsizetype *packetBytes)
{
    kmp::wire::Client client;
    client.setEndpoint(QStringLiteral("127.0.0.1"), port);
    client.setAcceptCompressed(compressed);
    kmp::wire::Request r;
    r.module = QStringLiteral("KMP12800.rdmDiagPaci");
    r.guid = QStringLiteral("{E745E5A3-3517-4D2D-89BC-017B5494498E}");
    r.method = QStringLiteral("GetDiagnost");
    QElapsedTimer t;
    t.start();
    const kmp::wire::Response resp = client.call(r);
    const double ms = t.nsecsElapsed() / 1e6;
    *packetBytes = resp.ok ? resp.result.toByteArray().size() : -1;
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    // The station's cache goes to a folder of this run only.
    QTemporaryDir cacheHome;
    qputenv("XDG_CACHE_HOME", cacheHome.path().toLocal8Bit());
    QApplication app(argc, argv);
    ScreenHarness server;
    QString why;
    if (!server.startWithCatalogue(&why)) {
        std::fprintf(stderr, "bench screen-open-wan: %s\n", qPrintable(why));
        return 1;
    }
    QThread linkThread;
    SlowLink link(server.port(), kBitsPerSecond, kRoundTripMs);
    link.moveToThread(&linkThread);
    linkThread.start();
    quint16 linkPort = 0;
    QMetaObject::invokeMethod(
        &link, [&link]() { return link.listen(); }, Qt::BlockingQueuedConnection, &linkPort);
    if (!linkPort) {
        std::fprintf(stderr, "bench screen-open-wan: the proxy could not listen\n");
        return 1;
    }
    const QString cacheDir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    const auto over = [&](bool wan) { server.host().setWebPort(wan ? linkPort : server.port()); };

    int rows = 0, wanRows = 0;
    over(false);
    openScreen(&rows); // libraries, fonts, and the station's first copy of the catalogue
    std::vector<double> loopback, wan, cold;
    qint64 requests = 0, connections = 0, exchanges = 0;
    for (int i = 0; i < 9; ++i) {
        over(false);
        loopback.push_back(openScreen(&rows));
        over(true);
        const qint64 r0 = link.requests(), c0 = link.connections(), e0 = link.exchanges();
        wan.push_back(openScreen(&wanRows));
        requests = link.requests() - r0;
        connections = link.connections() - c0;
        exchanges = link.exchanges() - e0;
        if (rows != wanRows || rows < 1000) {
            std::fprintf(stderr, "bench screen-open-wan: catalogue rows differ (%d, %d)\n", rows, wanRows);
            return 1;
        }
    }
    for (int i = 0; i < 3; ++i) {
        QDir(cacheDir).removeRecursively();
        over(true);
        cold.push_back(openScreen(&wanRows));
    }
    std::vector<double> plain, zstd;
    qsizetype plainBytes = 0, zstdBytes = 0;
    for (int i = 0; i < 3; ++i) {
        plain.push_back(catalogueCall(linkPort, false, &plainBytes));
        zstd.push_back(catalogueCall(linkPort, true, &zstdBytes));
    }
    if (plainBytes != zstdBytes || plainBytes <= 0) {
        std::fprintf(stderr, "bench screen-open-wan: plain and compressed catalogues differ\n");
        return 1;
    }
    linkThread.quit();
    linkThread.wait();

    // What the link alone costs an open, however fast the rest: a round trip per connection
    // (the handshake) and per exchange (requests sent together wait for their answers
    // once).
    const double floorMs = double((connections + exchanges) * kRoundTripMs);
    const double l = medianOf(loopback), w = medianOf(wan);
    std::printf(
        "BENCH screen-open-wan rounds=%zu catalogue_rows=%d link_mbit=%.0f rtt_ms=%d requests_per_open=%lld "
        "round_trips_per_open=%lld round_trip_floor_ms=%.0f loopback_ms=%.1f wan_ms=%.1f wan_cold_ms=%.1f catalogue_kb=%.0f "
        "catalogue_wan_plain_ms=%.1f catalogue_wan_zstd_ms=%.1f ratio=%.2f\n",
        wan.size(), rows, kBitsPerSecond / 1e6, kRoundTripMs, requests, connections + exchanges, floorMs, l, w, medianOf(cold),
        plainBytes / 1024.0, medianOf(plain), medianOf(zstd), w / l);
    return 0;
}
