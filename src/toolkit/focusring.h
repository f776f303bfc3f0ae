#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

namespace kmp {

// A ring in the highlight colour along the inner edge of whichever control of a screen has
// the keyboard focus. The desktop's style shows focus only on some controls and only once
// Tab was pressed; a clinician who clicked into a grid and then typed must still see where
// the keys go. Drawn inside the control's visible part, since controls laid edge to edge
// leave no room around them, on a layer of the screen above its controls.
class FocusRing : public QWidget
{
    Q_OBJECT
public:
    // Follows the focus among the controls of root's window that lie inside root.
    explicit FocusRing(QWidget *root);
    ~FocusRing() override;

    QWidget *ringed() const { return m_ringed; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void focusMoved(QWidget *now);
    void follow(QWidget *widget);
    void place();

    QPointer<QWidget> m_root;
    QPointer<QWidget> m_ringed;
    QList<QPointer<QWidget>> m_watched; // the control and its parents up to the root
    bool m_placeQueued = false;
};

} // namespace kmp
