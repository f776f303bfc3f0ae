// The reader against what clinics have stored and what gets pasted in: every
// feature on a small note of its own, the sample documents from other writers,
// and broken input that must still load.

#include "docsignature.h"
#include "liststart.h"
#include "rtfreader.h"
#include "shareddata.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextFrame>
#include <QTextList>
#include <QTextTable>

namespace {

const QString kSamples = kmp::test::sharedData(QStringLiteral("rtf/"));

QByteArray sample(const QString &name)
{
    QFile f(kSamples + name);
    // Without the shared samples the tests built on them skip (see init()); with them, a
    // missing one is a mistake in the test.
    if (!f.open(QIODevice::ReadOnly) && !kmp::test::hasSharedData(QStringLiteral("rtf")))
        return {};
    if (!f.isOpen())
        qFatal("missing sample %s", qPrintable(name));
    return f.readAll();
}

QString load(const QByteArray &rtf)
{
    QTextDocument doc;
    kmp::rtf::read(rtf, &doc);
    return doc.toPlainText();
}

QString styleName(int style)
{
    switch (style) {
    case QTextListFormat::ListDisc: return QStringLiteral("disc");
    case QTextListFormat::ListCircle: return QStringLiteral("circle");
    case QTextListFormat::ListSquare: return QStringLiteral("square");
    case QTextListFormat::ListDecimal: return QStringLiteral("dec");
    case QTextListFormat::ListLowerAlpha: return QStringLiteral("alpha");
    case QTextListFormat::ListUpperAlpha: return QStringLiteral("ALPHA");
    case QTextListFormat::ListLowerRoman: return QStringLiteral("roman");
    case QTextListFormat::ListUpperRoman: return QStringLiteral("ROMAN");
    default: return QString::number(style);
    }
}

// One entry a paragraph: "-" outside lists, else style, level, the number's
// suffix and the item's place, so "dec1.#1" is the second item of a numbered list.
QString listSummary(const QTextDocument &doc)
{
    QStringList parts;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        QTextList *list = b.textList();
        if (!list) {
            parts << QStringLiteral("-");
            continue;
        }
        const QTextListFormat lf = list->format();
        const bool numbered = lf.style() <= QTextListFormat::ListDecimal;
        parts << styleName(lf.style()) + QString::number(lf.indent()) + (numbered ? lf.numberSuffix() : QString())
                     + QLatin1Char('#') + QString::number(kmp::rtf::listStart(lf) - 1 + list->itemNumber(b));
    }
    return parts.join(QLatin1Char(','));
}

int tableCount(QTextFrame *frame)
{
    int n = 0;
    for (QTextFrame *child : frame->childFrames()) {
        if (qobject_cast<QTextTable *>(child))
            ++n;
        n += tableCount(child);
    }
    return n;
}

QStringList words(const QString &text)
{
    QString t = text;
    t.replace(QChar::Nbsp, QLatin1Char(' '));
    t.replace(QChar::ObjectReplacementCharacter, QLatin1Char(' '));
    return t.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
}

QByteArray pngBytes(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(200, 30, 30));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QByteArray jpegBytes(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(30, 30, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return bytes;
}

} // namespace

class TestRtfReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void text_data();
    void text();
    void characterFormats_data();
    void characterFormats();
    void paragraphFormats_data();
    void paragraphFormats();
    void lists_data();
    void lists();
    void tables_data();
    void tables();
    void pictures_data();
    void pictures();
    void samples_data();
    void samples();
    void againstOtherReaders_data();
    void againstOtherReaders();
    void everyTruncationLoads_data();
    void everyTruncationLoads();
    void replacesPreviousContent();
};

void TestRtfReader::init()
{
    static const QSet<QString> needSamples{QStringLiteral("paragraphFormats"), QStringLiteral("lists"), QStringLiteral("samples"),
                                           QStringLiteral("againstOtherReaders"), QStringLiteral("everyTruncationLoads")};
    if (needSamples.contains(QLatin1String(QTest::currentTestFunction())) && !kmp::test::hasSharedData(QStringLiteral("rtf")))
        QSKIP(qPrintable(kmp::test::missingSharedDataReason(QStringLiteral("rtf"))));
}

