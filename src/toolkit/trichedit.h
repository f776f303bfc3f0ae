#pragma once

#include <QTextEdit>

#include <functional>

class QImage;

namespace kmp {

// The rich-text editor of a clinical section: a QTextEdit that also takes a picture pasted
// or dropped on its own (a screenshot, an image copied from a viewer or a browser). Plain
// QTextEdit ignores such a clipboard, so a clinician's Ctrl+V did nothing at all. The
// picture goes into the document at full resolution; it is shown no wider than the
// editor, and stored as a PNG picture when the section is saved.
//
// A numbered list of a note may start at another number than 1 (from 5: "5.", "E."), and a
// long list is read as several lists, each starting where the one before stopped. Qt before
// 6.6 keeps that start but numbers every list from 1 on screen; the editor shows each item's
// true number in its place, without changing the document.
class TRichEdit : public QTextEdit
{
    Q_OBJECT
public:
    explicit TRichEdit(QWidget *parent = nullptr);

    // Inserts a picture at the cursor, as a paste would. False (nothing inserted) for an
    // empty image or a read-only editor.
    bool insertPicture(const QImage &image);

    // Whether a clipboard or drop carries a picture and nothing to read but it, so that
    // the picture is what the user meant to insert.
    static bool carriesPictureOnly(const QMimeData *source);

    // What text typed or pasted takes of the format it stands after. Formats can carry
    // marks that belong to the text that was read (who inserted it, and when), not to what
    // the user types next to it; the document's owner knows which, and says so here.
    void setTypingFormat(std::function<QTextCharFormat(const QTextCharFormat &)> filter);

protected:
    bool canInsertFromMimeData(const QMimeData *source) const override;
    void insertFromMimeData(const QMimeData *source) override;
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void prepareTyping();
#if QT_VERSION < QT_VERSION_CHECK(6, 6, 0)
    void paintListNumbers(const QRect &area);
#endif

    int m_pictures = 0;
    std::function<QTextCharFormat(const QTextCharFormat &)> m_typingFormat;
};

} // namespace kmp
