// Notes that once took the reader down, and hostile input built to exhaust it:
// each must load, save and load again with the same text, in bounded memory.

#include "rtfreader.h"
#include "rtfwriter.h"

#include <QDir>
#include <QFile>
#include <QTextDocument>
#include <QTest>

namespace {

const QString kData = QStringLiteral(KMP_SOURCE_DIR "/tests/richtext/data/");

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        qFatal("missing %s", qPrintable(path));
    return f.readAll();
}

} // namespace

class TestRtfHostile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void storedReproducers_data();
    void storedReproducers();
};

void TestRtfHostile::storedReproducers_data()
{
    QTest::addColumn<QString>("file");
    const QStringList files = QDir(kData).entryList({QStringLiteral("*.rtf")}, QDir::Files, QDir::Name);
    QVERIFY(!files.isEmpty());
    for (const QString& f : files)
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

QTEST_MAIN(TestRtfHostile)
#include "tst_rtfhostile.moc"
