// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "Core/KeyInjector.hpp"
#include "Platform/Linux/LinuxAccessibility.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

using namespace quenlark;
using namespace Qt::StringLiterals;

// A Wayland session where /dev/uinput is not writable at first, with the trust poll on top.
TEST(LinuxKeyEventServicesTest, KeysFlowOnceAccessAppearsAndOnlyWhileTheSessionHasTheSeat)
{
    auto owned = std::make_unique<fakes::RecordingUinputSystemCalls>();
    auto& calls = *owned;
    calls.openError = EACCES;
    LinuxKeyEventServices keys({u"wayland"_s, u"wayland-0"_s, ":0"}, std::move(owned));
    int prompts = 0;
    LinuxAccessibility access(keys, [&prompts] { ++prompts; });
    const auto devicesMade = [&calls] {
        return std::count_if(calls.calls.begin(), calls.calls.end(),
                             [](const auto& call) { return std::get<2>(call) == UI_DEV_CREATE; });
    };
    // The key event of each frame written.
    const auto keysWritten = [&calls] {
        std::vector<std::tuple<int, int, int>> written;
        for (const auto& frame : calls.frames)
            written.push_back(frame.front());
        return written;
    };

    EXPECT_FALSE(access.isProcessTrusted());
    EXPECT_EQ(prompts, 0) << "the silent query shows nothing";
    EXPECT_FALSE(access.isProcessTrustedWithPrompt());
    EXPECT_EQ(prompts, 1);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);

    // The grant lands: the next poll makes the keyboard, and no poll or press makes another.
    calls.openError = 0;
    EXPECT_TRUE(access.isProcessTrustedWithPrompt());
    EXPECT_TRUE(access.isProcessTrusted());
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(devicesMade(), 1);

    // Another user switches in: the keyboard goes, so that it feeds nobody else's session.
    keys.setSessionActive(false);
    EXPECT_EQ(std::get<0>(calls.calls.back()), "close");
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_TRUE(access.isProcessTrusted()) << "nothing to grant";
    EXPECT_EQ(devicesMade(), 1);
    keys.setSessionActive(true);
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
    EXPECT_EQ(devicesMade(), 2);
    EXPECT_EQ(keysWritten(), (std::vector<std::tuple<int, int, int>>{{EV_KEY, KEY_RIGHT, 1},
                                                                     {EV_KEY, KEY_RIGHT, 0},
                                                                     {EV_KEY, KEY_LEFT, 1},
                                                                     {EV_KEY, KEY_LEFT, 0},
                                                                     {EV_KEY, KEY_LEFT, 1},
                                                                     {EV_KEY, KEY_LEFT, 0}}));

    // The device is lost and access with it (the rule was removed): trust ends.
    calls.writeResults.push_back(-ENODEV);
    calls.openError = EACCES;
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_FALSE(access.isProcessTrusted());

    for (const std::uint16_t key : {0, 122, 125, 0xFFFF})
        EXPECT_EQ(keys.createKeyboardEvent(nullptr, key, true), nullptr) << "not an arrow: " << key;
}
