// SPDX-License-Identifier: MIT
// Drives the clicker link with steps read from the input and checks its rules after every step.
// Input format, front to back, one step after another (missing bytes read as 0):
//   kind byte (LinkStep::Kind, modulo its count), target byte (for a power report the state,
//   modulo 6); notifications then carry a length byte (modulo 8) and that many packet bytes.

#include "LinkHarness.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace quenlark;
using quenlark::harness::LinkHarness;
using quenlark::harness::LinkStep;
using Kind = LinkStep::Kind;

namespace {

constexpr int kindCount = static_cast<int>(Kind::restart) + 1;
constexpr int maxSteps = 4096;

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool atEnd() const { return at_ >= size_; }
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
    QByteArray take(std::size_t count)
    {
        count = std::min(count, size_ - at_);
        QByteArray bytes(reinterpret_cast<const char*>(data_ + at_), static_cast<qsizetype>(count));
        at_ += count;
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

LinkStep readStep(ByteReader& input)
{
    LinkStep step;
    step.kind = static_cast<Kind>(input.next() % kindCount);
    step.target = input.next();
    switch (step.kind) {
    case Kind::powerReport:
        step.state = static_cast<CentralState>(step.target % 6);
        break;
    case Kind::notify:
    case Kind::notifyOtherCharacteristic:
        step.packet = input.take(input.next() % 8);
        break;
    default:
        break;
    }
    return step;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The link's diagnostic lines would drown the fuzzer's own report.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ByteReader input(data, size);
    LinkHarness harness;
    for (int steps = 0; !input.atEnd() && steps < maxSteps; ++steps) {
        if (const auto broken = harness.apply(readStep(input))) {
            std::fprintf(stderr, "link broke at step %d: %s\n", steps + 1, broken->c_str());
            __builtin_trap();
        }
    }
    if (const auto broken = harness.apply(LinkStep{.kind = Kind::restart})) {
        std::fprintf(stderr, "link broke when destroyed: %s\n", broken->c_str());
        __builtin_trap();
    }
    return 0;
}
