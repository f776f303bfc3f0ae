#pragma once

#include <QPointer>
#include <QTabWidget>
#include <functional>

namespace kmp {

class TPageControl;

// One page of a TPageControl. Disabling a page greys its tab and its content, and the user
// can no longer bring it to the front; code still can, with SetActivePage.
class TabPage : public QWidget
{
    Q_OBJECT
public:
    explicit TabPage(const QString &caption = QString(), QWidget *parent = nullptr);

    QString caption() const { return m_caption; }
    void setCaption(const QString &caption);
    int imageIndex() const { return m_imageIndex; }
    void setImageIndex(int index) { m_imageIndex = index; }

    void setPageEnabled(bool enabled);
    bool pageEnabled() const { return m_enabled; }

private:
    friend class TPageControl;
    QString m_caption;
    int m_imageIndex = -1;
    bool m_enabled = true;
    QPointer<TPageControl> m_control;
};

// The page control of the screens.
//
// OnChange runs when the USER brings another page to the front (tab click, keyboard on the
// tab bar). A page set by code, with SetActivePage or setCurrentIndex, does NOT raise
// OnChange. Screens must not rely on either: whatever they need after a change by code they
// do themselves.
// OnEnter and OnExit run when the input focus enters the control (any widget inside it)
// from outside, and when it leaves it. All three run through the guarded dispatch.
class TPageControl : public QTabWidget
{
    Q_OBJECT
public:
    explicit TPageControl(QWidget *parent = nullptr);
    ~TPageControl() override;

    int addPage(TabPage *page); // tab text: the page's caption
    int insertPage(int index, TabPage *page);
    TabPage *page(int index) const;

    void SetActivePage(TabPage *page);
    TabPage *activePage() const;

    std::function<void()> OnChange;
    std::function<void()> OnEnter;
    std::function<void()> OnExit;

    // Called by TabPage when its enabled state or caption changes.
    void pageStateChanged(TabPage *page);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void focusMoved(QWidget *old, QWidget *now);
    bool contains(QWidget *w) const;

    int m_userAction = 0; // >0 while the tab bar handles a user's input
    bool m_hasFocus = false;
};

namespace Pagecontrol98 {
using TPageControl = kmp::TPageControl;
} // namespace Pagecontrol98

} // namespace kmp