void TestRtfReader::text_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("expected");

    // Code pages
    QTest::newRow("cp1252 is not Latin-1") << QByteArray("{\\rtf1\\ansi\\ansicpg1252 \\'93x\\'94 \\'96 \\'80 \\'e7\\'e3}")
                                           << QStringLiteral("“x” – € çã");
    QTest::newRow("cp1250") << QByteArray("{\\rtf1\\ansi\\ansicpg1250 \\'b9\\'e6\\'9c}") << QStringLiteral("ąćś");
    QTest::newRow("cp1251") << QByteArray("{\\rtf1\\ansi\\ansicpg1251 \\'c0\\'e1\\'e2}") << QStringLiteral("Абв");
    QTest::newRow("cp1253") << QByteArray("{\\rtf1\\ansi\\ansicpg1253 \\'e1\\'e2\\'e3}") << QStringLiteral("αβγ");
    QTest::newRow("cp1254") << QByteArray("{\\rtf1\\ansi\\ansicpg1254 \\'f0\\'fe\\'dd}") << QStringLiteral("ğşİ");
    QTest::newRow("cp437 by \\pc") << QByteArray("{\\rtf1\\pc \\'82\\'a0\\'87}") << QStringLiteral("éáç");
    QTest::newRow("cp850 by \\pca") << QByteArray("{\\rtf1\\pca \\'c6\\'e4}") << QStringLiteral("ãõ");
    QTest::newRow("raw 8-bit bytes use the code page")
        << QByteArray("{\\rtf1\\ansi\\ansicpg1251 \xc0\xe1}") << QStringLiteral("Аб");
    QTest::newRow("font charset wins over ansicpg") << QByteArray(
        "{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0\\fcharset0 Arial;}{\\f1\\fcharset204 Arial Cyr;}{\\f2\\fcharset238 Arial CE;}}"
        "\\f1\\'c0\\f0\\'c0\\f2\\'b9}") << QStringLiteral("АÀą");
    QTest::newRow("font code page") << QByteArray("{\\rtf1\\ansi{\\fonttbl{\\f0\\cpg1253 Arial;}}\\f0\\'e1}")
                                    << QStringLiteral("α");
    QTest::newRow("Symbol font glyphs become characters")
        << QByteArray("{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}{\\f1\\fcharset2 Symbol;}}\\f1 mg \\'b3\\u-3913?\\f0  mg}")
        << QStringLiteral("μγ ≥• mg");
    // Unicode
    QTest::newRow("\\u with its fallback skipped") << QByteArray("{\\rtf1 K\\u228\\'e4rlek}") << QStringLiteral("Kärlek");
    QTest::newRow("\\uc2 skips two units") << QByteArray("{\\rtf1\\uc2\\u26085\\'93\\'fa!}") << QStringLiteral("日!");
    QTest::newRow("\\uc0 skips nothing") << QByteArray("{\\rtf1\\uc0\\u26085 x}") << QStringLiteral("日x");
    QTest::newRow("a control word is one skipped unit") << QByteArray("{\\rtf1 \\u233\\tab x}") << QStringLiteral("éx");
    QTest::newRow("skip ends with the group") << QByteArray("{\\rtf1{\\uc3\\u233}ab}") << QStringLiteral("éab");
    QTest::newRow("\\uc is scoped to its group") << QByteArray("{\\rtf1{\\uc0 }\\u233?}") << QStringLiteral("é");
    QTest::newRow("negative values and surrogate pairs")
        << QByteArray("{\\rtf1 \\u-10179?\\u-8704?\\u-3? \\u8364?}") << QStringLiteral("😀\uFFFD €");
    QTest::newRow("lone surrogate replaced") << QByteArray("{\\rtf1 \\u-10179?x}") << QStringLiteral("\uFFFDx");
    // Special characters
    QTest::newRow("escaped braces and backslash") << QByteArray("{\\rtf1 \\{a\\}\\\\b}") << QStringLiteral("{a}\\b");
    QTest::newRow("named characters") << QByteArray(
        "{\\rtf1 a\\~b\\_c\\emdash\\endash\\lquote\\rquote\\ldblquote\\rdblquote\\bullet}")
                                      << QStringLiteral("a b\u2011c—–‘’“”•");
    QTest::newRow("line, tab and paragraph") << QByteArray("{\\rtf1 a\\line b\\tab c\\par d}") << QStringLiteral("a\nb\tc\nd");
    QTest::newRow("newline after a backslash is a paragraph") << QByteArray("{\\rtf1 a\\\nb}") << QStringLiteral("a\nb");
    QTest::newRow("letter after a number ends the word") << QByteArray("{\\rtf1foobar}") << QStringLiteral("foobar");
    QTest::newRow("hidden text is not shown") << QByteArray("{\\rtf1 a{\\v hidden}b\\v c\\v0 d}") << QStringLiteral("abd");
    // Destinations
    QTest::newRow("ignorable destinations skipped")
        << QByteArray("{\\rtf1{\\*\\generator x;}{\\*\\unknown {nested} text}a}") << QStringLiteral("a");
    QTest::newRow("star without its backslash") << QByteArray("{\\rtf1{*\\generator Riched20 10.0;}a}") << QStringLiteral("a");
    QTest::newRow("unknown destination keeps its text") << QByteArray("{\\rtf1{\\unknownword a}b}") << QStringLiteral("ab");
    QTest::newRow("metadata and rendered markers skipped")
        << QByteArray("{\\rtf1{\\info{\\title t}}{\\header h}{\\stylesheet{\\s1 Heading;}}{\\listtext x\\tab}a}")
        << QStringLiteral("a");
    QTest::newRow("field shows its result") << QByteArray(
        "{\\rtf1{\\field{\\*\\fldinst HYPERLINK \"http://x\"}{\\fldrslt link}}}")
                                            << QStringLiteral("link");
    QTest::newRow("unicode name of \\upr") << QByteArray("{\\rtf1{\\upr{ansi}{\\*\\ud{unicode}}}}") << QStringLiteral("unicode");
    QTest::newRow("\\bin data is not text") << QByteArray("{\\rtf1 a\\bin3 }{}b{\\*\\x\\bin2 }}}c}") << QStringLiteral("abc");
    // Not RTF
    QTest::newRow("plain UTF-8") << QByteArray("Pressão 12/8\r\nok") << QStringLiteral("Pressão 12/8\nok");
    QTest::newRow("plain cp1252") << QByteArray("Press\xe3o \x93x\x94") << QStringLiteral("Pressão “x”");
    QTest::newRow("empty input") << QByteArray() << QString();
    QTest::newRow("bare control word") << QByteArray("\\foobar\n") << QStringLiteral("\\foobar\n");
    // Broken RTF
    QTest::newRow("junk before the header") << QByteArray("/{\\rtf1 a}") << QStringLiteral("a");
    QTest::newRow("text after the last brace") << QByteArray("{\\rtf1 a\\par}junk}{") << QStringLiteral("a");
    QTest::newRow("trailing NUL") << QByteArray("{\\rtf1 a\\par}\r\n\0", 16) << QStringLiteral("a");
    QTest::newRow("one closing brace too many") << QByteArray("{\\rtf1 {a}}}b}") << QStringLiteral("a");
    QTest::newRow("truncated inside groups") << QByteArray("{\\rtf1 {\\b a{\\i b") << QStringLiteral("ab");
    QTest::newRow("truncated escape") << QByteArray("{\\rtf1 a\\'9") << QStringLiteral("a");
    QTest::newRow("truncated \\u") << QByteArray("{\\rtf1 a\\u") << QStringLiteral("a");
    QTest::newRow("bad hex escape") << QByteArray("{\\rtf1 a\\'zb}") << QStringLiteral("azb");
    QTest::newRow("huge numbers") << QByteArray("{\\rtf1\\fs99999999999999999999 a\\li-99999999999999999 b\\u99999999999 c d}")
                                  << QStringLiteral("ab d");
    QTest::newRow("\\bin longer than the data") << QByteArray("{\\rtf1 a\\bin999999999999 xyz}") << QStringLiteral("a");
    QTest::newRow("negative \\bin") << QByteArray("{\\rtf1 a\\bin-5 b}") << QStringLiteral("ab");
    QTest::newRow("very long control word") << QByteArray("{\\rtf1 \\") + QByteArray(5000, 'a') + QByteArray(" x}")
                                            << QStringLiteral("x");
    QTest::newRow("deep nesting") << QByteArray("{\\rtf1 ") + QByteArray(200000, '{') + "x" + QByteArray(200000, '}') + "y}"
                                  << QStringLiteral("xy");
    QTest::newRow("deep nesting never closed") << QByteArray("{\\rtf1 ") + QByteArray(100000, '{') + "x" << QStringLiteral("x");
    // Nesting stops at eight tables; each one adds the paragraph Qt keeps before and after it.
    QTest::newRow("many tables deep") << QByteArray("{\\rtf1 \\intbl\\itap99999 deep\\nestcell\\nestrow}")
                                      << QString(8, QLatin1Char('\n')) + QStringLiteral("deep") + QString(8, QLatin1Char('\n'));
}

