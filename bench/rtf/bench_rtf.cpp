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

// items paragraphs of the same short text, as rich-edit bullet items or as
// plain paragraphs: the two differ only in the list, so their ratio is what the
// list costs.
QByteArray generateItems(int items, bool bullets)
{
    QByteArray rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}"
                     "{\\f1\\fnil\\fcharset2 Symbol;}}\r\n\\viewkind4\\uc1 \r\n";
    rtf.reserve(items * 110 + 256);
    for (int i = 0; i < items; ++i) {
        if (bullets)
            rtf += "\\pard{\\pntext\\f1\\'B7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb\\'B7}}\\fi-360\\li720 ";
        else
            rtf += "\\pard\\fi-360\\li720 ";
        rtf += "hidrata\\'e7\\'e3o oral item " + QByteArray::number(i) + "\\par\r\n";
    }
    rtf += "}\r\n";
    return rtf;
}

double readOnceMs(const QByteArray &rtf, int *blocks)
{
    QTextDocument doc;
    QElapsedTimer timer;
    timer.start();
    kmp::rtf::read(rtf, &doc);
    const double ms = timer.nsecsElapsed() / 1e6;
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
    constexpr int kItems = 100000;
    const QByteArray bullets = generateItems(kItems, true);
    const QByteArray plain = generateItems(kItems, false);
    std::vector<double> bulletMs, plainMs;
    for (int i = 0; i < 3; ++i) {
        int blocks = 0;
        bulletMs.push_back(readOnceMs(bullets, &blocks));
        if (blocks < kItems)
            std::fprintf(stderr, "bench_rtf: %d of %d bullet items loaded\n", blocks, kItems);
        plainMs.push_back(readOnceMs(plain, &blocks));
    }
    const double listRatio = median(bulletMs) / median(plainMs);
    std::printf("BENCH rtf-lists items=%d bullets_ms=%.1f plain_ms=%.1f ratio=%.3f goal=2.0 %s\n", kItems, median(bulletMs),
                median(plainMs), listRatio, listRatio <= 2.0 ? "ok" : "SLOW");
    return 0;
}
