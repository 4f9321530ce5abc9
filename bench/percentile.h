// SPDX-License-Identifier: GPL-3.0-or-later
// The nearest-rank percentile the benchmarks print (p in 0..1; values must not be empty).
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

inline double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto last = values.size() - 1;
    return values[std::min(last, static_cast<size_t>(p * static_cast<double>(last) + 0.5))];
}
