// Feeds arbitrary bytes to the reader, then stores and re-reads the result, as
// the screen does with every note: neither step may crash, hang or leak, and
// what the writer stores must itself load.

#include "rtfreader.h"
#include "rtfwriter.h"

#include <QGuiApplication>
#include <QTextDocument>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

QGuiApplication *application()
{
    static int argc = 1;
    static char name[] = "fuzz_rtf";
    static char *argv[] = {name, nullptr};
    static std::unique_ptr<QGuiApplication> app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return std::make_unique<QGuiApplication>(argc, argv);
    }();
    return app.get();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    application();
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QTextDocument doc;
    kmp::rtf::read(input, &doc);
    const QByteArray stored = kmp::rtf::write(&doc);
    for (char c : stored) {
        if (static_cast<unsigned char>(c) >= 0x80)
            std::abort(); // the stored form must stay 7-bit
    }
    QTextDocument again;
    kmp::rtf::read(stored, &again);
    return 0;
}
