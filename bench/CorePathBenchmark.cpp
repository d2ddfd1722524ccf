// SPDX-License-Identifier: MIT
// Core path: one clicker notification handed to the link until both key events are posted, with
// the link wired to the key injector as the view model wires it. Each packet is timed on its own.
//
//   quenlark_bench_core_path [packets]            prints result rows for scripts/bench
//   quenlark_bench_core_path --count-only packets delivers packets untimed (for callgrind)

#include "Core/BLECentralManager.hpp"
#include "Core/KeyInjector.hpp"
#include "FakePlatform.hpp"
#include "LatencySamples.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace quenlark;
using namespace quenlark::fakes;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t defaultPackets = 100'000;
constexpr std::size_t warmUpPackets = 1'000;
constexpr std::chrono::nanoseconds goal = std::chrono::microseconds(5);

// Kept out of line so that callgrind can count exactly the instructions of one delivery.
[[gnu::noinline]] void deliverPacket(FakePeripheral& clicker, FakeCharacteristic& command,
                                     const QByteArray& packet)
{
    clicker.notify(command, packet);
}

// Every packet is new: commands alternate and the sequence byte never repeats the one before.
std::vector<QByteArray> makePackets(std::size_t count)
{
    std::vector<QByteArray> packets;
    packets.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char bytes[] = {static_cast<char>(1 + i % 2), static_cast<char>(i % 256)};
        packets.emplace_back(bytes, 2);
    }
    return packets;
}

// Both events of every command were posted, down then up, with the command's arrow key.
bool allKeysPosted(const RecordingKeyEventServices& keys, std::size_t packets)
{
    if (keys.posted.size() != 2 * packets)
        return false;
    for (std::size_t i = 0; i < packets; ++i) {
        const std::uint16_t key = i % 2 == 0 ? 124 : 123;
        const auto& down = keys.posted[2 * i];
        const auto& up = keys.posted[2 * i + 1];
        if (down.key != key || up.key != key || !down.down || up.down)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const bool countOnly = argc > 1 && std::strcmp(argv[1], "--count-only") == 0;
    const char* countText = argc > (countOnly ? 2 : 1) ? argv[countOnly ? 2 : 1] : nullptr;
    const std::size_t measured = countText ? std::strtoul(countText, nullptr, 10) : defaultPackets;
    if (measured == 0) {
        std::fprintf(stderr, "usage: %s [--count-only] [packets > 0]\n", argv[0]);
        return 2;
    }
    const std::size_t warmUp = countOnly ? 0 : warmUpPackets;
    const auto packets = makePackets(warmUp + measured);

    FakePlatform platform;
    BLECentralManager link(platform);
    link.onCommandReceived = [&keys = platform.keys](SlideCommand command) {
        KeyInjector::injectArrowKey(keys, command);
    };
    auto clicker = std::make_shared<FakePeripheral>(
        QUuid(QStringLiteral("00000000-0000-0000-0000-a1b2c3d4e5f6")));
    clicker->answersAtOnce = true;
    auto& command = clicker->addClickerLayout();
    platform.central->reportState(CentralState::poweredOn);
    platform.central->discover(clicker);
    platform.central->reportConnected(*clicker);
    if (link.connectionState.value() != ConnectionState::connected ||
        clicker->setNotifyValueCalls.size() != 1) {
        std::fprintf(stderr, "the clicker did not connect and subscribe\n");
        return 1;
    }
    // The recording key services keep every event; room made up front keeps reallocation out of
    // the samples.
    platform.keys.posted.reserve(2 * packets.size());

    bench::LatencySamples samples(measured);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (countOnly || i < warmUp) {
            deliverPacket(*clicker, command, packets[i]);
            continue;
        }
        const auto start = Clock::now();
        deliverPacket(*clicker, command, packets[i]);
        samples.add(Clock::now() - start);
    }
    if (!allKeysPosted(platform.keys, packets.size())) {
        std::fprintf(stderr, "not every packet posted its two key events\n");
        return 1;
    }
    if (countOnly)
        return 0;

    // The floor under every sample: two clock reads with nothing between them.
    bench::LatencySamples clock(measured);
    for (std::size_t i = 0; i < measured; ++i) {
        const auto start = Clock::now();
        clock.add(Clock::now() - start);
    }
    samples.printRow("core path: notification to both key events posted", goal);
    clock.printRow("  clock read floor (empty sample)", std::nullopt);
    return 0;
}
