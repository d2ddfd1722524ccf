// SPDX-License-Identifier: MIT
#include "Platform/DeviceTable.hpp"

#include <QString>

#include <gtest/gtest.h>

using namespace quenlark;

namespace {

constexpr qsizetype bound = 256;
constexpr int heard = 10000;

QString device(int index)
{
    return QStringLiteral("/org/bluez/hci0/dev_%1").arg(index, 12, 16, QLatin1Char('0'));
}

// A day in a crowded hall: 10,000 addresses heard, each a new device. The table never holds more
// than its bound; the few devices whose failures it counts outlast a crowd that never failed, and
// once every entry counts failures, the one written longest ago makes room.
TEST(DeviceTableTest, StaysBoundedWhileTenThousandAddressesAreHeard)
{
    DeviceTable<QString, int> failures(bound, [](int count) { return count == 0; });
    qsizetype largest = 0;
    const auto hear = [&](int index, int count) {
        failures.insert(device(index), count);
        largest = std::max(largest, failures.size());
    };
    for (int index = 0; index < 10; ++index)
        hear(index, 1);
    for (int index = 10; index < heard; ++index)
        hear(index, 0);
    EXPECT_EQ(largest, bound);
    for (int index = 0; index < 10; ++index) {
        const int* kept = failures.find(device(index));
        ASSERT_NE(kept, nullptr) << index;
        EXPECT_EQ(*kept, 1);
    }

    for (int index = 0; index < heard; ++index)
        hear(index, 1);
    EXPECT_EQ(largest, bound);
    EXPECT_EQ(failures.find(device(heard - bound - 1)), nullptr);
    // Written again, the oldest entry is the newest.
    hear(heard - bound, 2);
    hear(heard, 1);
    EXPECT_EQ(largest, bound);
    EXPECT_NE(failures.find(device(heard - bound)), nullptr);
    EXPECT_EQ(failures.find(device(heard - bound + 1)), nullptr);
}

} // namespace
