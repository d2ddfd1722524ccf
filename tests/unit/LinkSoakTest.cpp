// SPDX-License-Identifier: MIT
#include "LinkHarness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>

using namespace quenlark;
using quenlark::harness::LinkHarness;
using quenlark::harness::LinkStep;
using Kind = LinkStep::Kind;

namespace {

constexpr int stepCount = 10'000;
constexpr std::uint32_t defaultSeed = 0x51ce'2024;

std::uint32_t soakSeed()
{
    if (const char* text = std::getenv("QUENLARK_SOAK_SEED"))
        return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0));
    return defaultSeed;
}

// Mostly well-formed packets, with repeats of the last sequence byte, short ones and unknown
// command bytes mixed in.
QByteArray randomPacket(std::mt19937& rng, const LinkHarness& harness)
{
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<int> byte(0, 255);
    const int lengthRoll = percent(rng);
    const int length = lengthRoll < 4    ? 0
                       : lengthRoll < 9  ? 1
                       : lengthRoll < 88 ? 2
                                         : 3 + lengthRoll % 3;
    QByteArray packet;
    for (int i = 0; i < length; ++i)
        packet.append(static_cast<char>(byte(rng)));
    if (length >= 2) {
        const int commandRoll = percent(rng);
        if (commandRoll < 80)
            packet[0] = static_cast<char>(commandRoll < 40 ? 1 : 2);
        const auto last = harness.model().lastSequence;
        if (last && percent(rng) < 30)
            packet[1] = static_cast<char>(*last);
    }
    return packet;
}

LinkStep randomStep(std::mt19937& rng, const LinkHarness& harness)
{
    // Relative weights of the step kinds, in the order of LinkStep::Kind.
    static std::discrete_distribution<int> kinds{8, 14, 10, 3, 6, 3, 40, 4, 2, 4, 1, 1};
    std::uniform_int_distribution<std::size_t> any(0, 1023);
    std::uniform_int_distribution<int> percent(0, 99);

    LinkStep step;
    step.kind = static_cast<Kind>(kinds(rng));
    step.target = any(rng);
    switch (step.kind) {
    case Kind::powerReport:
        step.state = percent(rng) < 70 ? CentralState::poweredOn
                                       : static_cast<CentralState>(percent(rng) % 5);
        break;
    case Kind::discover:
        if (const auto remembered = harness.rememberedPeripheral(); remembered && percent(rng) < 50)
            step.target = *remembered;
        break;
    case Kind::notify:
    case Kind::notifyOtherCharacteristic:
    case Kind::notifyError:
        if (harness.model().held >= 0 && percent(rng) < 85)
            step.target = static_cast<std::size_t>(harness.model().held);
        step.packet = randomPacket(rng, harness);
        break;
    default:
        break;
    }
    return step;
}

} // namespace

// Random platform events and packets against the link, checked after every step against an
// independent model of it. Set QUENLARK_SOAK_SEED to replay or vary a run.
TEST(LinkSoakTest, RandomStepsKeepTheLinkInLineWithItsModel)
{
    const std::uint32_t seed = soakSeed();
    std::cout << "LinkSoakTest seed " << seed << " (QUENLARK_SOAK_SEED)" << std::endl;
    RecordProperty("seed", static_cast<int>(seed));
    std::mt19937 rng(seed);

    LinkHarness harness;
    testing::internal::CaptureStdout();
    std::optional<std::string> broken;
    int step = 0;
    for (; step < stepCount && !broken; ++step)
        broken = harness.apply(randomStep(rng, harness));
    if (!broken)
        broken = harness.apply(LinkStep{.kind = Kind::restart});
    const std::string written = testing::internal::GetCapturedStdout();

    ASSERT_FALSE(broken) << "seed " << seed << ", after step " << step << ": " << *broken;
    EXPECT_EQ(written, harness.expectedOutput().toStdString());
    // The run must have exercised the link, not skipped its way through.
    EXPECT_GT(harness.commandsDelivered(), stepCount / 20u);
    EXPECT_LT(harness.stepsSkipped(), stepCount / 2u);
}
