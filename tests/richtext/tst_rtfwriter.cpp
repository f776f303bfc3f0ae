// Round trips: what a clinician formats, stored and loaded again, is the same note.

#include "docsignature.h"
#include "liststart.h"
#include "noteobjects.h"
#include "rtfreader.h"
#include "rtfwriter.h"

#include <QImage>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextList>
#include <QTextTable>

#include <functional>

using Builder = std::function<void(QTextCursor &)>;
Q_DECLARE_METATYPE(Builder)

namespace {

QTextCharFormat fmt(std::function<void(QTextCharFormat &)> set)
{
    QTextCharFormat f;
    set(f);
    return f;
}

void paragraph(QTextCursor &c, const QString &text, const QTextCharFormat &f = {})
{
    if (!c.block().text().isEmpty() || c.block().previous().isValid())
        c.insertBlock(QTextBlockFormat(), QTextCharFormat());
    c.insertText(text, f);
}

void list(QTextCursor &c, QTextListFormat::Style style, int indent, const QStringList &items,
          const QString &suffix = QStringLiteral("."))
{
    QTextListFormat lf;
    lf.setStyle(style);
    lf.setIndent(indent);
    lf.setNumberSuffix(suffix);
    QTextList *l = nullptr;
    for (const QString &item : items) {
        c.insertBlock(QTextBlockFormat(), QTextCharFormat());
        c.insertText(item);
        if (l)
            l->add(c.block());
        else
            l = c.createList(lf);
    }
}

QTextCharFormat noteObject(int type, int property, const QString &text)
{
    QTextCharFormat f;
    f.setObjectType(type);
    f.setProperty(property, text);
    return f;
}

// A 3x3 table with the given column widths, borders of the given pixels on
// every cell, the top-left four cells merged and the last column's two lower
// cells merged.
void mergedTable(QTextCursor &c, const QList<qreal> &widths, qreal borderPx, QTextFrameFormat::BorderStyle style)
{
    QTextTableFormat tf;
    tf.setBorder(0);
    tf.setCellSpacing(0);
    QList<QTextLength> constraints;
    for (qreal w : widths)
        constraints << QTextLength(QTextLength::FixedLength, w);
    tf.setColumnWidthConstraints(constraints);
    QTextTable *t = c.insertTable(3, 3, tf);
    for (int r = 0; r < 3; ++r) {
        for (int col = 0; col < 3; ++col) {
            QTextTableCell cell = t->cellAt(r, col);
            QTextTableCellFormat cf = cell.format().toTableCellFormat();
            cf.setBorder(borderPx);
            cf.setBorderStyle(style);
            cell.setFormat(cf);
            cell.firstCursorPosition().insertText(QStringLiteral("r%1c%2").arg(r).arg(col));
        }
    }
    t->mergeCells(0, 0, 2, 2);
    t->mergeCells(1, 2, 2, 1);
    c = t->lastCursorPosition();
    c.movePosition(QTextCursor::NextBlock);
    c.insertText(QStringLiteral("after"));
}

} // namespace

class TestRtfWriter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void writerForm_data();
    void writerForm();
};

