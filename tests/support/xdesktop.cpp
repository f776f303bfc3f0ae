#include "xdesktop.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QHash>
#include <QMutex>
#include <QThread>
#include <QWidget>
#include <QtTest>
#include <atomic>
#include <cstring>
#include <thread>

// Xlib last: its macros (None, KeyPress, Bool...) would clash with Qt's names.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace kmp::test {

namespace {

unsigned long keysymFor(Qt::Key key)
{
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return XK_F1 + (key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return XK_Tab;
    case Qt::Key_Return: return XK_Return;
    case Qt::Key_Enter: return XK_KP_Enter;
    case Qt::Key_Escape: return XK_Escape;
    case Qt::Key_Backspace: return XK_BackSpace;
    case Qt::Key_Delete: return XK_Delete;
    case Qt::Key_Insert: return XK_Insert;
    case Qt::Key_Home: return XK_Home;
    case Qt::Key_End: return XK_End;
    case Qt::Key_PageUp: return XK_Prior;
    case Qt::Key_PageDown: return XK_Next;
    case Qt::Key_Left: return XK_Left;
    case Qt::Key_Right: return XK_Right;
    case Qt::Key_Up: return XK_Up;
    case Qt::Key_Down: return XK_Down;
    case Qt::Key_Space: return XK_space;
    case Qt::Key_Menu: return XK_Menu;
    default: break;
    }
    if (key > 0x20 && key <= 0xff)
        return QChar(key).toLower().unicode();
    return NoSymbol;
}

unsigned long keysymForChar(QChar c)
{
    if (c == QLatin1Char('\n'))
        return XK_Return;
    if (c == QLatin1Char('\t'))
        return XK_Tab;
    const ushort u = c.unicode();
    return u < 0x100 ? u : 0x01000000UL | u;
}

// The application's own events, seen before Qt handles them: the markers sync() puts on a
// window of the application, the mouse buttons and the window manager's close requests.
class Watch : public QAbstractNativeEventFilter
{
public:
    xcb_atom_t marker = 0, protocols = 0, deleteWindow = 0;
    int xiOpcode = -1;
    std::atomic<int> markers{0}, buttons{0}, closeRequests{0};

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        auto *ev = static_cast<xcb_generic_event_t *>(message);
        const int kind = ev->response_type & 0x7f;
        if (kind == XCB_PROPERTY_NOTIFY && reinterpret_cast<xcb_property_notify_event_t *>(ev)->atom == marker) {
            ++markers;
        } else if (kind == XCB_BUTTON_PRESS || kind == XCB_BUTTON_RELEASE) {
            ++buttons;
        } else if (kind == XCB_GE_GENERIC) {
            auto *ge = reinterpret_cast<xcb_ge_generic_event_t *>(ev);
            // XInput 2 ButtonPress (4) and ButtonRelease (5), as Qt reads the mouse: the
            // master pointer's (the device differs from the one the press came from), not
            // the copy some windows also get from the device itself.
            quint16 device = 0, source = 0;
            memcpy(&device, reinterpret_cast<const char *>(ev) + 10, sizeof device);
            memcpy(&source, reinterpret_cast<const char *>(ev) + 56, sizeof source);
            if (ge->extension == xiOpcode && (ge->event_type == 4 || ge->event_type == 5) && device != source)
                ++buttons;
        } else if (kind == XCB_CLIENT_MESSAGE) {
            auto *cm = reinterpret_cast<xcb_client_message_event_t *>(ev);
            if (cm->type == protocols && cm->data.data32[0] == deleteWindow)
                ++closeRequests;
        }
        return false;
    }
};

// The clipboard of another application: a client of its own that owns CLIPBOARD and
// answers requests for its targets until it is stopped or another client takes over.
class ClipboardOwner
{
public:
    explicit ClipboardOwner(const QList<QPair<QByteArray, QByteArray>> &targets)
    {
        m_dpy = XOpenDisplay(nullptr);
        if (!m_dpy)
            return;
        m_win = XCreateSimpleWindow(m_dpy, DefaultRootWindow(m_dpy), 0, 0, 1, 1, 0, 0, 0);
        m_clipboard = XInternAtom(m_dpy, "CLIPBOARD", False);
        m_targetsAtom = XInternAtom(m_dpy, "TARGETS", False);
        m_stopAtom = XInternAtom(m_dpy, "_KMP_STOP", False);
        for (const auto &[name, bytes] : targets)
            m_data.insert(XInternAtom(m_dpy, name.constData(), False), bytes);
        XSetSelectionOwner(m_dpy, m_clipboard, m_win, CurrentTime);
        XSync(m_dpy, False);
        m_thread = std::thread([this] { serve(); });
    }

