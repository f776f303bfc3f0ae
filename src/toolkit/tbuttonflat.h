#pragma once

#include <QIcon>
#include <QToolButton>

namespace kmp {

// A flat tool button with one glyph for the enabled state and one for the disabled state.
class TButtonFlat : public QToolButton
{
    Q_OBJECT
public:
    explicit TButtonFlat(QWidget *parent = nullptr);

    void setGlyphs(const QPixmap &enabledGlyph, const QPixmap &disabledGlyph);
    // Both glyphs side by side in one image, enabled first (as image lists hold them).
    void setGlyphStrip(const QPixmap &strip);
    // A plain arrow pair drawn for the move buttons when no image is at hand.
    void setArrowGlyphs(Qt::ArrowType arrow);
};

} // namespace kmp
