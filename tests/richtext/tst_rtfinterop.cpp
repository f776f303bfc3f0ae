// Notes leave the clinic as RTF and come back from other editors: LibreOffice
// must read what we write with its formatting, and we must read what it writes.

#include "docsignature.h"
#include "rtfreader.h"
#include "rtfwriter.h"
#include "shareddata.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextFrame>
#include <QTextList>
#include <QTextTable>
#include <QUrl>

namespace {

struct Expectation
{
    QString text;
    enum What { Bold, Italic, Underline, Bullet, Numbered, Centered, Plain, Super, Sub } what;
};

// The paragraph and the character format where text first appears.
bool findText(const QTextDocument &doc, const QString &text, QTextBlock *block, QTextCharFormat *fmt)
{
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        const qsizetype at = b.text().indexOf(text);
        if (at < 0)
            continue;
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            if (f.position() - b.position() + f.length() > at) {
                *block = b;
                *fmt = f.charFormat();
                return true;
            }
        }
    }
    return false;
}

QString check(const QTextDocument &doc, const QList<Expectation> &expectations)
{
    QStringList problems;
    for (const Expectation &e : expectations) {
        QTextBlock block;
        QTextCharFormat fmt;
        if (!findText(doc, e.text, &block, &fmt)) {
            problems << QStringLiteral("'%1' missing").arg(e.text);
            continue;
        }
        QTextList *list = block.textList();
        bool ok = true;
        switch (e.what) {
        case Expectation::Bold: ok = fmt.fontWeight() >= QFont::DemiBold; break;
        case Expectation::Italic: ok = fmt.fontItalic(); break;
        case Expectation::Underline: ok = fmt.fontUnderline(); break;
        case Expectation::Bullet:
            ok = list && list->format().style() >= QTextListFormat::ListSquare && list->format().style() < 0;
            break;
        case Expectation::Numbered: ok = list && list->format().style() <= QTextListFormat::ListDecimal; break;
        case Expectation::Centered: ok = (block.blockFormat().alignment() & Qt::AlignHCenter) != 0; break;
        case Expectation::Plain: ok = !list && fmt.fontWeight() < QFont::DemiBold && !fmt.fontItalic(); break;
        case Expectation::Super: ok = fmt.verticalAlignment() == QTextCharFormat::AlignSuperScript; break;
        case Expectation::Sub: ok = fmt.verticalAlignment() == QTextCharFormat::AlignSubScript; break;
        }
        if (!ok)
            problems << QStringLiteral("'%1' lost its formatting (%2)").arg(e.text).arg(int(e.what));
    }
    return problems.join(QLatin1String("; "));
}

const QList<Expectation> kExpected = {
    {QStringLiteral("dor torácica"), Expectation::Bold},
    {QStringLiteral("dispneia"), Expectation::Italic},
    {QStringLiteral("sopro"), Expectation::Underline},
    {QStringLiteral("hidratação"), Expectation::Bullet},
    {QStringLiteral("repouso"), Expectation::Bullet},
    {QStringLiteral("dipirona"), Expectation::Numbered},
    {QStringLiteral("omeprazol"), Expectation::Numbered},
    {QStringLiteral("Retorno em 7 dias"), Expectation::Centered},
    {QStringLiteral("“aspas” – 50 €"), Expectation::Plain},
    {QStringLiteral("²"), Expectation::Super},
    {QStringLiteral("₁"), Expectation::Sub},
};

