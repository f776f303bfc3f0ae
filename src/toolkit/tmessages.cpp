#include "tmessages.h"

#include "dialogs.h"

#include <QWidget>

namespace kmp {

TMessages::TMessages(QObject *parent) : QObject(parent) {}

TMessages::TMessages(const QString &name, QObject *parent) : QObject(parent)
{
    setObjectName(name);
}

void TMessages::add(const QString &key, const QString &text)
{
    if (!m_texts.contains(key))
        m_order.append(key);
    m_texts.insert(key, text);
}

QString TMessages::Msg(const QString &key) const
{
    auto it = m_texts.constFind(key);
    if (it != m_texts.constEnd())
        return *it;
    return QStringLiteral("[%1: %2]").arg(objectName(), key);
}

kmp::MessageResult TMessages::ShowMsg(const QString &key, kmp::MessageType type, kmp::MessageButtons buttons, int) const
{
    QWidget *parent = nullptr;
    for (QObject *o = this->parent(); o && !parent; o = o->parent())
        parent = qobject_cast<QWidget *>(o);
    return kmp::Dialogs::message(parent ? parent->window() : nullptr, type, Msg(key), buttons);
}

} // namespace kmp
