// Compiled, never run: with KMP_PROBE_SWAPPED it passes a branch where GetHistGer takes the
// patient, which must not compile; without it, the same call in the right order must.

#include "methods.h"

namespace p = kmp::protocol;

QCborArray probeHistoryCall(const QString &patient, const QString &branch, double day)
{
#ifdef KMP_PROBE_SWAPPED
    return p::encodeArgs<p::GetHistGer>(p::Branch{branch}, p::Patient{patient}, p::ConsultationDate{day});
#else
    return p::encodeArgs<p::GetHistGer>(p::Patient{patient}, p::Branch{branch}, p::ConsultationDate{day});
#endif
}
