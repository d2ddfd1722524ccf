// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "Core/KeyInjector.hpp"
#include "Platform/Linux/LinuxAccessibility.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <gtest/gtest.h>

#include <cerrno>

using namespace quenlark;
using namespace Qt::StringLiterals;
using Call = fakes::RecordingUinputSystemCalls::Call;

// A Wayland session where /dev/uinput cannot be written at first, under the trust poll. The
// descriptor a frame goes to tells how many devices were made.
TEST(LinuxKeyEventServicesTest, KeysFlowOnceAccessAppearsAndOnlyWhileTheSessionHasTheSeat)
{
    auto owned = std::make_unique<fakes::RecordingUinputSystemCalls>();
    auto& calls = *owned;
    calls.openError = EACCES;
    LinuxKeyEventServices keys({u"wayland"_s, u"wayland-0"_s, ":0"}, std::move(owned));
    int prompts = 0;
    LinuxAccessibility access(keys, [&prompts] { ++prompts; });

    EXPECT_FALSE(access.isProcessTrusted());
    EXPECT_EQ(prompts, 0) << "the silent query shows nothing";
    EXPECT_FALSE(access.isProcessTrustedWithPrompt());
    EXPECT_EQ(prompts, 1);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_TRUE(calls.frames.empty());

    // The grant lands: the next poll makes the keyboard, and no later poll or press another.
    calls.openError = 0;
    EXPECT_TRUE(access.isProcessTrustedWithPrompt());
    EXPECT_TRUE(access.isProcessTrusted());
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(calls.calls.back(), (Call{"write", 3, 0, 2 * sizeof(input_event)}));

    // Another user switches in: the keyboard goes, so that it feeds nobody else's session.
    keys.setSessionActive(false);
    EXPECT_EQ(calls.calls.back(), (Call{"close", 3, 0, 0}));
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_TRUE(access.isProcessTrusted()) << "nothing to grant";
    keys.setSessionActive(true);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_EQ(calls.frames.size(), 4u);
    EXPECT_EQ(calls.calls.back(), (Call{"write", 4, 0, 2 * sizeof(input_event)}));

    // The device is lost and access with it (the rule was removed): trust ends.
    calls.nextWriteResult = -ENODEV;
    calls.openError = EACCES;
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_FALSE(access.isProcessTrusted());

    for (const std::uint16_t key : {0, 122, 125, 0xFFFF})
        EXPECT_EQ(keys.createKeyboardEvent(nullptr, key, true), nullptr) << "not an arrow: " << key;
}
