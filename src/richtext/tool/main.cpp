// kmp-rtf: looks at stored notes from the command line, the way the screen
// would load and save them.

#include "rtfreader.h"
#include "rtfwriter.h"

#include <QFile>
#include <QGuiApplication>
#include <QTextDocument>

#include <cstdio>

namespace {

const char kUsage[] = "Uso: kmp-rtf COMANDO ARQUIVO [--from-html]\n"
                      "\n"
                      "Comandos:\n"
                      "  text ARQUIVO               mostra o texto simples da nota\n"
                      "  html ARQUIVO               mostra a nota em HTML\n"
                      "  rtf ARQUIVO [--from-html]  lê o arquivo RTF (ou, com --from-html, HTML) e\n"
                      "                             mostra o RTF que a clínica guarda\n"
                      "  --help                     mostra esta ajuda\n";

void writeOut(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

} // namespace

int main(int argc, char **argv)
{
    // Documents lay out text with fonts, which need a GUI application; the tool
    // must also work over ssh and in scripts, without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const bool fromHtml = args.contains(QLatin1String("--from-html"));
    QStringList positional;
    for (const QString &a : args) {
        if (a != QLatin1String("--from-html"))
            positional << a;
    }
    if (positional.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const QString command = positional.at(0);
    if (command != QLatin1String("text") && command != QLatin1String("html") && command != QLatin1String("rtf")) {
        std::fprintf(stderr, "kmp-rtf: comando desconhecido '%s'\n\n%s", qPrintable(command), kUsage);
        return 2;
    }
    if (fromHtml && command != QLatin1String("rtf")) {
        std::fputs("kmp-rtf: --from-html só vale com o comando rtf\n", stderr);
        return 2;
    }
    QFile file(positional.at(1));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "kmp-rtf: não foi possível ler '%s': %s\n", qPrintable(file.fileName()),
                     qPrintable(file.errorString()));
        return 1;
    }
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        std::fprintf(stderr, "kmp-rtf: não foi possível ler '%s': %s\n", qPrintable(file.fileName()),
                     qPrintable(file.errorString()));
        return 1;
    }
    QTextDocument doc;
    if (fromHtml)
        doc.setHtml(QString::fromUtf8(data));
    else
        kmp::rtf::read(data, &doc);
    if (command == QLatin1String("text"))
        writeOut((fromHtml ? doc.toPlainText() : kmp::rtf::plainText(data)).toUtf8() + '\n');
    else if (command == QLatin1String("html"))
        writeOut(doc.toHtml().toUtf8());
    else
        writeOut(kmp::rtf::write(&doc));
    return 0;
}
