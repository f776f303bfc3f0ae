#include "actionlist.h"

#include "dbgrid.h"
#include "exceptions.h"
#include "keydispatcher.h"

#include <QKeyEvent>
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
    {Qt::Key_Backspace, 8}, {Qt::Key_Tab, 9},       {Qt::Key_Return, 13}, {Qt::Key_Escape, 27}, {Qt::Key_Space, 32},
    {Qt::Key_PageUp, 33},   {Qt::Key_PageDown, 34}, {Qt::Key_End, 35},    {Qt::Key_Home, 36},   {Qt::Key_Left, 37},
    {Qt::Key_Up, 38},       {Qt::Key_Right, 39},    {Qt::Key_Down, 40},   {Qt::Key_Insert, 45}, {Qt::Key_Delete, 46},
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
    return vk + (m & Qt::ShiftModifier ? kShift : 0) + (m & Qt::ControlModifier ? kCtrl : 0) + (m & Qt::AltModifier ? kAlt : 0);
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
    Qt::KeyboardModifiers m = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    return QKeyCombination(m, Qt::Key(key));
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

Action *ActionList::addAction(const QString &name, const QString &caption, QKeyCombination key, std::function<void()> onExecute)
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

} // namespace kmp
