#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QPoint>
#include <QSize>
#include <QString>
#include <Qt>
#include <memory>

class QWidget;

namespace kmp::test {

// The X server a scenario test runs on (tests/support/x-session starts one per test, with
// openbox as its window manager), reached the way other programs reach it: keys and the
// mouse through the XTest extension, so that the server, the window manager and Qt route
// them as they route a person's; requests to the window manager (activate, close,
// minimise) as a title bar or a task bar sends them; the clipboard held by another client.
//
// Everything sent goes out at once; sync() then waits until the application has handled
// it, so a test reads the outcome right after the step.
class XDesktop
{
public:
    // The desktop of the display the application runs on; null when Qt does not run on
    // xcb (the offscreen unit tests).
    static XDesktop *instance();
    ~XDesktop();

    // Keys: press and release with the modifiers held around them. A character missing
    // from the keymap (an accented letter, a dead key) is put on a spare key code first,
    // as input tools do.
    void key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier);
    void keysym(unsigned long sym, Qt::KeyboardModifiers mods = Qt::NoModifier);
    void type(const QString &text);

    // The mouse, at a point of the screen.
    void moveTo(QPoint global);
    void click(QPoint global, Qt::MouseButton button = Qt::LeftButton, int times = 1);
    void drag(QPoint from, QPoint to);

    // Window-manager requests for a top-level window. activate() waits until Qt has the
    // window active; close() and minimize() return once the manager was asked.
    bool activate(QWidget *window);
    void close(QWidget *window);
    void minimize(QWidget *window);
    // Another application's window comes to the front and takes the activation.
    bool activateElsewhere();

    // What another application copied: each entry a target (a MIME type such as
    // "text/plain;charset=utf-8", "text/html", "image/png", or an X target such as
    // UTF8_STRING) and its bytes. An empty list leaves the clipboard with no owner at all,
    // as in a fresh session.
    void setClipboard(const QList<QPair<QByteArray, QByteArray>> &targets);
    void setClipboardText(const QString &text);

    // Waits until the application has handled everything sent so far (and the mouse
    // buttons pressed since the last sync reached it, unless a grab took them); false
    // when it did not within a few seconds.
    bool sync();

private:
    XDesktop();
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace kmp::test
