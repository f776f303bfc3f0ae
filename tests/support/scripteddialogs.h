#pragma once

#include "dialogs.h"

#include <QList>
#include <QString>

namespace kmp {

// A responder that answers requests in order from a script and records every request it
// saw; a request beyond the script is answered with Cancel (or No, Ok) / Rejected and counted as
// unexpected, so a test can tell that a dialog it did not plan for came up.
class ScriptedDialogs
{
public:
    ScriptedDialogs();
    ~ScriptedDialogs();
    ScriptedDialogs(const ScriptedDialogs &) = delete;
    ScriptedDialogs &operator=(const ScriptedDialogs &) = delete;

    ScriptedDialogs &then(DialogResponder answer);
    ScriptedDialogs &thenAnswer(int answer); // a fixed dialog result: Accepted, Rejected
    ScriptedDialogs &thenAnswer(MessageResult answer) { return thenAnswer(int(answer)); }

    struct Seen
    {
        DialogKind kind;
        MessageType type;
        QString title;
        QString text;
    };
    const QList<Seen> &seen() const { return m_seen; }
    int pending() const { return int(m_script.size()); }
    int unexpected() const { return m_unexpected; }

private:
    QList<DialogResponder> m_script;
    QList<Seen> m_seen;
    int m_unexpected = 0;
    ScopedResponder m_scope;
};

// Ready-made answers.
namespace answers {
DialogResponder yes();
DialogResponder no();
DialogResponder ok();
DialogResponder cancel();
// For the lookup: types filter into its search box, then picks row of the filtered list
// (0 is the first shown). A row out of range cancels.
DialogResponder pick(int row, const QString &filter = QString());
} // namespace answers

} // namespace kmp