void TestRtfReader::text()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, expected);
    // Hidden runs stay in the document as objects that take no room on screen.
    QString shown = load(input);
    shown.remove(QChar::ObjectReplacementCharacter);
    QCOMPARE(shown, expected);
    QCOMPARE(kmp::rtf::plainText(input), expected);
}

void TestRtfReader::characterFormats_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("expected");

    const QByteArray head = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\froman\\fcharset0 Times New Roman;}}"
                            "{\\colortbl;\\red255\\green0\\blue0;\\red0\\green0\\blue255;}";
    QTest::newRow("emphasis on and off, scoped by groups")
        << head
               + "\\fs20 a{\\b b{\\i c}}\\ul d\\ulnone e\\strike f\\strike0\\super g\\nosupersub h\\sub i\\sub0 j\\b k\\b0 "
                 "l\\uldb m\\ul0 n}"
        << QStringLiteral(
               "align1 m0/0/0/0/0 [Arial,10]a[Arial,10,b]b[Arial,10,b,i]c[Arial,10,u]d[Arial,10]e[Arial,10,s]f"
               "[Arial,10,sup]g[Arial,10]h[Arial,10,sub]i[Arial,10]j[Arial,10,b]k[Arial,10]l[Arial,10,u6]m[Arial,10]n");
    QTest::newRow("plain resets to the default font")
        << head + "\\f1\\fs17\\b\\i a\\plain b}" << QStringLiteral("align1 m0/0/0/0/0 [Times New Roman,8.5,b,i]a[Arial,12]b");
    QTest::newRow("colours, highlight and cell background")
        << head + "a\\cf1 b\\highlight2 c\\cf0 d\\highlight0 e\\cb1 f\\cb0\\cf99 g}"
        << QStringLiteral("align1 m0/0/0/0/0 [Arial,12]a[Arial,12,fg#ff0000]b[Arial,12,fg#ff0000,bg#0000ff]c"
                          "[Arial,12,bg#0000ff]d[Arial,12]e[Arial,12,bg#ff0000]f[Arial,12]g");
    QTest::newRow("hyperlink field")
        << head + "{\\field{\\*\\fldinst{HYPERLINK \"https://example.org/a b\"}}{\\fldrslt{\\ul link}}} after}"
        << QStringLiteral("align1 m0/0/0/0/0 [Arial,12,u,href=https://example.org/a b]link[Arial,12] after");
    QTest::newRow("hyperlink to a bookmark") << head + "{\\field{\\*\\fldinst HYPERLINK \\\\l \"exame\"}{\\fldrslt see}}}"
                                             << QStringLiteral("align1 m0/0/0/0/0 [Arial,12,href=#exame]see");
    QTest::newRow("font table without groups")
        << QByteArray("{\\rtf1{\\fonttbl\\f0\\fnil Tahoma;\\f1\\fnil Verdana;}\\f1 a\\f0 b}")
        << QStringLiteral("align1 m0/0/0/0/0 [Verdana,12]a[Tahoma,12]b");
    QTest::newRow("alternative font name not part of the name") << QByteArray(
        "{\\rtf1{\\fonttbl{\\f0\\froman{\\*\\panose 02020603050405020304}Times New Roman{\\*\\falt Times};}}\\f0 a}")
                                                                << QStringLiteral("align1 m0/0/0/0/0 [Times New Roman,12]a");
}

