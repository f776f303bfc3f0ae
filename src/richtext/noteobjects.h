#pragma once

#include <QTextFormat>

namespace kmp::rtf {

// Parts of a note that are not shown as text of their own stand in the
// document as one object character (U+FFFC) whose format carries them, so that
// they stay where they were and a save writes them back.
enum NoteObject : int {
    // Hidden text (\v): takes no room on screen.
    HiddenTextObject = QTextFormat::UserObject + 0x52,
    // A footnote: shown as its text, small and bracketed, where it is referenced.
    FootnoteObject,
};

enum NoteObjectProperty : int {
    HiddenText = QTextFormat::UserProperty + 0x5220, // QString
    FootnoteText,                                    // QString, paragraphs separated by '\n'
};

} // namespace kmp::rtf
