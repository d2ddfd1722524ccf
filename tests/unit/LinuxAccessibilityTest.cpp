// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxAccessibility.hpp"
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <gtest/gtest.h>

#include <cerrno>

using namespace quenlark;
using namespace Qt::StringLiterals;
using fakes::RecordingUinputSystemCalls;

TEST(LinuxAccessibilityTest, OnlyThePromptingQueryOfAnUntrustedSessionAsksAndALostDeviceEndsTrust)
{
    for (const int error : {0, EACCES, EPERM, ENOENT, ENODEV}) {
        auto owned = std::make_unique<RecordingUinputSystemCalls>();
        owned->openError = error;
        auto* calls = owned.get();
        LinuxKeyEventServices keys(SessionEnvironment{u"wayland"_s, u"wayland-0"_s, {}},
                                   std::move(owned));
        int prompts = 0;
        LinuxAccessibility access(keys, [&prompts] { ++prompts; });
        EXPECT_EQ(access.isProcessTrusted(), error == 0) << error;
        EXPECT_EQ(prompts, 0) << error << ": the silent query never shows anything";
        EXPECT_EQ(access.isProcessTrustedWithPrompt(), error == 0) << error;
        EXPECT_EQ(prompts, error == 0 ? 0 : 1) << error;
        if (error != 0)
            continue;
        calls->writeResults.push_back(-ENODEV);
        calls->openError = EACCES;
        keys.postEvent(0, *keys.createKeyboardEvent(nullptr, 123, true));
        EXPECT_FALSE(access.isProcessTrusted()) << "the lost device could not be made again";
    }
}