void TestRtfReader::characterFormats()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, expected);
    QTextDocument doc;
    kmp::rtf::read(input, &doc);
    QCOMPARE(kmp::rtf::test::documentSignature(doc), expected);
}

void TestRtfReader::paragraphFormats_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("expected"); // one per paragraph: what precedes the first run

    QTest::newRow("alignment given after the text still applies")
        << QByteArray("{\\rtf1 a\\qc\\par b\\qr\\par\\pard c\\qj\\par d}")
        << QStringList{QStringLiteral("align4 m0/0/0/0/0"), QStringLiteral("align2 m0/0/0/0/0"),
                       QStringLiteral("align8 m0/0/0/0/0"), QStringLiteral("align8 m0/0/0/0/0")};
    QTest::newRow("properties carry over until \\pard")
        << QByteArray("{\\rtf1\\qc\\li300 a\\par b\\par\\pard c}")
        << QStringList{QStringLiteral("align4 m20/0/0/0/0"), QStringLiteral("align4 m20/0/0/0/0"),
                       QStringLiteral("align1 m0/0/0/0/0")};
    QTest::newRow("properties scoped by groups")
        << QByteArray("{\\rtf1{\\qr a\\par}b}")
        << QStringList{QStringLiteral("align2 m0/0/0/0/0"), QStringLiteral("align1 m0/0/0/0/0")};
    QTest::newRow("indents and spacing in twips")
        << QByteArray("{\\rtf1\\li720\\ri360\\fi-360\\sb120\\sa240 a}") << QStringList{QStringLiteral("align1 m48/24/-24/8/16")};
    QTest::newRow("line spacing kinds")
        << QByteArray("{\\rtf1\\sl276\\slmult1 a\\par\\pard\\sl300\\slmult0 b\\par\\pard\\sl-300\\slmult0 c\\par\\pard\\sl0 d}")
        << QStringList{QStringLiteral("align1 m0/0/0/0/0 lh1:115"), QStringLiteral("align1 m0/0/0/0/0 lh3:20"),
                       QStringLiteral("align1 m0/0/0/0/0 lh2:20"), QStringLiteral("align1 m0/0/0/0/0")};
    QTest::newRow("empty paragraphs kept, final paragraph mark opens nothing")
        << QByteArray("{\\rtf1 a\\par\\par\\par}")
        << QStringList{QStringLiteral("align1 m0/0/0/0/0"), QStringLiteral("align1 m0/0/0/0/0"),
                       QStringLiteral("align1 m0/0/0/0/0")};
    QTest::newRow("line break at paragraph start")
        << sample(QStringLiteral("rtfpipe-inline__Issue10.rtf")) << QStringList{QStringLiteral("align1 m0/0/0/0/0")};
}

void TestRtfReader::paragraphFormats()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, expected);
    QTextDocument doc;
    kmp::rtf::read(input, &doc);
    QStringList actual;
    for (const QString &line : kmp::rtf::test::documentSignature(doc).split(QLatin1Char('\n')))
        actual << line.section(QLatin1Char('['), 0, 0).trimmed();
    QCOMPARE(actual, expected);
}

