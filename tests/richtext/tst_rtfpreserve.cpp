// Nothing a stored note holds may be lost on a save: every character, every
// picture's own bytes and kind, tables' widths, borders and merged cells, hidden
// text and footnotes, from the sample documents of other writers and from
// LibreOffice.

#include "docsignature.h"
#include "noteobjects.h"
#include "pictureformat.h"
#include "rtfreader.h"
#include "rtfwriter.h"
#include "shareddata.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextList>
#include <QTextTable>
#include <QUrl>

namespace {

const QString kShared = kmp::test::sharedData(QStringLiteral("rtf/"));
const QString kOwn = QStringLiteral(KMP_SOURCE_DIR "/tests/richtext/samples/");

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    // Without the shared samples the tests built on them skip (see init()); with them, a
    // missing one is a mistake in the test.
    if (!f.open(QIODevice::ReadOnly) && path.startsWith(kShared) && !kmp::test::hasSharedData(QStringLiteral("rtf")))
        return {};
    if (!f.isOpen())
        qFatal("missing %s", qPrintable(path));
    return f.readAll();
}

struct PictureSeen
{
    QTextImageFormat format;
    QImage shown;
};

QList<PictureSeen> pictures(const QTextDocument &doc)
{
    QList<PictureSeen> out;
    // Every block of the document, cells included, in document order.
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            if (!f.isImageFormat())
                continue;
            const QTextImageFormat img = f.toImageFormat();
            for (int i = 0; i < it.fragment().length(); ++i)
                out.append({img, doc.resource(QTextDocument::ImageResource, QUrl(img.name())).value<QImage>()});
        }
    }
    return out;
}

// "kind md5" of every picture's stored bytes, in order.
QStringList pictureBytes(const QTextDocument &doc)
{
    QStringList out;
    for (const PictureSeen &p : pictures(doc)) {
        const QByteArray data = p.format.property(kmp::rtf::PictureData).toByteArray();
        out << QString::fromLatin1(p.format.property(kmp::rtf::PictureHeader).toByteArray()) + QLatin1Char(' ')
                   + QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
    }
    return out;
}

// The file with everything but hex digits removed, lower case: a picture's
// bytes stored as hex are a substring of it whatever the line breaks.
QByteArray hexDigitsOf(const QByteArray &rtf)
{
    QByteArray out;
    out.reserve(rtf.size());
    for (char c : rtf) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
            out += c;
        else if (c >= 'A' && c <= 'F')
            out += char(c - 'A' + 'a');
    }
    return out;
}

int colourCount(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height() && colours.size() < 3; y += std::max(1, image.height() / 64))
        for (int x = 0; x < image.width() && colours.size() < 3; x += std::max(1, image.width() / 64))
            colours.insert(image.pixel(x, y));
    return static_cast<int>(colours.size());
}

QByteArray imageBytes(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage twoColours(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(200, 30, 30));
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(20, 40, 220));
    return image;
}

void putU32(QByteArray &out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out += char((v >> (8 * i)) & 0xFF);
}

void emfRecord(QByteArray &out, quint32 type, std::initializer_list<quint32> fields)
{
    putU32(out, type);
    putU32(out, quint32(8 + 4 * fields.size()));
    for (quint32 f : fields)
        putU32(out, f);
}

// A 100x50 pixel enhanced metafile: a red square on the left, a blue ellipse
// on the right, drawn with brushes selected from the object table.
QByteArray squareAndEllipseEmf()
{
    QByteArray records;
    emfRecord(records, 39, {1, 0, 0x000000FF, 0}); // red solid brush as object 1
    emfRecord(records, 37, {1});                   // select it
    emfRecord(records, 37, {0x80000008});          // no pen
    emfRecord(records, 43, {0, 0, 50, 50});        // rectangle
    emfRecord(records, 39, {2, 0, 0x00FF0000, 0}); // blue solid brush as object 2
    emfRecord(records, 37, {2});
    emfRecord(records, 42, {50, 0, 100, 50}); // ellipse
    emfRecord(records, 14, {0, 16, 20});      // end of file
    QByteArray header;
    // type, size, bounds, frame in 0.01 mm (100x50 pixels at 96 per inch),
    // " EMF", version, bytes, records, handles, reserved, description, palette,
    // the reference device in pixels and in millimetres
    const quint32 frameW = 2646, frameH = 1323;
    for (quint32 v :
         {1u, 88u, 0u, 0u, 99u, 49u,   0u,   0u,   frameW, frameH, 0x464D4520u, 0x10000u, quint32(88 + records.size()),
          9u, 3u,  0u, 0u, 0u,  1024u, 768u, 271u, 203u})
        putU32(header, v);
    return header + records;
}

} // namespace

