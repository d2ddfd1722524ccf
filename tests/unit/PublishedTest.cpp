// SPDX-License-Identifier: MIT
#include "Core/Published.hpp"

#include <QObject>

#include <gtest/gtest.h>

#include <vector>

using namespace quenlark;

namespace {
// Records, for each announcement, the value that was stored at that moment.
class Owner : public QObject {
public:
    Published<int> number{this, 1};
    std::vector<int> seenAtAnnouncement;

    void objectWillChange() { seenAtAnnouncement.push_back(number.value()); }
};
} // namespace

// Every assignment, equal or not, is announced with the old value still stored, then delivered
// to subscribers with the new one stored; a subscriber first gets the current value.
TEST(PublishedTest, AnnouncesBeforeStoringThenDeliversEveryAssignmentInOrder)
{
    Owner owner;
    owner.number = 2;
    std::vector<std::pair<int, std::size_t>> received; // value, announcements so far
    auto subscription = owner.number.subscribe([&](const int& v) {
        EXPECT_EQ(owner.number.value(), v);
        received.emplace_back(v, owner.seenAtAnnouncement.size());
    });
    owner.number = 2;
    owner.number = 3;
    EXPECT_EQ(owner.seenAtAnnouncement, (std::vector<int>{1, 2, 2}));
    EXPECT_EQ(received, (std::vector<std::pair<int, std::size_t>>{{2, 1}, {2, 2}, {3, 3}}));
    subscription.cancel();
    owner.number = 7;
    EXPECT_EQ(received.size(), 3u);
}

TEST(PublishedTest, HandleOutlivingTheValueIsSafe)
{
    std::vector<int> received;
    Subscription subscription;
    {
        Owner owner;
        subscription = owner.number.subscribe([&](const int& v) { received.push_back(v); });
    }
    subscription.cancel();
    EXPECT_EQ(received, std::vector<int>{1});
}

TEST(PublishedTest, CancellingAnotherSubscriberDuringDeliveryStopsIt)
{
    Owner owner;
    std::vector<int> second;
    Subscription secondSubscription;
    auto first = owner.number.subscribe([&](const int& v) {
        if (v == 2)
            secondSubscription.cancel();
    });
    secondSubscription = owner.number.subscribe([&](const int& v) { second.push_back(v); });
    owner.number = 2;
    EXPECT_EQ(second, std::vector<int>{1});
}
