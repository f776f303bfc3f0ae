#pragma once

#include <QTextFormat>

namespace kmp::rtf {

// Properties the reader puts on the QTextImageFormat of every picture it reads,
// so that a save stores the picture exactly as it came, whatever the screen can
// show of it (a metafile drawn as a bitmap, a kind it cannot draw at all).
enum PictureProperty : int {
    // QByteArray: the picture's own bytes, as the note held them.
    PictureData = QTextFormat::UserProperty + 0x5200,
    // QByteArray: the control words that describe those bytes: their kind
    // (\pngblip, \wmetafile8, \dibitmap0...) and native size and layout.
    PictureHeader,
    // QByteArray: the control words that set the size the picture is shown at.
    PictureSizing,
    // QSize: the size in pixels those control words gave; when the picture is
    // still shown at it, they are written back as they came.
    PictureShownSize,
};

} // namespace kmp::rtf