class TestRtfPreserve : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void everythingSurvivesASave_data();
    void everythingSurvivesASave();
    void pictureBytesComeFromTheNote_data();
    void pictureBytesComeFromTheNote();
    void picturesAreShown_data();
    void picturesAreShown();
    void officeTableIsReadWhole();
    void officeHiddenTextAndFootnote();
    void officeListsInCellsKeepTheirStart();
    void officeNotesKeepWhatTheyHold_data();
    void officeNotesKeepWhatTheyHold();
};

void TestRtfPreserve::init()
{
    static const QSet<QString> needSamples{QStringLiteral("pictureBytesComeFromTheNote"), QStringLiteral("picturesAreShown")};
    if (needSamples.contains(QLatin1String(QTest::currentTestFunction())) && !kmp::test::hasSharedData(QStringLiteral("rtf")))
        QSKIP(qPrintable(kmp::test::missingSharedDataReason(QStringLiteral("rtf"))));
}

void TestRtfPreserve::everythingSurvivesASave_data()
{
    QTest::addColumn<QString>("path");
    for (const QString &dir : {kShared, kOwn}) {
        const QStringList files = QDir(dir).entryList({QStringLiteral("*.rtf")}, QDir::Files, QDir::Name);
        for (const QString &f : files)
            QTest::newRow(qPrintable(f)) << dir + f;
    }
}

// Read, save, read: the second reading is the first, character for character,
// picture for picture, table for table; and saving it again stores the same.
void TestRtfPreserve::everythingSurvivesASave()
{
    QFETCH(QString, path);
    QTextDocument first;
    kmp::rtf::read(fileBytes(path), &first);
    const QByteArray stored = kmp::rtf::write(&first);
    QTextDocument second;
    kmp::rtf::read(stored, &second);

    QCOMPARE(pictureBytes(second), pictureBytes(first));
    QCOMPARE(kmp::rtf::write(&second), stored);
    QCOMPARE(second.toPlainText(), first.toPlainText());
    const QString difference =
        kmp::rtf::test::firstDifference(kmp::rtf::test::documentSignature(second), kmp::rtf::test::documentSignature(first));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestRtfPreserve::pictureBytesComeFromTheNote_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("kinds"); // the kind word of each picture in the text, in order
    const QString wmf = QStringLiteral("wmetafile8");
    QTest::newRow("metafiles in tables") << kShared + QStringLiteral("rtfpipe__Issue33.rtf") << QStringList(5, wmf);
    QTest::newRow("old Word metafiles") << kShared + QStringLiteral("rtfpipe__rtf2xml__old3_from_web.rtf") << QStringList(2, wmf);
    QTest::newRow("PNG and JPEG") << kShared + QStringLiteral("rtfpipe__phprtflite__images.rtf")
                                  << (QStringList{QStringLiteral("jpegblip"), QStringLiteral("pngblip")}
                                      + QStringList(8, QStringLiteral("jpegblip")) + QStringList{QStringLiteral("pngblip")});
    QTest::newRow("LibreOffice JPEG") << kOwn + QStringLiteral("office-table-list-picture.rtf")
                                      << QStringList{QStringLiteral("jpegblip")};
    QTest::newRow("LibreOffice pictures, one inside a shape")
        << kOwn + QStringLiteral("office-shape-pictures.rtf") << QStringList(2, QStringLiteral("pngblip"));
    QTest::newRow("a shape's own picture, not its metafile fallback")
        << kOwn + QStringLiteral("shape-picture-with-fallback.rtf") << QStringList{QStringLiteral("pngblip")};
}

