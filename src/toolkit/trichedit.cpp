#include "trichedit.h"

#include <QImage>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextImageFormat>
#include <QUrl>

namespace kmp {

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
