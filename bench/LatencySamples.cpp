// SPDX-License-Identifier: MIT
#include "LatencySamples.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quenlark::bench {

namespace {
std::string microseconds(std::chrono::nanoseconds value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f us", static_cast<double>(value.count()) / 1000.0);
    return text;
}
} // namespace

std::chrono::nanoseconds LatencySamples::percentile(double fraction) const
{
    if (samples_.empty())
        return {};
    auto sorted = samples_;
    const auto rank =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    const auto index = std::clamp<std::size_t>(rank, 1, sorted.size()) - 1;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(index),
                     sorted.end());
    return sorted[index];
}

void LatencySamples::printRow(const std::string& name,
                              std::optional<std::chrono::nanoseconds> goal) const
{
    const auto p50 = percentile(0.50);
    const auto p99 = percentile(0.99);
    std::string verdict = "-";
    std::string goalText = "-";
    if (goal) {
        goalText = "p99 <= " + microseconds(*goal);
        verdict = p99 <= *goal ? "met" : "MISSED";
    }
    std::printf("%s\t%zu\t%s\t%s\t%s\t%s\n", name.c_str(), samples_.size(),
                microseconds(p50).c_str(), microseconds(p99).c_str(), goalText.c_str(),
                verdict.c_str());
    std::fflush(stdout);
}

} // namespace quenlark::bench
