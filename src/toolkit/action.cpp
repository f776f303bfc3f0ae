#include "action.h"

#include "actionlist.h"
#include "exceptions.h"

#include <QWidget>

namespace kmp {

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

} // namespace kmp
