#include "keydispatcher.h"

#include "actionlist.h"
#include "dbgrid.h"
#include "exceptions.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>

namespace kmp {

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
    // Then the form's menu commands, ahead of the focused control: Ctrl+D on a page command
    // switches the page wherever the focus is (a text editor keeps only its editing keys).
    if (QAction *a = menuActionFor(form, key)) {
        kmp::guarded(form, [] { kmp::commitPendingEdit(); });
        a->trigger();
        return true;
    }
    return false;
}

namespace {

// Copy, cut, paste, select all, undo and redo in a control that edits text: there they
// edit, whatever command of the screen shares the key (Ctrl+C and Ctrl+A bring history
// pages elsewhere). A clinician's Ctrl+C in a note must copy, not switch the page.
bool isEditingKeyInAnEditor(QWidget *widget, QKeyEvent *key)
{
    const bool editor = qobject_cast<QLineEdit *>(widget) || qobject_cast<QTextEdit *>(widget)
                        || qobject_cast<QPlainTextEdit *>(widget) || qobject_cast<QAbstractSpinBox *>(widget);
    if (!editor)
        return false;
    for (const QKeySequence::StandardKey k : {QKeySequence::Copy, QKeySequence::Cut, QKeySequence::Paste, QKeySequence::SelectAll,
                                              QKeySequence::Undo, QKeySequence::Redo})
        if (key->matches(k))
            return true;
    return false;
}

} // namespace

bool KeyDispatcher::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || m_entries.isEmpty())
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    if (isEditingKeyInAnEditor(widget, key))
        return false;
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