// Each picture keeps the very bytes the note held, and its kind; the saved
// note holds them again.
void TestRtfPreserve::pictureBytesComeFromTheNote()
{
    QFETCH(QString, path);
    QFETCH(QStringList, kinds);
    const QByteArray original = fileBytes(path);
    const QByteArray originalHex = hexDigitsOf(original);
    QTextDocument doc;
    kmp::rtf::read(original, &doc);
    const QList<PictureSeen> seen = pictures(doc);
    QCOMPARE(seen.size(), kinds.size());
    const QByteArray storedHex = hexDigitsOf(kmp::rtf::write(&doc));
    for (qsizetype i = 0; i < seen.size(); ++i) {
        const QByteArray data = seen[i].format.property(kmp::rtf::PictureData).toByteArray();
        const QByteArray header = seen[i].format.property(kmp::rtf::PictureHeader).toByteArray();
        QVERIFY2(data.size() > 60, qPrintable(QStringLiteral("picture %1 has no bytes").arg(i)));
        QVERIFY2(header.contains(kinds[i].toLatin1()), header.constData());
        QVERIFY2(originalHex.contains(data.toHex()), qPrintable(QStringLiteral("picture %1 is not the note's").arg(i)));
        QVERIFY2(storedHex.contains(data.toHex()), qPrintable(QStringLiteral("picture %1 was not saved").arg(i)));
    }
}

void TestRtfPreserve::picturesAreShown_data()
{
    QTest::addColumn<QByteArray>("rtf");
    QTest::addColumn<QSize>("displaySize");
    QTest::addColumn<bool>("drawn");      // the picture itself, not the grey box
    QTest::addColumn<QByteArray>("kind"); // the kind word the save writes

    const QByteArray old3 = fileBytes(kShared + QStringLiteral("rtfpipe__rtf2xml__old3_from_web.rtf"));
    const qsizetype at = old3.indexOf("{\\pict");
    const QByteArray chart = old3.mid(at, old3.indexOf('}', at) - at + 1);
    QTest::newRow("metafile chart drawn at its goal size")
        << "{\\rtf1 " + chart + "}" << QSize(328, 217) << true << QByteArray("\\wmetafile8");

    const QByteArray bmp = imageBytes(twoColours(5, 4), "BMP");
    QTest::newRow("device-independent bitmap") << "{\\rtf1{\\pict\\dibitmap0\\picw5\\pich4 " + bmp.mid(14).toHex() + "}}"
                                               << QSize(5, 4) << true << QByteArray("\\dibitmap0");
    QTest::newRow("enhanced metafile drawn")
        << "{\\rtf1{\\pict\\emfblip\\picw2646\\pich1323 " + squareAndEllipseEmf().toHex() + "}}" << QSize(100, 50) << true
        << QByteArray("\\emfblip");
    QTest::newRow("broken enhanced metafile kept though not drawn")
        << QByteArray("{\\rtf1{\\pict\\emfblip\\picw2540\\pich1270\\picwgoal1440\\pichgoal720 0100000058000000}}")
        << QSize(96, 48) << false << QByteArray("\\emfblip");
    QTest::newRow("JPEG stays JPEG") << "{\\rtf1{\\pict\\jpegblip\\picw16\\pich8 " + imageBytes(twoColours(16, 8), "JPEG").toHex()
                                            + "}}"
                                     << QSize(16, 8) << true << QByteArray("\\jpegblip");
    QTest::newRow("broken metafile is a box but kept")
        << QByteArray("{\\rtf1{\\pict\\wmetafile8\\picw2540\\pich2540 0100090000037700000000}}") << QSize(96, 96) << false
        << QByteArray("\\wmetafile8");
}