void buildNote(QTextDocument &doc)
{
    QTextCursor c(&doc);
    QTextCharFormat plain;
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    QTextCharFormat italic;
    italic.setFontItalic(true);
    QTextCharFormat underline;
    underline.setFontUnderline(true);
    c.insertText(QStringLiteral("Paciente com "), plain);
    c.insertText(QStringLiteral("dor torácica"), bold);
    c.insertText(QStringLiteral(" e "), plain);
    c.insertText(QStringLiteral("dispneia"), italic);
    c.insertText(QStringLiteral(", "), plain);
    c.insertText(QStringLiteral("sopro"), underline);
    c.insertText(QStringLiteral(" sistólico."), plain);
    c.insertBlock(QTextBlockFormat(), plain);
    c.insertText(QStringLiteral("“aspas” – 50 €"), plain);
    c.insertBlock(QTextBlockFormat(), plain);
    QTextCharFormat sup;
    sup.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
    QTextCharFormat sub;
    sub.setVerticalAlignment(QTextCharFormat::AlignSubScript);
    c.insertText(QStringLiteral("Superfície 2 m"), plain);
    c.insertText(QStringLiteral("²"), sup);
    c.insertText(QStringLiteral(", x"), plain);
    c.insertText(QStringLiteral("₁"), sub);
    auto addList = [&](QTextListFormat::Style style, const QStringList &items) {
        QTextListFormat lf;
        lf.setStyle(style);
        QTextList *list = nullptr;
        for (const QString &item : items) {
            c.insertBlock(QTextBlockFormat(), plain);
            c.insertText(item);
            if (list)
                list->add(c.block());
            else
                list = c.createList(lf);
        }
    };
    addList(QTextListFormat::ListDisc, {QStringLiteral("hidratação"), QStringLiteral("repouso")});
    addList(QTextListFormat::ListDecimal, {QStringLiteral("dipirona"), QStringLiteral("omeprazol")});
    QTextBlockFormat centred;
    centred.setAlignment(Qt::AlignHCenter);
    c.insertBlock(centred, plain);
    c.insertText(QStringLiteral("Retorno em 7 dias"));
}

// A table with a merged cell and borders, a JPEG and a Windows metafile from
// a stored note, after what buildNote() wrote.
void addTableAndPictures(QTextDocument &doc, const QByteArray &metafilePict)
{
    QTextCursor c(&doc);
    c.movePosition(QTextCursor::End);
    QTextTableFormat tf;
    tf.setBorder(1);
    tf.setCellSpacing(0);
    tf.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
    tf.setColumnWidthConstraints({QTextLength(QTextLength::FixedLength, 120), QTextLength(QTextLength::FixedLength, 240)});
    QTextTable *t = c.insertTable(2, 2, tf);
    t->cellAt(0, 0).firstCursorPosition().insertText(QStringLiteral("cabeçalho unido"));
    t->mergeCells(0, 0, 1, 2);
    t->cellAt(1, 0).firstCursorPosition().insertText(QStringLiteral("célula A"));
    t->cellAt(1, 1).firstCursorPosition().insertText(QStringLiteral("célula B"));
    c.movePosition(QTextCursor::End);
    QImage image(24, 16, QImage::Format_RGB32);
    image.fill(QColor(30, 90, 200));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 24; ++x)
            image.setPixel(x, y, qRgb(240, 240, 40));
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    QTextDocument pictures;
    kmp::rtf::read("{\\rtf1 Imagens: {\\pict\\jpegblip\\picw24\\pich16 " + jpeg.toHex() + "} e " + metafilePict + "}", &pictures);
    c.insertBlock();
    c.insertFragment(QTextDocumentFragment(&pictures));
}

int imageCount(const QTextDocument &doc)
{
    int n = 0;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it)
            n += it.fragment().charFormat().isImageFormat() ? it.fragment().length() : 0;
    }
    return n;
}

QTextTable *firstTable(const QTextDocument &doc)
{
    for (QTextFrame *f : doc.rootFrame()->childFrames()) {
        if (auto *t = qobject_cast<QTextTable *>(f))
            return t;
    }
    return nullptr;
}

} // namespace

class TestRtfInterop : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void officeReadsWhatWeWrite_data();
    void officeReadsWhatWeWrite();
    void officeKeepsOurPicturesAndTables();
    void weReadWhatOfficeWrites_data();
    void weReadWhatOfficeWrites();
    void officeKeepsOurListsShadingAndChanges_data();
    void officeKeepsOurListsShadingAndChanges();

