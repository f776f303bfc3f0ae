#pragma once

#include "bytebudget.h"
#include "message.h"
#include "methods.h"
#include "store.h"

#include <QByteArray>
#include <QString>
#include <functional>

namespace kmp::server {

class Store;

// The remote module this server offers.
inline const QString ModuleName = protocol::moduleName();
inline const QString ModuleGuid = protocol::moduleGuid();

// Turns one request into one response: checks module, identifier, method and arguments,
// runs the method on the store and wraps the outcome. Every failure becomes an error
// response; nothing thrown by a method leaves handle().
class Dispatcher
{
public:
    // The store is reached through a getter so that a connection can open (or reopen) its
    // database lazily and still answer "unavailable" as an ordinary error response.
    using StoreProvider = std::function<Store &()>;
    explicit Dispatcher(StoreProvider store) : m_store(std::move(store)) {}

    wire::Response handle(const wire::Request &request);

    // Decodes a frame body and handles it. A body that is not a request gets an error
    // response with id 0, since its id cannot be known.
    wire::Response handleBody(const QByteArray &body);

    // Called for each refused request (for the log); must not see patient data, and the
    // messages it receives never carry field values.
    std::function<void(const wire::Request &, const wire::Response &)> onRefused;

    // Who is on the other end, as the audit trail records it: the client key's name
    // ("local" on a server without keys) and the peer's address.
    void setCaller(const QString &clientKey, const QString &address)
    {
        m_caller.clientKey = clientKey;
        m_caller.address = address;
    }

    // Where a save's decoded values are counted while it runs (null: not counted).
    void setBudget(ByteBudget *budget) { m_budget = budget; }

    static QStringList methodNames();

private:
    // A save larger than any screen sends is refused before it is decoded, and what it
    // takes once decoded is taken from the budget for as long as it runs.
    ByteBudget::Reservation admitSave(const wire::Request &request) const;

    StoreProvider m_store;
    AuditContext m_caller;
    ByteBudget *m_budget = nullptr;
};

} // namespace kmp::server
