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
};

} // namespace kmp
