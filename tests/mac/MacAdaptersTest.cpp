// SPDX-License-Identifier: MIT
#include "AppleStandIn.hpp"
#include "Core/KeyInjector.hpp"
#include "Platform/Mac/BundleInfo.hpp"
#include "Platform/Mac/MacAccessibility.hpp"
#include "Platform/Mac/MacKeyEventServices.hpp"

#include <gtest/gtest.h>

using namespace quenlark;

// Per command a fresh HID-state source, key down then up at the HID tap; failures stop nothing.
TEST(MacKeyEventServicesTest, EachCommandPostsOnePressAndRelease)
{
    AppleStandIn apple;
    apple.failCalls("CGEventCreateKeyboardEvent", {3, 6});
    apple.failCalls("CGEventSourceCreate", {3});
    MacKeyEventServices services;
    for (const auto command :
         {SlideCommand::previousSlide, SlideCommand::nextSlide, SlideCommand::nextSlide}) {
        KeyInjector::injectArrowKey(services, command);
        EXPECT_EQ(apple.faults(), "");
    }
    EXPECT_EQ(apple.log(false),
              "CGEventSourceCreate(1) = s1; CGEventCreateKeyboardEvent(s1, 123, true) = e2; "
              "CGEventCreateKeyboardEvent(s1, 123, false) = e3; CGEventPost(0, e2); "
              "CGEventPost(0, e3); CGEventSourceCreate(1) = s4; "
              "CGEventCreateKeyboardEvent(s4, 124, true) = NULL; "
              "CGEventCreateKeyboardEvent(s4, 124, false) = e5; CGEventPost(0, e5); "
              "CGEventSourceCreate(1) = NULL; CGEventCreateKeyboardEvent(NULL, 124, true) = e6; "
              "CGEventCreateKeyboardEvent(NULL, 124, false) = NULL; CGEventPost(0, e6); ");
}

TEST(MacAccessibilityTest, OnlyThePromptingCheckPassesThePromptOptionAndReleasesIt)
{
    for (const std::string answer : {"false", "true"}) {
        AppleStandIn apple;
        apple.setTrusted(answer == "true");
        EXPECT_EQ(MacAccessibility().isProcessTrusted(), answer == "true");
        EXPECT_EQ(MacAccessibility().isProcessTrustedWithPrompt(), answer == "true");
        const std::string prompt = "; CFDictionaryCreate(NULL, 1, kCFTypeDictionaryKeyCallBacks, "
                                   "kCFTypeDictionaryValueCallBacks) = d1; AXIsProcessTrusted"
                                   "WithOptions(d1 {kAXTrustedCheckOptionPrompt: kCFBooleanTrue})";
        EXPECT_EQ(apple.log(), "AXIsProcessTrusted() = " + answer + prompt + " = " + answer +
                                   "; CFRelease(d1); ");
        EXPECT_EQ(apple.faults(), "");
    }
}

TEST(MacBundleInfoTest, ShortVersionIsTheMainBundlesTextAndNothingElse)
{
    const std::pair<std::optional<AppleStandIn::Info>, std::optional<QString>> cases[] = {
        {AppleStandIn::Info{{"CFBundleShortVersionString", u"2.10 β"}}, QStringLiteral("2.10 β")},
        {std::nullopt, std::nullopt},
        {AppleStandIn::Info{{"CFBundleVersion", u"7"}}, std::nullopt},
        {AppleStandIn::Info{{"CFBundleShortVersionString", 2.1}}, std::nullopt},
    };
    for (const auto& [bundle, version] : cases) {
        AppleStandIn apple;
        apple.setMainBundle(bundle);
        EXPECT_EQ(BundleInfo::shortVersion(), version);
        EXPECT_EQ(apple.faults(), "");
    }
}
