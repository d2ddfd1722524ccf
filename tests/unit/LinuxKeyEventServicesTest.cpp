// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "Core/KeyInjector.hpp"
#include "LinuxKeyPrinters.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <tuple>

using namespace quenlark;
using namespace Qt::StringLiterals;
using fakes::RecordingUinputSystemCalls;

namespace {

using KeyFrames = std::vector<std::tuple<int, int>>; // key code, value of each frame

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

    long opens() const
    {
        return std::count_if(calls->calls.begin(), calls->calls.end(),
                             [](const auto& call) { return call.name == "open"; });
    }

    KeyFrames keyFrames() const
    {
        KeyFrames frames;
        for (const auto& written : calls->writes)
            frames.emplace_back(written.events.front().code, written.events.front().value);
        return frames;
    }

    RecordingUinputSystemCalls* calls;
    std::unique_ptr<LinuxKeyEventServices> services;
};

class ForeignEvent : public KeyboardEvent {};

} // namespace

TEST(LinuxKeyEventServicesTest, SessionsWithoutXTestUseTheKeyboardMadeAtStart)
{
    for (const SessionEnvironment& environment :
         {SessionEnvironment{u"wayland"_s, u"wayland-0"_s, ":0"},
          SessionEnvironment{u"tty"_s, {}, {}}}) {
        const auto name = environment.xdgSessionType.toStdString();
        Harness harness(0, environment);
        EXPECT_EQ(harness.services->backend(), KeyBackend::uinput) << name;
        EXPECT_EQ(harness.opens(), 1) << name << ": made during construction";
        EXPECT_EQ(harness.services->refreshBackend(), KeyBackend::uinput) << name;

        KeyInjector::injectArrowKey(*harness.services, SlideCommand::nextSlide);
        KeyInjector::injectArrowKey(*harness.services, SlideCommand::previousSlide);
        EXPECT_EQ(harness.keyFrames(),
                  (KeyFrames{{KEY_RIGHT, 1}, {KEY_RIGHT, 0}, {KEY_LEFT, 1}, {KEY_LEFT, 0}}))
            << name;
        EXPECT_EQ(harness.opens(), 1) << name << ": never a device per poll or press";
    }
}

TEST(LinuxKeyEventServicesTest, WithoutAccessNothingIsPostedUntilAccessAppears)
{
    Harness harness(EACCES);
    EXPECT_EQ(harness.services->backend(), KeyBackend::none);
    EXPECT_EQ(harness.services->createEventSource(1), nullptr);
    KeyInjector::injectArrowKey(*harness.services, SlideCommand::nextSlide);
    EXPECT_TRUE(harness.calls->writes.empty());

    harness.calls->openError = 0;
    EXPECT_EQ(harness.services->refreshBackend(), KeyBackend::uinput);
    EXPECT_EQ(harness.services->uinputState(), UinputKeyboard::State::ready);
    KeyInjector::injectArrowKey(*harness.services, SlideCommand::previousSlide);
    EXPECT_EQ(harness.keyFrames(), (KeyFrames{{KEY_LEFT, 1}, {KEY_LEFT, 0}}));
}

TEST(LinuxKeyEventServicesTest, OnlyArrowCodesMakeEventsAndForeignEventsAreIgnored)
{
    Harness harness;
    const auto source = harness.services->createEventSource(1);
    ASSERT_NE(source, nullptr);
    for (const std::uint16_t key : {0, 122, 125, 0x7C00, 0xFFFF})
        EXPECT_EQ(harness.services->createKeyboardEvent(source.get(), key, true), nullptr) << key;
    ForeignEvent foreign;
    harness.services->postEvent(0, foreign);
    EXPECT_TRUE(harness.calls->writes.empty());
}
