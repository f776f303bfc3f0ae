// Loads the official CID-10 catalogue as a data packet into a record set and compares the
// decode-and-load time with reading the same rows from an in-memory SQLite table.
#include "recordset.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringDecoder>
#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <string>

using namespace kmp;

namespace {

std::vector<RowValues> readCatalogue(const QString &dir, qint64 *rawBytes)
{
    std::vector<RowValues> rows;
    const struct
    {
        const char *file;
        int code, desc, abbrev;
    } files[] = {
        {"CID-10-CATEGORIAS.CSV", 0, 2, 3},
        {"CID-10-SUBCATEGORIAS.CSV", 0, 4, 5},
    };
    for (const auto &f : files) {
        QFile in(dir + QLatin1Char('/') + QLatin1String(f.file));
        if (!in.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(in.fileName()));
            std::exit(1);
        }
        const QString text = QString::fromLatin1(in.readAll());
        const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QStringList cols = lines[i].trimmed().split(QLatin1Char(';'));
            if (cols.size() <= f.abbrev)
                continue;
            RowValues r{cols[f.code], cols[f.desc], QStringLiteral("CID10"), cols[f.abbrev]};
            for (const QVariant &v : r)
                *rawBytes += v.toString().toUtf8().size();
            rows.push_back(std::move(r));
        }
    }
    return rows;
}

size_t heapInUse()
{
    return mallinfo2().uordblks;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString dir = qEnvironmentVariable("KMP_SHARED_DATA", QStringLiteral(KMP_SHARED_DATA_DIR)) + QStringLiteral("/cid10");
    qint64 rawBytes = 0;
    std::vector<RowValues> rows = readCatalogue(dir, &rawBytes);
    const FieldDefs defs = {{QStringLiteral("CDDIAGNOST"), FieldKind::String, 10},
                            // 300, not 250: the official catalogue has names of up to 264 characters
                            {QStringLiteral("NMDIAGNOST"), FieldKind::String, 300},
                            {QStringLiteral("CDTABECDI"), FieldKind::String, 7},
                            {QStringLiteral("DSABREDIAG"), FieldKind::String, 250}};
    Packet packet{defs, rows};

    QElapsedTimer t;
    t.start();
    const QByteArray bytes = encodePacket(packet);
    const double encodeMs = t.nsecsElapsed() / 1e6;

    // The same rows in an in-memory SQLite table, read back through QSqlQuery.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        if (!db.open()) {
            std::fprintf(stderr, "sqlite: %s\n", qPrintable(db.lastError().text()));
            return 1;
        }
        QSqlQuery q(db);
        q.exec(QStringLiteral("CREATE TABLE diag (CDDIAGNOST TEXT, NMDIAGNOST TEXT, CDTABECDI TEXT, DSABREDIAG TEXT)"));
        db.transaction();
        q.prepare(QStringLiteral("INSERT INTO diag VALUES (?, ?, ?, ?)"));
        for (const RowValues &r : rows) {
            for (int i = 0; i < 4; ++i)
                q.bindValue(i, r[size_t(i)]);
            q.exec();
        }
        db.commit();
    }

    std::vector<double> loadMs, sqlMs;
    RecordSet set(QStringLiteral("cdsDiagnost"));
    for (const FieldDef &d : defs)
        set.addField(d.name, d.kind, d.size);
    for (int round = 0; round < 7; ++round) {
        t.restart();
        set.loadFromPacket(bytes);
        loadMs.push_back(t.nsecsElapsed() / 1e6);

        t.restart();
        std::vector<std::array<std::string, 4>> out;
        out.reserve(rows.size());
        QSqlQuery q(QSqlDatabase::database(QStringLiteral("bench")));
        q.setForwardOnly(true);
        q.exec(QStringLiteral("SELECT CDDIAGNOST, NMDIAGNOST, CDTABECDI, DSABREDIAG FROM diag"));
        while (q.next())
            out.push_back({q.value(0).toString().toStdString(), q.value(1).toString().toStdString(),
                           q.value(2).toString().toStdString(), q.value(3).toString().toStdString()});
        sqlMs.push_back(t.nsecsElapsed() / 1e6);
        if (out.size() != rows.size() || set.recordCount() != int(rows.size())) {
            std::fprintf(stderr, "row counts differ\n");
            return 1;
        }
    }

    // Memory of the loaded set against the rows' raw text.
    set.close();
    malloc_trim(0);
    const size_t before = heapInUse();
    set.loadFromPacket(bytes);
    const size_t after = heapInUse();
    const double perRow = double(after - before) / double(rows.size());
    const double rawPerRow = double(rawBytes) / double(rows.size());

    // Locate 10,000 codes picked at random from the catalogue.
    QRandomGenerator rng(12800);
    QStringList keys;
    for (int i = 0; i < 10000; ++i)
        keys << rows[rng.bounded(int(rows.size()))][0].toString();
    t.restart();
    int found = 0;
    for (const QString &k : keys)
        found += set.locate(QStringLiteral("CDDIAGNOST"), k) ? 1 : 0;
    const double locateMs = t.nsecsElapsed() / 1e6;
    if (found != keys.size()) {
        std::fprintf(stderr, "locate missed %lld codes\n", keys.size() - found);
        return 1;
    }
    // The same look-ups as a scan of the rows (what a locate without an index does), on
    // the first 500 keys and scaled to 10,000, side by side with the indexed ones.
    t.restart();
    int scanned = 0;
    for (int k = 0; k < 500; ++k)
        for (int r = 0; r < set.recordCount(); ++r)
            if (set.value(r, 0).toString() == keys[k]) {
                ++scanned;
                break;
            }
    const double scanMs = t.nsecsElapsed() / 1e6 * (keys.size() / 500.0);
    if (scanned != 500) {
        std::fprintf(stderr, "scan missed codes\n");
        return 1;
    }

    const double load = median(loadMs), sql = median(sqlMs);
    std::printf("BENCH packet-load rows=%zu packet_kb=%.0f encode_ms=%.1f decode_load_ms=%.2f sqlite_read_ms=%.2f "
                "locate10k_ms=%.1f scan10k_ms=%.0f locate_ratio=%.4f bytes_per_row=%.0f raw_bytes_per_row=%.0f memory_ratio=%.2f "
                "ratio=%.2f\n",
                rows.size(), bytes.size() / 1024.0, encodeMs, load, sql, locateMs, scanMs, locateMs / scanMs, perRow, rawPerRow,
                perRow / rawPerRow, load / sql);
    return 0;
}
