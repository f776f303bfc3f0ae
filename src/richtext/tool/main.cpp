// kmp-rtf: looks at stored notes from the command line, the way the screen
// would load and save them.

#include "rtfreader.h"
#include "rtfwriter.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QTextBlock>
#include <QTextDocument>
#include <QUrl>

#include <cstdio>

namespace {

const char kUsage[] = "Uso: kmp-rtf COMANDO ARQUIVO [--from-html]\n"
                      "\n"
                      "Comandos:\n"
                      "  text ARQUIVO               mostra o texto simples da nota\n"
                      "  html ARQUIVO               mostra a nota em HTML\n"
                      "  rtf ARQUIVO [--from-html]  lê o arquivo RTF (ou, com --from-html, HTML) e\n"
                      "                             mostra o RTF que a clínica guarda\n"
                      "  pictures ARQUIVO           lista as imagens da nota, com o tamanho em que\n"
                      "                             aparecem e se foram desenhadas (uma imagem que\n"
                      "                             não se pode desenhar aparece como caixa cinza)\n"
                      "  --help                     mostra esta ajuda\n";

void writeOut(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

// The reader shows a picture it cannot draw as a small box of one colour.
bool isDrawn(const QImage &shown)
{
    if (shown.isNull())
        return false;
    const QRgb first = shown.pixel(0, 0);
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            if (shown.pixel(x, y) != first)
                return true;
    return shown.width() > 8 || shown.height() > 8;
}

QByteArray pictureList(const QTextDocument &doc)
{
    QByteArray out;
    int n = 0;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            if (!f.isImageFormat())
                continue;
            const QTextImageFormat img = f.toImageFormat();
            const QImage shown = doc.resource(QTextDocument::ImageResource, QUrl(img.name())).value<QImage>();
            out += QStringLiteral("%1: %2x%3 %4\n")
                       .arg(++n)
                       .arg(qRound(img.width()))
                       .arg(qRound(img.height()))
                       .arg(isDrawn(shown) ? QStringLiteral("desenhada") : QStringLiteral("caixa cinza"))
                       .toUtf8();
        }
    }
    return out;
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
    if (command != QLatin1String("text") && command != QLatin1String("html") && command != QLatin1String("rtf")
        && command != QLatin1String("pictures")) {
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
    else if (command == QLatin1String("pictures"))
        writeOut(pictureList(doc));
    else
        writeOut(kmp::rtf::write(&doc));
    return 0;
}
