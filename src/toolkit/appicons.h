#pragma once

#include <QIcon>

namespace kmp {

// The program's own icons, drawn rather than loaded so that no image file has to travel
// with the host: the host's (a medical cross) and the screens' (a record sheet with the
// cross), in the sizes window managers and the MDI frames ask for.
QIcon hostIcon();
QIcon screenIcon();

} // namespace kmp
