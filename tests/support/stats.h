#pragma once

#include <algorithm>
#include <vector>

namespace kmp::test {

// The value at fraction p (0..1) of the sorted values, nearest rank; 0 for none.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[i];
}

inline double median(std::vector<double> values)
{
    return percentile(std::move(values), 0.5);
}

} // namespace kmp::test
