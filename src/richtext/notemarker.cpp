#include "notemarker.h"

#include "noteobjects.h"
#include "textformat.h"

#include <QAbstractTextDocumentLayout>
#include <QDateTime>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextDocument>

namespace kmp::rtf {

QString revisionTimeText(int packed)
{
    // Minutes in bits 0-5, hours 6-10, day 11-15, month 16-19, years since 1900 20-28.
    const auto bits = static_cast<quint32>(packed);
    const QDate date(int((bits >> 20) & 0x1FF) + 1900, int((bits >> 16) & 0xF), int((bits >> 11) & 0x1F));
    const QTime time(int((bits >> 6) & 0x1F), int(bits & 0x3F));
    if (packed == 0 || !date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time).toString(QStringLiteral("dd/MM/yyyy hh:mm"));
}

QString revisionToolTip(bool deleted, const QString &author, int packed)
{
    QString tip = deleted ? QStringLiteral("Excluído") : QStringLiteral("Inserido");
    if (!author.isEmpty())
        tip += QStringLiteral(" por ") + author;
    const QString when = revisionTimeText(packed);
    if (!when.isEmpty())
        tip += QStringLiteral(" em ") + when;
    return tip;
}

QTextCharFormat typingFormat(const QTextCharFormat &at)
{
    QTextCharFormat typed = at;
    const int object = at.objectType();
    if (object >= HiddenTextObject && object <= PageTextObject) {
        // Typing after a deleted word, a footnote or a comment writes plain text.
        typed.setObjectType(QTextFormat::NoObject);
        for (int p = HiddenText; p <= PageText; ++p)
            typed.clearProperty(p);
        typed.clearProperty(QTextFormat::TextToolTip);
    }
    if (at.boolProperty(RevisionInserted)) {
        const int own = at.intProperty(RevisionOwnUnderline);
        typed.setUnderlineStyle(own == NoUnderline ? QTextCharFormat::NoUnderline : underlineStyleFor(own));
        if (at.hasProperty(RevisionOwnForeground))
            typed.setForeground(at.colorProperty(RevisionOwnForeground));
        else
            typed.clearForeground();
        for (int p = RevisionAuthor; p <= RevisionOwnForeground; ++p)
            typed.clearProperty(p);
        typed.clearProperty(QTextFormat::TextToolTip);
    }
    return typed;
}

} // namespace kmp::rtf

namespace kmp::rtf::detail {

namespace {

constexpr qsizetype kMaxShown = 200;

QString clipped(QString text)
{
    text = text.simplified();
    if (text.size() > kMaxShown)
        text = text.left(kMaxShown) + QChar(0x2026);
    return text;
}

QString shownText(const QTextFormat &format)
{
    switch (format.objectType()) {
    case DeletedTextObject: return format.stringProperty(DeletedText);
    case CommentObject: {
        const QString author = format.stringProperty(CommentAuthor);
        return QStringLiteral(" [") + (author.isEmpty() ? QString() : author + QStringLiteral(": "))
               + clipped(format.stringProperty(CommentText)) + QLatin1Char(']');
    }
    case PageTextObject: {
        const bool footer = format.property(PageTextKind).toByteArray().startsWith("footer");
        return QLatin1Char('[') + (footer ? QStringLiteral("Rodapé: ") : QStringLiteral("Cabeçalho: "))
               + clipped(format.stringProperty(PageText)) + QStringLiteral("] ");
    }
    default: return QStringLiteral(" [") + clipped(format.stringProperty(FootnoteText)) + QLatin1Char(']');
    }
}

QFont markerFont(const QTextDocument *doc, const QTextFormat &format)
{
    QFont font = format.toCharFormat().font().resolve(doc->defaultFont());
    if (format.objectType() == DeletedTextObject)
        return font;
    font.setItalic(true);
    font.setUnderline(false);
    font.setStrikeOut(false);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 0.8);
    return font;
}

} // namespace

NoteMarker::NoteMarker(QObject *parent) : QObject(parent) {}

void NoteMarker::install(QTextDocument *doc)
{
    QAbstractTextDocumentLayout *layout = doc->documentLayout();
    if (layout->handlerForObject(FootnoteObject))
        return;
    // Owned by the document, so the handler lives exactly as long as the notes it draws.
    auto *marker = new NoteMarker(doc);
    for (int type : {FootnoteObject, DeletedTextObject, CommentObject, PageTextObject})
        layout->registerHandler(type, marker);
}

QSizeF NoteMarker::intrinsicSize(QTextDocument *doc, int, const QTextFormat &format)
{
    const QFontMetricsF metrics(markerFont(doc, format));
    return QSizeF(metrics.horizontalAdvance(shownText(format)), metrics.height());
}

void NoteMarker::drawObject(QPainter *painter, const QRectF &rect, QTextDocument *doc, int, const QTextFormat &format)
{
    painter->save();
    QFont font = markerFont(doc, format);
    QColor ink(0x60, 0x60, 0x60);
    switch (format.objectType()) {
    case DeletedTextObject:
        font.setStrikeOut(true);
        ink = QColor(0xB0, 0x00, 0x00);
        break;
    case CommentObject:
        painter->fillRect(rect, QColor(0xFF, 0xF4, 0xB0));
        ink = QColor(0x50, 0x40, 0x00);
        break;
    default: break;
    }
    painter->setFont(font);
    painter->setPen(ink);
    painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shownText(format));
    painter->restore();
}

} // namespace kmp::rtf::detail
