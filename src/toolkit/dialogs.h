#pragma once

#include "messagebox.h"

#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>
#include <functional>

namespace kmp {

// What kind of modal thing is being opened.
enum class DialogKind {
    Message,      // message and confirmation boxes (type, buttons)
    Lookup,       // Pesquisa::Pesquisar's list (dialog is a kmp::LookupDialog)
    Preview,      // a report preview
    Print,        // the print dialog
    PrinterSetup, // the printer set-up dialog
    Color,        // the colour chooser of the formatting bar
    Help,         // a help page
    Custom,       // any other dialog a screen opens through exec()
};

QString dialogKindName(DialogKind kind);

// One modal request as a responder sees it.
struct DialogRequest
{
    DialogKind kind = DialogKind::Message;
    MessageType type = MessageType::Information; // messages only
    MessageButtons buttons = MessageButton::Ok;  // messages only
    QString title;
    QString text;
    QWidget *parent = nullptr;
    // The real dialog, built and ready but not shown (null for messages). A responder may
    // drive it (type into it, pick a row) before answering.
    QDialog *dialog = nullptr;
};

// Answers a request instead of a person: a message answer (int(MessageResult::Yes), ...)
// for messages, QDialog::Accepted or QDialog::Rejected for dialogs.
using DialogResponder = std::function<int(DialogRequest &)>;

// A message that was shown (or answered by a responder), for tests and diagnostics.
struct ShownMessage
{
    MessageType type;
    QString title;
    QString text;
    MessageResult answer;
};

// Every modal thing the screens open goes through here. Without a responder it shows the
// real QMessageBox or QDialog; with one installed, the responder answers synchronously,
// so a test never races a dialog with timers.
class Dialogs
{
public:
    static void setResponder(DialogResponder responder);
    static void clearResponder();
    static bool hasResponder();

    // A message or confirmation box. The title defaults to the type's name. Returns the
    // answer.
    static MessageResult message(QWidget *parent, MessageType type, const QString &text,
                                 MessageButtons buttons = MessageButton::Ok, const QString &title = QString());
    static void error(QWidget *parent, const QString &text) { message(parent, MessageType::Error, text); }

    // Runs a prepared dialog modally (or hands it to the responder). Returns the dialog's
    // result code.
    static int exec(DialogKind kind, QDialog *dialog, const QString &title = QString(), const QString &text = QString());

    // Messages shown since the last clear, oldest first.
    static QList<ShownMessage> log();
    static void clearLog();
    static QString titleFor(MessageType type);
};

// Installs a responder for the life of the object and restores the previous one after.
class ScopedResponder
{
public:
    explicit ScopedResponder(DialogResponder responder);
    ~ScopedResponder();
    ScopedResponder(const ScopedResponder &) = delete;
    ScopedResponder &operator=(const ScopedResponder &) = delete;

private:
    DialogResponder m_previous;
    bool m_hadPrevious;
};

} // namespace kmp
