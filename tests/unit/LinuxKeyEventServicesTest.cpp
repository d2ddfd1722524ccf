// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "Core/KeyInjector.hpp"
#include "LinuxKeyPrinters.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <tuple>

using namespace quenlark;
using namespace Qt::StringLiterals;
using fakes::RecordingUinputSystemCalls;

namespace {

using KeyFrame = std::tuple<int, int>; // key code, value

// Services for a session without X, on a recording seam that the test keeps a view of.
struct Harness {
    explicit Harness(int openError = 0,
                     SessionEnvironment environment = {u"wayland"_s, u"wayland-0"_s, {}})
    {
        auto owned = std::make_unique<RecordingUinputSystemCalls>();
        owned->openError = openError;
        calls = owned.get();
        services = std::make_unique<LinuxKeyEventServices>(environment, std::move(owned));
    }

    int opens() const
    {
        int count = 0;
        for (const auto& call : calls->calls)
            count += call.name == "open";
        return count;
    }

    std::vector<KeyFrame> keyFrames() const
    {
        std::vector<KeyFrame> frames;
        for (const auto& written : calls->writes) {
            EXPECT_EQ(written.events.size(), 2u);
            EXPECT_EQ(written.events.back().type, EV_SYN);
            frames.emplace_back(written.events.front().code, written.events.front().value);
        }
        return frames;
    }

    RecordingUinputSystemCalls* calls;
    std::unique_ptr<LinuxKeyEventServices> services;
};

class ForeignEvent : public KeyboardEvent {};

} // namespace

TEST(LinuxKeyEventServicesTest, SessionsWithoutXTestUseTheKeyboardMadeAtStart)
{
    const struct {
        const char* name;
        SessionEnvironment environment;
    } table[] = {
        {"Wayland", {u"wayland"_s, u"wayland-0"_s, ":0"}},
        {"text console", {u"tty"_s, {}, {}}},
    };
    for (const auto& row : table) {
        Harness harness(0, row.environment);
        EXPECT_EQ(harness.services->backend(), KeyBackend::uinput) << row.name;
        EXPECT_EQ(harness.opens(), 1) << row.name << ": made during construction";
        EXPECT_EQ(harness.calls->calls.back().request, UI_DEV_CREATE) << row.name;
        const auto callsAfterStart = harness.calls->calls.size();
        for (int poll = 0; poll < 3; ++poll)
            EXPECT_EQ(harness.services->refreshBackend(), KeyBackend::uinput) << row.name;
        EXPECT_EQ(harness.calls->calls.size(), callsAfterStart) << row.name << ": polls are free";

        KeyInjector::injectArrowKey(*harness.services, SlideCommand::nextSlide);
        KeyInjector::injectArrowKey(*harness.services, SlideCommand::previousSlide);
        EXPECT_EQ(
            harness.keyFrames(),
            (std::vector<KeyFrame>{{KEY_RIGHT, 1}, {KEY_RIGHT, 0}, {KEY_LEFT, 1}, {KEY_LEFT, 0}}))
            << row.name;
        EXPECT_EQ(harness.opens(), 1) << row.name << ": never a device per press";
    }
}

TEST(LinuxKeyEventServicesTest, WithoutAccessNothingIsPostedUntilAccessAppears)
{
    Harness harness(EACCES);
    EXPECT_EQ(harness.services->backend(), KeyBackend::none);
    EXPECT_EQ(harness.services->uinputState(), UinputKeyboard::State::notPermitted);
    EXPECT_EQ(harness.services->createEventSource(1), nullptr);
    KeyInjector::injectArrowKey(*harness.services, SlideCommand::nextSlide);
    EXPECT_TRUE(harness.calls->writes.empty());

    EXPECT_EQ(harness.services->refreshBackend(), KeyBackend::none);
    harness.calls->openError = 0;
    EXPECT_EQ(harness.services->refreshBackend(), KeyBackend::uinput);
    EXPECT_EQ(harness.services->uinputState(), UinputKeyboard::State::ready);
    EXPECT_EQ(harness.services->refreshBackend(), KeyBackend::uinput);
    EXPECT_EQ(harness.opens(), 3) << "one failed open at start, one per poll until it works";

    KeyInjector::injectArrowKey(*harness.services, SlideCommand::previousSlide);
    EXPECT_EQ(harness.keyFrames(), (std::vector<KeyFrame>{{KEY_LEFT, 1}, {KEY_LEFT, 0}}));
}

TEST(LinuxKeyEventServicesTest, OnlyArrowCodesMakeEventsAndThoseWithoutSourceGoToTheBackend)
{
    Harness harness;
    const auto source = harness.services->createEventSource(1);
    ASSERT_NE(source, nullptr);
    for (const std::uint16_t key : {0, 122, 125, 126, 0x7C00, 0xFFFF})
        EXPECT_EQ(harness.services->createKeyboardEvent(source.get(), key, true), nullptr) << key;
    ForeignEvent foreign;
    harness.services->postEvent(0, foreign);
    EXPECT_TRUE(harness.calls->writes.empty());

    const auto down = harness.services->createKeyboardEvent(nullptr, 124, true);
    const auto up = harness.services->createKeyboardEvent(nullptr, 124, false);
    ASSERT_NE(down, nullptr);
    ASSERT_NE(up, nullptr);
    harness.services->postEvent(0, *down);
    harness.services->postEvent(0, *up);
    EXPECT_EQ(harness.keyFrames(), (std::vector<KeyFrame>{{KEY_RIGHT, 1}, {KEY_RIGHT, 0}}));
}