private:
    // Converts input with the office suite; returns the output file or an empty
    // string, with the reason in *error.
    QString convert(const QString &input, const QString &target, const QString &inFilter, QString *error);

    QString m_soffice;
    QTemporaryDir m_dir;
};

void TestRtfInterop::initTestCase()
{
    m_soffice = QStandardPaths::findExecutable(QStringLiteral("soffice"));
    if (m_soffice.isEmpty())
        QSKIP("LibreOffice (soffice) is not installed: the interoperability checks did NOT run");
    QVERIFY(m_dir.isValid());
}

QString TestRtfInterop::convert(const QString &input, const QString &target, const QString &inFilter, QString *error)
{
    const QString outDir = m_dir.filePath(QStringLiteral("out-") + QFileInfo(input).completeBaseName() + QLatin1Char('-')
                                          + QString::number(qHash(target)));
    QStringList args{QStringLiteral("-env:UserInstallation=")
                         + QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("profile"))).toString(),
                     QStringLiteral("--headless"), QStringLiteral("--norestore")};
    if (!inFilter.isEmpty())
        args << QStringLiteral("--infilter=") + inFilter;
    args << QStringLiteral("--convert-to") << target << QStringLiteral("--outdir") << outDir << input;
    QProcess proc;
    proc.start(m_soffice, args);
    // A first start with a new profile takes a while; a hung office must not hang the tests.
    if (!proc.waitForFinished(180000)) {
        proc.kill();
        proc.waitForFinished();
        *error = QStringLiteral("soffice did not finish");
        return {};
    }
    const QStringList out = QDir(outDir).entryList(QDir::Files);
    if (out.isEmpty()) {
        *error = QStringLiteral("soffice wrote nothing: ") + QString::fromLocal8Bit(proc.readAllStandardError());
        return {};
    }
    return QDir(outDir).filePath(out.first());
}

void TestRtfInterop::officeReadsWhatWeWrite_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("to HTML") << QStringLiteral("html:HTML (StarWriter)");
    QTest::newRow("to ODT and back to HTML") << QStringLiteral("odt");
}

