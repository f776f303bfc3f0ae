#include "dialogs.h"

#include "showavi.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace kmp {

namespace {

struct DialogState
{
    DialogResponder responder;
    QList<ShownMessage> log;
};

DialogState &state()
{
    static DialogState s;
    return s;
}

// Answers in the traditional numbering, in the order the buttons are offered.
const struct
{
    MessageButton flag;
    QMessageBox::StandardButton qt;
    MessageResult answer;
} kButtons[] = {
    {MessageButton::Yes, QMessageBox::Yes, MessageResult::Yes},
    {MessageButton::No, QMessageBox::No, MessageResult::No},
    {MessageButton::Ok, QMessageBox::Ok, MessageResult::Ok},
    {MessageButton::Cancel, QMessageBox::Cancel, MessageResult::Cancel},
    {MessageButton::Abort, QMessageBox::Abort, MessageResult::Abort},
    {MessageButton::Retry, QMessageBox::Retry, MessageResult::Retry},
    {MessageButton::Ignore, QMessageBox::Ignore, MessageResult::Ignore},
    {MessageButton::All, QMessageBox::YesToAll, MessageResult::All},
};

// What closing a box without pressing a button means: the most cautious answer offered.
MessageResult dismissedAnswer(MessageButtons buttons)
{
    return buttons.testFlag(MessageButton::Cancel) ? MessageResult::Cancel
           : buttons.testFlag(MessageButton::No)   ? MessageResult::No
                                                   : MessageResult::Ok;
}

MessageResult showMessageBox(QWidget *parent, MessageType type, const QString &title, const QString &text, MessageButtons buttons)
{
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    switch (type) {
    case MessageType::Warning: box.setIcon(QMessageBox::Warning); break;
    case MessageType::Error: box.setIcon(QMessageBox::Critical); break;
    case MessageType::Information: box.setIcon(QMessageBox::Information); break;
    case MessageType::Confirmation: box.setIcon(QMessageBox::Question); break;
    case MessageType::Custom: break;
    }
    QMessageBox::StandardButtons qtButtons;
    for (const auto &b : kButtons)
        if (buttons.testFlag(b.flag))
            qtButtons |= b.qt;
    if (!qtButtons)
        qtButtons = QMessageBox::Ok;
    box.setStandardButtons(qtButtons);
    // Portuguese captions: the screens' users read no other language.
    if (auto *b = box.button(QMessageBox::Yes))
        b->setText(QStringLiteral("&Sim"));
    if (auto *b = box.button(QMessageBox::No))
        b->setText(QStringLiteral("&Não"));
    if (auto *b = box.button(QMessageBox::Cancel))
        b->setText(QStringLiteral("Cancelar"));
    if (buttons.testFlag(MessageButton::No))
        box.setDefaultButton(QMessageBox::No); // a stray Enter must not confirm a deletion
    const int r = box.exec();
    for (const auto &b : kButtons)
        if (r == b.qt)
            return b.answer;
    return dismissedAnswer(buttons);
}

} // namespace

QString dialogKindName(DialogKind kind)
{
    switch (kind) {
    case DialogKind::Message: return QStringLiteral("message");
    case DialogKind::Lookup: return QStringLiteral("lookup");
    case DialogKind::Preview: return QStringLiteral("preview");
    case DialogKind::Print: return QStringLiteral("print");
    case DialogKind::PrinterSetup: return QStringLiteral("printer-setup");
    case DialogKind::Color: return QStringLiteral("color");
    case DialogKind::Help: return QStringLiteral("help");
    case DialogKind::Custom: return QStringLiteral("custom");
    }
    return QString();
}

void Dialogs::setResponder(DialogResponder responder)
{
    state().responder = std::move(responder);
}
void Dialogs::clearResponder()
{
    state().responder = nullptr;
}
bool Dialogs::hasResponder()
{
    return bool(state().responder);
}

QString Dialogs::titleFor(MessageType type)
{
    switch (type) {
    case MessageType::Warning: return QStringLiteral("Atenção");
    case MessageType::Error: return QStringLiteral("Erro");
    case MessageType::Information: return QStringLiteral("Informação");
    case MessageType::Confirmation: return QStringLiteral("Confirmação");
    case MessageType::Custom: break;
    }
    return QApplication::applicationDisplayName();
}

MessageResult Dialogs::message(QWidget *parent, MessageType type, const QString &text, MessageButtons buttons,
                               const QString &title)
{
    const QString shownTitle = title.isEmpty() ? titleFor(type) : title;
    InputDiscardPause answering; // a box raised during a server call must take its answer
    MessageResult answer;
    if (state().responder) {
        DialogRequest request;
        request.kind = DialogKind::Message;
        request.type = type;
        request.buttons = buttons;
        request.title = shownTitle;
        request.text = text;
        request.parent = parent;
        // Copy: the responder may replace itself while answering.
        DialogResponder responder = state().responder;
        answer = MessageResult(responder(request));
    } else {
        answer = showMessageBox(parent, type, shownTitle, text, buttons);
    }
    state().log.append({type, shownTitle, text, answer});
    return answer;
}

int Dialogs::exec(DialogKind kind, QDialog *dialog, const QString &title, const QString &text)
{
    InputDiscardPause answering;
    if (state().responder) {
        DialogRequest request;
        request.kind = kind;
        request.title = title.isEmpty() && dialog ? dialog->windowTitle() : title;
        request.text = text;
        request.parent = dialog ? dialog->parentWidget() : nullptr;
        request.dialog = dialog;
        DialogResponder responder = state().responder;
        const int r = responder(request);
        if (dialog && dialog->result() != r)
            dialog->setResult(r);
        return r;
    }
    return dialog ? dialog->exec() : QDialog::Rejected;
}

QList<ShownMessage> Dialogs::log()
{
    return state().log;
}
void Dialogs::clearLog()
{
    state().log.clear();
}

ScopedResponder::ScopedResponder(DialogResponder responder)
    : m_previous(state().responder), m_hadPrevious(bool(state().responder))
{
    state().responder = std::move(responder);
}

ScopedResponder::~ScopedResponder()
{
    state().responder = m_hadPrevious ? m_previous : nullptr;
}

} // namespace kmp