    ~ClipboardOwner()
    {
        if (!m_dpy)
            return;
        // Wake the thread with a message of its own and let it end; closing the connection
        // takes the ownership away with the window.
        if (Display *other = XOpenDisplay(nullptr)) {
            XEvent ev{};
            ev.xclient.type = ClientMessage;
            ev.xclient.window = m_win;
            ev.xclient.message_type = m_stopAtom;
            ev.xclient.format = 32;
            XSendEvent(other, m_win, False, 0, &ev);
            XFlush(other);
            XCloseDisplay(other);
        }
        m_thread.join();
        XDestroyWindow(m_dpy, m_win);
        XCloseDisplay(m_dpy);
    }

private:
    void serve()
    {
        for (;;) {
            XEvent ev;
            XNextEvent(m_dpy, &ev);
            if (ev.type == ClientMessage && ev.xclient.message_type == m_stopAtom)
                return;
            if (ev.type != SelectionRequest)
                continue;
            const XSelectionRequestEvent &rq = ev.xselectionrequest;
            XEvent reply{};
            reply.xselection.type = SelectionNotify;
            reply.xselection.requestor = rq.requestor;
            reply.xselection.selection = rq.selection;
            reply.xselection.target = rq.target;
            reply.xselection.time = rq.time;
            reply.xselection.property = None;
            const Atom property = rq.property != None ? rq.property : rq.target;
            if (rq.target == m_targetsAtom) {
                std::vector<Atom> atoms{m_targetsAtom};
                for (auto it = m_data.cbegin(); it != m_data.cend(); ++it)
                    atoms.push_back(it.key());
                XChangeProperty(m_dpy, rq.requestor, property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char *>(atoms.data()), int(atoms.size()));
                reply.xselection.property = property;
            } else if (m_data.contains(rq.target)) {
                const QByteArray &bytes = m_data[rq.target];
                XChangeProperty(m_dpy, rq.requestor, property, rq.target, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char *>(bytes.constData()), int(bytes.size()));
                reply.xselection.property = property;
            }
            XSendEvent(m_dpy, rq.requestor, False, 0, &reply);
            XFlush(m_dpy);
        }
    }

    Display *m_dpy = nullptr;
    Window m_win = 0;
    Atom m_clipboard = 0, m_targetsAtom = 0, m_stopAtom = 0;
    QHash<Atom, QByteArray> m_data;
    std::thread m_thread;
};

bool onGuiThread()
{
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

bool waitUntil(const std::function<bool()> &done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(2);
    }
    return true;
}

} // namespace

struct XDesktop::Private
{
    Display *dpy = nullptr;
    Window root = 0;
    Watch watch;
    std::unique_ptr<QWidget> markerWidget;
    Window marker = 0;
    Window elsewhere = 0;
    int markersSent = 0, buttonsSent = 0;
    KeyCode spare = 0;
    unsigned long spareSym = NoSymbol;
    std::unique_ptr<ClipboardOwner> clipboard;
    QMutex lock; // the mouse and keys may be used from a thread standing for the user

    Atom atom(const char *name) { return XInternAtom(dpy, name, False); }

    void wmMessage(Window w, const char *type, long l0, long l1 = 0, long l2 = 0)
    {
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = w;
        ev.xclient.message_type = atom(type);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = l0;
        ev.xclient.data.l[1] = l1;
        ev.xclient.data.l[2] = l2;
        XSendEvent(dpy, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
        XFlush(dpy);
    }

    // The key code that types sym, and whether Shift is needed for it.
    KeyCode codeFor(unsigned long sym, bool *shift)
    {
        *shift = false;
        if (KeyCode kc = XKeysymToKeycode(dpy, sym)) {
            if (XkbKeycodeToKeysym(dpy, kc, 0, 0) == sym)
                return kc;
            if (XkbKeycodeToKeysym(dpy, kc, 0, 1) == sym) {
                *shift = true;
                return kc;
            }
        }
        if (!spare) {
            int min = 0, max = 0, per = 0;
            XDisplayKeycodes(dpy, &min, &max);
            KeySym *map = XGetKeyboardMapping(dpy, KeyCode(min), max - min + 1, &per);
            for (int kc = max; kc >= min && !spare; --kc) {
                bool empty = true;
                for (int i = 0; i < per; ++i)
                    empty = empty && map[(kc - min) * per + i] == NoSymbol;
                if (empty)
                    spare = KeyCode(kc);
            }
            XFree(map);
        }
        if (spare && spareSym != sym) {
            KeySym syms[2] = {sym, sym};
            XChangeKeyboardMapping(dpy, spare, 2, syms, 1);
            XSync(dpy, False);
            spareSym = sym;
        }
        return spare;
    }

    void modifiers(Qt::KeyboardModifiers mods, bool down)
    {
        const std::pair<Qt::KeyboardModifier, unsigned long> keys[] = {{Qt::ControlModifier, XK_Control_L},
                                                                       {Qt::AltModifier, XK_Alt_L},
                                                                       {Qt::ShiftModifier, XK_Shift_L},
                                                                       {Qt::MetaModifier, XK_Super_L}};
        for (const auto &[mod, sym] : keys)
            if (mods & mod)
                XTestFakeKeyEvent(dpy, XKeysymToKeycode(dpy, sym), down, CurrentTime);
    }
};

XDesktop *XDesktop::instance()
{
    static std::unique_ptr<XDesktop> desk;
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            desk.reset(new XDesktop);
            if (!desk->d->dpy)
                desk.reset();
        }
    }
    return desk.get();
}

