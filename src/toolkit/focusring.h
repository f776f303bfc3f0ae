#pragma once

#include <QFocusFrame>
#include <QPointer>

namespace kmp {

// A ring in the highlight colour around whichever control of a window has the keyboard
// focus. The desktop's style shows focus only on some controls and only after Tab was
// pressed; a clinician who clicked into a grid, then typed, must still see where the keys go.
class FocusRing : public QFocusFrame
{
    Q_OBJECT
public:
    // Follows the focus among the controls of root's window that lie inside root.
    explicit FocusRing(QWidget *root);
    ~FocusRing() override;

    QWidget *ringed() const { return widget(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void focusMoved(QWidget *now);

    QPointer<QWidget> m_root;
};

} // namespace kmp
