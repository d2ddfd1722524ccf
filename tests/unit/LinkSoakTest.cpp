// SPDX-License-Identifier: MIT
#include "LinkHarness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>

using quenlark::harness::LinkHarness;
using quenlark::harness::LinkStep;
using Kind = LinkStep::Kind;

namespace {

constexpr int stepCount = 10'000;

// Mostly clicker packets, a third of them repeating the last sequence byte; some short ones and
// unknown command bytes.
QByteArray randomPacket(std::mt19937& rng, const LinkHarness& harness)
{
    std::uniform_int_distribution<int> percent(0, 99);
    const int roll = percent(rng);
    QByteArray packet(roll < 5 ? roll % 2 : 2 + roll % 3, '\0');
    for (char& byte : packet)
        byte = static_cast<char>(percent(rng) * 5 / 2);
    if (packet.size() >= 2) {
        if (percent(rng) < 80)
            packet[0] = static_cast<char>(1 + percent(rng) % 2);
        if (const auto last = harness.lastSequenceSent(); last && percent(rng) < 30)
            packet[1] = static_cast<char>(*last);
    }
    return packet;
}

LinkStep randomStep(std::mt19937& rng, const LinkHarness& harness)
{
    // Relative weights of the step kinds, in the order of LinkStep::Kind.
    static std::discrete_distribution<int> kinds{8, 14, 10, 3, 6, 3, 44, 4, 1};
    std::uniform_int_distribution<int> percent(0, 99);
    LinkStep step{.kind = static_cast<Kind>(kinds(rng)),
                  .state = percent(rng) < 70
                               ? quenlark::CentralState::poweredOn
                               : static_cast<quenlark::CentralState>(percent(rng) % 5),
                  .target = static_cast<std::size_t>(percent(rng))};
    if (step.kind == Kind::notify || step.kind == Kind::notifyOtherCharacteristic) {
        if (const auto connected = harness.connectedPeripheral(); connected && percent(rng) < 85)
            step.target = *connected;
        step.packet = randomPacket(rng, harness);
    }
    return step;
}

} // namespace

// Random platform events and packets against the link. Set QUENLARK_SOAK_SEED to replay or vary
// a run.
TEST(LinkSoakTest, RandomStepsKeepTheLinksRules)
{
    const char* seedText = std::getenv("QUENLARK_SOAK_SEED");
    const auto seed = seedText ? static_cast<std::uint32_t>(std::strtoul(seedText, nullptr, 0))
                               : std::uint32_t{0x51ce'2024};
    std::cout << "LinkSoakTest seed " << seed << " (QUENLARK_SOAK_SEED)" << std::endl;
    std::mt19937 rng(seed);

    LinkHarness harness;
    // The diagnostic lines of the clicker without the service are not looked at here.
    testing::internal::CaptureStdout();
    std::optional<std::string> broken;
    int step = 0;
    for (; step < stepCount && !broken; ++step)
        broken = harness.apply(randomStep(rng, harness));
    testing::internal::GetCapturedStdout();

    ASSERT_FALSE(broken) << "seed " << seed << ", after step " << step << ": " << *broken;
    // The run must have exercised the link, not skipped its way through.
    EXPECT_GT(harness.commandsDelivered(), stepCount / 20u);
    EXPECT_LT(harness.stepsSkipped(), stepCount / 2u);
}
