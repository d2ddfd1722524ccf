// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxAccessibility.hpp"
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <gtest/gtest.h>

#include <cerrno>

using namespace quenlark;
using namespace Qt::StringLiterals;
using fakes::RecordingUinputSystemCalls;

namespace {

class LinuxAccessibilityTest : public testing::Test {
protected:
    void start(int openError)
    {
        auto owned = std::make_unique<RecordingUinputSystemCalls>();
        owned->openError = openError;
        calls = owned.get();
        keys = std::make_unique<LinuxKeyEventServices>(
            SessionEnvironment{u"wayland"_s, u"wayland-0"_s, {}}, std::move(owned));
        access = std::make_unique<LinuxAccessibility>(*keys, [this] { ++prompts; });
    }

    RecordingUinputSystemCalls* calls = nullptr;
    std::unique_ptr<LinuxKeyEventServices> keys;
    std::unique_ptr<LinuxAccessibility> access;
    int prompts = 0;
};

} // namespace

TEST_F(LinuxAccessibilityTest, TrustedSessionsAreNeverAsked)
{
    start(0);
    EXPECT_TRUE(access->isProcessTrusted());
    EXPECT_TRUE(access->isProcessTrustedWithPrompt());
    EXPECT_EQ(prompts, 0);
}

TEST_F(LinuxAccessibilityTest, OnlyThePromptingQueryAsks)
{
    for (const int error : {EACCES, EPERM, ENOENT, ENODEV}) {
        start(error);
        EXPECT_FALSE(access->isProcessTrusted()) << error;
        EXPECT_FALSE(access->isProcessTrusted()) << error;
        EXPECT_EQ(prompts, 0) << error << ": the silent query never shows anything";
        EXPECT_FALSE(access->isProcessTrustedWithPrompt()) << error;
        EXPECT_EQ(prompts, 1) << error;
        prompts = 0;
    }
}

TEST_F(LinuxAccessibilityTest, ALostDeviceThatCannotBeRemadeEndsTrust)
{
    start(0);
    EXPECT_TRUE(access->isProcessTrusted());
    calls->writeResults.push_back(-ENODEV);
    calls->openError = EACCES;
    keys->postEvent(0, *keys->createKeyboardEvent(nullptr, 123, true));
    EXPECT_FALSE(access->isProcessTrusted());
}
