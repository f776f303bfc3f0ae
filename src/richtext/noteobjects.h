#pragma once

#include <QTextFormat>

namespace kmp::rtf {

// Parts of a note that are not shown as text of their own stand in the
// document as one object character (U+FFFC) whose format carries them, so that
// they stay where they were and a save writes them back.
enum NoteObject : int {
    // Hidden text (\v): takes no room on screen.
    HiddenTextObject = QTextFormat::UserObject + 0x52,
    // A footnote or an endnote: shown as its text, small and bracketed, where
    // it is referenced.
    FootnoteObject,
    // Text a tracked change deleted: shown struck through, one object a word so
    // that lines still break between words. It is never live text: typing next
    // to it does not make new text deleted, and it is saved with its mark.
    DeletedTextObject,
    // A comment on the text, shown as a small annotation where it stands.
    CommentObject,
    // A header or a footer of the note's pages, shown as a small grey label at
    // the start of the note and saved back as what it was.
    PageTextObject,
};

// Each kind keeps its properties next to each other: typingFormat() clears them by range.
enum NoteObjectProperty : int {
    HiddenText = QTextFormat::UserProperty + 0x5220, // QString
    FootnoteText,                                    // QString, paragraphs separated by '\n'
    FootnoteIsEndnote,                               // bool
    DeletedText,                                     // QString
    // Who made a tracked change (QString) and when (int, the packed date and
    // time the note gave). On a DeletedTextObject, of the deletion; on live
    // text with RevisionInserted, of the insertion.
    RevisionAuthor,
    RevisionTime,
    RevisionInserted, // bool, on live text a tracked change inserted
    // What inserted text looked like before it was marked on screen: its own
    // underline (int, UnderlineKind) and colour (QColor, absent for automatic).
    RevisionOwnUnderline,
    RevisionOwnForeground,
    CommentText,     // QString, paragraphs separated by '\n'
    CommentAuthor,   // QString
    CommentInitials, // QString
    CommentTime,     // int, packed date and time
    PageTextKind,    // QByteArray: the control word, "header", "footerf"...
    PageText,        // QString, paragraphs separated by '\n'
};

// The packed date and time of tracked changes and comments as a readable
// "dd/MM/yyyy hh:mm", or an empty string when it holds none.
QString revisionTimeText(int packed);

// The tooltip of a tracked change or a comment: what it is, who and when.
QString revisionToolTip(bool deleted, const QString &author, int packed);

// The format new text typed or pasted after `at` takes: that of the text before it,
// less the mark of a tracked insertion (author, time, its on-screen underline, colour
// and tooltip), which belong to the insertion that was read, never to what the
// clinician writes now. The run's own look comes back.
QTextCharFormat typingFormat(const QTextCharFormat &at);

} // namespace kmp::rtf
