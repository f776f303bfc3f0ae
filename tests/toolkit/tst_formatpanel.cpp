#include "tformatpanel.h"

#include <QComboBox>
#include <QFontComboBox>
#include <QFontMetrics>
#include <QImage>
#include <QTextCursor>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest>

class TestFormatPanel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void everyFaceShowsWithoutSymbolFonts();
    void drawnIconsShowTheirAlignment_data();
    void drawnIconsShowTheirAlignment();
    void ctrlKeysFormatLikeTheButtons_data();
    void ctrlKeysFormatLikeTheButtons();
    void ctrlKeysDoNothingInAReadOnlyEditor();
    void everyControlIsNamedForScreenReaders();
    void sizeShownIsTheTextsSize_data();
    void sizeShownIsTheTextsSize();
};

void TestFormatPanel::everyFaceShowsWithoutSymbolFonts()
{
    // A face is either a drawn icon or plain letters the button's own font has: nothing
    // may depend on a symbol font the desktop may lack.
    kmp::TFormatPanel panel;
    for (QToolButton *b : panel.findChildren<QToolButton *>()) {
        if (!b->icon().isNull())
            continue;
        const QFontMetrics metrics(b->font());
        for (const QChar c : b->text())
            QVERIFY2(c.unicode() < 0x80 && metrics.inFont(c), qPrintable(b->objectName()));
    }
}

void TestFormatPanel::drawnIconsShowTheirAlignment_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("inkLeft"); // on the short line, near the left edge
    QTest::addColumn<bool>("inkMiddle");
    QTest::addColumn<bool>("inkRight"); // on the short line, near the right edge
    QTest::newRow("align left") << int(kmp::TFormatBtn::AlignLeft) << true << true << false;
    QTest::newRow("center") << int(kmp::TFormatBtn::AlignCenter) << false << true << false;
    QTest::newRow("align right") << int(kmp::TFormatBtn::AlignRight) << false << true << true;
    QTest::newRow("justify") << int(kmp::TFormatBtn::AlignJustify) << true << true << true;
}

void TestFormatPanel::drawnIconsShowTheirAlignment()
{
    QFETCH(int, button);
    QFETCH(bool, inkLeft);
    QFETCH(bool, inkMiddle);
    QFETCH(bool, inkRight);
    kmp::TFormatPanel panel;
    QToolButton *b = panel.button(kmp::TFormatBtn(button));
    QVERIFY(b);
    QVERIFY(!b->icon().isNull());
    const QImage img = kmp::formatIcon(kmp::TFormatBtn(button), Qt::black).pixmap(16, 16).toImage();
    auto inked = [&](int x, int y) { return qAlpha(img.pixel(x, y)) > 100; };
    // The long lines span the icon whatever the alignment.
    QVERIFY(inked(3, 3) && inked(12, 3));
    // The short line (the second one) sits where the alignment puts it.
    const int y = 6;
    QCOMPARE(inked(3, y), inkLeft);
    QCOMPARE(inked(8, y), inkMiddle);
    QCOMPARE(inked(12, y), inkRight);
}

void TestFormatPanel::ctrlKeysFormatLikeTheButtons_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("button");
    QTest::newRow("Ctrl+B bold") << int(Qt::Key_B) << int(kmp::TFormatBtn::Bold);
    QTest::newRow("Ctrl+I italic") << int(Qt::Key_I) << int(kmp::TFormatBtn::Italic);
    QTest::newRow("Ctrl+U underline") << int(Qt::Key_U) << int(kmp::TFormatBtn::Underline);
}

