#pragma once

#include "error.h"
#include "message.h"

namespace kmp::server {

// A refusal the server sends back as an error response: the wire code tells the kind of
// failure, the message (in the users' language) says what to do about it.
class ServiceError : public kmp::Error
{
public:
    ServiceError(wire::ErrorCode code, const QString &message) : kmp::Error(message), m_code(code) {}

    wire::ErrorCode code() const { return m_code; }

private:
    wire::ErrorCode m_code;
};

} // namespace kmp::server
