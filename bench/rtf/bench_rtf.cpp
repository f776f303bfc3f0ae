// How fast a long note loads and saves, against Qt's own HTML route for the same
// document measured in the same run: reading RTF should cost no more than
// setHtml() of the equivalent HTML.

#include "rtfreader.h"
#include "rtfwriter.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTextDocument>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

// A rich-edit style note of about targetBytes: paragraphs of Portuguese clinical
// text with \'hh accents, bold and italic runs, and \pn bullet lists.
QByteArray generateNote(qsizetype targetBytes)
{
    const char *sentences[] = {
        "Paciente refere dor tor\\'e1cica h\\'e1 tr\\'eas dias, com piora aos esfor\\'e7os. ",
        "Nega febre, n\\'e1useas ou v\\'f4mitos; relata cefal\\'e9ia ocasional. ",
        "Ao exame: PA 130/85 mmHg, FC 88 bpm, satura\\'e7\\'e3o 97%. ",
        "Ausculta card\\'edaca com ritmo regular em dois tempos, sem sopros. ",
        "Orientado quanto \\'e0 hidrata\\'e7\\'e3o e ao retorno em caso de piora. ",
    };
    QByteArray rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\nouicompat\\deflang1046{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}"
                     "{\\f1\\fnil\\fcharset2 Symbol;}}\r\n{\\colortbl ;\\red255\\green0\\blue0;}\r\n"
                     "{\\*\\generator Riched20 10.0.19041}\\viewkind4\\uc1 \r\n";
    int n = 0;
    while (rtf.size() < targetBytes) {
        ++n;
        rtf += "\\pard\\sa200\\sl276\\slmult1\\f0\\fs20\\lang1046 ";
        for (int s = 0; s < 5; ++s) {
            const int k = (n + s) % 5;
            if (s == 1)
                rtf += "\\b ";
            if (s == 3)
                rtf += "\\i ";
            rtf += sentences[k];
            if (s == 1)
                rtf += "\\b0 ";
            if (s == 3)
                rtf += "\\i0 ";
        }
        rtf += "\\cf1 Conduta:\\cf0\\par\r\n";
        rtf += "\\pard{\\pntext\\f1\\'B7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'B7}}\\fi-"
               "360\\li720\\sa200\\sl276\\slmult1 "
               "dipirona 500 mg se dor\\par\r\n{\\pntext\\f1\\'B7\\tab}hidrata\\'e7\\'e3o oral\\par\r\n"
               "{\\pntext\\f1\\'B7\\tab}\\b retorno\\b0  em 7 dias\\par\r\n";
    }
    rtf += "}\r\n";
    return rtf;
}

// items paragraphs of the same short text, as rich-edit bullet items, as
// numbered items of a Word list or as plain paragraphs: they differ only in the
// list, so their ratio is what the list costs.
enum class Items { Plain, Bullets, Numbered };

QByteArray generateItems(int items, Items kind)
{
    QByteArray rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}"
                     "{\\f1\\fnil\\fcharset2 Symbol;}}\r\n"
                     "{\\*\\listtable{\\list{\\listlevel\\levelnfc0\\levelstartat1{\\leveltext\\'02\\'00.;}}\\listid1}}"
                     "{\\*\\listoverridetable{\\listoverride\\listid1\\ls1}}\\viewkind4\\uc1 \r\n";
    rtf.reserve(items * 110 + 256);
    for (int i = 0; i < items; ++i) {
        if (kind == Items::Bullets)
            rtf += "\\pard{\\pntext\\f1\\'B7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'B7}}\\fi-360\\li720 ";
        else if (kind == Items::Numbered)
            rtf += "\\pard{\\listtext " + QByteArray::number(i + 1) + ".\\tab}\\ls1\\ilvl0\\fi-360\\li720 ";
        else
            rtf += "\\pard\\fi-360\\li720 ";
        rtf += "hidrata\\'e7\\'e3o oral item " + QByteArray::number(i) + "\\par\r\n";
    }
    rtf += "}\r\n";
    return rtf;
}

// rows rows of a two-column table of vital signs (the day and the measure), its
// cells lined on every side as word processors write them, or the same values as
// paragraphs, one a row, separated by a tab.
QByteArray generateRows(int rows, bool table)
{
    const QByteArray lines =
        "\\clbrdrt\\brdrs\\brdrw10\\clbrdrl\\brdrs\\brdrw10\\clbrdrb\\brdrs\\brdrw10\\clbrdrr\\brdrs\\brdrw10";
    QByteArray rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}}\r\n\\viewkind4\\uc1 \r\n";
    rtf.reserve(rows * 110 + 256);
    for (int i = 0; i < rows; ++i) {
        const QByteArray day = QByteArray::number(i % 28 + 1) + "/12 " + QByteArray::number(i % 24) + "h";
        const QByteArray measure = "PA 12" + QByteArray::number(i % 10) + "/8" + QByteArray::number(i % 7);
        if (table)
            rtf += "\\trowd\\trgaph108" + lines + "\\cellx2000" + lines + "\\cellx6000\r\n\\pard\\intbl " + day + "\\cell "
                   + measure + "\\cell\\row\r\n";
        else
            rtf += "\\pard " + day + "\\tab " + measure + "\\par\r\n";
    }
    rtf += "\\pard}\r\n";
    return rtf;
}

