#include "threadpriority.h"

#include <algorithm>
#include <cerrno>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace kmp::server {

namespace {

#ifdef __linux__
// On Linux the nice value belongs to each thread, named by its kernel id.
id_t threadId()
{
    return id_t(syscall(SYS_gettid));
}
#endif

} // namespace

RaisedPriority::RaisedPriority(int steps)
{
#ifdef __linux__
    errno = 0;
    m_before = getpriority(PRIO_PROCESS, threadId());
    if (errno != 0 || steps <= 0)
        return;
    const int wanted = std::max(m_before - steps, -20);
    m_raised = wanted < m_before && setpriority(PRIO_PROCESS, threadId(), wanted) == 0;
#else
    (void)steps;
#endif
}

RaisedPriority::~RaisedPriority()
{
#ifdef __linux__
    if (m_raised)
        setpriority(PRIO_PROCESS, threadId(), m_before);
#endif
}

} // namespace kmp::server
