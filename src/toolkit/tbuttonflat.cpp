#include "tbuttonflat.h"

namespace kmp {

TButtonFlat::TButtonFlat(QWidget *parent) : QToolButton(parent)
{
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
}

void TButtonFlat::setGlyphs(const QPixmap &enabledGlyph, const QPixmap &disabledGlyph)
{
    QIcon icon;
    icon.addPixmap(enabledGlyph, QIcon::Normal);
    icon.addPixmap(disabledGlyph.isNull() ? enabledGlyph : disabledGlyph, QIcon::Disabled);
    setIcon(icon);
    setIconSize(enabledGlyph.size());
}

} // namespace kmp