void TestRtfPreserve::picturesAreShown()
{
    QFETCH(QByteArray, rtf);
    QFETCH(QSize, displaySize);
    QFETCH(bool, drawn);
    QFETCH(QByteArray, kind);
    QTextDocument doc;
    kmp::rtf::read(rtf, &doc);
    const QList<PictureSeen> seen = pictures(doc);
    QCOMPARE(seen.size(), 1);
    const PictureSeen &p = seen.first();
    QCOMPARE(QSize(qRound(p.format.width()), qRound(p.format.height())), displaySize);
    QVERIFY(!p.shown.isNull());
    if (drawn) {
        QVERIFY2(p.shown.width() > 8 || displaySize.width() <= 8, "the grey box instead of the picture");
        QVERIFY2(colourCount(p.shown) >= 2, "a picture of one colour: not drawn");
        if (kind == "\\emfblip") {
            // The square left, the ellipse right, each in its brush's colour.
            const QColor left = p.shown.pixelColor(p.shown.width() / 4, p.shown.height() / 2);
            const QColor right = p.shown.pixelColor(p.shown.width() * 3 / 4, p.shown.height() / 2);
            QVERIFY2(left.red() > 200 && left.blue() < 60, qPrintable(left.name()));
            QVERIFY2(right.blue() > 200 && right.red() < 60, qPrintable(right.name()));
        }
    } else {
        QCOMPARE(p.shown.size(), QSize(8, 8));
    }
    const QByteArray data = p.format.property(kmp::rtf::PictureData).toByteArray();
    QVERIFY(!data.isEmpty());
    const QByteArray stored = kmp::rtf::write(&doc);
    QVERIFY2(stored.contains("{\\pict" + kind), stored.left(300).constData());
    QVERIFY(hexDigitsOf(stored).contains(data.toHex()));
}

// LibreOffice writes a cell that spans two columns as one wider cell, and a
// cell spanning two rows with \clvmgf/\clvmrg; the list in a cell stays a list.
void TestRtfPreserve::officeTableIsReadWhole()
{
    QTextDocument doc;
    kmp::rtf::read(fileBytes(kOwn + QStringLiteral("office-table-list-picture.rtf")), &doc);
    QTextTable *table = nullptr;
    for (QTextFrame *f : doc.rootFrame()->childFrames())
        table = table ? table : qobject_cast<QTextTable *>(f);
    QVERIFY(table);
    QCOMPARE(table->rows(), 3);
    QCOMPARE(table->columns(), 3);
    QCOMPARE(table->cellAt(0, 0).columnSpan(), 2);
    QCOMPARE(table->cellAt(1, 0).rowSpan(), 2);
    const QList<QTextLength> widths = table->format().columnWidthConstraints();
    QCOMPARE(widths.size(), 3);
    // \cellx1544, 4523 and 9000, in pixels of 15 twips
    QCOMPARE(qRound(widths[0].rawValue() * 15), 1544);
    QCOMPARE(qRound(widths[1].rawValue() * 15), 4523 - 1544);
    QCOMPARE(qRound(widths[2].rawValue() * 15), 9000 - 4523);
    const QTextTableCellFormat cell = table->cellAt(0, 2).format().toTableCellFormat();
    QVERIFY(cell.topBorder() >= 1);
    QCOMPARE(cell.topBorderStyle(), QTextFrameFormat::BorderStyle_Solid);
    const QTextTableCell listCell = table->cellAt(1, 2);
    QStringList items;
    for (QTextBlock b = listCell.firstCursorPosition().block(); b.isValid() && b.position() <= listCell.lastPosition();
         b = b.next()) {
        if (b.textList())
            items << b.text();
    }
    QCOMPARE(items, (QStringList{QStringLiteral("item um"), QStringLiteral("item dois")}));
    QVERIFY(kmp::rtf::write(&doc).contains("\\clmgf"));
}

void TestRtfPreserve::officeHiddenTextAndFootnote()
{
    const QByteArray rtf = fileBytes(kOwn + QStringLiteral("office-hidden-footnote-super.rtf"));
    QCOMPARE(kmp::rtf::plainText(rtf), QStringLiteral("Pressão 12x8 mmHg e dose 5 mg/m2 [Conforme protocolo do serviço.] H2O."));
    QTextDocument doc;
    kmp::rtf::read(rtf, &doc);
    QStringList hidden, notes, raised;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            if (f.objectType() == kmp::rtf::HiddenTextObject)
                hidden << f.stringProperty(kmp::rtf::HiddenText);
            else if (f.objectType() == kmp::rtf::FootnoteObject)
                notes << f.stringProperty(kmp::rtf::FootnoteText);
            else if (f.verticalAlignment() != QTextCharFormat::AlignNormal)
                raised << it.fragment().text() + (f.verticalAlignment() == QTextCharFormat::AlignSuperScript ? "^" : "_");
        }
    }
    QCOMPARE(hidden, QStringList{QStringLiteral(" (medida em repouso)")});
    QCOMPARE(notes, QStringList{QStringLiteral("Conforme protocolo do serviço.")});
    QCOMPARE(raised, (QStringList{QStringLiteral("2^"), QStringLiteral("2_")}));
}