void TestRtfReader::lists_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("text");

    QTest::newRow("rich-edit bullets and numbering")
        << sample(QStringLiteral("rtfpipe__List.rtf")) << QStringLiteral("-,disc1#0,disc1#1,-,dec1.#0,dec1.#1")
        << QStringLiteral("Paragraph\nBullet\nBullet 2\nParagraph 2\nList 1\nList 2");
    QTest::newRow("Word re-save of the same list")
        << sample(QStringLiteral("rtfpipe__ListWord.rtf")) << QStringLiteral("-,disc1#0,disc1#1,-,dec1.#0,dec1.#1")
        << QStringLiteral("Paragraph\nBullet\nBullet 2\nParagraph 2\nList 1\nList 2");
    QTest::newRow("Word list table with levels, \\listtext ignored") << QByteArray(
        "{\\rtf1{\\*\\listtable{\\list\\listtemplateid1{\\listlevel\\levelnfc23{\\leveltext\\'01\\u-3913 ?;}}"
        "{\\listlevel\\levelnfc4{\\leveltext\\'02\\'01);}}\\listid7}{\\list{\\listlevel\\levelnfc255{\\leveltext\\'00;}}"
        "\\listid8}}"
        "{\\*\\listoverridetable{\\listoverride\\listid7\\listoverridecount0\\ls1}{\\listoverride\\listid8\\ls2}}"
        "\\pard\\ls1{\\listtext\\'b7\\tab}a\\par{\\listtext\\'b7\\tab}b\\par\\pard\\ls1\\ilvl1{\\listtext a)\\tab}c\\par"
        "\\pard\\ls2 d\\par\\pard e}") << QStringLiteral("disc1#0,disc1#1,alpha2)#0,-,-")
                                                                     << QStringLiteral("a\nb\nc\nd\ne");
    QTest::newRow("\\listtext before \\pard, a list going on in the next cell")
        << QByteArray("{\\rtf1{\\*\\listtable{\\list{\\listlevel\\levelnfc0{\\leveltext\\'02\\'00.;}}\\listid1}}"
                      "{\\*\\listoverridetable{\\listoverride\\listid1\\ls1}}\\trowd\\cellx3000\\cellx6000"
                      "{\\listtext 1.\\tab}\\pard\\intbl\\ls1 first\\par{\\listtext 2.\\tab}\\pard\\intbl\\ls1 second\\cell"
                      "{\\listtext 3.\\tab}\\pard\\intbl\\ls1 third\\cell\\row\\pard after\\par"
                      "\\pard\\ls1 fourth}")
        << QStringLiteral("-,dec1.#0,dec1.#1,dec1.#2,-,dec1.#3") << QStringLiteral("\nfirst\nsecond\nthird\nafter\nfourth");
    QTest::newRow("numbering restarts after a plain paragraph")
        << QByteArray("{\\rtf1\\pard{\\*\\pn\\pnlvlbody\\pndec{\\pntxta.}}\\fi-360\\li720 a\\par b\\par\\pard c\\par"
                      "\\pard{\\*\\pn\\pnlvlbody\\pndec{\\pntxta.}}\\fi-360\\li720 d}")
        << QStringLiteral("dec1.#0,dec1.#1,-,dec1.#0") << QStringLiteral("a\nb\nc\nd");
    QTest::newRow("letters, roman numerals and brackets")
        << QByteArray("{\\rtf1\\pard{\\*\\pn\\pnlvlbody\\pnlcltr{\\pntxtb (}{\\pntxta )}}\\li720 a\\par"
                      "\\pard{\\*\\pn\\pnlvlbody\\pnucrm{\\pntxta .}}\\li720 b\\par"
                      "\\pard{\\*\\pn\\pnlvlbody\\pnlcrm{\\pntxta .}}\\li720 c\\par"
                      "\\pard{\\*\\pn\\pnlvlbody\\pnucltr{\\pntxta .}}\\li720 d}")
        << QStringLiteral("alpha1)#0,ROMAN1.#0,roman1.#0,ALPHA1.#0") << QStringLiteral("a\nb\nc\nd");
    QTest::newRow("deeper indent is a deeper level")
        << QByteArray("{\\rtf1{\\fonttbl{\\f0 Arial;}{\\f1\\fcharset2 Symbol;}{\\f2 Courier New;}{\\f3\\fcharset2 Wingdings;}}"
                      "\\pard{\\*\\pn\\pnlvlblt\\pnf1{\\pntxtb\\'b7}}\\fi-360\\li720 a\\par"
                      "\\pard{\\*\\pn\\pnlvlblt\\pnf2{\\pntxtb o}}\\fi-360\\li1080 b\\par"
                      "\\pard{\\*\\pn\\pnlvlblt\\pnf3{\\pntxtb\\'a7}}\\fi-360\\li1440 c\\par"
                      "\\pard{\\*\\pn\\pnlvlblt\\pnf1{\\pntxtb\\'b7}}\\fi-360\\li720 d}")
        << QStringLiteral("disc1#0,circle2#0,square3#0,disc1#1") << QStringLiteral("a\nb\nc\nd");
    QTest::newRow("continuation paragraph keeps the list going")
        << QByteArray("{\\rtf1\\pard{\\*\\pn\\pnlvlbody\\pndec{\\pntxta.}}\\li720 a\\par"
                      "\\pard{\\*\\pn\\pnlvlcont}\\li720 more\\par"
                      "\\pard{\\*\\pn\\pnlvlbody\\pndec{\\pntxta.}}\\li720 b}")
        << QStringLiteral("dec1.#0,-,dec1.#1") << QStringLiteral("a\nmore\nb");
    QTest::newRow("rendered marker only") << QByteArray(
        "{\\rtf1{\\pntext 1.\\tab}a\\par{\\pntext 2.\\tab}b\\par{\\pntext\\'b7\\tab}c}")
                                          << QStringLiteral("dec1.#0,dec1.#1,disc1#0") << QStringLiteral("a\nb\nc");
    QTest::newRow("\\pn group only, as PHP writers do")
        << sample(QStringLiteral("rtfpipe__phprtflite__lists.rtf")).left(700) + "}" << QStringLiteral("-,disc2#0,disc2#1,disc2#2")
        << QStringLiteral("Text before the list\nhello world\nfoo\nbar");
}

