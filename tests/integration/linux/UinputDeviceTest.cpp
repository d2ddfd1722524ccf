// SPDX-License-Identifier: MIT
#include "Platform/Linux/UinputKeyboard.hpp"

#include <QFile>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace quenlark;

// How many of the companion's keyboards the kernel lists; one may be running already.
static qsizetype listedKeyboards()
{
    QFile devices(QStringLiteral("/proc/bus/input/devices"));
    return devices.open(QIODevice::ReadOnly)
               ? devices.readAll().count("N: Name=\"Quenlark Companion virtual keyboard\"")
               : -1;
}

TEST(UinputDeviceTest, TheKernelTakesTheVirtualKeyboardUntilItGoes)
{
    if (::access("/dev/uinput", W_OK) != 0)
        GTEST_SKIP()
            << "/dev/uinput cannot be written here (no uinput in this kernel, or no access)";
    const qsizetype before = listedKeyboards();
    RealUinputSystemCalls calls;
    {
        UinputKeyboard keyboard(calls);
        ASSERT_EQ(keyboard.create(), UinputKeyboard::State::ready);
        EXPECT_EQ(listedKeyboards(), before + 1);
    }
    EXPECT_EQ(listedKeyboards(), before);
}
