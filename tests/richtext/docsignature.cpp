#include "docsignature.h"

#include "liststart.h"
#include "noteobjects.h"
#include "pictureformat.h"
#include "tableformat.h"
#include "textformat.h"

#include <QCryptographicHash>
#include <QImage>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextList>
#include <QTextTable>
#include <QUrl>

#include <cmath>

namespace kmp::rtf::test {

namespace {

QString runSignature(const QTextDocument &doc, const QTextCharFormat &fmt, const QFont &base)
{
    QString family = fmt.fontFamilies().toStringList().value(0);
    if (family.isEmpty())
        family = base.family();
    double size = fmt.hasProperty(QTextFormat::FontPointSize) ? fmt.fontPointSize() : base.pointSizeF();
    const bool bold = fmt.hasProperty(QTextFormat::FontWeight) ? fmt.fontWeight() >= QFont::DemiBold : base.bold();
    const bool italic = fmt.hasProperty(QTextFormat::FontItalic) ? fmt.fontItalic() : base.italic();
    QStringList parts{family, QString::number(size)};
    if (bold)
        parts << QStringLiteral("b");
    if (italic)
        parts << QStringLiteral("i");
    if (const int ul = underlineKindOf(fmt))
        parts << (ul == SingleUnderline ? QStringLiteral("u") : QStringLiteral("u%1").arg(ul));
    if (fmt.fontStrikeOut())
        parts << (fmt.boolProperty(CharDoubleStrike) ? QStringLiteral("s2") : QStringLiteral("s"));
    if (fmt.fontCapitalization() != QFont::MixedCase)
        parts << QStringLiteral("caps%1").arg(int(fmt.fontCapitalization()));
    for (const auto &[property, name] : {std::pair{int(CharOutline), "outline"}, std::pair{int(CharShadow), "shadow"}})
        if (fmt.boolProperty(property))
            parts << QLatin1String(name);
    if (fmt.hasProperty(QTextFormat::FontLetterSpacing))
        parts << QStringLiteral("spacing%1").arg(fmt.fontLetterSpacing());
    if (fmt.boolProperty(RevisionInserted))
        parts << QStringLiteral("ins=%1@%2").arg(fmt.stringProperty(RevisionAuthor)).arg(fmt.intProperty(RevisionTime));
    if (fmt.verticalAlignment() == QTextCharFormat::AlignSuperScript)
        parts << QStringLiteral("sup");
    if (fmt.verticalAlignment() == QTextCharFormat::AlignSubScript)
        parts << QStringLiteral("sub");
    if (fmt.hasProperty(QTextFormat::ForegroundBrush))
        parts << QStringLiteral("fg") + fmt.foreground().color().name();
    if (fmt.hasProperty(QTextFormat::BackgroundBrush))
        parts << QStringLiteral("bg") + fmt.background().color().name();
    if (fmt.isAnchor())
        parts << QStringLiteral("href=") + fmt.anchorHref();
    if (fmt.isImageFormat()) {
        const QTextImageFormat img = fmt.toImageFormat();
        parts << QStringLiteral("img%1x%2").arg(std::lround(img.width())).arg(std::lround(img.height()));
        // What is shown: the pixels of the picture's resource.
        const QVariant resource = doc.resource(QTextDocument::ImageResource, QUrl(img.name()));
        const QImage image = resource.value<QImage>().convertToFormat(QImage::Format_ARGB32);
        parts << QStringLiteral("%1x%2#").arg(image.width()).arg(image.height())
                     + QString::fromLatin1(
                         QCryptographicHash::hash(QByteArrayView(image.constBits(), image.sizeInBytes()), QCryptographicHash::Md5)
                             .toHex()
                             .left(12));
    }
    if (fmt.objectType() == HiddenTextObject)
        parts << QStringLiteral("hidden=") + fmt.stringProperty(HiddenText);
    if (fmt.objectType() == FootnoteObject)
        parts << QStringLiteral("note=") + fmt.stringProperty(FootnoteText) + (fmt.boolProperty(FootnoteIsEndnote) ? "/end" : "");
    if (fmt.objectType() == DeletedTextObject)
        parts << QStringLiteral("del=%1@%2@%3")
                     .arg(fmt.stringProperty(DeletedText), fmt.stringProperty(RevisionAuthor))
                     .arg(fmt.intProperty(RevisionTime));
    if (fmt.objectType() == CommentObject)
        parts << QStringLiteral("comment=%1|%2|%3|%4")
                     .arg(fmt.stringProperty(CommentAuthor), fmt.stringProperty(CommentInitials))
                     .arg(fmt.intProperty(CommentTime))
                     .arg(fmt.stringProperty(CommentText));
    if (fmt.objectType() == PageTextObject)
        parts << QStringLiteral("page=%1|%2")
                     .arg(QString::fromLatin1(fmt.property(PageTextKind).toByteArray()), fmt.stringProperty(PageText));
    return parts.join(QLatin1Char(','));
}

QString px(qreal v)
{
    return QString::number(std::lround(v));
}

QString border(qreal width, QTextFrameFormat::BorderStyle style)
{
    return width > 0 && style != QTextFrameFormat::BorderStyle_None ? px(width) + QLatin1Char(':') + QString::number(style)
                                                                    : QStringLiteral("-");
}

// Each table: its shape, the share of its width each column takes (for a table
// without widths, as its columns are shown), and every cell's span and the borders it
// shows, its own or the table's.
void appendTables(QTextFrame *frame, QStringList &lines)
{
    for (QTextFrame *child : frame->childFrames()) {
        if (auto *table = qobject_cast<QTextTable *>(child)) {
            const QTextTableFormat tf = table->format();
            const QList<QTextLength> constraints = tf.columnWidthConstraints();
            QList<qreal> given = laidOutColumnWidths(table);
            if (given.isEmpty())
                for (const QTextLength &w : constraints)
                    given << w.rawValue();
            qreal total = 0;
            for (qreal w : given)
                total += w;
            QStringList widths;
            for (int c = 0; c < table->columns(); ++c) {
                const qreal share = given.size() == table->columns() && total > 0 ? given.at(c) / total : 1.0 / table->columns();
                widths << QString::number(std::lround(share * 100));
            }
            const bool tableLines = tf.border() > 0 && !tf.boolProperty(TableScreenGrid);
            QString line = QStringLiteral("table %1x%2 widths=%3 |")
                               .arg(table->rows())
                               .arg(table->columns())
                               .arg(widths.join(QLatin1Char('/')));
            for (int r = 0; r < table->rows(); ++r) {
                for (int c = 0; c < table->columns(); ++c) {
                    const QTextTableCell cell = table->cellAt(r, c);
                    if (cell.row() != r || cell.column() != c)
                        continue;
                    const QTextTableCellFormat f = cell.format().toTableCellFormat();
                    QString borders;
                    if (f.hasProperty(QTextFormat::BackgroundBrush))
                        borders = QStringLiteral("bg") + f.background().color().name() + QLatin1Char(' ');
                    for (int b = QTextFormat::TableCellTopBorderBrush; b <= QTextFormat::TableCellRightBorderBrush; ++b)
                        if (f.hasProperty(b))
                            borders += f.brushProperty(b).color().name() + QLatin1Char(' ');
                    if (f.hasProperty(QTextFormat::TableCellTopBorder))
                        borders +=
                            QStringList{border(f.topBorder(), f.topBorderStyle()), border(f.leftBorder(), f.leftBorderStyle()),
                                        border(f.bottomBorder(), f.bottomBorderStyle()),
                                        border(f.rightBorder(), f.rightBorderStyle())}
                                .join(QLatin1Char('/'));
                    else if (tableLines)
                        borders += QStringList(4, border(tf.border(), tf.borderStyle())).join(QLatin1Char('/'));
                    else
                        borders += QStringLiteral("none");
                    line +=
                        QStringLiteral(" %1,%2:%3x%4:%5").arg(r).arg(c).arg(cell.rowSpan()).arg(cell.columnSpan()).arg(borders);
                }
            }
            lines << line;
        } else if (child->format().boolProperty(TextBoxFrame)) {
            const QSize size = child->format().property(TextBoxTwips).toSize();
            lines << QStringLiteral("box %1x%2").arg(size.width()).arg(size.height());
        }
        appendTables(child, lines);
    }
}

} // namespace

QString documentSignature(const QTextDocument &doc)
{
    QStringList lines;
    const QFont base = doc.defaultFont();
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        const QTextBlockFormat bf = block.blockFormat();
        QString line;
        if (QTextList *list = block.textList()) {
            const QTextListFormat lf = list->format();
            // Prefix and suffix only show on numbered lists.
            const bool numbered = lf.style() <= QTextListFormat::ListDecimal;
            line += QStringLiteral("list(%1,%2,%3) ")
                        .arg(int(lf.style()))
                        .arg(lf.indent())
                        .arg(numbered
                                 ? lf.numberPrefix() + QLatin1Char('#')
                                       + (lf.hasProperty(QTextFormat::ListNumberSuffix) ? lf.numberSuffix() : QStringLiteral("."))
                                 : QString());
            // Counted from the list's start, so a long list held as several
            // QTextLists reads the same as one; a bullet shows no number.
            if (numbered)
                line += QStringLiteral("item%1 ").arg(listStart(lf) + list->itemNumber(block));
        }
        if (QTextFrame *frame = doc.frameAt(block.position()); frame != doc.rootFrame())
            line += qobject_cast<QTextTable *>(frame) ? QStringLiteral("cell ") : QStringLiteral("box ");
        if (bf.pageBreakPolicy() != QTextFormat::PageBreak_Auto || bf.hasProperty(SectionBreakBefore))
            line += QStringLiteral("break%1/%2 ").arg(int(bf.pageBreakPolicy())).arg(bf.intProperty(SectionBreakBefore));
        if (bf.hasProperty(QTextFormat::BackgroundBrush))
            line += QStringLiteral("bg") + bf.background().color().name() + QLatin1Char(' ');
        for (int n : bf.property(ParagraphBorders).value<QList<int>>())
            line += QString::number(n) + QLatin1Char(',');
        for (const QTextOption::Tab &t : bf.tabPositions())
            line += QStringLiteral("tab%1:%2 ").arg(std::lround(t.position * 15)).arg(int(t.type));
        for (int n : bf.property(TabLeaders).value<QList<int>>())
            line += QStringLiteral("leader%1 ").arg(n);
        const Qt::Alignment align = bf.alignment() & Qt::AlignHorizontal_Mask;
        line += QStringLiteral("align%1 ").arg(int(align == Qt::AlignLeft || align == 0 ? Qt::AlignLeft : align));
        const qreal left = bf.leftMargin() + bf.indent() * doc.indentWidth();
        line += QStringLiteral("m%1/%2/%3/%4/%5 ")
                    .arg(px(left), px(bf.rightMargin()), px(bf.textIndent()), px(bf.topMargin()), px(bf.bottomMargin()));
        if (bf.lineHeightType() != QTextBlockFormat::SingleHeight)
            line += QStringLiteral("lh%1:%2 ").arg(bf.lineHeightType()).arg(px(bf.lineHeight()));
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            line += QLatin1Char('[') + runSignature(doc, f.charFormat(), base) + QStringLiteral("]") + f.text();
        }
        lines << line;
    }
    appendTables(doc.rootFrame(), lines);
    return lines.join(QLatin1Char('\n'));
}

QString firstDifference(const QString &actual, const QString &expected)
{
    const QStringList a = actual.split(QLatin1Char('\n'));
    const QStringList e = expected.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < std::max(a.size(), e.size()); ++i) {
        if (a.value(i) != e.value(i))
            return QStringLiteral("line %1\n  actual:   %2\n  expected: %3").arg(i + 1).arg(a.value(i), e.value(i));
    }
    return {};
}

} // namespace kmp::rtf::test