void TestRtfWriter::roundTrip_data()
{
    QTest::addColumn<Builder>("build");

    QTest::newRow("plain paragraphs") << Builder([](QTextCursor &c) {
        paragraph(c, QStringLiteral("Queixa principal: cefaleia há 3 dias."));
        paragraph(c, QStringLiteral("Sem febre."));
    });
    QTest::newRow("emphasis switched on and off") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("normal "));
        c.insertText(QStringLiteral("bold "), fmt([](auto &f) { f.setFontWeight(QFont::Bold); }));
        c.insertText(QStringLiteral("italic "), fmt([](auto &f) { f.setFontItalic(true); }));
        c.insertText(QStringLiteral("underline "), fmt([](auto &f) { f.setFontUnderline(true); }));
        c.insertText(QStringLiteral("strike "), fmt([](auto &f) { f.setFontStrikeOut(true); }));
        c.insertText(QStringLiteral("all "), fmt([](auto &f) {
                         f.setFontWeight(QFont::Bold);
                         f.setFontItalic(true);
                         f.setFontUnderline(true);
                         f.setFontStrikeOut(true);
                     }));
        c.insertText(QStringLiteral("normal again"));
        // Emphasis must not leak across paragraphs either.
        paragraph(c, QStringLiteral("bold paragraph"), fmt([](auto &f) { f.setFontWeight(QFont::Bold); }));
        paragraph(c, QStringLiteral("plain paragraph"));
    });
    QTest::newRow("fonts and sizes") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("Arial 10 "), fmt([](auto &f) {
                         f.setFontFamilies({QStringLiteral("Arial")});
                         f.setFontPointSize(10);
                     }));
        c.insertText(QStringLiteral("Times 14.5 "), fmt([](auto &f) {
                         f.setFontFamilies({QStringLiteral("Times New Roman")});
                         f.setFontPointSize(14.5);
                     }));
        c.insertText(QStringLiteral("Courier 8"), fmt([](auto &f) {
                         f.setFontFamilies({QStringLiteral("Courier New")});
                         f.setFontPointSize(8);
                     }));
        paragraph(c, QStringLiteral("default font"));
    });
    QTest::newRow("colours and highlight") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("red "), fmt([](auto &f) { f.setForeground(QColor(255, 0, 0)); }));
        c.insertText(QStringLiteral("on yellow "), fmt([](auto &f) { f.setBackground(QColor(255, 255, 0)); }));
        c.insertText(QStringLiteral("blue on grey "), fmt([](auto &f) {
                         f.setForeground(QColor(0, 0, 255));
                         f.setBackground(QColor(0xC0, 0xC0, 0xC0));
                     }));
        c.insertText(QStringLiteral("red again"), fmt([](auto &f) { f.setForeground(QColor(255, 0, 0)); }));
    });
    QTest::newRow("superscript and subscript") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("m"));
        c.insertText(QStringLiteral("2"), fmt([](auto &f) { f.setVerticalAlignment(QTextCharFormat::AlignSuperScript); }));
        c.insertText(QStringLiteral(" H"));
        c.insertText(QStringLiteral("2"), fmt([](auto &f) { f.setVerticalAlignment(QTextCharFormat::AlignSubScript); }));
        c.insertText(QStringLiteral("O"));
    });
    QTest::newRow("alignment") << Builder([](QTextCursor &c) {
        const Qt::Alignment aligns[] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignRight, Qt::AlignJustify};
        for (Qt::Alignment a : aligns) {
            paragraph(c, QStringLiteral("aligned %1").arg(int(a)));
            QTextBlockFormat bf;
            bf.setAlignment(a);
            c.setBlockFormat(bf);
        }
    });
    QTest::newRow("indents and spacing") << Builder([](QTextCursor &c) {
        paragraph(c, QStringLiteral("indented"));
        QTextBlockFormat bf;
        bf.setLeftMargin(48);
        bf.setRightMargin(24);
        bf.setTextIndent(-24);
        bf.setTopMargin(12);
        bf.setBottomMargin(6);
        c.setBlockFormat(bf);
        paragraph(c, QStringLiteral("one and a half lines"));
        QTextBlockFormat lh;
        lh.setLineHeight(150, QTextBlockFormat::ProportionalHeight);
        c.setBlockFormat(lh);
        paragraph(c, QStringLiteral("at least 20 px"));
        lh.setLineHeight(20, QTextBlockFormat::MinimumHeight);
        c.setBlockFormat(lh);
        paragraph(c, QStringLiteral("exactly 18 px"));
        lh.setLineHeight(18, QTextBlockFormat::FixedHeight);
        c.setBlockFormat(lh);
        paragraph(c, QStringLiteral("indent levels"));
        QTextBlockFormat ind;
        ind.setIndent(2);
        c.setBlockFormat(ind);
    });
    QTest::newRow("bullets of every kind and depth") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("Conduta:"));
        list(c, QTextListFormat::ListDisc, 1, {QStringLiteral("hidratação"), QStringLiteral("repouso")});
        list(c, QTextListFormat::ListCircle, 2, {QStringLiteral("nested circle")});
        list(c, QTextListFormat::ListSquare, 3, {QStringLiteral("nested square")});
        paragraph(c, QStringLiteral("after the list"));
    });
    QTest::newRow("numbering styles") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("Prescrição:"));
        list(c, QTextListFormat::ListDecimal, 1,
             {QStringLiteral("dipirona"), QStringLiteral("omeprazol"), QStringLiteral("soro")});
        paragraph(c, QStringLiteral("between"));
        list(c, QTextListFormat::ListLowerAlpha, 1, {QStringLiteral("a item"), QStringLiteral("b item")}, QStringLiteral(")"));
        paragraph(c, QStringLiteral("between"));
        list(c, QTextListFormat::ListUpperRoman, 1, {QStringLiteral("I item"), QStringLiteral("II item")});
        paragraph(c, QStringLiteral("between"));
        list(c, QTextListFormat::ListLowerRoman, 2, {QStringLiteral("i item")});
        paragraph(c, QStringLiteral("between"));
        list(c, QTextListFormat::ListUpperAlpha, 1, {QStringLiteral("A item")});
    });
    QTest::newRow("bullet item with formatted text") << Builder([](QTextCursor &c) {
        list(c, QTextListFormat::ListDisc, 1, {QStringLiteral("first")});
        c.insertText(QStringLiteral(" bold tail"), fmt([](auto &f) { f.setFontWeight(QFont::Bold); }));
        list(c, QTextListFormat::ListDecimal, 1, {QStringLiteral("numbered")});
    });
    QTest::newRow("accents, symbols and other scripts") << Builder([](QTextCursor &c) {
        paragraph(c, QStringLiteral("Pressão arterial 120/80 mmHg — paciente refere “dor” ao toque; ‘leve’ – moderada…"));
        paragraph(c, QStringLiteral("€ 50,00 · µg ½ © ® ™ ° ± × ÷ ç Ç ã õ ñ ü"));
        paragraph(c, QStringLiteral("Ελληνικά Русский Polski ąęłńśźż עברית 日本語 한국어"));
        paragraph(c, QStringLiteral("Outside the basic plane: 🩺 𝄞"));
    });
    QTest::newRow("characters RTF treats specially") << Builder([](QTextCursor &c) {
        paragraph(c, QStringLiteral("braces {x} and back\\slash \\par not a paragraph"));
        paragraph(c, QStringLiteral("tab\there, line") + QChar(QChar::LineSeparator) + QStringLiteral("break"));
        paragraph(c, QStringLiteral("no") + QChar(QChar::Nbsp) + QStringLiteral("break, soft") + QChar(QChar::SoftHyphen)
                         + QStringLiteral("hyphen"));
        paragraph(c, QStringLiteral("\tstarts with a tab and 2 spaces  after\t1"));
    });
    QTest::newRow("empty paragraphs") << Builder([](QTextCursor &c) {
        paragraph(c, QString());
        paragraph(c, QStringLiteral("between empty ones"));
        paragraph(c, QString());
        paragraph(c, QString());
    });
    QTest::newRow("empty document") << Builder([](QTextCursor &) {});
    QTest::newRow("hyperlink") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("see "));
        c.insertText(QStringLiteral("protocolo"), fmt([](auto &f) {
                         f.setAnchor(true);
                         f.setAnchorHref(QStringLiteral("https://example.org/protocolo?a=1&b=2#sec"));
                     }));
        c.insertText(QStringLiteral(" now"));
    });
    QTest::newRow("table") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("before"));
        QTextTable *t = c.insertTable(2, 3);
        for (int r = 0; r < 2; ++r)
            for (int col = 0; col < 3; ++col)
                t->cellAt(r, col).firstCursorPosition().insertText(QStringLiteral("r%1c%2").arg(r).arg(col));
        c = t->lastCursorPosition();
        c.movePosition(QTextCursor::NextBlock);
        c.insertText(QStringLiteral("after"));
    });
    QTest::newRow("note that starts with a table and has a list in a cell") << Builder([](QTextCursor &c) {
        QTextTable *t = c.insertTable(1, 2);
        QTextCursor cell = t->cellAt(0, 0).firstCursorPosition();
        cell.insertText(QStringLiteral("sinais"));
        list(cell, QTextListFormat::ListDisc, 1, {QStringLiteral("PA 12x8"), QStringLiteral("FC 80")});
        t->cellAt(0, 1).firstCursorPosition().insertText(QStringLiteral("ok"));
    });
    QTest::newRow("superscript and subscript") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("Área 3 m"));
        c.insertText(QStringLiteral("2"), fmt([](auto &f) { f.setVerticalAlignment(QTextCharFormat::AlignSuperScript); }));
        c.insertText(QStringLiteral(", x"), QTextCharFormat());
        c.insertText(QStringLiteral("1"), fmt([](auto &f) { f.setVerticalAlignment(QTextCharFormat::AlignSubScript); }));
        c.insertText(QStringLiteral(" e H"), QTextCharFormat());
        c.insertText(QStringLiteral("2"), fmt([](auto &f) { f.setVerticalAlignment(QTextCharFormat::AlignSubScript); }));
        c.insertText(QStringLiteral("O"), QTextCharFormat());
    });
    QTest::newRow("hidden text and footnotes") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("Visível "));
        c.insertText(QString(QChar::ObjectReplacementCharacter),
                     noteObject(kmp::rtf::HiddenTextObject, kmp::rtf::HiddenText, QStringLiteral("oculto {x} é")));
        c.insertText(QStringLiteral(" e nota"), QTextCharFormat());
        c.insertText(QString(QChar::ObjectReplacementCharacter), noteObject(kmp::rtf::FootnoteObject, kmp::rtf::FootnoteText,
                                                                            QStringLiteral("Primeira linha\nsegunda linha")));
        c.insertText(QStringLiteral(" fim"), QTextCharFormat());
    });
    QTest::newRow("table widths, borders and merged cells") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("before"));
        mergedTable(c, {100, 200, 50}, 2, QTextFrameFormat::BorderStyle_Solid);
    });
    QTest::newRow("table with double and dotted borders") << Builder([](QTextCursor &c) {
        mergedTable(c, {60, 60, 240}, 3, QTextFrameFormat::BorderStyle_Double);
        c.insertBlock();
        mergedTable(c, {120, 120, 120}, 1, QTextFrameFormat::BorderStyle_Dotted);
    });
    QTest::newRow("table inside a table cell") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("before"));
        QTextTable *outer = c.insertTable(1, 2);
        QTextCursor cell = outer->cellAt(0, 0).firstCursorPosition();
        cell.insertText(QStringLiteral("outer text"));
        cell.insertBlock();
        QTextTable *inner = cell.insertTable(2, 2);
        for (int r = 0; r < 2; ++r)
            for (int col = 0; col < 2; ++col)
                inner->cellAt(r, col).firstCursorPosition().insertText(QStringLiteral("in%1%2").arg(r).arg(col));
        QTextCursor after = inner->lastCursorPosition();
        after.movePosition(QTextCursor::NextBlock);
        after.insertText(QStringLiteral("tail"));
        outer->cellAt(0, 1).firstCursorPosition().insertText(QStringLiteral("right"));
    });
    QTest::newRow("numbering that starts at 5") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("Continuação:"));
        QTextListFormat lf;
        lf.setStyle(QTextListFormat::ListDecimal);
        lf.setIndent(1);
        lf.setNumberSuffix(QStringLiteral("."));
        kmp::rtf::setListStart(lf, 5);
        c.insertBlock();
        c.insertText(QStringLiteral("quinto"));
        QTextList *l = c.createList(lf);
        c.insertBlock();
        c.insertText(QStringLiteral("sexto"));
        l->add(c.block());
    });
    QTest::newRow("long numbered and bulleted lists") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("Itens:"));
        QStringList items;
        for (int i = 1; i <= 1500; ++i)
            items << QStringLiteral("item %1").arg(i);
        list(c, QTextListFormat::ListDecimal, 1, items);
        paragraph(c, QStringLiteral("between"));
        list(c, QTextListFormat::ListDisc, 1, items.mid(0, 300));
    });
    QTest::newRow("picture") << Builder([](QTextCursor &c) {
        QImage image(12, 7, QImage::Format_RGB32);
        image.fill(QColor(10, 200, 30));
        c.document()->addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("pasted.png")), image);
        c.insertText(QStringLiteral("x-ray: "));
        QTextImageFormat img;
        img.setName(QStringLiteral("pasted.png"));
        img.setWidth(24);
        img.setHeight(14);
        c.insertImage(img);
    });
}