void TestRtfReader::lists()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, expected);
    QFETCH(QString, text);
    QTextDocument doc;
    kmp::rtf::read(input, &doc);
    QCOMPARE(doc.toPlainText(), text);
    QCOMPARE(listSummary(doc), expected);
}

void TestRtfReader::tables_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("cells"); // "row,col:text" of the first table
    QTest::addColumn<int>("tables");
    QTest::addColumn<QString>("text");

    QTest::newRow("simple table between paragraphs")
        << QByteArray("{\\rtf1 before\\par\\trowd\\cellx1000\\cellx2000\\pard\\intbl a\\cell b\\cell\\row"
                      "\\trowd\\cellx1000\\cellx2000\\pard\\intbl c\\cell\\cell\\row\\pard after\\par}")
        << QStringList{QStringLiteral("0,0:a"), QStringLiteral("0,1:b"), QStringLiteral("1,0:c"), QStringLiteral("1,1:")} << 1
        << QStringLiteral("before\na\nb\nc\n\nafter");
    QTest::newRow("row properties after the cells, more cells than declared")
        << QByteArray("{\\rtf1\\intbl a\\cell b\\cell c\\cell\\trowd\\cellx100\\row}")
        << QStringList{QStringLiteral("0,0:a"), QStringLiteral("0,1:b"), QStringLiteral("0,2:c")} << 1
        << QStringLiteral("\na\nb\nc\n");
    QTest::newRow("nested table keeps its text in order")
        << QByteArray("{\\rtf1\\trowd\\cellx5000\\pard\\intbl outer\\par\\itap2 inner1\\nestcell inner2\\nestcell"
                      "{\\*\\nesttableprops\\trowd\\cellx100\\cellx200\\nestrow}\\pard\\intbl\\itap1 tail\\cell\\row\\pard end}")
        << QStringList{} << 2 << QStringLiteral("\nouter\ninner1\ninner2\ntail\nend");
    QTest::newRow("cell mark without \\intbl")
        << QByteArray("{\\rtf1 a\\cell b\\cell\\row}") << QStringList{QStringLiteral("0,0:a"), QStringLiteral("0,1:b")} << 1
        << QStringLiteral("\na\nb\n");
    QTest::newRow("paragraphs inside a cell") << QByteArray("{\\rtf1\\intbl a\\par b\\par\\cell\\row}")
                                              << QStringList{QStringLiteral("0,0:a\nb")} << 1 << QStringLiteral("\na\nb\n");
}

void TestRtfReader::tables()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, cells);
    QFETCH(int, tables);
    QFETCH(QString, text);
    QTextDocument doc;
    kmp::rtf::read(input, &doc);
    QCOMPARE(tableCount(doc.rootFrame()), tables);
    QCOMPARE(doc.toPlainText(), text);
    if (cells.isEmpty())
        return;
    QTextTable *table = qobject_cast<QTextTable *>(doc.rootFrame()->childFrames().value(0));
    QVERIFY(table);
    for (const QString &cell : cells) {
        const int row = cell.section(QLatin1Char(','), 0, 0).toInt();
        const int col = cell.section(QLatin1Char(','), 1).section(QLatin1Char(':'), 0, 0).toInt();
        const QTextTableCell c = table->cellAt(row, col);
        QVERIFY2(c.isValid(), qPrintable(cell));
        QTextCursor cur = c.firstCursorPosition();
        cur.setPosition(c.lastCursorPosition().position(), QTextCursor::KeepAnchor);
        QCOMPARE(cur.selection().toPlainText(), cell.section(QLatin1Char(':'), 1));
    }
}

