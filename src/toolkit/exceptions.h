#pragma once

#include "error.h"

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

namespace kmp {

// The exceptions a screen handler raises to end what it is doing. They all derive from
// kmp::Error so that one catch at the event-loop edge sees every failure.

// The silent abort: ends the handler and every caller up to the event loop and shows
// nothing. Used when the user answers anything but Yes, or when a step refuses without
// a message.
class SilentAbort : public kmp::Error
{
public:
    SilentAbort() : kmp::Error(QStringLiteral("Operation aborted")) {}
    using kmp::Error::Error;
};

// Raised by Consiste::MensErro after its error box: the user has already been told, so the
// guarded dispatch ends the operation quietly.
class ValidationError : public kmp::Error
{
public:
    using kmp::Error::Error;
};

// The application server answered a call with an error result.
class ServerError : public kmp::Error
{
public:
    ServerError(int code, const QString &message) : kmp::Error(message), m_code(code) {}
    int code() const { return m_code; }

private:
    int m_code;
};

// The one guarded dispatch at every slot edge. Runs the handler; a silent abort (and a
// validation already shown by MensErro) ends quietly; any other exception shows its
// message in an error box through the dialog service, with context's window as parent.
// Returns true when the handler ran to its end. Never lets an exception out, so the
// screen stays usable whatever the handler did.
bool guarded(QWidget *context, const std::function<void()> &handler);

// The same, for places with no widget at hand.
inline bool guarded(const std::function<void()> &handler)
{
    return guarded(nullptr, handler);
}

// Connects a Qt signal to a handler that runs through the guarded dispatch. The
// connection lives as long as both sender and context. Signal arguments are passed on
// when the handler takes them.
template <typename Sender, typename Signal, typename Handler>
QMetaObject::Connection onEvent(Sender *sender, Signal signal, QWidget *context, Handler handler)
{
    return QObject::connect(sender, signal, context, [context, handler](auto &&...args) {
        guarded(context, [&] {
            if constexpr (std::is_invocable_v<Handler, decltype(args)...>)
                handler(std::forward<decltype(args)>(args)...);
            else
                handler();
        });
    });
}

// Raises the silent abort.
[[noreturn]] void silentAbort();

} // namespace kmp