// Lists in cells next to a link field, numbering from 3 and from 5 (Word
// lists with \\levelstartat): no item lost, no cell gained, the starts kept
// in what we store even where Qt does not show them.
void TestRtfPreserve::officeListsInCellsKeepTheirStart()
{
    QTextDocument doc;
    kmp::rtf::read(fileBytes(kOwn + QStringLiteral("office-lists-in-cells-link-start.rtf")), &doc);
    QTextTable *table = nullptr;
    for (QTextFrame *f : doc.rootFrame()->childFrames())
        table = table ? table : qobject_cast<QTextTable *>(f);
    QVERIFY(table);
    QCOMPARE(table->rows(), 2);
    QCOMPARE(table->columns(), 2);
    QStringList items;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        if (b.textList())
            items << b.text();
    }
    QCOMPARE(items, (QStringList{QStringLiteral("terceiro"), QStringLiteral("quarto"), QStringLiteral("a"), QStringLiteral("b"),
                                 QStringLiteral("cinco"), QStringLiteral("seis")}));
    const QString stored = QString::fromLatin1(kmp::rtf::write(&doc));
    for (const QString &expected :
         {QStringLiteral(" 3.\\tab}"), QStringLiteral(" 4.\\tab}"), QStringLiteral(" 5.\\tab}"), QStringLiteral("\\pnstart3"),
          QStringLiteral("\\pnstart5"), QStringLiteral("HYPERLINK \"https://example.org/protocolo\"")})
        QVERIFY2(stored.contains(expected), qPrintable(expected));
}

