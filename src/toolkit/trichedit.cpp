#include "trichedit.h"

#include "liststart.h"

#include <QAbstractTextDocumentLayout>
#include <QImage>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextImageFormat>
#include <QTextLayout>
#include <QTextList>
#include <QTextTable>
#include <QUrl>

#include <cmath>

namespace kmp {

#if QT_VERSION < QT_VERSION_CHECK(6, 6, 0)
namespace {

// What shows behind a block's list label: the table cell or frame holding the block, else
// the editor's own background.
QBrush backgroundBehind(const QTextBlock &block, const QBrush &base)
{
    for (QTextFrame *frame = QTextCursor(block).currentFrame(); frame; frame = frame->parentFrame()) {
        if (auto *table = qobject_cast<QTextTable *>(frame)) {
            const QBrush cell = table->cellAt(block.position()).format().background();
            if (cell.style() != Qt::NoBrush)
                return cell;
        }
        const QBrush own = frame->frameFormat().background();
        if (own.style() != Qt::NoBrush)
            return own;
    }
    return base;
}

// The first block that may show something at y or below. Blocks come down the page in
// turn, except in a table, whose cells run one by one and each from the row's top: the
// block found is looked for by halves, and a table is taken from its first block, with the
// block before it. A block Qt has not laid out yet (it lays a long note out a piece at a
// time) lies below what is shown and is not measured, which would lay out all before it.
QTextBlock firstBlockReaching(QTextDocument *doc, qreal y)
{
    QAbstractTextDocumentLayout *layout = doc->documentLayout();
    int low = 0;
    int high = doc->blockCount() - 1;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        const QTextBlock probe = doc->findBlockByNumber(middle);
        if ((probe.isVisible() && probe.layout()->lineCount() == 0) || layout->blockBoundingRect(probe).bottom() >= y)
            high = middle;
        else
            low = middle + 1;
    }
    const auto tableStart = [doc](const QTextBlock &block) {
        QTextFrame *outer = doc->frameAt(block.position());
        while (outer && outer->parentFrame() && outer->parentFrame() != doc->rootFrame())
            outer = outer->parentFrame();
        return outer && outer != doc->rootFrame() ? doc->findBlock(outer->firstPosition()) : block;
    };
    const QTextBlock found = tableStart(doc->findBlockByNumber(low));
    return found.previous().isValid() ? tableStart(found.previous()) : found;
}

bool isNumbered(int style)
{
    return style <= QTextListFormat::ListDecimal && style >= QTextListFormat::ListUpperRoman;
}

} // namespace
#endif

TRichEdit::TRichEdit(QWidget *parent) : QTextEdit(parent) {}

bool TRichEdit::carriesPictureOnly(const QMimeData *source)
{
    if (!source || !source->hasImage())
        return false;
    // A browser copies a picture with an <img> of its address beside the image itself: the
    // address cannot be shown or stored, the image can. Any text beside it wins, as
    // formatted text always has.
    const auto blank = [](QString text) {
        text.remove(QChar::ObjectReplacementCharacter);
        return text.trimmed().isEmpty();
    };
    if (source->hasHtml() && !blank(QTextDocumentFragment::fromHtml(source->html()).toPlainText()))
        return false;
    return !source->hasText() || blank(source->text());
}

bool TRichEdit::canInsertFromMimeData(const QMimeData *source) const
{
    return carriesPictureOnly(source) || QTextEdit::canInsertFromMimeData(source);
}

void TRichEdit::setTypingFormat(std::function<QTextCharFormat(const QTextCharFormat &)> filter)
{
    m_typingFormat = std::move(filter);
}

void TRichEdit::prepareTyping()
{
    // Only the insertion point: a selection's format is the user's to change, and typing
    // over it is formatted as the text it replaces starts.
    const QTextCursor cursor = textCursor();
    if (!m_typingFormat || cursor.hasSelection())
        return;
    const QTextCharFormat at = cursor.charFormat();
    const QTextCharFormat typed = m_typingFormat(at);
    if (typed != at)
        setCurrentCharFormat(typed);
}

void TRichEdit::keyPressEvent(QKeyEvent *event)
{
    if (!event->text().isEmpty() && !isReadOnly())
        prepareTyping();
    QTextEdit::keyPressEvent(event);
}

void TRichEdit::inputMethodEvent(QInputMethodEvent *event)
{
    if ((!event->commitString().isEmpty() || !event->preeditString().isEmpty()) && !isReadOnly())
        prepareTyping();
    QTextEdit::inputMethodEvent(event);
}

void TRichEdit::paintEvent(QPaintEvent *event)
{
    QTextEdit::paintEvent(event);
#if QT_VERSION < QT_VERSION_CHECK(6, 6, 0)
    paintListNumbers(event->rect());
#endif
}

