#include "tbuttonflat.h"

#include <QPainter>
#include <QPainterPath>
#include <QPalette>

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

void TButtonFlat::setGlyphStrip(const QPixmap &strip)
{
    const int w = strip.width() / 2;
    setGlyphs(strip.copy(0, 0, w, strip.height()), strip.copy(w, 0, w, strip.height()));
}

void TButtonFlat::setArrowGlyphs(Qt::ArrowType arrow)
{
    auto draw = [arrow](const QColor &color) {
        QPixmap pm(16, 16);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        if (arrow == Qt::UpArrow) {
            path.moveTo(8, 3);
            path.lineTo(14, 12);
            path.lineTo(2, 12);
        } else {
            path.moveTo(8, 13);
            path.lineTo(14, 4);
            path.lineTo(2, 4);
        }
        path.closeSubpath();
        p.fillPath(path, color);
        return pm;
    };
    setGlyphs(draw(QColor(0, 0, 128)), draw(palette().color(QPalette::Disabled, QPalette::WindowText)));
}

} // namespace kmp