void TestRtfInterop::officeReadsWhatWeWrite()
{
    QFETCH(QString, target);
    QTextDocument note;
    buildNote(note);
    KMP_SHARED_DATA_OR_SKIP(old3Path, "rtf/rtfpipe__rtf2xml__old3_from_web.rtf");
    QFile sample(old3Path);
    QVERIFY(sample.open(QIODevice::ReadOnly));
    const QByteArray old3 = sample.readAll();
    const qsizetype at = old3.indexOf("{\\pict");
    addTableAndPictures(note, old3.mid(at, old3.indexOf('}', at) - at + 1));
    const QString rtfPath =
        m_dir.filePath(QStringLiteral("note-%1.rtf").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_')));
    QFile rtf(rtfPath);
    QVERIFY(rtf.open(QIODevice::WriteOnly));
    rtf.write(kmp::rtf::write(&note));
    rtf.close();

    QString error;
    QString converted = convert(rtfPath, target, QString(), &error);
    QVERIFY2(!converted.isEmpty(), qPrintable(error));
    if (converted.endsWith(QLatin1String(".odt"))) {
        // Qt cannot read ODT; let the office render its own document as HTML.
        converted = convert(converted, QStringLiteral("html:HTML (StarWriter)"), QString(), &error);
        QVERIFY2(!converted.isEmpty(), qPrintable(error));
    }
    QFile html(converted);
    QVERIFY(html.open(QIODevice::ReadOnly));
    QTextDocument seen;
    seen.setHtml(QString::fromUtf8(html.readAll()));
    const QString problems = check(seen, kExpected);
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
    // The table keeps its merged header and its cells; both pictures arrive.
    QTextTable *table = firstTable(seen);
    QVERIFY2(table, qPrintable(seen.toPlainText()));
    QCOMPARE(table->cellAt(0, 0).columnSpan(), 2);
    QVERIFY(seen.toPlainText().contains(QStringLiteral("célula B")));
    QCOMPARE(imageCount(seen), 2);
}

// What the office makes of our note, saved by it as RTF again: the metafile is
// still a drawing (not a flat box), the JPEG a picture, the table merged.
void TestRtfInterop::officeKeepsOurPicturesAndTables()
{
    QTextDocument note;
    buildNote(note);
    KMP_SHARED_DATA_OR_SKIP(old3Path, "rtf/rtfpipe__rtf2xml__old3_from_web.rtf");
    QFile sample(old3Path);
    QVERIFY(sample.open(QIODevice::ReadOnly));
    const QByteArray old3 = sample.readAll();
    const qsizetype at = old3.indexOf("{\\pict");
    addTableAndPictures(note, old3.mid(at, old3.indexOf('}', at) - at + 1));
    const QString rtfPath = m_dir.filePath(QStringLiteral("ours-for-office.rtf"));
    QFile rtf(rtfPath);
    QVERIFY(rtf.open(QIODevice::WriteOnly));
    rtf.write(kmp::rtf::write(&note));
    rtf.close();
    QString error;
    const QString back = convert(rtfPath, QStringLiteral("rtf:Rich Text Format"), QString(), &error);
    QVERIFY2(!back.isEmpty(), qPrintable(error));
    QFile backFile(back);
    QVERIFY(backFile.open(QIODevice::ReadOnly));
    QTextDocument seen;
    kmp::rtf::read(backFile.readAll(), &seen);
    const QString problems = check(seen, kExpected);
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
    QTextTable *table = firstTable(seen);
    QVERIFY(table);
    QCOMPARE(table->cellAt(0, 0).columnSpan(), 2);
    QStringList pictures;
    for (QTextBlock b = seen.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            if (!f.isImageFormat())
                continue;
            const QImage image = seen.resource(QTextDocument::ImageResource, QUrl(f.toImageFormat().name())).value<QImage>();
            QSet<QRgb> colours;
            for (int y = 0; y < image.height(); y += std::max(1, image.height() / 32))
                for (int x = 0; x < image.width(); x += std::max(1, image.width() / 32))
                    colours.insert(image.pixel(x, y));
            pictures << QStringLiteral("%1 colours").arg(colours.size() > 1 ? QStringLiteral("several") : QStringLiteral("one"));
        }
    }
    QCOMPARE(pictures, (QStringList{QStringLiteral("several colours"), QStringLiteral("several colours")}));
}

void TestRtfInterop::weReadWhatOfficeWrites_data()
{
    QTest::addColumn<QString>("html");
    QTest::newRow("from HTML") << QStringLiteral(
        "<html><head><meta charset=\"utf-8\"></head><body>"
        "<p>Paciente com <b>dor torácica</b> e <i>dispneia</i>, <u>sopro</u> sistólico.</p>"
        "<p>“aspas” – 50 €</p>"
        "<p>Superfície 2 m<sup>²</sup>, x<sub>₁</sub></p>"
        "<ul><li>hidratação</li><li>repouso</li></ul>"
        "<ol><li>dipirona</li><li>omeprazol</li></ol>"
        "<p align=\"center\">Retorno em 7 dias</p></body></html>");
}

void TestRtfInterop::weReadWhatOfficeWrites()
{
    QFETCH(QString, html);
    const QString htmlPath = m_dir.filePath(QStringLiteral("office-note.html"));
    QFile f(htmlPath);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(html.toUtf8());
    f.close();
    QString error;
    const QString rtfPath =
        convert(htmlPath, QStringLiteral("rtf:Rich Text Format"), QStringLiteral("HTML (StarWriter)"), &error);
    QVERIFY2(!rtfPath.isEmpty(), qPrintable(error));
    QFile rtf(rtfPath);
    QVERIFY(rtf.open(QIODevice::ReadOnly));
    const QByteArray bytes = rtf.readAll();
    QVERIFY(kmp::rtf::looksLikeRtf(bytes));
    QTextDocument doc;
    kmp::rtf::read(bytes, &doc);
    const QString problems = check(doc, kExpected);
    QVERIFY2(problems.isEmpty(), qPrintable(problems + QStringLiteral("\n") + doc.toPlainText()));
}

