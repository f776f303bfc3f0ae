// The kmp-rtf command line, as support staff use it on stored notes.

#include "shareddata.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestKmpRtf : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void run_data();
    void run();
};

void TestKmpRtf::run_data()
{
    const QString list = kmp::test::sharedData(QStringLiteral("rtf/rtfpipe__List.rtf"));
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutHas");
    QTest::addColumn<QString>("stderrHas");

    QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0 << QStringLiteral("Uso: kmp-rtf") << QString();
    QTest::newRow("no arguments") << QStringList{} << 2 << QString() << QStringLiteral("Uso: kmp-rtf");
    QTest::newRow("unknown command") << QStringList{QStringLiteral("pdf"), list} << 2 << QString()
                                     << QStringLiteral("comando desconhecido");
    QTest::newRow("missing file") << QStringList{QStringLiteral("text"), QStringLiteral("/nonexistent/note.rtf")} << 1
                                  << QString() << QStringLiteral("não foi possível ler '/nonexistent/note.rtf'");
    QTest::newRow("directory is not a file")
        << QStringList{QStringLiteral("text"), QStringLiteral("/")} << 1 << QString() << QStringLiteral("não foi possível ler");
    QTest::newRow("text") << QStringList{QStringLiteral("text"), list} << 0 << QStringLiteral("Paragraph\nBullet\nBullet 2\n")
                          << QString();
    QTest::newRow("html") << QStringList{QStringLiteral("html"), list} << 0 << QStringLiteral("<ul") << QString();
    QTest::newRow("rtf") << QStringList{QStringLiteral("rtf"), list} << 0 << QStringLiteral("{\\*\\pn\\pnlvlblt") << QString();
    QTest::newRow("--from-html only with rtf") << QStringList{QStringLiteral("text"), list, QStringLiteral("--from-html")} << 2
                                               << QString() << QStringLiteral("--from-html");
}

void TestKmpRtf::run()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutHas);
    QFETCH(QString, stderrHas);
    if (args.size() > 1 && args.at(1).startsWith(kmp::test::sharedDataDir()) && !kmp::test::hasSharedData(QStringLiteral("rtf")))
        QSKIP(qPrintable(kmp::test::missingSharedDataReason(QStringLiteral("rtf"))));
    QProcess proc;
    proc.start(QStringLiteral(KMP_RTF_TOOL), args);
    QVERIFY(proc.waitForFinished(60000));
    const QString out = QString::fromUtf8(proc.readAllStandardOutput());
    const QString err = QString::fromUtf8(proc.readAllStandardError());
    QCOMPARE(proc.exitStatus(), QProcess::NormalExit);
    QCOMPARE(proc.exitCode(), exitCode);
    QVERIFY2(out.contains(stdoutHas), qPrintable(out));
    QVERIFY2(err.contains(stderrHas), qPrintable(err));
}

QTEST_MAIN(TestKmpRtf)
#include "tst_kmprtf.moc"
