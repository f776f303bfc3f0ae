#include "tlsprobe.h"

#include <QElapsedTimer>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace kmp::server {

QString tlsRequiredMessage()
{
    return QStringLiteral("Este servidor de aplicação exige conexão segura (TLS). Configure nesta estação a "
                          "conexão TLS com o certificado da autoridade (CA) do servidor.");
}

Opening peekOpening(qintptr descriptor, int waitMs)
{
    const int fd = int(descriptor);
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const int left = waitMs - int(timer.elapsed());
        if (left <= 0)
            return Opening::Silent;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, left);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Opening::Closed;
        }
        if (ready == 0)
            return Opening::Silent;
        unsigned char first[2] = {0, 0};
        const ssize_t n = ::recv(fd, first, sizeof first, MSG_PEEK);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return Opening::Closed;
        // Record type 22 (handshake), protocol major version 3: every TLS client opens so.
        if (first[0] != 0x16 || (n > 1 && first[1] != 0x03))
            return Opening::Plain;
        return Opening::Tls;
    }
}

} // namespace kmp::server
