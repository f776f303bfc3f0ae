#pragma once

#include <QKeyCombination>
#include <QObject>
#include <QString>
#include <functional>

namespace kmp {

// A command with a keyboard shortcut, run by the key dispatcher when its key is pressed
// in the form that owns its list.
class Action : public QObject
{
    Q_OBJECT
public:
    explicit Action(const QString &name, QObject *parent = nullptr);

    QString name() const { return objectName(); }
    void setCaption(const QString &caption) { m_caption = caption; }
    QString caption() const { return m_caption; }

    void setShortcut(QKeyCombination key);
    QKeyCombination shortcut() const { return m_shortcut; }

    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }

    std::function<void()> OnExecute;

    // Runs OnExecute through the guarded dispatch; false when it raised (or nothing is set).
    bool execute();

private:
    QString m_caption;
    QKeyCombination m_shortcut;
    bool m_enabled = true;
};

} // namespace kmp
