// Notes leave the clinic as RTF and come back from other editors: LibreOffice
// must read what we write with its formatting, and we must read what it writes.

#include "rtfreader.h"
#include "rtfwriter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextList>
#include <QTest>

namespace {

struct Expectation
{
    QString text;
    enum What { Bold, Italic, Underline, Bullet, Numbered, Centered, Plain } what;
};

// The paragraph and the character format where text first appears.
bool findText(const QTextDocument& doc, const QString& text, QTextBlock* block, QTextCharFormat* fmt)
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

QString check(const QTextDocument& doc, const QList<Expectation>& expectations)
{
    QStringList problems;
    for (const Expectation& e : expectations) {
        QTextBlock block;
        QTextCharFormat fmt;
        if (!findText(doc, e.text, &block, &fmt)) {
            problems << QStringLiteral("'%1' missing").arg(e.text);
            continue;
        }
        QTextList* list = block.textList();
        bool ok = true;
        switch (e.what) {
        case Expectation::Bold: ok = fmt.fontWeight() >= QFont::DemiBold; break;
        case Expectation::Italic: ok = fmt.fontItalic(); break;
        case Expectation::Underline: ok = fmt.fontUnderline(); break;
        case Expectation::Bullet: ok = list && list->format().style() >= QTextListFormat::ListSquare && list->format().style() < 0; break;
        case Expectation::Numbered: ok = list && list->format().style() <= QTextListFormat::ListDecimal; break;
        case Expectation::Centered: ok = (block.blockFormat().alignment() & Qt::AlignHCenter) != 0; break;
        case Expectation::Plain: ok = !list && fmt.fontWeight() < QFont::DemiBold && !fmt.fontItalic(); break;
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
};

void buildNote(QTextDocument& doc)
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
    auto addList = [&](QTextListFormat::Style style, const QStringList& items) {
        QTextListFormat lf;
        lf.setStyle(style);
        QTextList* list = nullptr;
        for (const QString& item : items) {
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

} // namespace

class TestRtfInterop : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void officeReadsWhatWeWrite_data();
    void officeReadsWhatWeWrite();
    void weReadWhatOfficeWrites_data();
    void weReadWhatOfficeWrites();

private:
    // Converts input with the office suite; returns the output file or an empty
    // string, with the reason in *error.
    QString convert(const QString& input, const QString& target, const QString& inFilter, QString* error);

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

QString TestRtfInterop::convert(const QString& input, const QString& target, const QString& inFilter, QString* error)
{
    const QString outDir = m_dir.filePath(QStringLiteral("out-") + QFileInfo(input).completeBaseName() + QLatin1Char('-')
                                          + QString::number(qHash(target)));
    QStringList args{QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("profile"))).toString(),
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
    const QString rtfPath = m_dir.filePath(QStringLiteral("note-%1.rtf").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_')));
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
}

void TestRtfInterop::weReadWhatOfficeWrites_data()
{
    QTest::addColumn<QString>("html");
    QTest::newRow("from HTML") << QStringLiteral(
        "<html><head><meta charset=\"utf-8\"></head><body>"
        "<p>Paciente com <b>dor torácica</b> e <i>dispneia</i>, <u>sopro</u> sistólico.</p>"
        "<p>“aspas” – 50 €</p>"
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
    const QString rtfPath = convert(htmlPath, QStringLiteral("rtf:Rich Text Format"), QStringLiteral("HTML (StarWriter)"), &error);
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

QTEST_MAIN(TestRtfInterop)
#include "tst_rtfinterop.moc"
