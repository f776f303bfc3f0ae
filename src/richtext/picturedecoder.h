#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

namespace kmp::rtf::detail {

// The kinds of picture data a note may hold, by the control word that names them.
enum class PictureKind : quint8 { Unknown, Png, Jpeg, WindowsMetafile, EnhancedMetafile, Dib, DeviceBitmap, Other };

// Turns a picture's stored bytes into something the screen can show, at about
// renderSize for metafiles. Returns a null image when the data cannot be shown
// (unsupported kind, broken data, or a size that would exhaust memory); never
// throws.
QImage decodePicture(PictureKind kind, const QByteArray &data, QSize renderSize);

} // namespace kmp::rtf::detail