XDesktop::XDesktop() : d(std::make_unique<Private>())
{
    d->dpy = XOpenDisplay(nullptr);
    if (!d->dpy)
        return;
    d->root = DefaultRootWindow(d->dpy);
    int event = 0, error = 0;
    if (!XQueryExtension(d->dpy, "XInputExtension", &d->watch.xiOpcode, &event, &error))
        d->watch.xiOpcode = -1;
    d->watch.marker = xcb_atom_t(d->atom("_KMP_SYNC"));
    d->watch.protocols = xcb_atom_t(d->atom("WM_PROTOCOLS"));
    d->watch.deleteWindow = xcb_atom_t(d->atom("WM_DELETE_WINDOW"));
    qApp->installNativeEventFilter(&d->watch);
    // A window of the application's own that is never shown: a property changed on it
    // reaches the application after everything sent before it.
    d->markerWidget = std::make_unique<QWidget>();
    d->marker = Window(d->markerWidget->winId());
    // The window manager first: windows shown before it runs would get no frame or focus.
    const Atom check = d->atom("_NET_SUPPORTING_WM_CHECK");
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        Atom type = 0;
        int format = 0;
        unsigned long n = 0, left = 0;
        unsigned char *data = nullptr;
        XGetWindowProperty(d->dpy, d->root, check, 0, 1, False, XA_WINDOW, &type, &format, &n, &left, &data);
        if (data)
            XFree(data);
        if (n > 0)
            break;
        QThread::msleep(50);
    }
}

XDesktop::~XDesktop()
{
    d->clipboard.reset();
    qApp->removeNativeEventFilter(&d->watch);
    if (d->elsewhere)
        XDestroyWindow(d->dpy, d->elsewhere);
    if (d->dpy)
        XCloseDisplay(d->dpy);
}

void XDesktop::key(Qt::Key key, Qt::KeyboardModifiers mods)
{
    if (key == Qt::Key_Backtab)
        mods |= Qt::ShiftModifier;
    const int before = d->watch.closeRequests;
    keysym(keysymFor(key), mods);
    // Alt+F4 is the window manager's: the window hears of it as its close request.
    if (key == Qt::Key_F4 && mods == Qt::AltModifier && onGuiThread())
        waitUntil([&] { return d->watch.closeRequests > before; }, 5000);
}

void XDesktop::keysym(unsigned long sym, Qt::KeyboardModifiers mods)
{
    QMutexLocker locker(&d->lock);
    bool shift = false;
    const KeyCode kc = d->codeFor(sym, &shift);
    if (!kc)
        return;
    if (shift)
        mods |= Qt::ShiftModifier;
    d->modifiers(mods, true);
    XTestFakeKeyEvent(d->dpy, kc, True, CurrentTime);
    XTestFakeKeyEvent(d->dpy, kc, False, CurrentTime);
    d->modifiers(mods, false);
    XFlush(d->dpy);
}

void XDesktop::type(const QString &text)
{
    for (const QChar c : text)
        keysym(keysymForChar(c));
}

void XDesktop::moveTo(QPoint global)
{
    QMutexLocker locker(&d->lock);
    XTestFakeMotionEvent(d->dpy, -1, global.x(), global.y(), CurrentTime);
    XFlush(d->dpy);
}

void XDesktop::click(QPoint global, Qt::MouseButton button, int times)
{
    const unsigned int b = button == Qt::RightButton ? 3 : button == Qt::MiddleButton ? 2 : 1;
    moveTo(global);
    QMutexLocker locker(&d->lock);
    // A hand takes some milliseconds between moving, pressing and letting go.
    for (int i = 0; i < times; ++i) {
        XTestFakeButtonEvent(d->dpy, b, True, 20);
        XTestFakeButtonEvent(d->dpy, b, False, 40);
    }
    d->buttonsSent += 2 * times;
    XFlush(d->dpy);
}