void TestRtfReader::pictures_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QSize>("imageSize");   // of the resource; invalid for a placeholder
    QTest::addColumn<QSize>("displaySize"); // in the document, pixels

    QTest::newRow("PNG as hex") << "{\\rtf1 x{\\pict\\pngblip\\picw4\\pich3\\picwgoal120\\pichgoal45\n" + pngBytes(4, 3).toHex()
                                       + "}y}"
                                << QSize(4, 3) << QSize(8, 3);
    QTest::newRow("PNG as \\bin, scaled") << [] {
        const QByteArray png = pngBytes(10, 20);
        return "{\\rtf1{\\pict\\pngblip\\picscalex50\\picscaley200\\bin" + QByteArray::number(png.size()) + ' ' + png + "}}";
    }() << QSize(10, 20) << QSize(5, 40);
    QTest::newRow("JPEG inside shppict, metafile fallback ignored")
        << "{\\rtf1{\\*\\shppict{\\pict\\jpegblip\\picw6\\pich5 " + jpegBytes(6, 5).toHex()
               + "}}{\\nonshppict{\\pict\\wmetafile8 0100}}}"
        << QSize(6, 5) << QSize(6, 5);
    QTest::newRow("PNG labelled as JPEG") << "{\\rtf1{\\pict\\jpegblip " + pngBytes(3, 2).toHex() + "}}" << QSize(3, 2)
                                          << QSize(3, 2);
    QTest::newRow("metafile becomes a placeholder of its size")
        << QByteArray("{\\rtf1{\\pict\\wmetafile8\\picw2000\\pich1000\\picwgoal1500\\pichgoal750 010009000003}}") << QSize()
        << QSize(100, 50);
    QTest::newRow("broken PNG becomes a placeholder")
        << QByteArray("{\\rtf1{\\pict\\pngblip\\picwgoal300\\pichgoal300 89504e470d0a1a0a0000}}") << QSize() << QSize(20, 20);
    QTest::newRow("PNG claiming a huge size is not decoded") << "{\\rtf1{\\pict\\pngblip " + [] {
        QByteArray png = pngBytes(2, 2);
        // Width and height live at bytes 16..23 of the header chunk.
        png.replace(16, 8, QByteArray::fromHex("0000ffff0000ffff"));
        return png.toHex();
    }() + "}}" << QSize() << QSize(32, 32);
}

void TestRtfReader::pictures()
{
    QFETCH(QByteArray, input);
    QFETCH(QSize, imageSize);
    QFETCH(QSize, displaySize);
    QTextDocument doc;
    kmp::rtf::read(input, &doc);
    QTextImageFormat image;
    bool found = false;
    for (QTextBlock b = doc.begin(); b.isValid() && !found; b = b.next()) {
        for (auto it = b.begin(); !it.atEnd() && !found; ++it) {
            found = it.fragment().charFormat().isImageFormat();
            if (found)
                image = it.fragment().charFormat().toImageFormat();
        }
    }
    QVERIFY(found);
    QCOMPARE(QSize(qRound(image.width()), qRound(image.height())), displaySize);
    const QVariant resource = doc.resource(QTextDocument::ImageResource, QUrl(image.name()));
    QCOMPARE(resource.typeId(), QMetaType::QImage);
    if (imageSize.isValid())
        QCOMPARE(resource.value<QImage>().size(), imageSize);
    else
        QVERIFY(resource.value<QImage>().size().width() < 64); // the placeholder, not a decoded picture
}

void TestRtfReader::samples_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("phrases");

    QTest::newRow("GBK by font charset") << QStringLiteral("rtfpipe-inline__Issue20.rtf")
                                         << QStringList{QStringLiteral("《对外汉语教学概论》")};
    QTest::newRow("Shift-JIS by font charset")
        << QStringLiteral("rtfpipe__RtfParserTest_4.rtf") << QStringList{QStringLiteral("バージョンアップ注文書（銀行振込）")};
    QTest::newRow("\\uc2 with double-byte fallbacks")
        << QStringLiteral("rtfpipe__rtf2xml__japanese.rtf")
        << QStringList{QStringLiteral("オープンソース・ソフトウエアのプロジェクトです。")};
    QTest::newRow("Cyrillic by ansicpg, nested tables")
        << QStringLiteral("rtfpipe__Issue34.rtf")
        << QStringList{QStringLiteral("У Х В А Л А"), QStringLiteral("Б.І. Гулько"), QStringLiteral("В.А.Черненко")};
    QTest::newRow("rich-edit colours and underline")
        << QStringLiteral("rtfpipe__Issue42.rtf") << QStringList{QStringLiteral("Overview of Policy/Claims")};
    QTest::newRow("broken generator and field")
        << QStringLiteral("rtfpipe-inline__Issue32.rtf") << QStringList{QStringLiteral("http://www.xxxx.co.uk")};
    QTest::newRow("\\uc switching") << QStringLiteral(
        "rtfpipe__Test01.rtf") << QStringList{QStringLiteral("Unicode: [Γ] - ANSI-fallback: [G]"), QStringLiteral("\"αβχ\"")};
    QTest::newRow("Mac Roman and Symbol bullets") << QStringLiteral("rtfpipe__rtf2xml__bullet_list.rtf") << QStringList{};
    QTest::newRow("Symbol font") << QStringLiteral("rtfpipe__rtf2xml__symbol.rtf") << QStringList{};
    QTest::newRow("old Word document with pictures and tables")
        << QStringLiteral("rtfpipe__rtf2xml__old3_from_web.rtf") << QStringList{};
    QTest::newRow("pictures") << QStringLiteral("rtfpipe__phprtflite__images.rtf")
                              << QStringList{QStringLiteral("Here is .png image.")};
    QTest::newRow("metafiles in tables") << QStringLiteral("rtfpipe__Issue33.rtf")
                                         << QStringList{QStringLiteral("SUNDHEDSFARLIGE EGNESKABER")};
    QTest::newRow("empty file") << QStringLiteral("rtfpipe__RtfParserTest_fail_4.rtf") << QStringList{};
    QTest::newRow("junk before the brace") << QStringLiteral("rtfpipe__RtfParserTest_fail_0.rtf")
                                           << QStringList{QStringLiteral("Hello world in {RTF}…")};
    QTest::newRow("brace too many") << QStringLiteral("rtfpipe__RtfParserTest_fail_2.rtf")
                                    << QStringList{QStringLiteral("Hello world in {RTF}…")};
}

