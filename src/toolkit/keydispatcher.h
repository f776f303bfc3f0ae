#pragma once

#include <QKeyCombination>
#include <QList>
#include <QObject>
#include <QPointer>

class QAction;
class QWidget;

namespace kmp {

class ActionList;

// Offers every key press to the action lists of the form it was pressed in, before the
// focused widget or Qt's own shortcuts see it. Lists are asked in declaration order; then the
// enabled menu commands (QAction shortcuts) of the form, so that a page command wins over a
// control's own use of the key. A text editor keeps its editing keys (copy, cut, paste,
// select all, undo, redo). Keys nobody takes go on to the focused widget as usual.
class KeyDispatcher : public QObject
{
    Q_OBJECT
public:
    static KeyDispatcher *instance(); // installs itself on the application on first use

    void registerList(QWidget *form, ActionList *list);
    void unregisterList(ActionList *list);
    QList<ActionList *> listsOf(QWidget *form) const;

    // Offers a key to the lists of form; true when an action consumed it.
    bool dispatch(QWidget *form, QKeyCombination key);
    // The registered form a widget belongs to (itself or an ancestor inside its window).
    QWidget *formOf(QWidget *widget) const;
    // A registered, visible form inside widget (the active MDI child's first), or null.
    QWidget *formWithin(QWidget *widget) const;
    // The form's enabled menu command with this shortcut, if any.
    QAction *menuActionFor(QWidget *form, QKeyCombination key) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    KeyDispatcher();
    struct Entry
    {
        QPointer<QWidget> form;
        QPointer<ActionList> list;
    };
    QList<Entry> m_entries;
};

} // namespace kmp
