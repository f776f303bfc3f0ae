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
    int flag;
    QMessageBox::StandardButton qt;
    int answer;
} kButtons[] = {
    {mbYes, QMessageBox::Yes, mrYes},         {mbNo, QMessageBox::No, mrNo},
    {mbOK, QMessageBox::Ok, mrOk},            {mbCancel, QMessageBox::Cancel, mrCancel},
    {mbAbort, QMessageBox::Abort, mrAbort},   {mbRetry, QMessageBox::Retry, mrRetry},
    {mbIgnore, QMessageBox::Ignore, mrIgnore}, {mbAll, QMessageBox::YesToAll, mrAll},
};

int showMessageBox(QWidget *parent, TMsgDlgType type, const QString &title, const QString &text,
                   TMsgDlgButtons buttons)
{
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    switch (type) {
    case mtWarning: box.setIcon(QMessageBox::Warning); break;
    case mtError: box.setIcon(QMessageBox::Critical); break;
    case mtInformation: box.setIcon(QMessageBox::Information); break;
    case mtConfirmation: box.setIcon(QMessageBox::Question); break;
    case mtCustom: break;
    }
    QMessageBox::StandardButtons qtButtons;
    for (const auto &b : kButtons)
        if (buttons & b.flag)
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
    if (buttons & mbNo)
        box.setDefaultButton(QMessageBox::No); // a stray Enter must not confirm a deletion
    const int r = box.exec();
    for (const auto &b : kButtons)
        if (r == b.qt)
            return b.answer;
    return (buttons & mbCancel) ? mrCancel : (buttons & mbNo) ? mrNo : mrOk;
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

void Dialogs::setResponder(DialogResponder responder) { state().responder = std::move(responder); }
void Dialogs::clearResponder() { state().responder = nullptr; }
bool Dialogs::hasResponder() { return bool(state().responder); }

QString Dialogs::titleFor(TMsgDlgType type)
{
    switch (type) {
    case mtWarning: return QStringLiteral("Atenção");
    case mtError: return QStringLiteral("Erro");
    case mtInformation: return QStringLiteral("Informação");
    case mtConfirmation: return QStringLiteral("Confirmação");
    case mtCustom: break;
    }
    return QApplication::applicationDisplayName();
}

int Dialogs::message(QWidget *parent, TMsgDlgType type, const QString &text, TMsgDlgButtons buttons,
                     const QString &title)
{
    const QString shownTitle = title.isEmpty() ? titleFor(type) : title;
    InputDiscardPause answering; // a box raised during a server call must take its answer
    int answer;
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
        answer = responder(request);
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

QList<ShownMessage> Dialogs::log() { return state().log; }
void Dialogs::clearLog() { state().log.clear(); }

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
