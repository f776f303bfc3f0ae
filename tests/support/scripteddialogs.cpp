#include "scripteddialogs.h"

#include "lookupdialog.h"

namespace kmp {

ScriptedDialogs::ScriptedDialogs()
    : m_scope([this](DialogRequest &r) {
          m_seen.append({r.kind, r.type, r.title, r.text});
          if (m_script.isEmpty()) {
              ++m_unexpected;
              return r.kind == DialogKind::Message ? int(r.buttons.testFlag(MessageButton::Cancel) ? MessageResult::Cancel
                                                         : r.buttons.testFlag(MessageButton::No)   ? MessageResult::No
                                                                                                   : MessageResult::Ok)
                                                   : int(QDialog::Rejected);
          }
          DialogResponder next = m_script.takeFirst();
          return next(r);
      })
{
}

ScriptedDialogs::~ScriptedDialogs() = default;

ScriptedDialogs &ScriptedDialogs::then(DialogResponder answer)
{
    m_script.append(std::move(answer));
    return *this;
}

ScriptedDialogs &ScriptedDialogs::thenAnswer(int answer)
{
    return then([answer](DialogRequest &) { return answer; });
}

namespace answers {

DialogResponder yes()
{
    return [](DialogRequest &r) { return r.kind == DialogKind::Message ? int(MessageResult::Yes) : int(QDialog::Accepted); };
}
DialogResponder no()
{
    return [](DialogRequest &r) { return r.kind == DialogKind::Message ? int(MessageResult::No) : int(QDialog::Rejected); };
}
DialogResponder ok()
{
    return [](DialogRequest &r) { return r.kind == DialogKind::Message ? int(MessageResult::Ok) : int(QDialog::Accepted); };
}
DialogResponder cancel()
{
    return [](DialogRequest &r) { return r.kind == DialogKind::Message ? int(MessageResult::Cancel) : int(QDialog::Rejected); };
}
DialogResponder pick(int row, const QString &filter)
{
    return [row, filter](DialogRequest &r) {
        auto *lookup = qobject_cast<LookupDialog *>(r.dialog);
        if (!lookup)
            return int(QDialog::Rejected);
        lookup->setFilterText(filter);
        return lookup->pick(row) ? int(QDialog::Accepted) : int(QDialog::Rejected);
    };
}

} // namespace answers

} // namespace kmp
