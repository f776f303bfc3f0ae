// Notes that once took the reader down, and hostile input built to exhaust it:
// each must load, save and load again with the same text, in bounded memory.

#include "rtfparser.h"
#include "rtfreader.h"
#include "rtfwriter.h"
#include "textformat.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>

#include <algorithm>

namespace {

const QString kData = QStringLiteral(KMP_SOURCE_DIR "/tests/richtext/data/");

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        qFatal("missing %s", qPrintable(path));
    return f.readAll();
}

QByteArray repeated(const QByteArray &part, int times)
{
    QByteArray out;
    out.reserve(part.size() * times);
    for (int i = 0; i < times; ++i)
        out += part;
    return out;
}

int tableDepth(QTextFrame *frame)
{
    int deepest = 0;
    for (QTextFrame *child : frame->childFrames())
        deepest = std::max(deepest, tableDepth(child) + (qobject_cast<QTextTable *>(child) ? 1 : 0));
    return deepest;
}

int widestTable(QTextFrame *frame)
{
    int widest = 0;
    for (QTextFrame *child : frame->childFrames()) {
        if (auto *t = qobject_cast<QTextTable *>(child))
            widest = std::max(widest, t->columns());
        widest = std::max(widest, widestTable(child));
    }
    return widest;
}

} // namespace

class TestRtfHostile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void storedReproducers_data();
    void storedReproducers();
    void limits_data();
    void limits();
    void nestingWithinTheLimitIsKept();
};

void TestRtfHostile::storedReproducers_data()
{
    QTest::addColumn<QString>("file");
    const QStringList files = QDir(kData).entryList({QStringLiteral("*.rtf")}, QDir::Files, QDir::Name);
    QVERIFY(!files.isEmpty());
    for (const QString &f : files)
        QTest::newRow(qPrintable(f)) << f;
}

// Each file here once crashed the reader; its text ("expected" beside it when
// there is any) must survive a load, a save and a second load.
void TestRtfHostile::storedReproducers()
{
    QFETCH(QString, file);
    const QByteArray input = fileBytes(kData + file);
    QTextDocument doc;
    kmp::rtf::read(input, &doc);
    const QString expectedPath = kData + QFileInfo(file).completeBaseName() + QStringLiteral(".txt");
    if (QFile::exists(expectedPath))
        QCOMPARE(doc.toPlainText(), QString::fromUtf8(fileBytes(expectedPath)));
    const QByteArray stored = kmp::rtf::write(&doc);
    QTextDocument again;
    kmp::rtf::read(stored, &again);
    QCOMPARE(again.toPlainText(), doc.toPlainText());
}

