// SPDX-License-Identifier: MIT
#include "Platform/Linux/UinputKeyboard.hpp"

#include <QFile>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace quenlark;

namespace {

class CountingCalls : public RealUinputSystemCalls {
public:
    int open(const char* path, int flags) override
    {
        ++opens;
        return RealUinputSystemCalls::open(path, flags);
    }
    int opens = 0;
};

// How many of the companion's keyboards the kernel lists; another one may be running.
qsizetype listedByTheKernel()
{
    QFile devices(QStringLiteral("/proc/bus/input/devices"));
    return devices.open(QIODevice::ReadOnly)
               ? devices.readAll().count("N: Name=\"Quenlark Companion virtual keyboard\"")
               : -1;
}

} // namespace

// Runs only where /dev/uinput is writable; there it types Right and Left into the session.
TEST(UinputDeviceTest, TheKernelTakesTheVirtualKeyboardAndEveryFrame)
{
    if (::access("/dev/uinput", W_OK) != 0)
        GTEST_SKIP()
            << "/dev/uinput cannot be written here (no uinput in this kernel, or no access)";
    const qsizetype before = listedByTheKernel();
    CountingCalls calls;
    {
        UinputKeyboard keyboard(calls);
        ASSERT_EQ(keyboard.create(), UinputKeyboard::State::ready);
        EXPECT_EQ(listedByTheKernel(), before + 1);
        for (const ArrowKey key : {ArrowKey::right, ArrowKey::left}) {
            keyboard.post(key, true);
            keyboard.post(key, false);
        }
        EXPECT_EQ(calls.opens, 1) << "a refused frame would have replaced the device";
    }
    EXPECT_EQ(listedByTheKernel(), before) << "the device goes with the keyboard";
}
