#include "footnotemarker.h"

#include "noteobjects.h"

#include <QAbstractTextDocumentLayout>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextDocument>

namespace kmp::rtf::detail {

namespace {

QString shownText(const QTextFormat &format)
{
    QString text = format.stringProperty(FootnoteText).simplified();
    constexpr qsizetype kMaxShown = 200;
    if (text.size() > kMaxShown)
        text = text.left(kMaxShown) + QChar(0x2026);
    return QStringLiteral(" [") + text + QLatin1Char(']');
}

QFont markerFont(const QTextDocument *doc, const QTextFormat &format)
{
    QFont font = format.toCharFormat().font().resolve(doc->defaultFont());
    font.setItalic(true);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 0.8);
    return font;
}

} // namespace

FootnoteMarker::FootnoteMarker(QObject *parent) : QObject(parent) {}

void FootnoteMarker::install(QTextDocument *doc)
{
    QAbstractTextDocumentLayout *layout = doc->documentLayout();
    if (layout->handlerForObject(FootnoteObject))
        return;
    // Owned by the document, so the handler lives exactly as long as the notes it draws.
    layout->registerHandler(FootnoteObject, new FootnoteMarker(doc));
}

QSizeF FootnoteMarker::intrinsicSize(QTextDocument *doc, int, const QTextFormat &format)
{
    const QFontMetricsF metrics(markerFont(doc, format));
    return QSizeF(metrics.horizontalAdvance(shownText(format)), metrics.height());
}

void FootnoteMarker::drawObject(QPainter *painter, const QRectF &rect, QTextDocument *doc, int, const QTextFormat &format)
{
    painter->save();
    painter->setFont(markerFont(doc, format));
    painter->setPen(QColor(0x60, 0x60, 0x60));
    painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shownText(format));
    painter->restore();
}

} // namespace kmp::rtf::detail
