#pragma once

class QWidget;

namespace kmp {

// Gives every control under root that has no accessible name of its own the name its
// tooltip shows a sighted user ("Negrito (Ctrl+B)" names it "Negrito"). Controls whose
// text is a symbol (arrows, "N", "…") would otherwise be read out as that symbol.
// Returns how many names it gave.
int nameControlsFromToolTips(QWidget *root);

} // namespace kmp
