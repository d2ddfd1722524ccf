// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quenlark::bench {

// Per-sample latencies of one benchmark and the row it prints for scripts/bench: tab-separated
// name, samples, p50, p99, goal and verdict.
class LatencySamples {
public:
    explicit LatencySamples(std::size_t expected) { samples_.reserve(expected); }

    void add(std::chrono::nanoseconds sample) { samples_.push_back(sample); }
    std::size_t size() const { return samples_.size(); }

    // Nearest-rank percentile, `fraction` in (0, 1].
    std::chrono::nanoseconds percentile(double fraction) const;

    // Prints the row; a benchmark without a goal passes std::nullopt.
    void printRow(const std::string& name, std::optional<std::chrono::nanoseconds> goal) const;

private:
    std::vector<std::chrono::nanoseconds> samples_;
};

} // namespace quenlark::bench