void TestRtfPreserve::officeNotesKeepWhatTheyHold_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("seen");   // patterns, each matching a line of the note's signature as read
    QTest::addColumn<QStringList>("stored"); // what the save writes
    QTest::addColumn<QString>("text");       // the saved note's plain text, when it matters
    const auto row = [](const char *name, const char *file, const QStringList &seen, const QStringList &stored,
                        const QString &text = QString()) {
        QTest::newRow(name) << kOwn + QLatin1String(file) << seen << stored << text;
    };
    row("text box", "office-text-box.rtf", {"^box 3402x1134$", "^box .*ALERTA: alergia grave a látex$", "^box .*Usar luvas"},
        {"{\\shptxt \\pard\\ql ALERTA: alergia grave a l\\'e1tex\\par"});
    row("tracked changes", "office-tracked-changes.rtf",
        {"del=NÃO @Dra. Ana@669792911", "ins=Dr. Bruno@1206665758,fg#1f5fb0\\] e a látex"},
        {"{\\deleted\\revauthdel1\\revdttmdel669792911 N\\'c3O }", "{\\revised\\revauth2\\revdttm1206665758  e a l",
         "{\\*\\revtbl {Unknown;}{Dra. Ana;}{Dr. Bruno;}}"},
        QStringLiteral("Paciente [excluído: NÃO ]é alérgico a dipirona e a látex."));
    row("separate lists stay separate", "office-separate-lists.rtf",
        {"^list\\(-4,1,#\\.\\) item2 .*exercício$", "^list\\(-4,1,#\\.\\) item1 .*hemograma$", "item2 .*glicemia$"},
        {"\\ls1\\ilvl0", "\\ls2\\ilvl0", "{\\listoverride\\listid2\\listoverridecount0\\ls2}"});
    row("nested numbering and a start", "office-nested-numbering.rtf",
        {"^list\\(-4,1,#\\.\\) item1 .*glicemia$", "^list\\(-5,2,#\\)\\) item1 .*meta HbA1c$", "item2 .*meta LDL$",
         "^list\\(-4,1,#\\.\\) item2 .*retorno$", "^list\\(-6,1,#\\.\\) item5 .*quinto$", "item6 .*sexto$"},
        {"\\ls1\\ilvl1", "\\levelnfc4", "\\levelnfc3\\levelnfcn3\\leveljc0\\leveljcn0\\levelfollow0\\levelstartat5"});
    row("header, footer and comment", "office-header-footer-comment.rtf",
        {"page=header\\|Clínica Central — Prontuário", "page=footer\\|Documento confidencial",
         "comment=Dr. Carlos\\|DC\\|669792832\\|Confirmar ausculta."},
        {"{\\header\\pard\\plain Cl\\'ednica Central \\'97 Prontu\\'e1rio\\par}", "{\\footer\\pard\\plain Documento",
         "{\\*\\atnid DC}{\\*\\atnauthor Dr. Carlos}\\chatn{\\*\\annotation{\\*\\atndate 669792832}"},
        QStringLiteral("Exame físico sem alterações [Comentário de Dr. Carlos: Confirmar ausculta.]."));
    row("shading and border colours", "office-shading-colours.rtf",
        {"0,1:1x1:bg#ff0000 #0000ff #0000ff", "^bg#ffff00 (30,3,40960,){4}.*Atenção: valor crítico$"},
        {"\\clcbpat", "\\brdrcf", "\\cbpat", "\\brdrr\\brdrs\\brdrw30\\brdrcf"});
    row("page and section breaks", "office-page-breaks.rtf",
        {"^break1/0 .*depois$", "^break1/0 .*Nova página$", "^break1/3 .*Seção dois$"},
        {"\\pagebb", "\\sect\\sectd\\sbkpage\r\n\\pard"});
    row("character effects, tab stops and an endnote", "office-effects-tabs-endnote.rtf",
        {",caps1\\]caixa alta", ",caps3\\]versalete", ",u6\\]sublinhado duplo", ",s2\\]tachado duplo", ",outline\\]contorno",
         ",shadow\\]sombra", ",spacing4\\]expandido", "tab5000:1 tab7000:3 leader1 leader0 .*Glicose",
         "note=Valor de referência 70-99./end"},
        {"\\caps ", "\\scaps", "\\uldb", "\\striked1", "\\outl", "\\shad", "\\expnd12\\expndtw60", "\\tldot\\tqr\\tx5000",
         "\\tqdec\\tx7000", "\\footnote\\ftnalt"});
    row("a list going on from cell to cell", "office-lists-across-cells.rtf",
        {"^list\\(-4,1,#\\.\\) item3 cell .*item três$", "^list\\(-4,1,#\\.\\) item4 cell .*item quatro$", "^table 2x2 "},
        {"HYPERLINK \"https://example.org/cid\""},
        QStringLiteral("\nitem um\nitem dois\nitem três\nVer CID-10 e página 1\nConduta:\nitem quatro\nFim."));
}

// What each LibreOffice note holds is read, shown and written back: the first
// reading has it, the save stores it with its marks.
void TestRtfPreserve::officeNotesKeepWhatTheyHold()
{
    QFETCH(QString, file);
    QFETCH(QStringList, seen);
    QFETCH(QStringList, stored);
    QFETCH(QString, text);
    QTextDocument doc;
    kmp::rtf::read(fileBytes(file), &doc);
    const QString signature = kmp::rtf::test::documentSignature(doc);
    for (const QString &pattern : seen) {
        const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
        QVERIFY2(re.match(signature).hasMatch(), qPrintable(pattern + QStringLiteral(" not in:\n") + signature));
    }
    const QByteArray saved = kmp::rtf::write(&doc);
    for (const QString &expected : stored)
        QVERIFY2(saved.contains(expected.toLatin1()),
                 qPrintable(expected + QStringLiteral(" not in:\n") + QString::fromLatin1(saved)));
    if (!text.isEmpty())
        QCOMPARE(kmp::rtf::plainText(saved), text);
}

QTEST_MAIN(TestRtfPreserve)
#include "tst_rtfpreserve.moc"