void TestFormatPanel::ctrlKeysFormatLikeTheButtons()
{
    QFETCH(int, key);
    QFETCH(int, button);
    QTextEdit editor;
    kmp::TFormatPanel panel;
    panel.setRichEdit(&editor);
    QList<kmp::TFormatBtn> clicks;
    panel.OnClick = [&](kmp::TFormatPanel &, kmp::TFormatBtn b) { clicks.append(b); };
    editor.setPlainText(QStringLiteral("Febre alta"));
    editor.selectAll();
    auto formatted = [&] {
        QTextCursor c(editor.document());
        c.setPosition(3);
        const QTextCharFormat f = c.charFormat();
        switch (kmp::TFormatBtn(button)) {
        case kmp::TFormatBtn::Bold: return f.fontWeight() > QFont::Normal;
        case kmp::TFormatBtn::Italic: return f.fontItalic();
        default: return f.fontUnderline();
        }
    };
    QVERIFY(!formatted());
    QTest::keyClick(&editor, Qt::Key(key), Qt::ControlModifier);
    QVERIFY(formatted());
    QVERIFY(panel.button(kmp::TFormatBtn(button))->isChecked());
    QCOMPARE(clicks, QList<kmp::TFormatBtn>{kmp::TFormatBtn(button)});
    QCOMPARE(editor.toPlainText(), QStringLiteral("Febre alta")); // the key typed nothing
    QTest::keyClick(&editor, Qt::Key(key), Qt::ControlModifier);
    QVERIFY(!formatted());
    QCOMPARE(clicks.size(), 2);
    // Its tooltip tells the key.
    QVERIFY(
        panel.button(kmp::TFormatBtn(button))->toolTip().contains(QKeySequence(Qt::ControlModifier | Qt::Key(key)).toString()));
}

void TestFormatPanel::ctrlKeysDoNothingInAReadOnlyEditor()
{
    QTextEdit editor;
    kmp::TFormatPanel panel;
    panel.setRichEdit(&editor);
    int clicks = 0;
    panel.OnClick = [&](kmp::TFormatPanel &, kmp::TFormatBtn) { ++clicks; };
    editor.setPlainText(QStringLiteral("Gravado"));
    editor.selectAll();
    editor.setReadOnly(true);
    QTest::keyClick(&editor, Qt::Key_B, Qt::ControlModifier);
    QCOMPARE(clicks, 0);
    QTextCursor c(editor.document());
    c.setPosition(2);
    QVERIFY(c.charFormat().fontWeight() <= QFont::Normal);
}

void TestFormatPanel::everyControlIsNamedForScreenReaders()
{
    kmp::TFormatPanel panel;
    for (QToolButton *b : panel.findChildren<QToolButton *>())
        QVERIFY2(!b->accessibleName().isEmpty(), qPrintable(b->objectName()));
    QCOMPARE(panel.button(kmp::TFormatBtn::AlignLeft)->accessibleName(), QStringLiteral("Alinhar à esquerda"));
    QCOMPARE(panel.button(kmp::TFormatBtn::Bullets)->accessibleName(), QStringLiteral("Marcadores"));
    QCOMPARE(panel.fontBox()->accessibleName(), QStringLiteral("Fonte"));
    QCOMPARE(panel.sizeBox()->accessibleName(), QStringLiteral("Tamanho da fonte"));
}

void TestFormatPanel::sizeShownIsTheTextsSize_data()
{
    QTest::addColumn<int>("own"); // the text's own size; 0: none, the editor's is used
    QTest::addColumn<QString>("shown");
    QTest::newRow("new text in a 10 point editor") << 0 << "10";
    QTest::newRow("text with a size of its own") << 14 << "14";
}

void TestFormatPanel::sizeShownIsTheTextsSize()
{
    QFETCH(int, own);
    QFETCH(QString, shown);
    QTextEdit editor;
    QFont font = editor.font();
    font.setPointSize(10);
    editor.setFont(font);
    kmp::TFormatPanel panel;
    panel.setRichEdit(&editor);
    if (own > 0) {
        QTextCharFormat f;
        f.setFontPointSize(own);
        editor.textCursor().insertText(QStringLiteral("febre"), f);
    }
    QCOMPARE(panel.sizeBox()->currentText(), shown);
}

QTEST_MAIN(TestFormatPanel)
#include "tst_formatpanel.moc"