void TestRtfHostile::limits_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("text"); // what must still be read
    QTest::addColumn<int>("maxDepth"); // of the group stack
    QTest::addColumn<int>("maxColours");
    QTest::addColumn<int>("maxTableDepth");
    QTest::addColumn<int>("maxColumns");
    QTest::addColumn<QStringList>("limitsMet"); // as the document records them

    constexpr int kMillion = 1'000'000;
    // The bounds are well above what any writer needs and far below what an
    // attacker asks for, so a limit raised a thousandfold fails here.
    QTest::newRow("a million nested braces")
        << "{\\rtf1 " + repeated("{", kMillion) + "deep" + repeated("}", kMillion) + " after}" << QStringLiteral("deep after")
        << 1000 << 0 << 0 << 0 << QStringList{"depth"};
    QTest::newRow("a million nested bold groups") << "{\\rtf1 " + repeated("{\\b ", kMillion) + "x" + "}" << QStringLiteral("x")
                                                  << 1000 << 0 << 0 << 0 << QStringList{"depth"};
    QTest::newRow("a colour table of a million entries")
        << "{\\rtf1{\\colortbl ;" + repeated("\\red1\\green2\\blue3;", kMillion) + "}\\cf999999 coloured}"
        << QStringLiteral("coloured") << 1000 << 10000 << 0 << 0 << QStringList();
    QTest::newRow("tables nested ten thousand deep")
        << QByteArray("{\\rtf1\\pard\\intbl\\itap10000 inner\\nestcell\\nestrow\\pard\\intbl\\itap1 outer\\cell\\row}")
        << QStringLiteral("inner") << 1000 << 0 << 10 << 0 << QStringList();
    QTest::newRow("a row of a hundred thousand cells")
        << "{\\rtf1\\trowd" + repeated("\\cellx100", 100000) + repeated("\\pard\\intbl c\\cell", 100000) + "\\row}"
        << QStringLiteral("c") << 1000 << 0 << 1 << 100 << QStringList{"cells"};
    QTest::newRow("\\bin claiming two gigabytes") << QByteArray("{\\rtf1 before{\\pict\\pngblip\\bin2147483647 abc}}")
                                                  << QStringLiteral("before") << 1000 << 0 << 0 << 0 << QStringList();
    QTest::newRow("numbers beyond any integer")
        << QByteArray("{\\rtf1\\fs99999999999999999999\\li-99999999999999999999\\u99999999999999999999 x\\cf99999999999999 y}")
        << QStringLiteral("y") << 1000 << 0 << 0 << 0 << QStringList();
    QTest::newRow("a million picture control words")
        << "{\\rtf1{\\pict\\wmetafile8" + repeated("\\picbmp", kMillion) + " 0100}tail}" << QStringLiteral("tail") << 1000 << 0
        << 0 << 0 << QStringList();
    // Past a table's limits values stay apart, as paragraphs after the table or
    // in its last cell: "120/80130/85" in a record is a wrong reading.
    QByteArray rows = "{\\rtf1";
    for (int r = 0; r < 10002; ++r)
        rows += "\\trowd\\cellx2000\\pard\\intbl r" + QByteArray::number(r) + "\\cell\\row";
    QTest::newRow("rows past the ten thousandth")
        << rows + "\\pard after}" << QStringLiteral("r9999\nr10000\nr10001\nafter") << 1000 << 0 << 1 << 1 << QStringList{"rows"};
    QByteArray cells = "{\\rtf1\\trowd";
    for (int c = 1; c <= 70; ++c)
        cells += "\\pard\\intbl c" + QByteArray::number(c) + "\\cell";
    QTest::newRow("cells past the sixty-fourth")
        << cells + "\\row}" << QStringLiteral("c63\nc64\nc65\nc66") << 1000 << 0 << 1 << 64 << QStringList{"cells"};
}

// Hostile notes load what they hold, with every structure the reader keeps
// bounded whatever the note asks for.
void TestRtfHostile::limits()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, text);
    QFETCH(int, maxDepth);
    QFETCH(int, maxColours);
    QFETCH(int, maxTableDepth);
    QFETCH(int, maxColumns);
    QFETCH(QStringList, limitsMet);
    QTextDocument doc;
    kmp::rtf::detail::RtfParser parser(&doc);
    parser.parse(input, 0);
    QVERIFY2(parser.peakGroupDepth() <= maxDepth, qPrintable(QString::number(parser.peakGroupDepth())));
    if (maxColours > 0)
        QVERIFY2(parser.colourCount() <= maxColours, qPrintable(QString::number(parser.colourCount())));
    QVERIFY2(doc.toPlainText().contains(text), qPrintable(doc.toPlainText().right(200)));
    QCOMPARE(doc.property(kmp::rtf::kReadLimitsProperty).toStringList(), limitsMet);
    if (maxTableDepth > 0)
        QVERIFY2(tableDepth(doc.rootFrame()) <= maxTableDepth, qPrintable(QString::number(tableDepth(doc.rootFrame()))));
    if (maxColumns > 0)
        QVERIFY2(widestTable(doc.rootFrame()) <= maxColumns, qPrintable(QString::number(widestTable(doc.rootFrame()))));
    // Whatever was read saves and loads again.
    const QByteArray stored = kmp::rtf::write(&doc);
    QVERIFY(stored.size() < 16 * 1024 * 1024);
    QTextDocument again;
    kmp::rtf::read(stored, &again);
    QVERIFY(again.toPlainText().contains(text));
}

// Below the depth limit groups still scope their formatting: a limit cut too
// low would leak bold into the text after the group.
void TestRtfHostile::nestingWithinTheLimitIsKept()
{
    const int depth = 150;
    const QByteArray rtf = "{\\rtf1 " + repeated("{", depth) + "{\\b bold}plain" + repeated("}", depth) + "}";
    QTextDocument doc;
    kmp::rtf::read(rtf, &doc);
    QCOMPARE(doc.toPlainText(), QStringLiteral("boldplain"));
    QTextCursor c(&doc);
    c.setPosition(2);
    QVERIFY(c.charFormat().fontWeight() >= QFont::Bold);
    c.setPosition(7);
    QVERIFY(c.charFormat().fontWeight() < QFont::DemiBold);
}

QTEST_MAIN(TestRtfHostile)
#include "tst_rtfhostile.moc"