#if QT_VERSION < QT_VERSION_CHECK(6, 6, 0)
// Qt has just drawn every numbered item of the area counted from 1 in its own list. Where a
// list starts elsewhere, the label Qt drew is covered and the item's own drawn in its place,
// placed and styled as Qt places and styles it: right-aligned in the indent a space's width
// before the block's first line, in the block's character format, and on the selection's
// colours when a selection runs into the block from before it. Only the blocks in the area
// are looked at, and the document is left as it is.
void TRichEdit::paintListNumbers(const QRect &area)
{
    QTextDocument *doc = document();
    QAbstractTextDocumentLayout *layout = doc->documentLayout();
    QTextFrame *root = doc->rootFrame();
    const QScrollBar *across = horizontalScrollBar();
    const QPoint scroll(isRightToLeft() ? across->maximum() - across->value() : across->value(), verticalScrollBar()->value());
    const int bottom = area.bottom() + scroll.y();
    QTextBlock block = firstBlockReaching(doc, area.top() + scroll.y());
    QList<QAbstractTextDocumentLayout::Selection> selections;
    for (const ExtraSelection &extra : extraSelections())
        selections.append({extra.cursor, extra.format});
    if (textCursor().hasSelection()) {
        const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
        QTextCharFormat format;
        format.setBackground(palette().brush(group, QPalette::Highlight));
        format.setForeground(palette().brush(group, QPalette::HighlightedText));
        selections.append({textCursor(), format});
    }

    QPainter painter;
    for (; block.isValid(); block = block.next()) {
        QTextList *list = block.textList();
        const QTextListFormat format = list ? list->format() : QTextListFormat();
        const int start = rtf::listStart(format);
        const QTextBlockFormat blockFormat = block.blockFormat();
        const int style =
            blockFormat.hasProperty(QTextFormat::ListStyle) ? blockFormat.intProperty(QTextFormat::ListStyle) : format.style();
        const bool shownWrong = start != 1 && isNumbered(style) && block.isVisible() && block.layout()->lineCount() > 0
                                && blockFormat.marker() == QTextBlockFormat::MarkerType::NoMarker;
        // Blocks outside tables come down the page in turn: the first below the area ends it.
        const bool inRoot = doc->frameAt(block.position()) == root;
        if (!shownWrong && !inRoot)
            continue;
        const QRectF bounds = layout->blockBoundingRect(block);
        if (bounds.top() > bottom && inRoot)
            break;
        if (!shownWrong || bounds.top() > bottom || bounds.bottom() < area.top() + scroll.y())
            continue;

        const Qt::LayoutDirection direction = block.textDirection();
        const QRectF firstLine = block.layout()->lineAt(0).naturalTextRect();
        QPointF pos = bounds.topLeft().toPoint() + firstLine.topLeft().toPoint();
        if (direction == Qt::RightToLeft)
            pos.rx() += firstLine.width();
        QFont font = block.charFormat().font();
        if (layout->paintDevice())
            font = QFont(font, layout->paintDevice());
        const QFontMetrics metrics(font);
        const auto placed = [&](const QString &label) {
            const QSizeF size(metrics.horizontalAdvance(label), metrics.height());
            const qreal space = metrics.horizontalAdvance(u' ');
            return QRectF(pos, size).translated(direction == Qt::LeftToRight ? -space - size.width() : space,
                                                metrics.height() / 2 - size.height() / 2);
        };
        const QString label = rtf::listItemLabel(format, start + list->itemNumber(block), direction);
        const QRectF drawn = placed(list->itemText(block));
        const QRectF own = placed(label);

        // The cover takes Qt's label with a pixel's margin and stops short of the text.
        int left = int(std::floor(std::min(drawn.left(), own.left()))) - 1;
        int right = int(std::ceil(std::max(drawn.right(), own.right()))) + 1;
        if (direction == Qt::LeftToRight)
            right = std::min(right, int(pos.x()));
        else
            left = std::max(left, int(pos.x()) + 1);
        const int height = int(std::ceil(std::max({firstLine.height(), qreal(metrics.lineSpacing()), qreal(metrics.height())})));
        const QRect cover(left, int(pos.y()), right - left, height);

        if (!painter.isActive()) {
            painter.begin(viewport());
            painter.translate(-scroll);
            painter.setRenderHint(QPainter::Antialiasing);
        }
        painter.fillRect(cover, backgroundBehind(block, viewport()->palette().brush(viewport()->backgroundRole())));
        const QTextCharFormat *selected = nullptr;
        for (const auto &selection : std::as_const(selections)) {
            if (selection.cursor.selectionStart() < block.position() && selection.cursor.selectionEnd() > block.position())
                selected = &selection.format;
        }
        QBrush ink = block.charFormat().foreground();
        if (selected) {
            painter.fillRect(own, selected->background());
            ink = selected->foreground();
        } else if (ink.style() == Qt::NoBrush) {
            ink = palette().text();
        }
        painter.setPen(QPen(ink, 0));
        QTextLayout text(label, font, layout->paintDevice());
        text.setCacheEnabled(true);
        QTextOption option(Qt::AlignLeft | Qt::AlignAbsolute);
        option.setTextDirection(direction);
        text.setTextOption(option);
        text.beginLayout();
        QTextLine line = text.createLine();
        if (line.isValid())
            line.setLeadingIncluded(true);
        text.endLayout();
        text.draw(&painter, QPointF(own.left(), pos.y()));
    }
}
#endif

void TRichEdit::insertFromMimeData(const QMimeData *source)
{
    prepareTyping();
    if (carriesPictureOnly(source) && insertPicture(qvariant_cast<QImage>(source->imageData())))
        return;
    QTextEdit::insertFromMimeData(source);
}

bool TRichEdit::insertPicture(const QImage &image)
{
    if (image.isNull() || isReadOnly())
        return false;
    // A name of this editor's own, so that a second picture never replaces the first.
    const QString name = QStringLiteral("pasted-picture-%1.png").arg(++m_pictures);
    document()->addResource(QTextDocument::ImageResource, QUrl(name), image);
    QTextImageFormat format;
    format.setName(name);
    const int room = std::max(32, viewport()->width() - 2 * int(document()->documentMargin()) - 4);
    if (image.width() > room) {
        format.setWidth(room);
        format.setHeight(std::max(1.0, double(image.height()) * room / image.width()));
    } else {
        format.setWidth(image.width());
        format.setHeight(image.height());
    }
    QTextCursor cursor = textCursor();
    cursor.insertImage(format);
    setTextCursor(cursor);
    ensureCursorVisible();
    return true;
}

} // namespace kmp
