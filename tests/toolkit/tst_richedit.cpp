#include "trichedit.h"

#include "liststart.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextList>
#include <QTextTable>
#include <QtTest>

class TestRichEdit : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void numberedItemsShowTheirOwnNumber_data();
    void numberedItemsShowTheirOwnNumber();
};

namespace {

// A heading and `count` items numbered from `start`, as the editor gets them from a note
// (lists of at most `run` items, each starting where the one before stopped) or, for the
// reference, as one list from 1 whose first items are hidden: Qt numbers that right itself.
void fill(QTextDocument *doc, const QTextListFormat &format, int start, int count, int run, bool inCell, bool reference)
{
    QTextCursor c(doc);
    if (inCell) {
        QTextTable *table = c.insertTable(1, 1);
        QTextTableCellFormat shaded;
        shaded.setBackground(QColor(255, 240, 200));
        table->cellAt(0, 0).setFormat(shaded);
        c = table->cellAt(0, 0).firstCursorPosition();
    }
    c.insertText(QStringLiteral("Conduta"));
    const int hidden = reference ? start - 1 : 0;
    QTextList *list = nullptr;
    for (int i = -hidden; i < count; ++i) {
        c.insertBlock();
        if (reference ? !list : i % run == 0) {
            QTextListFormat f = format;
            kmp::rtf::setListStart(f, reference ? 1 : start + i);
            list = c.createList(f);
        } else {
            list->add(c.block());
        }
        c.insertText(QStringLiteral("item %1").arg(i));
        c.block().setVisible(i >= 0);
    }
    doc->markContentsDirty(0, doc->characterCount());
}

} // namespace

void TestRichEdit::numberedItemsShowTheirOwnNumber_data()
{
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("then");
    const int decimal = QTextListFormat::ListDecimal;
    QTest::newRow("from 5") << decimal << "." << 5 << 3 << "";
    QTest::newRow("from E") << int(QTextListFormat::ListUpperAlpha) << "." << 5 << 3 << "";
    QTest::newRow("roman from iv, with ')'") << int(QTextListFormat::ListLowerRoman) << ")" << 4 << 3 << "";
    QTest::newRow("long list, item 129 on") << decimal << "." << 1 << 131 << "";
    QTest::newRow("in a shaded table cell") << decimal << "." << 5 << 3 << "cell";
    QTest::newRow("selected from the heading") << decimal << "." << 5 << 3 << "select";
    QTest::newRow("Enter after the last item") << decimal << "." << 5 << 3 << "enter";
    QTest::newRow("long list, Enter after the last") << decimal << "." << 1 << 130 << "enter";
    QTest::newRow("Backspace on an item") << decimal << "." << 5 << 3 << "backspace";
    QTest::newRow("Backspace on an item, undone") << decimal << "." << 5 << 3 << "backspace, undo";
}

void TestRichEdit::numberedItemsShowTheirOwnNumber()
{
    QFETCH(int, style);
    QFETCH(QString, suffix);
    QFETCH(int, start);
    QFETCH(int, count);
    QFETCH(QString, then);
    QTextListFormat format;
    format.setStyle(QTextListFormat::Style(style));
    format.setIndent(1);
    format.setNumberSuffix(suffix);
    QImage shots[2];
    for (const bool reference : {false, true}) {
        kmp::TRichEdit editor;
        editor.setFocusPolicy(Qt::NoFocus); // no blinking caret in the pictures
        editor.resize(300, 160);
        fill(editor.document(), format, start, count, 128, then == QLatin1String("cell"), reference);
        editor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&editor));
        const int revision = editor.document()->revision();
        QTextCursor c(editor.document());
        c.movePosition(QTextCursor::End);
        if (then == QLatin1String("select")) {
            c.setPosition(2, QTextCursor::KeepAnchor);
        } else if (then == QLatin1String("enter")) {
            editor.setTextCursor(c);
            QTest::keyClick(&editor, Qt::Key_Return);
            QTest::keyClicks(&editor, QStringLiteral("novo"));
        } else if (then.startsWith(QLatin1String("backspace"))) {
            c.movePosition(QTextCursor::StartOfBlock);
            c.movePosition(QTextCursor::PreviousBlock);
            editor.setTextCursor(c);
            QTest::keyClick(&editor, Qt::Key_Backspace);
            QVERIFY(!editor.textCursor().block().textList());
            if (then.endsWith(QLatin1String("undo")))
                QTest::keyClick(&editor, Qt::Key_Z, Qt::ControlModifier);
        }
        editor.setTextCursor(c);
        editor.verticalScrollBar()->setValue(editor.verticalScrollBar()->maximum());
        shots[reference] = editor.viewport()->grab().toImage();
        if (then.isEmpty())
            QCOMPARE(editor.document()->revision(), revision); // showing writes nothing into the note
    }
    QCOMPARE(shots[0], shots[1]);
}

QTEST_MAIN(TestRichEdit)
#include "tst_richedit.moc"
