#include "actionlist.h"

#include "dbgrid.h"
#include "exceptions.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QWidget>

namespace kmp {

namespace {

struct VirtualKey
{
    Qt::Key key;
    int vk;
};

// Qt keys and the virtual-key codes the packed shortcuts use.
const VirtualKey kVirtualKeys[] = {
    {Qt::Key_Backspace, 8},  {Qt::Key_Tab, 9},       {Qt::Key_Return, 13}, {Qt::Key_Escape, 27},
    {Qt::Key_Space, 32},     {Qt::Key_PageUp, 33},   {Qt::Key_PageDown, 34}, {Qt::Key_End, 35},
    {Qt::Key_Home, 36},      {Qt::Key_Left, 37},     {Qt::Key_Up, 38},     {Qt::Key_Right, 39},
    {Qt::Key_Down, 40},      {Qt::Key_Insert, 45},   {Qt::Key_Delete, 46},
};

constexpr int kShift = 8192;
constexpr int kCtrl = 16384;
constexpr int kAlt = 32768;

} // namespace

int packShortcut(QKeyCombination key)
{
    const int k = int(key.key());
    int vk = 0;
    if (k >= Qt::Key_A && k <= Qt::Key_Z)
        vk = k; // the upper-case letter
    else if (k >= Qt::Key_0 && k <= Qt::Key_9)
        vk = k;
    else if (k >= Qt::Key_F1 && k <= Qt::Key_F24)
        vk = 112 + (k - Qt::Key_F1);
    else if (k == Qt::Key_Enter)
        vk = 13;
    else
        for (const auto &v : kVirtualKeys)
            if (v.key == key.key())
                vk = v.vk;
    if (vk == 0)
        return 0;
    const Qt::KeyboardModifiers m = key.keyboardModifiers();
    return vk + (m & Qt::ShiftModifier ? kShift : 0) + (m & Qt::ControlModifier ? kCtrl : 0)
           + (m & Qt::AltModifier ? kAlt : 0);
}

QKeyCombination unpackShortcut(int code)
{
    const int vk = code & 0xff;
    Qt::KeyboardModifiers m;
    if (code & kShift)
        m |= Qt::ShiftModifier;
    if (code & kCtrl)
        m |= Qt::ControlModifier;
    if (code & kAlt)
        m |= Qt::AltModifier;
    Qt::Key key = Qt::Key_unknown;
    if ((vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9'))
        key = Qt::Key(vk);
    else if (vk >= 112 && vk < 112 + 24)
        key = Qt::Key(Qt::Key_F1 + (vk - 112));
    else
        for (const auto &v : kVirtualKeys)
            if (v.vk == vk)
                key = v.key;
    if (key == Qt::Key_unknown)
        return QKeyCombination();
    return QKeyCombination(m, key);
}

QKeyCombination normalizedKey(const QKeyEvent *event)
{
    int key = event->key();
    if (key == Qt::Key_Enter)
        key = Qt::Key_Return;
    // Shift+Tab arrives as Backtab.
    if (key == Qt::Key_Backtab)
        key = Qt::Key_Tab;
    Qt::KeyboardModifiers m = event->modifiers()
                              & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    return QKeyCombination(m, Qt::Key(key));
}

// --- Action ---------------------------------------------------------------------------

Action::Action(const QString &name, QObject *parent) : QObject(parent)
{
    setObjectName(name);
}

void Action::setShortcut(QKeyCombination key)
{
    // Compare as the dispatcher does: keypad Enter is Enter.
    if (key.key() == Qt::Key_Enter)
        key = QKeyCombination(key.keyboardModifiers() & ~Qt::KeypadModifier, Qt::Key_Return);
    m_shortcut = key;
}

void Action::setEnabled(bool enabled)
{
    if (m_enabled == enabled)
        return;
    m_enabled = enabled;
}

bool Action::execute()
{
    if (!OnExecute)
        return false;
    QWidget *context = nullptr;
    if (auto *list = qobject_cast<ActionList *>(parent()))
        context = list->form();
    // Copy: the handler may replace OnExecute while it runs.
    const std::function<void()> handler = OnExecute;
    return kmp::guarded(context, handler);
}

// --- ActionList -------------------------------------------------------------------------

ActionList::ActionList(const QString &name, QWidget *form) : QObject(form), m_form(form)
{
    setObjectName(name);
    kmp::KeyDispatcher::instance()->registerList(form, this);
}

ActionList::~ActionList()
{
    kmp::KeyDispatcher::instance()->unregisterList(this);
}

Action *ActionList::addAction(const QString &name, const QString &caption, QKeyCombination key,
                                std::function<void()> onExecute)
{
    auto *a = new Action(name, this);
    a->setCaption(caption);
    a->setShortcut(key);
    a->OnExecute = std::move(onExecute);
    m_actions.append(a);
    return a;
}

Action *ActionList::action(const QString &name) const
{
    for (const auto &a : m_actions)
        if (a && a->objectName() == name)
            return a;
    return nullptr;
}

Action *ActionList::firstWith(QKeyCombination key) const
{
    for (const auto &a : m_actions)
        if (a && a->shortcut() == key && key.key() != Qt::Key_unknown && int(key.key()) != 0)
            return a;
    return nullptr;
}

bool ActionList::wouldTake(QKeyCombination key) const
{
    Action *a = firstWith(key);
    return a && a->isEnabled();
}

bool ActionList::offer(QKeyCombination key)
{
    Action *a = firstWith(key);
    if (!a || !a->isEnabled())
        return false;
    // What is typed in an open grid cell belongs to the row the command acts on.
    kmp::guarded(m_form, [] { kmp::commitPendingEdit(); });
    a->execute();
    return true;
}

// --- KeyDispatcher -----------------------------------------------------------------------

KeyDispatcher::KeyDispatcher() : QObject(QCoreApplication::instance())
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(this);
}

KeyDispatcher *KeyDispatcher::instance()
{
    static QPointer<KeyDispatcher> dispatcher;
    if (!dispatcher)
        dispatcher = new KeyDispatcher;
    return dispatcher;
}

void KeyDispatcher::registerList(QWidget *form, ActionList *list)
{
    m_entries.append({form, list});
}

void KeyDispatcher::unregisterList(ActionList *list)
{
    m_entries.removeIf([list](const Entry &e) { return e.list == list || !e.list || !e.form; });
}

QList<ActionList *> KeyDispatcher::listsOf(QWidget *form) const
{
    QList<ActionList *> out;
    for (const Entry &e : m_entries)
        if (e.form == form && e.list)
            out.append(e.list);
    return out;
}

QWidget *KeyDispatcher::formOf(QWidget *widget) const
{
    for (QWidget *w = widget; w; w = w->parentWidget()) {
        for (const Entry &e : m_entries)
            if (e.form == w)
                return w;
        // A dialog opened over the form has its own keys: Esc there closes the dialog.
        if (w->isWindow())
            return nullptr;
    }
    return nullptr;
}

QWidget *KeyDispatcher::formWithin(QWidget *widget) const
{
    QWidget *found = nullptr;
    for (const Entry &e : m_entries) {
        QWidget *form = e.form;
        if (!form || !e.list || !form->isVisible() || !widget->isAncestorOf(form))
            continue;
        // Of several screens in an MDI area, only the active one hears the keys.
        bool inactiveChild = false;
        for (QWidget *w = form->parentWidget(); w && w != widget; w = w->parentWidget())
            if (auto *sub = qobject_cast<QMdiSubWindow *>(w)) {
                if (sub->mdiArea() && sub->mdiArea()->activeSubWindow() == sub)
                    return form;
                inactiveChild = true;
                break;
            }
        if (!inactiveChild && !found)
            found = form;
    }
    return found;
}

QAction *KeyDispatcher::menuActionFor(QWidget *form, QKeyCombination key) const
{
    const QKeySequence wanted(key);
    for (QAction *a : form->findChildren<QAction *>()) {
        if (!a->isEnabled() || !a->isVisible() || a->isSeparator())
            continue;
        for (const QKeySequence &s : a->shortcuts())
            if (s == wanted)
                return a;
    }
    return nullptr;
}

bool KeyDispatcher::dispatch(QWidget *form, QKeyCombination key)
{
    // Copy: a handler may build or destroy lists.
    const QList<ActionList *> lists = listsOf(form);
    for (const QPointer<ActionList> list : lists)
        if (list && list->offer(key))
            return true;
    // Then the form's menu commands, ahead of the focused control: Ctrl+C on a page
    // command must switch the page even while an editor, which would copy, has the focus.
    if (QAction *a = menuActionFor(form, key)) {
        kmp::guarded(form, [] { kmp::commitPendingEdit(); });
        a->trigger();
        return true;
    }
    return false;
}

bool KeyDispatcher::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || m_entries.isEmpty())
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    QWidget *form = formOf(widget);
    // With no control of the screen focused (a tab just clicked hides the page that had
    // the focus), the keys go to the window or the screen's frame: the screen is found
    // from there, so its commands still answer.
    if (!form && (widget->isWindow() || qobject_cast<QMdiSubWindow *>(widget)))
        form = formWithin(widget);
    if (!form)
        return false;
    const QKeyCombination k = normalizedKey(key);
    if (type == QEvent::ShortcutOverride) {
        // Claim the key before Qt's shortcut map sees it; the action runs on the key press
        // that follows.
        for (ActionList *list : listsOf(form))
            if (list->wouldTake(k)) {
                event->accept();
                return true;
            }
        if (menuActionFor(form, k)) {
            event->accept();
            return true;
        }
        return false;
    }
    // A key no action takes is offered again as Qt passes it up to the parents; offering is
    // side-effect free when nothing takes it, so the repeats change nothing.
    return dispatch(form, k);
}

} // namespace kmp