void TestRtfWriter::roundTrip()
{
    QFETCH(Builder, build);
    QTextDocument original;
    QTextCursor cursor(&original);
    build(cursor);

    const QByteArray rtf = kmp::rtf::write(&original);
    for (char ch : rtf)
        QVERIFY2(static_cast<unsigned char>(ch) < 0x80, "the stored RTF must be 7-bit");

    QTextDocument loaded;
    kmp::rtf::read(rtf, &loaded);
    const QString difference =
        kmp::rtf::test::firstDifference(kmp::rtf::test::documentSignature(loaded), kmp::rtf::test::documentSignature(original));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QCOMPARE(loaded.toPlainText(), original.toPlainText());

    // Saving an unchanged note must not change what is stored.
    QCOMPARE(kmp::rtf::write(&loaded), rtf);
}

void TestRtfWriter::writerForm_data()
{
    QTest::addColumn<Builder>("build");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("cp1252 characters as hex escapes")
        << Builder([](QTextCursor &c) { c.insertText(QStringLiteral("“a” – € é")); })
        << QStringList{QStringLiteral("\\'93a\\'94 \\'96 \\'80 \\'e9"), QStringLiteral("\\ansicpg1252")};
    QTest::newRow("other characters as \\u with a fallback")
        << Builder([](QTextCursor &c) { c.insertText(QStringLiteral("Ω日🩺")); })
        << QStringList{QStringLiteral("\\uc1"), QStringLiteral("\\u937?\\u26085?\\u-10178?\\u-8582?")};
    QTest::newRow("rich-edit bullet form")
        << Builder([](QTextCursor &c) { list(c, QTextListFormat::ListDisc, 1, {QStringLiteral("item")}); })
        << QStringList{QStringLiteral("{\\pntext\\f1 \\'B7\\tab}{\\*\\pn\\pnlvlblt\\pnf1\\pnindent0{\\pntxtb \\'B7}}"),
                       QStringLiteral("{\\f1\\fnil\\fcharset2 Symbol;}"), QStringLiteral("\\fi-360\\li720")};
    QTest::newRow("rich-edit numbering form")
        << Builder([](QTextCursor &c) {
               list(c, QTextListFormat::ListDecimal, 1, {QStringLiteral("one"), QStringLiteral("two")});
           })
        << QStringList{QStringLiteral("{\\pntext\\f0 1.\\tab}{\\*\\pn\\pnlvlbody\\pnf0\\pnindent0\\pnstart1\\pndec{\\pntxta .}}"),
                       QStringLiteral("{\\pntext\\f0 2.\\tab}")};
    QTest::newRow("background as highlight, switched off after")
        << Builder([](QTextCursor &c) {
               c.insertText(QStringLiteral("marked"), fmt([](auto &f) { f.setBackground(QColor(255, 255, 0)); }));
               c.insertText(QStringLiteral(" plain"), QTextCharFormat());
           })
        << QStringList{QStringLiteral("\\highlight1 marked\\highlight0  plain"),
                       QStringLiteral("{\\colortbl ;\\red255\\green255\\blue0;}")};
    QTest::newRow("emphasis switched off explicitly") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("x"), fmt([](auto &f) {
                         f.setFontWeight(QFont::Bold);
                         f.setFontItalic(true);
                         f.setFontUnderline(true);
                         f.setFontStrikeOut(true);
                         f.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
                     }));
        c.insertText(QStringLiteral("y"), QTextCharFormat());
    }) << QStringList{QStringLiteral("\\b0\\i0\\ulnone\\strike0\\nosupersub y")};
    QTest::newRow("paragraph properties after every pard") << Builder([](QTextCursor &c) {
        QTextBlockFormat bf;
        bf.setAlignment(Qt::AlignHCenter);
        bf.setLeftMargin(30);
        c.setBlockFormat(bf);
        const QTextCharFormat twelve = fmt([](auto &f) { f.setFontPointSize(12); });
        c.insertText(QStringLiteral("a"), twelve);
        c.insertBlock();
        c.insertText(QStringLiteral("b"), twelve);
    }) << QStringList{QStringLiteral("\\pard\\li450\\qc a\\par"), QStringLiteral("\\pard\\li450\\qc b\\par")};
    QTest::newRow("numbering keeps its start") << Builder([](QTextCursor &c) {
        QTextListFormat lf;
        lf.setStyle(QTextListFormat::ListUpperRoman);
        kmp::rtf::setListStart(lf, 4);
        c.insertText(QStringLiteral("quarto"));
        c.createList(lf);
    }) << QStringList{QStringLiteral("{\\pntext\\f0 IV.\\tab}"), QStringLiteral("\\pnstart4\\pnucrm")};
    QTest::newRow("table widths, borders and merges")
        << Builder([](QTextCursor &c) {
               mergedTable(c, {100, 200, 50}, 2, QTextFrameFormat::BorderStyle_Solid);
           })
        << QStringList{QStringLiteral("\\clvmgf\\clmgf\\clbrdrt\\brdrs\\brdrw30"), QStringLiteral("\\cellx1500"),
                       QStringLiteral("\\clvmrg\\clmrg"), QStringLiteral("\\cellx4500"), QStringLiteral("\\cellx5250")};
    QTest::newRow("hidden text and footnote")
        << Builder([](QTextCursor &c) {
               c.insertText(QString(QChar::ObjectReplacementCharacter),
                            noteObject(kmp::rtf::HiddenTextObject, kmp::rtf::HiddenText, QStringLiteral("oculto")));
               c.insertText(QString(QChar::ObjectReplacementCharacter),
                            noteObject(kmp::rtf::FootnoteObject, kmp::rtf::FootnoteText, QStringLiteral("nota")));
           })
        << QStringList{QStringLiteral("{\\v oculto}"),
                       QStringLiteral("{\\super\\chftn}{\\footnote\\pard\\plain{\\super\\chftn}nota}")};
    QTest::newRow("quotes in a link target") << Builder([](QTextCursor &c) {
        c.insertText(QStringLiteral("x"), fmt([](auto &f) {
                         f.setAnchor(true);
                         f.setAnchorHref(QStringLiteral("https://example.org/?q=\"a b\""));
                     }));
    }) << QStringList{QStringLiteral("HYPERLINK \"https://example.org/?q=%22a b%22\"")};
}

void TestRtfWriter::writerForm()
{
    QFETCH(Builder, build);
    QFETCH(QStringList, expected);
    QTextDocument doc;
    QTextCursor cursor(&doc);
    build(cursor);
    const QString rtf = QString::fromLatin1(kmp::rtf::write(&doc));
    for (const QString &e : expected)
        QVERIFY2(rtf.contains(e), qPrintable(QStringLiteral("missing %1 in\n%2").arg(e, rtf)));
}

QTEST_MAIN(TestRtfWriter)
#include "tst_rtfwriter.moc"
