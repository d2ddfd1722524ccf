// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/UinputKeyboard.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace quenlark;

// The unit tests see every call; only the kernel says whether it takes the declared device.
TEST(UinputDeviceTest, TheKernelTakesTheVirtualKeyboard)
{
    if (::access("/dev/uinput", W_OK) != 0)
        GTEST_SKIP()
            << "/dev/uinput cannot be written here (no uinput in this kernel, or no access)";
    UinputKeyboard keyboard(std::make_unique<RealUinputSystemCalls>());
    EXPECT_EQ(keyboard.create(), UinputKeyboard::State::ready);
}
