#pragma once

#include <QString>

namespace kmp::server {

// How a connection to a TLS server opened, found by peeking at its first bytes without
// taking them off the socket, so that the TLS layer still reads them whole.
enum class Opening {
    Tls,    // a TLS handshake record: go on with TLS
    Plain,  // bytes that are not TLS: a station set up without TLS
    Silent, // nothing within the wait: a plain station waiting for the key challenge
    Closed, // the peer went away (or the socket failed)
};

// Waits at most waitMs for the first bytes on the connected socket descriptor.
Opening peekOpening(qintptr descriptor, int waitMs);

// What a station that did not open with TLS is told, in plain text, before the close.
QString tlsRequiredMessage();

} // namespace kmp::server