void TestRtfInterop::officeKeepsOurListsShadingAndChanges_data()
{
    QTest::addColumn<QString>("sample");
    QTest::addColumn<QStringList>("printed"); // lines of the office's text rendering, in this order
    QTest::addColumn<QStringList>("kept");    // patterns in the signature of the office's RTF as we read it
    QTest::newRow("nested numbering and a start")
        << QStringLiteral("office-nested-numbering.rtf")
        << QStringList{"    1. glicemia", "        a) meta HbA1c", "        b) meta LDL",
                       "    2. retorno",  "    E. quinto",         "    F. sexto"}
        << QStringList{"^list\\(-5,2,#\\)\\) item2 .*meta LDL$", "^list\\(-6,1,#\\.\\) item6 .*sexto$"};
    QTest::newRow("separate lists") << QStringLiteral("office-separate-lists.rtf")
                                    << QStringList{"    1. dieta", "    2. exercício", "Exames:", "    1. hemograma",
                                                   "    2. glicemia"}
                                    << QStringList{"^list\\(-4,1,#\\.\\) item1 .*hemograma$"};
    QTest::newRow("tracked changes") << QStringLiteral("office-tracked-changes.rtf") << QStringList()
                                     << QStringList{"del=NÃO @Dra. Ana@669792911", "ins=Dr. Bruno@1206665758"};
    QTest::newRow("shading") << QStringLiteral("office-shading-colours.rtf") << QStringList{"Atenção: valor crítico"}
                             << QStringList{"0,1:1x1:bg#ff0000 ", "^bg#ffff00 .*Atenção: valor crítico$"};
}

// Our save of a LibreOffice note, opened by the office again: the numbers and
// levels it prints, and what it saves back as RTF.
void TestRtfInterop::officeKeepsOurListsShadingAndChanges()
{
    QFETCH(QString, sample);
    QFETCH(QStringList, printed);
    QFETCH(QStringList, kept);
    QFile in(QStringLiteral(KMP_SOURCE_DIR "/tests/richtext/samples/") + sample);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QTextDocument note;
    kmp::rtf::read(in.readAll(), &note);
    const QString ours = m_dir.filePath(QStringLiteral("ours-") + sample);
    QFile out(ours);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(kmp::rtf::write(&note));
    out.close();

    QString error;
    const QString text = convert(ours, QStringLiteral("txt:Text (encoded):UTF8"), QString(), &error);
    QVERIFY2(!text.isEmpty(), qPrintable(error));
    QFile textFile(text);
    QVERIFY(textFile.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(textFile.readAll()).remove(QChar(0xFEFF)).split(QRegularExpression("\\r?\\n"));
    qsizetype at = 0;
    for (const QString &line : printed) {
        at = lines.indexOf(line, at);
        QVERIFY2(at >= 0, qPrintable(line + QStringLiteral(" not printed, in order, in:\n") + lines.join(QLatin1Char('\n'))));
    }

    const QString back = convert(ours, QStringLiteral("rtf:Rich Text Format"), QString(), &error);
    QVERIFY2(!back.isEmpty(), qPrintable(error));
    QFile backFile(back);
    QVERIFY(backFile.open(QIODevice::ReadOnly));
    QTextDocument seen;
    kmp::rtf::read(backFile.readAll(), &seen);
    const QString signature = kmp::rtf::test::documentSignature(seen);
    for (const QString &pattern : kept)
        QVERIFY2(QRegularExpression(pattern, QRegularExpression::MultilineOption).match(signature).hasMatch(),
                 qPrintable(pattern + QStringLiteral(" not in:\n") + signature));
}

QTEST_MAIN(TestRtfInterop)
#include "tst_rtfinterop.moc"