// The processor time of one reading: the machine is shared, and time spent
// waiting for the processor is no cost of the reader's.
double readOnceMs(const QByteArray &rtf, int *blocks)
{
    QTextDocument doc;
    const std::clock_t start = std::clock();
    kmp::rtf::read(rtf, &doc);
    const double ms = double(std::clock() - start) * 1000.0 / CLOCKS_PER_SEC;
    *blocks = doc.blockCount();
    return ms;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QByteArray rtf = generateNote(1024 * 1024);
    QString html;
    QByteArray written;
    {
        QTextDocument doc;
        kmp::rtf::read(rtf, &doc);
        html = doc.toHtml();
        written = kmp::rtf::write(&doc);
    }

    constexpr int kRuns = 7;
    std::vector<double> readMs, setHtmlMs, writeMs, toHtmlMs;
    QElapsedTimer timer;
    for (int i = 0; i < kRuns; ++i) {
        // Alternate the two routes so that machine load hits both alike.
        {
            QTextDocument doc;
            timer.start();
            kmp::rtf::read(rtf, &doc);
            readMs.push_back(timer.nsecsElapsed() / 1e6);
            timer.start();
            const QByteArray out = kmp::rtf::write(&doc);
            writeMs.push_back(timer.nsecsElapsed() / 1e6);
            if (out != written)
                std::fprintf(stderr, "bench_rtf: the writer is not deterministic\n");
        }
        {
            QTextDocument doc;
            timer.start();
            doc.setHtml(html);
            setHtmlMs.push_back(timer.nsecsElapsed() / 1e6);
            timer.start();
            const QString out = doc.toHtml();
            toHtmlMs.push_back(timer.nsecsElapsed() / 1e6);
            if (out.isEmpty())
                std::fprintf(stderr, "bench_rtf: empty HTML\n");
        }
    }
    const double mb = rtf.size() / (1024.0 * 1024.0);
    const double read = median(readMs);
    const double write = median(writeMs);
    std::printf("BENCH rtf read_mb_s=%.2f write_mb_s=%.2f write_vs_tohtml=%.3f ratio=%.3f\n", mb / (read / 1000.0),
                written.size() / (1024.0 * 1024.0) / (write / 1000.0), write / median(toHtmlMs), read / median(setHtmlMs));

    // Long lists must load in time proportional to their length: 100,000 bullet
    // items against as many plain paragraphs, alternated in the same run.
    // Numbered lists are read in longer runs than bullets (Qt before 6.6 does
    // not show a run's start, so each run shows right numbers up to its
    // length): they cost more an item, and must grow like bullets from 25,000
    // items to 100,000 (within a quarter of the bullets' growth).
    constexpr int kItems = 100000;
    const QByteArray bullets = generateItems(kItems, Items::Bullets);
    const QByteArray numbered = generateItems(kItems, Items::Numbered);
    const QByteArray numberedQuarter = generateItems(kItems / 4, Items::Numbered);
    const QByteArray bulletsQuarter = generateItems(kItems / 4, Items::Bullets);
    const QByteArray plain = generateItems(kItems, Items::Plain);
    std::vector<double> bulletMs, numberedMs, quarterItemsMs, quarterBulletsMs, plainMs;
    for (int i = 0; i < 3; ++i) {
        int blocks = 0;
        bulletMs.push_back(readOnceMs(bullets, &blocks));
        if (blocks < kItems)
            std::fprintf(stderr, "bench_rtf: %d of %d bullet items loaded\n", blocks, kItems);
        numberedMs.push_back(readOnceMs(numbered, &blocks));
        quarterItemsMs.push_back(readOnceMs(numberedQuarter, &blocks));
        quarterBulletsMs.push_back(readOnceMs(bulletsQuarter, &blocks));
        plainMs.push_back(readOnceMs(plain, &blocks));
    }
    const double listRatio = median(bulletMs) / median(plainMs);
    const double numberedGrowth = median(numberedMs) / median(quarterItemsMs);
    const double bulletsGrowth = median(bulletMs) / median(quarterBulletsMs);
    std::printf("BENCH rtf-lists items=%d bullets_ms=%.1f numbered_ms=%.1f plain_ms=%.1f ratio=%.3f numbered_ratio=%.3f "
                "numbered_growth=%.3f bullets_growth=%.3f goal=2.0/1.25 %s\n",
                kItems, median(bulletMs), median(numberedMs), median(plainMs), listRatio, median(numberedMs) / median(plainMs),
                numberedGrowth, bulletsGrowth, listRatio <= 2.0 && numberedGrowth <= 1.25 * bulletsGrowth ? "ok" : "SLOW");

    // Tables must load in time proportional to their rows: 10,000 rows of two
    // cells against 10,000 paragraphs of the same values, and against 2,500 rows.
    constexpr int kRows = 10000;
    const QByteArray table = generateRows(kRows, true);
    const QByteArray quarter = generateRows(kRows / 4, true);
    const QByteArray paragraphs = generateRows(kRows, false);
    std::vector<double> tableMs, quarterMs, paragraphMs;
    for (int i = 0; i < 5; ++i) {
        int blocks = 0;
        tableMs.push_back(readOnceMs(table, &blocks));
        if (blocks < 2 * kRows)
            std::fprintf(stderr, "bench_rtf: %d blocks for %d rows of 2 cells\n", blocks, kRows);
        quarterMs.push_back(readOnceMs(quarter, &blocks));
        paragraphMs.push_back(readOnceMs(paragraphs, &blocks));
    }
    const double tableRatio = median(tableMs) / median(paragraphMs);
    const double growth = median(tableMs) / median(quarterMs);
    std::printf("BENCH rtf-tables rows=%d cells=2 table_ms=%.1f rows2500_ms=%.1f paragraphs_ms=%.1f ratio=%.3f growth=%.3f "
                "goal=3.0/5.0 %s\n",
                kRows, median(tableMs), median(quarterMs), median(paragraphMs), tableRatio, growth,
                tableRatio <= 3.0 && growth <= 5.0 ? "ok" : "SLOW");
    return 0;
}
