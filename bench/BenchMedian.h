// The middle value of a benchmark's samples (the upper one of an even count; 0 for none): the
// figure a summary line reports, which one slow outlier on a shared machine does not move.
#pragma once

#include <algorithm>
#include <vector>

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}