void TestRtfReader::samples()
{
    QFETCH(QString, file);
    QFETCH(QStringList, phrases);
    const QString text = load(sample(file));
    for (const QString &phrase : phrases)
        QVERIFY2(text.contains(phrase), qPrintable(QStringLiteral("'%1' not in:\n%2").arg(phrase, text.left(2000))));
    QVERIFY(!text.contains(QLatin1String("\\par")));
    QVERIFY(!text.contains(QLatin1String("{\\")));
}

void TestRtfReader::againstOtherReaders_data()
{
    QTest::addColumn<QString>("file");
    if (!kmp::test::hasSharedData(QStringLiteral("rtf"))) {
        QTest::newRow("shared samples") << QString(); // skipped by init()
        return;
    }
    const QStringList htmls = QDir(kSamples).entryList({QStringLiteral("*.expected.html")}, QDir::Files, QDir::Name);
    QVERIFY(htmls.size() >= 10);
    for (const QString &html : htmls) {
        // That reference rendering is of the nested-tables sample, not of the pictures one.
        if (html.startsWith(QLatin1String("rtfpipe__phprtflite__images")))
            continue;
        QTest::newRow(qPrintable(html.section(QLatin1Char('.'), 0, 0).replace(QLatin1String("Issue"), QLatin1String("case"))))
            << html;
    }
}

// Another reader's rendering sets what text and how many tables a document has.
// The words must come in the same order; a few may differ where that reader
// is wrong (it leaves DBCS fallback bytes in Japanese text and shows Symbol
// glyphs as Latin letters).
void TestRtfReader::againstOtherReaders()
{
    QFETCH(QString, file);
    QFile htmlFile(kSamples + file);
    QVERIFY(htmlFile.open(QIODevice::ReadOnly));
    QString html = QString::fromUtf8(htmlFile.readAll());
    const int expectedTables = html.count(QLatin1String("<table"));
    html.replace(QRegularExpression(QStringLiteral("<(p|br|td|th|li|div|tr)\\b")), QStringLiteral(" <\\1"));
    QTextDocument reference;
    reference.setHtml(html);
    const QStringList expected = words(reference.toPlainText());

    QString rtfName = file;
    rtfName.replace(QLatin1String(".expected.html"), QLatin1String(".rtf"));
    QTextDocument doc;
    kmp::rtf::read(sample(rtfName), &doc);
    const QStringList actual = words(doc.toPlainText());

    qsizetype at = 0;
    int found = 0;
    for (const QString &w : expected) {
        const qsizetype i = actual.indexOf(w, at);
        if (i >= 0) {
            at = i + 1;
            ++found;
        }
    }
    QVERIFY2(found >= expected.size() * 0.9,
             qPrintable(QStringLiteral("%1 of %2 words in order").arg(found).arg(expected.size())));
    QCOMPARE(tableCount(doc.rootFrame()), expectedTables);
}

void TestRtfReader::everyTruncationLoads_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("rich-edit lists") << QStringLiteral("rtfpipe__List.rtf");
    QTest::newRow("nested tables") << QStringLiteral("rtfpipe__phprtflite__nested_tables.rtf");
    QTest::newRow("Word list") << QStringLiteral("rtfpipe-inline__Issue14.rtf");
}

// A note cut short by a failed save shows what it has up to the cut.
void TestRtfReader::everyTruncationLoads()
{
    QFETCH(QString, file);
    const QByteArray full = sample(file);
    const QString whole = load(full).simplified();
    QString previous;
    for (qsizetype n = 0; n <= full.size(); ++n) {
        const QString part = load(full.left(n)).simplified();
        if (n > full.size() / 2 && part.size() < previous.size() / 2)
            QFAIL(qPrintable(QStringLiteral("cut at %1 lost text: '%2'").arg(n).arg(part)));
        previous = part;
    }
    QCOMPARE(previous, whole);
}

void TestRtfReader::replacesPreviousContent()
{
    QTextDocument doc;
    doc.setPlainText(QStringLiteral("old note"));
    kmp::rtf::read("{\\rtf1 new}", &doc);
    QCOMPARE(doc.toPlainText(), QStringLiteral("new"));
    QVERIFY(!doc.isUndoAvailable());
    QVERIFY(!doc.isModified());
}

QTEST_MAIN(TestRtfReader)
#include "tst_rtfreader.moc"
