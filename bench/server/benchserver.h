#pragma once

// What the server benchmarks share: a kmp-appserver process on an ephemeral port (the
// tests' launcher, ending the benchmark when the server cannot start), a connected
// client, and order statistics.

#include "serverharness.h"
#include "stats.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kmp::bench {

using test::median;
using test::percentile;
using test::request;

class ServerProcess : public test::ServerProcess
{
public:
    explicit ServerProcess(const QString &database, const QStringList &extra = {})
    {
        setQuiet(true);
        setForwardLog(true);
        QString why;
        if (!start(database, extra, &why)) {
            std::fprintf(stderr, "%s\n", qPrintable(why));
            std::exit(1);
        }
    }
};

inline wire::Response callOrDie(wire::Client &c, const wire::Request &r)
{
    wire::Response resp = c.call(r);
    if (!resp.ok) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(r.method), qPrintable(resp.errorMessage));
        std::exit(1);
    }
    return resp;
}

} // namespace kmp::bench
