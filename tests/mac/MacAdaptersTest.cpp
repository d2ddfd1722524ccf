// SPDX-License-Identifier: MIT
#include "Core/KeyInjector.hpp"
#include "Platform/Mac/BundleInfo.hpp"
#include "Platform/Mac/MacAccessibility.hpp"
#include "Platform/Mac/MacKeyEventServices.hpp"

#include "AppleStandIn.hpp"

#include <ApplicationServices/ApplicationServices.h>

#include <gtest/gtest.h>

using namespace quenlark;
using Log = std::vector<std::string>;

namespace {

struct KeyCase {
    std::vector<SlideCommand> commands;
    const char* failing; // this Create function's nth call fails
    int nth;
    Log calls;
};

const auto next = SlideCommand::nextSlide;
const auto previous = SlideCommand::previousSlide;
const KeyCase keyCases[] = {
    {{next},
     nullptr,
     0,
     {"CGEventSourceCreate(1) = source#1",
      "CGEventCreateKeyboardEvent(source#1, 124, true) = event#2",
      "CGEventCreateKeyboardEvent(source#1, 124, false) = event#3", "CGEventPost(0, event#2)",
      "CGEventPost(0, event#3)"}},
    {{previous, next},
     nullptr,
     0,
     {"CGEventSourceCreate(1) = source#1",
      "CGEventCreateKeyboardEvent(source#1, 123, true) = event#2",
      "CGEventCreateKeyboardEvent(source#1, 123, false) = event#3", "CGEventPost(0, event#2)",
      "CGEventPost(0, event#3)", "CGEventSourceCreate(1) = source#4",
      "CGEventCreateKeyboardEvent(source#4, 124, true) = event#5",
      "CGEventCreateKeyboardEvent(source#4, 124, false) = event#6", "CGEventPost(0, event#5)",
      "CGEventPost(0, event#6)"}},
    {{next},
     "CGEventSourceCreate",
     1,
     {"CGEventSourceCreate(1) = NULL", "CGEventCreateKeyboardEvent(NULL, 124, true) = event#1",
      "CGEventCreateKeyboardEvent(NULL, 124, false) = event#2", "CGEventPost(0, event#1)",
      "CGEventPost(0, event#2)"}},
    {{previous},
     "CGEventCreateKeyboardEvent",
     1,
     {"CGEventSourceCreate(1) = source#1", "CGEventCreateKeyboardEvent(source#1, 123, true) = NULL",
      "CGEventCreateKeyboardEvent(source#1, 123, false) = event#2", "CGEventPost(0, event#2)"}},
    {{next},
     "CGEventCreateKeyboardEvent",
     2,
     {"CGEventSourceCreate(1) = source#1",
      "CGEventCreateKeyboardEvent(source#1, 124, true) = event#2",
      "CGEventCreateKeyboardEvent(source#1, 124, false) = NULL", "CGEventPost(0, event#2)"}},
};

} // namespace

// A fresh HID-state source per command, the key down then up from it, posted at the HID tap, and
// everything released by the end of the command; a missing source or event stops nothing else.
TEST(MacKeyEventServicesTest, EachCommandPostsOnePressAndRelease)
{
    for (const auto& keyCase : keyCases) {
        AppleStandIn apple;
        if (keyCase.failing)
            apple.failCall(keyCase.failing, keyCase.nth);
        MacKeyEventServices services;
        for (const auto command : keyCase.commands) {
            KeyInjector::injectArrowKey(services, command);
            EXPECT_EQ(apple.alive(), 0);
        }
        EXPECT_EQ(apple.log(false), keyCase.calls);
        EXPECT_EQ(apple.faults(), Log{});
    }
}

TEST(MacAccessibilityTest, OnlyThePromptingCheckPassesTheOneEntryPromptOption)
{
    for (const bool trusted : {false, true}) {
        AppleStandIn apple;
        apple.setTrusted(trusted);
        MacAccessibility accessibility;
        const std::string answer = trusted ? "true" : "false";
        EXPECT_EQ(accessibility.isProcessTrusted(), trusted);
        EXPECT_EQ(apple.log(), Log{"AXIsProcessTrusted() = " + answer});
        EXPECT_EQ(accessibility.isProcessTrustedWithPrompt(), trusted);
        EXPECT_EQ(apple.log(), (Log{"AXIsProcessTrusted() = " + answer,
                                    "CFDictionaryCreate(NULL, {kAXTrustedCheckOptionPrompt: "
                                    "kCFBooleanTrue}, kCFTypeDictionaryKeyCallBacks, "
                                    "kCFTypeDictionaryValueCallBacks) = dictionary#1",
                                    "AXIsProcessTrustedWithOptions(dictionary#1) = " + answer,
                                    "CFRelease(dictionary#1)"}));
        const AppleStandIn::Entries prompt{{kAXTrustedCheckOptionPrompt, kCFBooleanTrue}};
        EXPECT_EQ(apple.promptOptions(), std::vector<AppleStandIn::Entries>{prompt});
        EXPECT_EQ(apple.faults(), Log{});
    }
}

TEST(MacBundleInfoTest, ShortVersionIsTheMainBundlesTextAndNothingElse)
{
    using Info = AppleStandIn::Info;
    const std::pair<std::optional<Info>, std::optional<QString>> cases[] = {
        {Info{{"CFBundleShortVersionString", u"2.10 β"}}, QStringLiteral("2.10 β")},
        {Info{{"CFBundleShortVersionString", u""}}, QString()},
        {std::nullopt, std::nullopt},
        {Info{{"CFBundleVersion", u"7"}}, std::nullopt},
        {Info{{"CFBundleShortVersionString", 2.1}}, std::nullopt},
    };
    for (const auto& [bundle, version] : cases) {
        AppleStandIn apple;
        apple.setMainBundle(bundle);
        EXPECT_EQ(BundleInfo::shortVersion(), version);
        EXPECT_EQ(apple.alive(), 0);
        EXPECT_EQ(apple.faults(), Log{});
    }
}
