#pragma once

#include <QString>
#include <stdexcept>

namespace kmp {

// The root of every failure this system raises. It carries the text meant for the
// person at the screen; what() gives the same text in UTF-8 for logs.
class Error : public std::runtime_error
{
public:
    explicit Error(const QString &message) : std::runtime_error(message.toStdString()), m_message(message) {}

    QString userMessage() const { return m_message; }

private:
    QString m_message;
};

// Raised by record sets for misuse (editing a closed set, an unknown field, a value
// that does not fit its field) so that callers can tell data errors from others.
class DataSetError : public Error
{
public:
    using Error::Error;
};

// Raised when a data packet or delta cannot be decoded.
class PacketError : public Error
{
public:
    using Error::Error;
};

} // namespace kmp
