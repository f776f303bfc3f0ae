#pragma once

namespace kmp::server {

// Raises the calling thread's scheduling priority by a few steps (a lower nice value,
// relative to the one it has) for as long as it lives, and gives the old one back at the
// end; on the thread that created it only. Where the system does not allow raising (an
// unprivileged user without CAP_SYS_NICE, or another system than Linux) it does nothing,
// which leaves the thread correct, only less favoured when the processors are busy.
class RaisedPriority
{
public:
    explicit RaisedPriority(int steps);
    ~RaisedPriority();
    RaisedPriority(const RaisedPriority &) = delete;
    RaisedPriority &operator=(const RaisedPriority &) = delete;

    bool raised() const { return m_raised; }
    // The steps the database pool's writer runs above the client threads: enough to be
    // scheduled first when a save is queued behind reads, not so many that a flood of
    // saves could starve the reads.
    static constexpr int SaveSteps = 5;

private:
    int m_before = 0;
    bool m_raised = false;
};

} // namespace kmp::server
