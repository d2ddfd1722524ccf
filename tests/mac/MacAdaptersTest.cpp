// SPDX-License-Identifier: MIT
#include "AppleStandIn.hpp"
#include "Core/KeyInjector.hpp"
#include "Platform/Mac/BundleInfo.hpp"
#include "Platform/Mac/MacAccessibility.hpp"
#include "Platform/Mac/MacKeyEventServices.hpp"
#include "RowName.hpp"

#include <gtest/gtest.h>

using namespace quenlark;
using quenlark::testing_support::RowName;

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

struct TrustRow {
    const char* name;
    bool trusted;
};
const TrustRow trustRows[] = {{"Untrusted", false}, {"Trusted", true}};

class MacAccessibilityTest : public testing::TestWithParam<TrustRow> {};

TEST_P(MacAccessibilityTest, OnlyThePromptingCheckPassesThePromptOptionAndReleasesIt)
{
    const bool trusted = GetParam().trusted;
    const std::string answer = trusted ? "true" : "false";
    AppleStandIn apple;
    apple.setTrusted(trusted);
    EXPECT_EQ(MacAccessibility().isProcessTrusted(), trusted);
    EXPECT_EQ(MacAccessibility().isProcessTrustedWithPrompt(), trusted);
    const std::string prompt = "; CFDictionaryCreate(NULL, 1, kCFTypeDictionaryKeyCallBacks, "
                               "kCFTypeDictionaryValueCallBacks) = d1; AXIsProcessTrusted"
                               "WithOptions(d1 {kAXTrustedCheckOptionPrompt: kCFBooleanTrue})";
    EXPECT_EQ(apple.log(),
              "AXIsProcessTrusted() = " + answer + prompt + " = " + answer + "; CFRelease(d1); ");
    EXPECT_EQ(apple.faults(), "");
}
INSTANTIATE_TEST_SUITE_P(Rows, MacAccessibilityTest, testing::ValuesIn(trustRows), RowName());

struct BundleRow {
    const char* name;
    std::optional<AppleStandIn::Info> bundle;
    std::optional<QString> version;
};
const BundleRow bundleRows[] = {
    {"ShortVersionText", AppleStandIn::Info{{"CFBundleShortVersionString", u"2.10 β"}},
     QStringLiteral("2.10 β")},
    {"NoMainBundle", std::nullopt, std::nullopt},
    {"OnlyTheBuildNumber", AppleStandIn::Info{{"CFBundleVersion", u"7"}}, std::nullopt},
    {"ShortVersionNotText", AppleStandIn::Info{{"CFBundleShortVersionString", 2.1}}, std::nullopt},
};

class MacBundleInfoTest : public testing::TestWithParam<BundleRow> {};

TEST_P(MacBundleInfoTest, ShortVersionIsTheMainBundlesTextAndNothingElse)
{
    AppleStandIn apple;
    apple.setMainBundle(GetParam().bundle);
    EXPECT_EQ(BundleInfo::shortVersion(), GetParam().version);
    EXPECT_EQ(apple.faults(), "");
}
INSTANTIATE_TEST_SUITE_P(Rows, MacBundleInfoTest, testing::ValuesIn(bundleRows), RowName());
