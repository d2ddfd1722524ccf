// SPDX-License-Identifier: MIT
#include "Core/KeyInjector.hpp"
#include "RecordingKeyEventServices.hpp"

#include <gtest/gtest.h>

using namespace quenlark;
using fakes::RecordingKeyEventServices;
using Posted = RecordingKeyEventServices::Posted;

TEST(KeyInjectorTest, EachCommandPostsDownThenUpFromItsOwnFreshSource)
{
    RecordingKeyEventServices keys;
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);

    EXPECT_EQ(keys.sourceStateIDs, (std::vector{1, 1}));
    EXPECT_EQ(keys.posted, (std::vector<Posted>{
                               {0, 1, 124, true},
                               {0, 1, 124, false},
                               {0, 2, 123, true},
                               {0, 2, 123, false},
                           }));
    // Both events of a command exist before the first of them is posted.
    EXPECT_EQ(keys.eventsRequestedAtPost, (std::vector{2, 2, 4, 4}));
}

TEST(KeyInjectorTest, FailuresToMakeSomethingDoNotStopTheRest)
{
    const struct {
        const char* name;
        bool failSource, failDown, failUp;
        std::vector<Posted> posted;
    } table[] = {
        {"no source", true, false, false, {{0, 0, 124, true}, {0, 0, 124, false}}},
        {"no key-down", false, true, false, {{0, 1, 124, false}}},
        {"no key-up", false, false, true, {{0, 1, 124, true}}},
        {"nothing made", true, true, true, {}},
    };
    for (const auto& row : table) {
        RecordingKeyEventServices keys;
        keys.failSource = row.failSource;
        keys.failKeyDown = row.failDown;
        keys.failKeyUp = row.failUp;
        KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
        EXPECT_EQ(keys.posted, row.posted) << row.name;
        EXPECT_EQ(keys.eventsRequested, 2) << row.name;
    }
}
