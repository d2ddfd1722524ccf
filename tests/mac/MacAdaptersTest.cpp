// SPDX-License-Identifier: MIT
#include "AppleStandIn.hpp"
#include "Core/KeyInjector.hpp"
#include "Platform/Mac/BundleInfo.hpp"
#include "Platform/Mac/MacAccessibility.hpp"
#include "Platform/Mac/MacKeyEventServices.hpp"

#include <gtest/gtest.h>

using namespace quenlark;

// A fresh HID-state source per command, the key down then up from it, both posted at the HID tap,
// everything released by the end of the command; a missing source or event stops nothing else.
TEST(MacKeyEventServicesTest, EachCommandPostsOnePressAndRelease)
{
    const std::pair<std::vector<std::pair<std::string, int>>, std::string> cases[] = {
        {{},
         "CGEventSourceCreate(1) = source#1; CGEventCreateKeyboardEvent(source#1, 123, true) = "
         "event#2; CGEventCreateKeyboardEvent(source#1, 123, false) = event#3; CGEventPost(0, "
         "event#2); CGEventPost(0, event#3); CGEventSourceCreate(1) = source#4; "
         "CGEventCreateKeyboardEvent(source#4, 124, true) = event#5; "
         "CGEventCreateKeyboardEvent(source#4, 124, false) = event#6; CGEventPost(0, event#5); "
         "CGEventPost(0, event#6); "},
        // No source for the first command, no key-down there, no key-up in the second.
        {{{"CGEventSourceCreate", 1},
          {"CGEventCreateKeyboardEvent", 1},
          {"CGEventCreateKeyboardEvent", 4}},
         "CGEventSourceCreate(1) = NULL; CGEventCreateKeyboardEvent(NULL, 123, true) = NULL; "
         "CGEventCreateKeyboardEvent(NULL, 123, false) = event#1; CGEventPost(0, event#1); "
         "CGEventSourceCreate(1) = source#2; CGEventCreateKeyboardEvent(source#2, 124, true) = "
         "event#3; CGEventCreateKeyboardEvent(source#2, 124, false) = NULL; CGEventPost(0, "
         "event#3); "},
    };
    for (const auto& [failures, calls] : cases) {
        AppleStandIn apple;
        for (const auto& [function, nth] : failures)
            apple.failCall(function, nth);
        MacKeyEventServices services;
        for (const auto command : {SlideCommand::previousSlide, SlideCommand::nextSlide}) {
            KeyInjector::injectArrowKey(services, command);
            EXPECT_EQ(apple.faults(), "");
        }
        EXPECT_EQ(apple.log(false), calls);
    }
}

TEST(MacAccessibilityTest, OnlyThePromptingCheckPassesTheOneEntryPromptOption)
{
    for (const std::string answer : {"false", "true"}) {
        AppleStandIn apple;
        apple.setTrusted(answer == "true");
        MacAccessibility accessibility;
        EXPECT_EQ(accessibility.isProcessTrusted(), answer == "true");
        EXPECT_EQ(apple.log(), "AXIsProcessTrusted() = " + answer + "; ");
        EXPECT_EQ(accessibility.isProcessTrustedWithPrompt(), answer == "true");
        const std::string prompt = "{kAXTrustedCheckOptionPrompt: kCFBooleanTrue}";
        EXPECT_EQ(apple.log(), "AXIsProcessTrusted() = " + answer + "; CFDictionaryCreate(NULL, " +
                                   prompt +
                                   ", kCFTypeDictionaryKeyCallBacks, "
                                   "kCFTypeDictionaryValueCallBacks) = dictionary#1; "
                                   "AXIsProcessTrustedWithOptions(dictionary#1 " +
                                   prompt + ") = " + answer + "; CFRelease(dictionary#1); ");
        EXPECT_EQ(apple.faults(), "");
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
        EXPECT_EQ(apple.faults(), "");
    }
}
