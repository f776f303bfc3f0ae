#pragma once

#include "messagebox.h"

#include <QHash>
#include <QObject>
#include <QStringList>

namespace kmp {

// A keyed table of user texts. Screens never write a user text inline: they name it by
// key here. ShowMsg shows the key's text through the dialog service.
class TMessages : public QObject
{
    Q_OBJECT
public:
    explicit TMessages(QObject *parent = nullptr);
    TMessages(const QString &name, QObject *parent);

    void add(const QString &key, const QString &text); // replaces an existing key
    bool contains(const QString &key) const { return m_texts.contains(key); }
    QStringList keys() const { return m_order; }

    // The key's text; an unknown key gives a text naming the key, so a missing entry shows
    // up on screen instead of an empty box.
    QString Msg(const QString &key) const;

    // Shows the key's text with the given type and buttons; returns the answer.
    kmp::MessageResult ShowMsg(const QString &key, kmp::MessageType type, kmp::MessageButtons buttons, int helpContext = 0) const;

private:
    QHash<QString, QString> m_texts;
    QStringList m_order;
};

} // namespace kmp
