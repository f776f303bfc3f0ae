#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

namespace kmp::rtf::detail {

// Draws an enhanced metafile (the \emfblip pictures of newer word processors)
// into an image of about size: the drawing records a pasted diagram or picture
// uses (lines, shapes, paths, text and bitmaps, with the window, viewport and
// world transforms). Records it does not know are skipped; broken data gives
// a null image. No Debian library draws these (libwmf reads only the older
// Windows metafiles, libuemf only reads and writes records), hence this player.
QImage renderEnhancedMetafile(const QByteArray &data, QSize size);

} // namespace kmp::rtf::detail
