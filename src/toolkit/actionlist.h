#pragma once

#include "action.h"

#include <QKeyCombination>
#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>

class QKeyEvent;
class QWidget;

namespace kmp {

// Packed shortcut codes: the virtual-key code in the low byte, plus 8192 for Shift, 16384
// for Ctrl and 32768 for Alt (Ctrl+Enter 16397, Esc 27, F2 113, Ctrl+D 16452).
int packShortcut(QKeyCombination key);
QKeyCombination unpackShortcut(int code);
// A key event as the dispatcher compares it: keypad Enter is Enter, the keypad flag is gone.
QKeyCombination normalizedKey(const QKeyEvent *event);

// An ordered list of actions of one form. Lists register with the key dispatcher when they
// are built, so they are offered keys in the order the form declares them.
class ActionList : public QObject
{
    Q_OBJECT
public:
    // form: the window whose keys this list hears (its child widgets included).
    ActionList(const QString &name, QWidget *form);
    ~ActionList() override;

    Action *addAction(const QString &name, const QString &caption, QKeyCombination key, std::function<void()> onExecute = {});
    Action *action(const QString &name) const;
    QWidget *form() const { return m_form; }

    // Offers the key: the first action with that key takes it. An enabled one executes and
    // the key is consumed (true); a disabled one lets it pass (false).
    bool offer(QKeyCombination key);
    // Whether offer() would consume the key, without running anything.
    bool wouldTake(QKeyCombination key) const;

private:
    Action *firstWith(QKeyCombination key) const;

    QPointer<QWidget> m_form;
    QList<QPointer<Action>> m_actions;
};

} // namespace kmp