void XDesktop::drag(QPoint from, QPoint to)
{
    moveTo(from);
    QMutexLocker locker(&d->lock);
    XTestFakeButtonEvent(d->dpy, 1, True, CurrentTime);
    XFlush(d->dpy);
    const int steps = 8;
    for (int i = 1; i <= steps; ++i) {
        const QPoint p = from + (to - from) * i / steps;
        XTestFakeMotionEvent(d->dpy, -1, p.x(), p.y(), CurrentTime);
        XFlush(d->dpy);
        QThread::msleep(15);
    }
    XTestFakeButtonEvent(d->dpy, 1, False, CurrentTime);
    d->buttonsSent += 2;
    XFlush(d->dpy);
}

bool XDesktop::activate(QWidget *window)
{
    window = window->window();
    if (!window->isVisible()) {
        window->show();
        if (!QTest::qWaitForWindowExposed(window))
            return false;
    }
    // As a task bar asks it: the manager gives the focus without its focus-stealing rules.
    const auto request = [&] { d->wmMessage(Window(window->winId()), "_NET_ACTIVE_WINDOW", 2, CurrentTime); };
    request();
    if (!onGuiThread())
        return true;
    const auto active = [window] { return QApplication::activeWindow() == window; };
    if (!waitUntil(active, 1500)) {
        // The manager took it as active already (a dialog over it just went): as a person
        // would, go to another window and back.
        activateElsewhere();
        request();
        if (!waitUntil(active, 5000)) {
            qWarning("XDesktop: the window manager did not activate \"%s\"", qPrintable(window->windowTitle()));
            return false;
        }
    }
    return sync(); // and where the manager put it is known before anything is clicked
}

void XDesktop::close(QWidget *window)
{
    const int before = d->watch.closeRequests;
    d->wmMessage(Window(window->window()->winId()), "_NET_CLOSE_WINDOW", CurrentTime, 2);
    if (onGuiThread())
        waitUntil([&] { return d->watch.closeRequests > before; }, 5000) && sync();
}

void XDesktop::minimize(QWidget *window)
{
    XIconifyWindow(d->dpy, Window(window->window()->winId()), DefaultScreen(d->dpy));
    XFlush(d->dpy);
}

bool XDesktop::activateElsewhere()
{
    if (!d->elsewhere) {
        d->elsewhere = XCreateSimpleWindow(d->dpy, d->root, 600, 600, 240, 120, 0, 0, 0xffffff);
        XStoreName(d->dpy, d->elsewhere, "Outra janela");
        XWMHints hints{};
        hints.flags = InputHint;
        hints.input = True;
        XSetWMHints(d->dpy, d->elsewhere, &hints);
        XMapRaised(d->dpy, d->elsewhere);
        XSync(d->dpy, False);
    }
    d->wmMessage(d->elsewhere, "_NET_ACTIVE_WINDOW", 2, CurrentTime);
    return !onGuiThread() || waitUntil([] { return QApplication::activeWindow() == nullptr; }, 5000);
}

void XDesktop::setClipboard(const QList<QPair<QByteArray, QByteArray>> &targets)
{
    d->clipboard.reset();
    // Owned and then let go: whoever held it before (the application itself, after a
    // copy) has lost it and nobody holds it now.
    d->clipboard = std::make_unique<ClipboardOwner>(targets);
    if (targets.isEmpty())
        d->clipboard.reset();
}

void XDesktop::setClipboardText(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    setClipboard({{"UTF8_STRING", utf8}, {"text/plain;charset=utf-8", utf8}});
}

bool XDesktop::sync()
{
    {
        QMutexLocker locker(&d->lock);
        const long n = ++d->markersSent;
        XChangeProperty(d->dpy, d->marker, Atom(d->watch.marker), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(&n), 1);
        XFlush(d->dpy);
    }
    const bool seen = waitUntil([this] { return d->watch.markers >= d->markersSent; }, 10000);
    // A window manager that grabbed a press (to focus or raise on click) hands it on
    // after deciding what to do with it, which can be after the marker. The counts add
    // up over the whole run; a press that never came (taken by the manager's own frame)
    // is given up on, once.
    if (!waitUntil([this] { return d->watch.buttons >= d->buttonsSent; }, 5000))
        d->buttonsSent = d->watch.buttons;
    QCoreApplication::processEvents();
    return seen;
}

} // namespace kmp::test
