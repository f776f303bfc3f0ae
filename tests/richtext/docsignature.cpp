#include "docsignature.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QTextTable>

#include <cmath>

namespace kmp::rtf::test {

namespace {

QString runSignature(const QTextCharFormat& fmt, const QFont& base)
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
    if (fmt.fontUnderline())
        parts << QStringLiteral("u");
    if (fmt.fontStrikeOut())
        parts << QStringLiteral("s");
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
    }
    return parts.join(QLatin1Char(','));
}

QString px(qreal v)
{
    return QString::number(std::lround(v));
}

} // namespace

QString documentSignature(const QTextDocument& doc)
{
    QStringList lines;
    const QFont base = doc.defaultFont();
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        const QTextBlockFormat bf = block.blockFormat();
        QString line;
        if (QTextList* list = block.textList()) {
            const QTextListFormat lf = list->format();
            // Prefix and suffix only show on numbered lists.
            const bool numbered = lf.style() <= QTextListFormat::ListDecimal;
            line += QStringLiteral("list(%1,%2,%3) ").arg(int(lf.style())).arg(lf.indent())
                        .arg(numbered ? lf.numberPrefix() + QLatin1Char('#') + (lf.hasProperty(QTextFormat::ListNumberSuffix) ? lf.numberSuffix() : QStringLiteral(".")) : QString());
            line += QStringLiteral("item%1 ").arg(list->itemNumber(block));
        }
        if (doc.frameAt(block.position()) != doc.rootFrame())
            line += QStringLiteral("cell ");
        const Qt::Alignment align = bf.alignment() & Qt::AlignHorizontal_Mask;
        line += QStringLiteral("align%1 ").arg(int(align == Qt::AlignLeft || align == 0 ? Qt::AlignLeft : align));
        const qreal left = bf.leftMargin() + bf.indent() * doc.indentWidth();
        line += QStringLiteral("m%1/%2/%3/%4/%5 ").arg(px(left), px(bf.rightMargin()), px(bf.textIndent()),
                                                         px(bf.topMargin()), px(bf.bottomMargin()));
        if (bf.lineHeightType() != QTextBlockFormat::SingleHeight)
            line += QStringLiteral("lh%1:%2 ").arg(bf.lineHeightType()).arg(px(bf.lineHeight()));
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            line += QLatin1Char('[') + runSignature(f.charFormat(), base) + QStringLiteral("]")
                + f.text();
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace kmp::rtf::test
